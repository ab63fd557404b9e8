#include "emulatedknobs.h"
#include "emulatedbus.h"
#include "emulatedwidget.h"

#include <QFileInfo>
#include <QList>
#include <QProcessEnvironment>
#include <QVector>

#include <algorithm>

namespace lumora {

namespace {

bool isWholeNumber(const QByteArray &text)
{
    return !text.isEmpty() && text.size() <= 9
           && std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

const KnobItems WholeNumbers{"whole numbers separated by commas, SERIAL:N for one widget alone", isWholeNumber};
const KnobItems One{"1, or SERIAL:1 for one widget alone", [](const QByteArray &item) { return item == "1"; }};
// M.N, two numbers of a byte each.
bool versionOf(const QByteArray &item, quint8 *major, quint8 *minor)
{
    const QList<QByteArray> parts = item.split('.');
    if (parts.size() != 2 || !isWholeNumber(parts[0]) || !isWholeNumber(parts[1]) || parts[0].toInt() > 255
        || parts[1].toInt() > 255)
        return false;
    *major = quint8(parts[0].toInt());
    *minor = quint8(parts[1].toInt());
    return true;
}

const KnobItems VersionOrKeep{"a version M.N (each at most 255) or keep, SERIAL:M.N for one widget alone",
                              [](const QByteArray &item) {
                                  quint8 m, n;
                                  return item == "keep" || versionOf(item, &m, &n);
                              }};
const KnobItems OneOrSerials{"1 for every widget, or serial strings separated by commas",
                             [](const QByteArray &item) { return !item.isEmpty(); }};

struct Item
{
    bool forOne;       // SERIAL: given
    QByteArray serial; // then the widget it is for
    QByteArray value;
};

QList<Item> itemsOf(const QByteArray &value)
{
    QList<Item> items;
    for (const QByteArray &entry : value.split(',')) {
        const int colon = entry.lastIndexOf(':');
        items.append({colon >= 0, entry.left(colon).trimmed(), entry.mid(colon + 1).trimmed()});
    }
    return items;
}

// The items of a value meant for this widget, SERIAL: taken off.
QList<QByteArray> itemsFor(const EmulatedWidget &w, const QByteArray &value)
{
    QList<QByteArray> items;
    for (const Item &item : itemsOf(value))
        if (!item.forOne || item.serial == w.info.serialString)
            items.append(item.value);
    return items;
}

// Each number meant for this widget that is at least 0.
template <typename Use>
void forEachNumber(const EmulatedWidget &w, const QByteArray &value, Use use)
{
    for (const QByteArray &item : itemsFor(w, value)) {
        bool ok = false;
        const int number = item.toInt(&ok);
        if (ok && number >= 0)
            use(number);
    }
}

} // namespace

QByteArray EmulatorKnob::option() const
{
    return "--" + QByteArray(variable).mid(int(sizeof "LUMORA_EMULATOR_") - 1).toLower().replace('_', '-');
}

QString EmulatorKnob::problem(const QByteArray &value) const
{
    for (const Item &item : itemsOf(value))
        if (!items.accepts(item.value) || (item.forOne && item.serial.isEmpty()))
            return QStringLiteral("cannot read \"%1\"; expected %2 (e.g. %3)")
                .arg(QString::fromLocal8Bit(item.serial + (item.forOne ? ":" : "") + item.value),
                     QLatin1String(items.expected), QLatin1String(example));
    return QString();
}

const std::vector<EmulatorKnob> &emulatorKnobs()
{
    static const std::vector<EmulatorKnob> knobs{
        {"LUMORA_EMULATOR_REFUSE_PAGES", "3,7", "every widget refuses these pages (counting from 0); `EM000002:7`: only that widget", WholeNumbers,
         [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int page) { w.refusePage(page); });
         }},
        {"LUMORA_EMULATOR_LATENCY_MS", "2", "delay in ms before each reply", WholeNumbers,
         [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int ms) { w.replyLatencyMs = ms; });
         }},
        {"LUMORA_EMULATOR_SILENT", "1", "1: the widgets never answer, not even a page (opening fails)", One,
         [](EmulatedWidget &w, const QByteArray &value) {
             if (itemsFor(w, value).contains("1"))
                 w.silence();
         }},
        {"LUMORA_EMULATOR_SILENT_FROM_PAGE", "8", "the widgets answer no firmware page from this one on (counting from 0)",
         WholeNumbers, [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int page) { w.silentFromPage(page); });
         }},
        {"LUMORA_EMULATOR_TRICKLE_FROM_PAGE", "8",
         "from this page on the widgets answer nothing but send a byte every millisecond that never makes a frame",
         WholeNumbers, [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int page) { w.trickleFromPage(page); });
         }},
        {"LUMORA_EMULATOR_FIRMWARE_AFTER", "2.10",
         "the firmware version M.N the widgets report once restarted after an update (2.10 unless set); keep: the"
         " update does not take, they report the version they had",
         VersionOrKeep, [](EmulatedWidget &w, const QByteArray &value) {
             for (const QByteArray &item : itemsFor(w, value)) {
                 quint8 m, n;
                 if (item == "keep")
                     w.firmwareAfterUpdate.reset();
                 else if (versionOf(item, &m, &n))
                     w.firmwareAfterUpdate = std::make_pair(m, n);
             }
         }},
        {"LUMORA_EMULATOR_SILENT_AFTER_RESTART", "1", "1: the widgets answer nothing once restarted after an update",
         One, [](EmulatedWidget &w, const QByteArray &value) {
             if (itemsFor(w, value).contains("1"))
                 w.silentAfterRestart = true;
         }},
        {"LUMORA_EMULATOR_REENUMERATE", "1",
         "1: restarting after an update, the widgets leave the bus and come back on their port as new devices",
         One, [](EmulatedWidget &w, const QByteArray &value) {
             if (itemsFor(w, value).contains("1"))
                 w.reenumeratesOnRestart = true;
         }},
        {"LUMORA_EMULATOR_IN_LOADER", "1",
         "1: the widgets start in their loader, as after an update cut off: they answer nothing but firmware pages"
         " until they are closed after taking every page sent; `EM000002,EM000003`: only those widgets",
         OneOrSerials, [](EmulatedWidget &w, const QByteArray &value) {
             const QList<QByteArray> items = itemsFor(w, value);
             if (items.contains("1") || items.contains(w.info.serialString))
                 w.enterLoader();
         }},
    };
    return knobs;
}

