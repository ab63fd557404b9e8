#include "emulatedknobs.h"
#include "emulatedwidget.h"
#include "protocol.h"

#include <QList>

namespace lumora {

namespace {

// The items of a value meant for this widget, SERIAL: taken off.
QList<QByteArray> itemsFor(const EmulatedWidget &w, const QByteArray &value)
{
    QList<QByteArray> items;
    for (const QByteArray &entry : value.split(',')) {
        const int colon = entry.lastIndexOf(':');
        if (colon < 0 || entry.left(colon).trimmed() == w.info.serialString)
            items.append(entry.mid(colon + 1).trimmed());
    }
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

const std::vector<EmulatorKnob> &emulatorKnobs()
{
    static const std::vector<EmulatorKnob> knobs{
        {"LUMORA_EMULATOR_REFUSE_PAGES", "3,7", "pages the widgets refuse (counting from 0)",
         [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int page) { w.refusePage(page); });
         }},
        {"LUMORA_EMULATOR_LATENCY_MS", "2", "delay before each reply",
         [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int ms) { w.replyLatencyMs = ms; });
         }},
        {"LUMORA_EMULATOR_SILENT", "1", "1: the widgets never answer (opening fails)",
         [](EmulatedWidget &w, const QByteArray &value) {
             if (itemsFor(w, value).contains("1")) {
                 w.setAutoReply(GET_WIDGET_PARAMS, false);
                 w.setAutoReply(GET_WIDGET_SERIAL, false);
             }
         }},
        {"LUMORA_EMULATOR_SILENT_FROM_PAGE", "8", "the widgets answer no firmware page from this one on",
         [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int page) { w.silentFromPage(page); });
         }},
        {"LUMORA_EMULATOR_TRICKLE_FROM_PAGE", "8",
         "from this page on the widgets answer nothing but send a byte every millisecond that never makes a frame",
         [](EmulatedWidget &w, const QByteArray &value) {
             forEachNumber(w, value, [&](int page) { w.trickleFromPage(page); });
         }},
        {"LUMORA_EMULATOR_FIRMWARE_AFTER", "2.10",
         "the firmware version M.N the widgets report once restarted after an update (2.10 unless set); keep: the"
         " update does not take, they report the version they had",
         [](EmulatedWidget &w, const QByteArray &value) {
             for (const QByteArray &item : itemsFor(w, value)) {
                 const QList<QByteArray> parts = item.split('.');
                 bool high = false, low = false;
                 const int m = parts.value(0).toInt(&high), n = parts.value(1).toInt(&low);
                 if (item == "keep")
                     w.firmwareAfterUpdate.reset();
                 else if (parts.size() == 2 && high && low && m >= 0 && m <= 255 && n >= 0 && n <= 255)
                     w.firmwareAfterUpdate = std::make_pair(quint8(m), quint8(n));
             }
         }},
        {"LUMORA_EMULATOR_SILENT_AFTER_RESTART", "1", "1: the widgets answer nothing once restarted after an update",
         [](EmulatedWidget &w, const QByteArray &value) {
             if (itemsFor(w, value).contains("1"))
                 w.silentAfterRestart = true;
         }},
        {"LUMORA_EMULATOR_REENUMERATE", "1",
         "1: restarting after an update, the widgets leave the bus and come back on their port as new devices",
         [](EmulatedWidget &w, const QByteArray &value) {
             if (itemsFor(w, value).contains("1"))
                 w.reenumeratesOnRestart = true;
         }},
        {"LUMORA_EMULATOR_IN_LOADER", "1",
         "1: the widgets start in their loader, as after an update cut off; SERIAL,SERIAL: those widgets",
         [](EmulatedWidget &w, const QByteArray &value) {
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
            values.m_values.emplace_back(&knob, value);
    return values;
}

bool EmulatorKnobValues::setOption(const QByteArray &option, const QByteArray &value)
{
    for (const EmulatorKnob &knob : emulatorKnobs()) {
        if (knob.option() == option) {
            m_values.emplace_back(&knob, value);
            return true;
        }
    }
    return false;
}

void EmulatorKnobValues::shape(EmulatedWidget &widget) const
{
    for (const auto &[knob, value] : m_values)
        knob->apply(widget, value);
}

} // namespace lumora