EmulatorKnobValues EmulatorKnobValues::fromEnvironment()
{
    EmulatorKnobValues values;
    for (const EmulatorKnob &knob : emulatorKnobs())
        if (const QByteArray value = qgetenv(knob.variable); !value.isEmpty())
            values.set(knob, value);
    return values;
}

void EmulatorKnobValues::set(const EmulatorKnob &knob, const QByteArray &value)
{
    m_values.emplace_back(&knob, value);
}

void EmulatorKnobValues::shape(EmulatedWidget &widget) const
{
    for (const auto &[knob, value] : m_values)
        knob->apply(widget, value);
}

namespace {

QString serialProblem(const QByteArray &serial)
{
    if (serial.isEmpty())
        return QStringLiteral("an empty serial string");
    if (serial.size() > EmulatedBus::MaxSerialBytes)
        return QStringLiteral("the serial string \"%1\" is longer than %2 bytes")
            .arg(QString::fromLocal8Bit(serial)).arg(EmulatedBus::MaxSerialBytes);
    return QString();
}

struct PlugEvent
{
    int ms;
    QByteArray serial;
    bool in;
};

bool readPlugEvent(const QByteArray &event, PlugEvent *read)
{
    const int colon = event.indexOf(':');
    const QByteArray ms = event.left(colon).trimmed(), what = event.mid(colon + 1).trimmed();
    if (colon < 0 || !isWholeNumber(ms) || !(what.startsWith('+') || what.startsWith('-'))
        || !serialProblem(what.mid(1)).isEmpty())
        return false;
    *read = {ms.toInt(), what.mid(1), what.startsWith('+')};
    return true;
}

// The bus's own variables (see EmulatedBus::configureFromEnvironment), each
// with the check of its value; `widgets` is how many LUMORA_EMULATOR makes.
struct BusSetting
{
    const char *variable;
    const char *example;
    const char *help;
    QString (*problem)(const QByteArray &value, int widgets);
};

const BusSetting BusSettings[] = {
    {"LUMORA_EMULATOR_SERIALS", "A,B", "serial strings of the widgets, in order",
     [](const QByteArray &value, int widgets) {
         const QList<QByteArray> serials = value.split(',');
         for (const QByteArray &serial : serials)
             if (const QString problem = serialProblem(serial); !problem.isEmpty())
                 return problem + QStringLiteral("; expected serial strings separated by commas (e.g. A,B)");
         if (serials.size() > widgets)
             return QStringLiteral("%1 serial strings for %2 widget(s); LUMORA_EMULATOR gives the number of widgets")
                 .arg(serials.size()).arg(widgets);
         return QString();
     }},
    {"LUMORA_EMULATOR_FLASH_DUMP", "/tmp/flash-%s.bin",
     "a widget's accepted pages are written there when it is closed; `%s` is its serial string",
     [](const QByteArray &value, int) {
         const QString directory = QFileInfo(QString::fromLocal8Bit(value)).absolutePath();
         if (directory.contains(QLatin1String("%s")) || QFileInfo(directory).isDir())
             return QString();
         return QStringLiteral("there is no directory %1 to write the widgets' flash to").arg(directory);
     }},
    {"LUMORA_EMULATOR_PLUG", "500:+LX01,2000:-LX01",
     "plug events in ms since the start: `+SERIAL` plugs in a widget with that serial string (the one pulled out"
     " before, or a new one), `-SERIAL` pulls it out",
     [](const QByteArray &value, int) { return PlugSchedule::problem(value); }},
    {"LUMORA_EMULATOR_NO_WAITS", "1",
     "skips the pauses meant for real hardware (750 ms after an open, the 2 s loader wait) and shortens the wait"
     " for a widget's restart to a tenth",
     [](const QByteArray &value, int) {
         return value == "1" ? QString() : QStringLiteral("expected 1 (or leave it unset)");
     }},
};

} // namespace

std::vector<EmulatorVariableDoc> emulatorVariableDocs()
{
    std::vector<EmulatorVariableDoc> docs{
        {"LUMORA_EMULATOR", "2",
         "the number of widgets to emulate (empty: one, 0: none); set, every program here talks to emulated widgets"
         " instead of USB"}};
    for (const BusSetting &setting : BusSettings)
        docs.push_back({setting.variable, setting.example, setting.help});
    for (const EmulatorKnob &knob : emulatorKnobs())
        docs.push_back({knob.variable, knob.example, knob.help});
    return docs;
}

QString PlugSchedule::problem(const QByteArray &value)
{
    PlugEvent event;
    for (const QByteArray &item : value.trimmed().split(','))
        if (!readPlugEvent(item, &event))
            return QStringLiteral("cannot read \"%1\"; expected events separated by commas, each MS:+SERIAL (plugged"
                                  " in MS milliseconds after the start) or MS:-SERIAL (pulled out), e.g."
                                  " 500:+LX01,2000:-LX01")
                .arg(QString::fromLocal8Bit(item));
    return QString();
}

void PlugSchedule::start(const QByteArray &value, std::function<void(const QByteArray &serial, bool in)> plug)
{
    if (m_thread.joinable())
        return;
    QVector<PlugEvent> events;
    PlugEvent event;
    for (const QByteArray &item : value.trimmed().split(','))
        if (readPlugEvent(item, &event))
            events.append(event);
    m_thread = std::thread([this, events, plug, start = std::chrono::steady_clock::now()] {
        for (const PlugEvent &e : events) {
            std::unique_lock<std::mutex> lock(m_lock);
            if (m_stopped.wait_until(lock, start + std::chrono::milliseconds(e.ms), [this] { return m_stopping; }))
                return;
            lock.unlock();
            plug(e.serial, e.in);
        }
    });
}

void PlugSchedule::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_stopped.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

QStringList emulatorSettingsProblems()
{
    QStringList known{QStringLiteral("LUMORA_EMULATOR")};
    for (const BusSetting &setting : BusSettings)
        known << QLatin1String(setting.variable);
    for (const EmulatorKnob &knob : emulatorKnobs())
        known << QLatin1String(knob.variable);

    QStringList problems;
    const bool emulated = qEnvironmentVariableIsSet("LUMORA_EMULATOR");
    for (const QString &name : QProcessEnvironment::systemEnvironment().keys()) {
        if (!name.startsWith(known.first()))
            continue;
        if (!known.contains(name))
            problems << QStringLiteral("%1 is not a variable of the emulated widgets (misspelt?); they are %2")
                            .arg(name, known.join(QStringLiteral(", ")));
        else if (!emulated && !qgetenv(qPrintable(name)).isEmpty())
            problems << QStringLiteral("%1 is set but LUMORA_EMULATOR is not: real widgets would be used, not the"
                                       " emulated ones it shapes; set LUMORA_EMULATOR too, or unset %1")
                            .arg(name);
    }
    if (!emulated)
        return problems;

    const QByteArray countText = qgetenv("LUMORA_EMULATOR").trimmed();
    int widgets = 1;
    if (!countText.isEmpty()) {
        widgets = isWholeNumber(countText) ? countText.toInt() : -1;
        if (widgets < 0 || widgets > EmulatedBus::MaxWidgets)
            return problems << QStringLiteral("LUMORA_EMULATOR=%1: expected the number of widgets to emulate, a"
                                              " whole number from 0 to %2 (empty: 1)")
                                   .arg(QString::fromLocal8Bit(countText)).arg(EmulatedBus::MaxWidgets);
    }
    auto check = [&](const char *variable, const QString &problem) {
        if (!problem.isEmpty())
            problems << QStringLiteral("%1=%2: %3")
                            .arg(QLatin1String(variable), QString::fromLocal8Bit(qgetenv(variable)), problem);
    };
    for (const BusSetting &setting : BusSettings)
        if (const QByteArray value = qgetenv(setting.variable); !value.isEmpty())
            check(setting.variable, setting.problem(value, widgets));
    for (const EmulatorKnob &knob : emulatorKnobs())
        if (const QByteArray value = qgetenv(knob.variable); !value.isEmpty())
            check(knob.variable, knob.problem(value));
    return problems;
}

} // namespace lumora
