// The window through its own widgets, on emulated widgets: the form and its
// start state, the log panel, Scan Devices, Open and Close, and what an open
// widget shows, also when the widget misbehaves.
#include "devicepanel.h"
#include "logview.h"
#include "mainwindowpro.h"
#include "testsupport.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextBlock>
#include <QThread>

using lumora::D2xxCall;
using lumora::EmulatedBus;
using lumora::EmulatedWidget;
using lumora::EmulatedWidgetInfo;
using lumora::FilteredCall;

namespace {

QString label(QObject *window, const char *name)
{
    return child<QLabel>(window, name)->text();
}

QVector<int> spins(QObject *window)
{
    return {child<QSpinBox>(window, "rateSpin")->value(), child<QSpinBox>(window, "mabSpin")->value(),
            child<QSpinBox>(window, "breakSpin")->value()};
}

QStringList items(QObject *window)
{
    QStringList list;
    auto *box = child<QComboBox>(window, "deviceListBox");
    for (int i = 0; i < box->count(); ++i)
        list << box->itemText(i);
    return list;
}

// What may go wrong while a widget is opened through the window.
enum class Fault { OpenRefused, UnplugAfterWrites, Garbage, EndlessBabble, ForeignFrames, WriteCut, SilentSerial };

} // namespace

Q_DECLARE_METATYPE(Fault)
Q_DECLARE_METATYPE(lumora::D2xxCall)

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<SleepRecorder> sleeps;
    std::unique_ptr<StdoutCapture> out;

private slots:
    void initTestCase() { emulatedBus(0); }
    void init()
    {
        gOpenDevice = -1;
        sleeps.reset(new SleepRecorder);
        out.reset(new StdoutCapture);
    }
    void cleanup()
    {
        out.reset();
        sleeps.reset();
    }


    void startState()
    {
        MainWindowPro window;
        window.show();
        QCOMPARE(window.size(), QSize(592, 531));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.windowTitle(), QString("Tesvar Lumora Configurator"));
        QVERIFY(child<QPushButton>(&window, "scanDevicesBtn")->isEnabled());
        QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
        QVERIFY(!child<QPushButton>(&window, "devOpenBtn")->isEnabled());
        QVERIFY(!child<QGroupBox>(&window, "groupBox_3")->isEnabled());
        QVERIFY(!child<QGroupBox>(&window, "groupBox")->isEnabled());
        QCOMPARE(spins(&window), (QVector<int>{0, 1, 9}));
        auto *rate = child<QSpinBox>(&window, "rateSpin");
        auto *brk = child<QSpinBox>(&window, "breakSpin");
        QCOMPARE(qMakePair(rate->minimum(), rate->maximum()), qMakePair(0, 40));
        QCOMPARE(qMakePair(brk->minimum(), brk->maximum()), qMakePair(9, 127));
        auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
        QVERIFY(log->isReadOnly() && log->document()->isEmpty());
        QCOMPARE(gLogView.data(), log);
        QVERIFY(gLink && !gLink->handle);
        // The second control group lies almost wholly outside its parent.
        QVERIFY(child<QPushButton>(&window, "updBtn_2")->visibleRegion().isEmpty());
    }

    void form_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("geometry");
        QTest::newRow("groupBox_2") << "groupBox_2" << "Tesvar Lumora LOOKPUP" << QRect(10, 10, 361, 181);
        QTest::newRow("scanDevicesBtn") << "scanDevicesBtn" << "Scan Devices" << QRect(10, 30, 91, 21);
        QTest::newRow("tryLbl") << "tryLbl" << "Trying to Connect -" << QRect(10, 100, 201, 16);
        QTest::newRow("lookLbl") << "lookLbl" << "Looking for Devices -" << QRect(10, 110, 211, 21);
        QTest::newRow("infoLbl") << "infoLbl" << "Info -" << QRect(10, 130, 201, 16);
        QTest::newRow("fwLbl") << "fwLbl" << "Checking Firmware -" << QRect(10, 150, 201, 16);
        QTest::newRow("devOpenBtn") << "devOpenBtn" << "Open" << QRect(260, 60, 80, 21);
        QTest::newRow("groupBox_3") << "groupBox_3" << "Lumora Control" << QRect(10, 200, 571, 81);
        QTest::newRow("sendBtn") << "sendBtn" << "DXM Send Test" << QRect();
        QTest::newRow("recvBtn") << "recvBtn" << "DMX Receive Test" << QRect();
        QTest::newRow("updBtn") << "updBtn" << "Firmware Update" << QRect();
        QTest::newRow("groupBox_5") << "groupBox_5" << "Lumora Control" << QRect(180, 80, 571, 81);
        QTest::newRow("groupBox") << "groupBox" << "Lumora Configuration" << QRect(10, 290, 571, 91);
        QTest::newRow("rateLbl") << "rateLbl" << "Packet Outout Rate (0 = MAX)" << QRect(10, 30, 151, 16);
        QTest::newRow("mabLbl") << "mabLbl" << "MAB (Mark After Brake)" << QRect(10, 60, 151, 16);
        QTest::newRow("breakLbl") << "breakLbl" << "Break Time" << QRect(287, 32, 121, 16);
        QTest::newRow("breakSpin") << "breakSpin" << "" << QRect(400, 30, 43, 22);
        QTest::newRow("pushButton_2") << "pushButton_2" << "Change Lumora Config" << QRect(420, 60, 141, 21);
        QTest::newRow("groupBox_6") << "groupBox_6" << "Log Window" << QRect(10, 390, 571, 121);
        QTest::newRow("plainTextEdit") << "plainTextEdit" << "" << QRect(10, 30, 551, 81);
    }

    void form()
    {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, geometry);
        MainWindowPro window;
        QWidget *widget = window.findChild<QWidget *>(name);
        QVERIFY(widget);
        QString shown;
        if (auto *box = qobject_cast<QGroupBox *>(widget))
            shown = box->title();
        else if (auto *button = qobject_cast<QPushButton *>(widget))
            shown = button->text();
        else if (auto *text = qobject_cast<QLabel *>(widget))
            shown = text->text();
        QCOMPARE(shown, text);
        if (geometry.isValid())
            QCOMPARE(widget->geometry(), geometry);
    }

    void logLine_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("debug") << int(QtDebugMsg) << "Starting firmware update" << "Starting firmware update";
        QTest::newRow("Qt's warning, no level shown") << int(QtWarningMsg) << "a warning" << "a warning";
        QTest::newRow("line breaks and tabs fold") << int(QtDebugMsg) << "\n\t\t  FIRMWARE VERSION: 1.44"
                                                   << "FIRMWARE VERSION: 1.44";
        QTest::newRow("a tag stays text") << int(QtDebugMsg) << "<b>bold</b> file" << "<b>bold</b> file";
        QTest::newRow("an entity stays text") << int(QtDebugMsg) << "Tom &amp; Jerry & co" << "Tom &amp; Jerry & co";
        QTest::newRow("a quoted file name") << int(QtDebugMsg) << "\"/tmp/<fw>.bin\"" << "\"/tmp/<fw>.bin\"";
    }

    void logLine()
    {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QString, shown);
        MainWindowPro window;
        const QDateTime before = QDateTime::currentDateTime();
        if (type == QtWarningMsg)
            qWarning().noquote() << message;
        else
            qDebug().noquote() << message;
        auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
        QCOMPARE(log->document()->blockCount(), 1);
        const QRegularExpressionMatch line =
            QRegularExpression("^(\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d) (.*)$").match(log->toPlainText());
        QVERIFY2(line.hasMatch(), qPrintable(log->toPlainText()));
        QVERIFY(qAbs(QDateTime::fromString(line.captured(1), "yyyy.MM.dd hh:mm:ss").secsTo(before)) <= 2);
        QCOMPARE(line.captured(2), shown);
    }

    void logKeepsTheUsersPlace()
    {
        MainWindowPro window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
        for (int i = 0; i < 50; ++i)
            qDebug("line %d", i);
        QScrollBar *bar = log->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
        // The user selects part of an early line and scrolls up: a new line still
        // goes at the end and into view, and the selection stays.
        QTextCursor select(log->document()->findBlockByNumber(1));
        select.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 20);
        select.movePosition(QTextCursor::Right, QTextCursor::KeepAnchor, 4);
        log->setTextCursor(select);
        const QString selected = log->textCursor().selectedText();
        QCOMPARE(selected, QString("line"));
        bar->setValue(0);
        qDebug("line 50");
        QCOMPARE(log->textCursor().selectedText(), selected);
        QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(logMessages(log).last(), QString("line 50"));
        QCOMPARE(logMessages(log).size(), 51);
    }

    void logFromOtherThreadsAndAfterTheWindow()
    {
        {
            MainWindowPro window;
            auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
            std::unique_ptr<QThread> worker(QThread::create([] { qDebug("from a worker"); }));
            worker->start();
            QVERIFY(worker->wait(5000));
            // Handed over, not written by the worker: it shows once the loop runs.
            QVERIFY(log->document()->isEmpty());
            QTRY_COMPARE(logMessages(log), QStringList{"from a worker"});
        }
        // The panel is gone; late messages, from any thread, touch nothing.
        QVERIFY(gLogView.isNull());
        qWarning("after the window is gone");
        std::unique_ptr<QThread> worker(QThread::create([] { qDebug("late, from a worker"); }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QCoreApplication::processEvents();
    }

    void scan_data()
    {
        QTest::addColumn<QList<QByteArray>>("descriptions");
        QTest::addColumn<QList<QByteArray>>("serials");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("none") << QList<QByteArray>{} << QList<QByteArray>{} << QStringList();
        QTest::newRow("two") << QList<QByteArray>{"Lumora USB DMX", "Lumora USB DMX"}
                             << QList<QByteArray>{"EM000001", "EM000002"}
                             << QStringList{"Lumora USB DMX (SN: EM000001)", "Lumora USB DMX (SN: EM000002)"};
        QTest::newRow("empty fields") << QList<QByteArray>{""} << QList<QByteArray>{""} << QStringList{" (SN: )"};
        QTest::newRow("marker in description") << QList<QByteArray>{"Box %1 here"} << QList<QByteArray>{"S9"}
                                               << QStringList{"Box S9 here (SN: %2)"};
        QTest::newRow("Latin-1") << QList<QByteArray>{"Lichtst\xe4rke"} << QList<QByteArray>{"\xb5"}
                                 << QStringList{QString::fromUtf8("Lichtstärke (SN: µ)")};
        QTest::newRow("fields filled, no NUL") << QList<QByteArray>{QByteArray(80, 'd')} << QList<QByteArray>{QByteArray(20, 's')}
                                               << QStringList{QString(64, 'd') + " (SN: " + QString(16, 's') + ")"};
    }

    void scan()
    {
        QFETCH(QList<QByteArray>, descriptions);
        QFETCH(QList<QByteArray>, serials);
        QFETCH(QStringList, expected);
        EmulatedBus &bus = emulatedBus(0);
        for (int i = 0; i < descriptions.size(); ++i) {
            EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(i);
            info.description = descriptions[i];
            info.serialString = serials[i];
            bus.attach(info);
        }
        MainWindowPro window;
        out.reset(); // the form's own warning from Qt is not the program's
        out.reset(new StdoutCapture);
        click(&window, "scanDevicesBtn");
        // Flushed by the program itself, so a pipe sees the line at once.
        QCOMPARE(out->peek(), "Number of devices is " + QByteArray::number(expected.size()) + "\n");
        QStringList log{QString("found %1 devices").arg(expected.size())};
        // A widget whose strings could not be read is mentioned, with the reason.
        if (serials.value(0) == "" && descriptions.value(0) == "" && !serials.isEmpty())
            log << "1 of 1 devices could not be asked for their description and serial number: no permission to use"
                   " them? Install the udev rule or join the plugdev group (see the README), then plug them in again";
        QCOMPARE(windowLog(&window), log);
        QCOMPARE(items(&window), expected);
        QCOMPARE(child<QComboBox>(&window, "deviceListBox")->currentIndex(), expected.isEmpty() ? -1 : 0);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->isEnabled(), !expected.isEmpty());
        QCOMPARE(gDeviceList.size(), expected.size());

        // A later scan replaces the list, and never disables Open again.
        if (!expected.isEmpty())
            bus.widget(0).unplug();
        gOpenDevice = 7;
        click(&window, "scanDevicesBtn");
        QCOMPARE(items(&window), expected.mid(1));
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->isEnabled(), !expected.isEmpty());
        QCOMPARE(gOpenDevice, -1);
    }

    void failingScan_data()
    {
        QTest::addColumn<D2xxCall>("call");
        QTest::addColumn<QByteArray>("stdoutLine");
        QTest::newRow("list not read") << D2xxCall::GetDeviceInfoList << QByteArray("Number of devices is 2\n");
        QTest::newRow("list not built") << D2xxCall::CreateDeviceInfoList << QByteArray();
    }

    void failingScan()
    {
        QFETCH(D2xxCall, call);
        QFETCH(QByteArray, stdoutLine);
        emulatedBus(2);
        MainWindowPro window;
        out.reset(); // the form's own warning from Qt is not the program's
        out.reset(new StdoutCapture);
        faults().failCall(call, FT_OTHER_ERROR);
        click(&window, "scanDevicesBtn");
        QCOMPARE(out->take(), stdoutLine);
        QVERIFY(items(&window).isEmpty());
        QVERIFY(!child<QPushButton>(&window, "devOpenBtn")->isEnabled());
        QCOMPARE(windowLog(&window), QStringList{"found 0 devices"});
        click(&window, "scanDevicesBtn");
        QCOMPARE(items(&window).size(), 2);
    }

    void openThenClose()
    {
        EmulatedBus &bus = emulatedBus(1);
        {
            MainWindowPro window;
            click(&window, "scanDevicesBtn");
            click(&window, "devOpenBtn");
            QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Connected"));
            QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
            QCOMPARE(label(&window, "fwLbl"), QString("Cheking firmware - Found - 1.44"));
            QCOMPARE(spins(&window), (QVector<int>{40, 1, 9}));
            QVERIFY(child<QGroupBox>(&window, "groupBox_3")->isEnabled());
            QVERIFY(child<QGroupBox>(&window, "groupBox")->isEnabled());
            QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Close"));
            QVERIFY(!child<QComboBox>(&window, "deviceListBox")->isEnabled());
            QCOMPARE(gOpenDevice, 0);
            QVERIFY(windowLog(&window).contains("FIRMWARE VERSION: 1.44"));
            // The serial query inside the open, then the panel's own.
            QCOMPARE(bus.widget(0).framesReceived(GET_WIDGET_SERIAL), 2);

            click(&window, "devOpenBtn");
            QCOMPARE(label(&window, "tryLbl"), QString());
            QCOMPARE(spins(&window), (QVector<int>{0, 1, 9}));
            QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
            QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
            QVERIFY(!bus.widget(0).isOpen() && !gLink->handle);
            QCOMPARE(gOpenDevice, -1);
            // What the closed widget reported stays on show; the groups stay usable.
            QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
            QVERIFY(child<QGroupBox>(&window, "groupBox_3")->isEnabled());

            click(&window, "devOpenBtn");
            QVERIFY(bus.widget(0).isOpen());
        }
        // The window lets go of the widget it held when it goes.
        QVERIFY(!bus.widget(0).isOpen());
        QVERIFY(!gLink);
    }

    void failedOpenThenOpen()
    {
        emulatedBus(1);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, 3);
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Failed"));
        QVERIFY(!child<QPushButton>(&window, "updBtn")->isEnabled());
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
        QCOMPARE(gOpenDevice, -1);
        QCOMPARE(windowLog(&window).last(), QString("Opening device 0 failed: FT_DEVICE_NOT_OPENED"));

        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Connected"));
        // A successful open unlocks the update again.
        QVERIFY(child<QPushButton>(&window, "updBtn")->isEnabled());
        QCOMPARE(gOpenDevice, 0);
    }

    void scanWhileOpen()
    {
        EmulatedBus &bus = emulatedBus(2);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        child<QComboBox>(&window, "deviceListBox")->setCurrentIndex(1);
        click(&window, "devOpenBtn");
        QCOMPARE(gOpenDevice, 1);
        // A scan lets go of the open widget first: the button and the list tell
        // the truth afterwards, and the next click opens what the list shows.
        click(&window, "scanDevicesBtn");
        QVERIFY(!bus.widget(1).isOpen() && !gLink->handle);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
        QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
        QCOMPARE(gOpenDevice, -1);
        click(&window, "devOpenBtn");
        QVERIFY(!bus.widget(1).isOpen() && bus.widget(0).isOpen());
        QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
    }

    void chosenWidgetGone_data()
    {
        QTest::addColumn<bool>("rescan");
        QTest::addColumn<QString>("reason");
        QTest::newRow("pulled out after the list") << false
            << "Opening device 0 failed: widget EM000001 was unplugged after the device list was made: scan again"
               " (FT_DEVICE_NOT_FOUND)";
        QTest::newRow("list empty since") << true
            << "Opening device -1 failed: there is no device -1 in the device list (0 listed): scan again"
               " (FT_DEVICE_NOT_FOUND)";
    }

    void chosenWidgetGone()
    {
        QFETCH(bool, rescan);
        QFETCH(QString, reason);
        EmulatedBus &bus = emulatedBus(2);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        bus.widget(0).unplug();
        if (rescan) {
            bus.widget(1).unplug();
            click(&window, "scanDevicesBtn");
        }
        // Its neighbour is never opened in its place.
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Failed"));
        QVERIFY(!bus.widget(1).isOpen());
        QCOMPARE(windowLog(&window).last(), reason);
        QCOMPARE(gOpenDevice, -1);
    }

    void shownValues_data()
    {
        QTest::addColumn<quint32>("serial");
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<QString>("serialText");
        QTest::addColumn<QString>("firmwareText");
        QTest::addColumn<QVector<int>>("spinValues");
        QTest::newRow("serial 201, firmware 1.10") << quint32(0x00000201) << bytes({10, 1, 20, 5, 30}) << "Serial No 201"
                                                   << "Cheking firmware - Found - 1.10" << QVector<int>{30, 5, 20};
        QTest::newRow("serial ab, firmware 2.5") << quint32(0xAB) << bytes({5, 2, 9, 1, 0}) << "Serial No ab"
                                                 << "Cheking firmware - Found - 2.5" << QVector<int>{0, 1, 9};
        QTest::newRow("serial 0, values clamped") << quint32(0) << bytes({0, 0, 3, 0, 200}) << "Serial No 0"
                                                  << "Cheking firmware - Found - 0.0" << QVector<int>{40, 1, 9};
        QTest::newRow("all ones, upper bounds") << quint32(0xFFFFFFFF) << bytes({255, 255, 255, 255, 41})
                                                << "Serial No ffffffff" << "Cheking firmware - Found - 255.255"
                                                << QVector<int>{40, 127, 127};
    }

    void shownValues()
    {
        QFETCH(quint32, serial);
        QFETCH(QByteArray, params);
        QFETCH(QString, serialText);
        QFETCH(QString, firmwareText);
        QFETCH(QVector<int>, spinValues);
        EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(0);
        info.serialNumber = serial;
        info.firmwareLsb = quint8(params[0]);
        info.firmwareMsb = quint8(params[1]);
        info.breakTime = quint8(params[2]);
        info.mabTime = quint8(params[3]);
        info.refreshRate = quint8(params[4]);
        emulatedBus(0).attach(info);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "infoLbl"), serialText);
        QCOMPARE(label(&window, "fwLbl"), firmwareText);
        QCOMPARE(spins(&window), spinValues);
    }

    void quickConnect_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("lookText");
        QTest::addColumn<QString>("tryText");
        QTest::newRow("no widget") << 0 << "Looking for Devices -" << "Trying to Connect -";
        QTest::newRow("two widgets") << 2 << "Total devices(D2XX) - 2 Found" << "Trying to Conncet - Connected";
    }

    void quickConnect()
    {
        QFETCH(int, count);
        QFETCH(QString, lookText);
        QFETCH(QString, tryText);
        EmulatedBus &bus = emulatedBus(count);
        MainWindowPro window;
        // Nothing in the form triggers it; it is still callable.
        QVERIFY(QMetaObject::invokeMethod(&window, "on_findLumoraBtn_clicked"));
        QCOMPARE(label(&window, "lookLbl"), lookText);
        QCOMPARE(label(&window, "tryLbl"), tryText);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
        QCOMPARE(gOpenDevice, -1);
        QCOMPARE(child<QGroupBox>(&window, "groupBox_3")->isEnabled(), count > 0);
        if (count) {
            QVERIFY(bus.widget(0).isOpen());
            QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
        }
    }

    void faultsWhileOpening_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("param");
        QTest::addColumn<int>("accepted"); // of the write cut short
        QTest::addColumn<QString>("tryText");
        QTest::addColumn<QString>("infoText");
        const QString ok = "Trying to Conncet - Connected";
        const QString failed = "Trying to Conncet - Failed";
        QTest::newRow("pulled out before opening") << Fault::OpenRefused << 0 << 0 << failed << "Info -";
        QTest::newRow("pulled out inside the parameter request") << Fault::UnplugAfterWrites << 2 << 0 << failed << "Info -";
        QTest::newRow("pulled out after the parameter request") << Fault::UnplugAfterWrites << 3 << 0 << failed << "Info -";
        // Three frames of three writes each: parameters, serial inside the open,
        // then the panel's own serial request is cut off after its header.
        QTest::newRow("pulled out during the serial query") << Fault::UnplugAfterWrites << 7 << 0 << ok << "Serial No unknown";
        QTest::newRow("serial never answered") << Fault::SilentSerial << 0 << 0 << ok << "Serial No unknown";
        QTest::newRow("garbage for answers") << Fault::Garbage << 0 << 0 << failed << "Info -";
        QTest::newRow("endless foreign frames") << Fault::EndlessBabble << 0 << 0 << failed << "Info -";
        QTest::newRow("foreign frames before every reply") << Fault::ForeignFrames << 300 << 0 << ok << "Serial No 201000";
        // Write calls 0-2: the parameter request, which is sent again after a
        // purge; 6-8: the panel's serial request.
        QTest::newRow("parameter header not written") << Fault::WriteCut << 0 << 0 << ok << "Serial No 201000";
        QTest::newRow("parameter payload cut") << Fault::WriteCut << 1 << 1 << failed << "Info -";
        QTest::newRow("parameter end byte lost") << Fault::WriteCut << 2 << 0 << failed << "Info -";
        QTest::newRow("serial header cut") << Fault::WriteCut << 6 << 3 << ok << "Serial No unknown";
        QTest::newRow("serial end byte lost") << Fault::WriteCut << 8 << 0 << ok << "Serial No unknown";
    }

    void faultsWhileOpening()
    {
        QFETCH(Fault, fault);
        QFETCH(int, param);
        QFETCH(int, accepted);
        QFETCH(QString, tryText);
        QFETCH(QString, infoText);
        EmulatedBus &bus = emulatedBus(1);
        EmulatedWidget &widget = bus.widget(0);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        switch (fault) {
        case Fault::OpenRefused: faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_FOUND, 3); break;
        case Fault::UnplugAfterWrites: widget.unplugAfterWrites(param); break;
        case Fault::SilentSerial: widget.setAutoReply(GET_WIDGET_SERIAL, false); break;
        case Fault::Garbage: widget.setGarbageReplies(true); break;
        case Fault::EndlessBabble:
            widget.setEndlessForeignFrames(true);
            widget.setAutoReply(GET_WIDGET_PARAMS, false);
            break;
        case Fault::ForeignFrames: widget.setForeignFramesBeforeReply(param); break;
        case Fault::WriteCut:
            faults().setWriteFilter([param, accepted](FilteredCall &write) {
                if (write.callIndex == param)
                    write.allowed = DWORD(accepted);
            });
            break;
        }
        QElapsedTimer clock;
        clock.start();
        click(&window, "devOpenBtn");
        // No more than two reads wait in vain, and a babbling widget is given up.
        QVERIFY2(clock.elapsed() < (fault == Fault::EndlessBabble ? 10000 : 1000), qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(label(&window, "tryLbl"), tryText);
        QCOMPARE(label(&window, "infoLbl"), infoText);
        QCOMPARE(!gLink->handle, tryText.endsWith("Failed"));
        if (infoText == "Serial No unknown")
            QCOMPARE(windowLog(&window).last(), QString("The serial number could not be read"));

        // Pulled out and plugged in again, the widget starts afresh and opens.
        widget.unplug();
        widget.replug();
        widget.setGarbageReplies(false);
        widget.setEndlessForeignFrames(false);
        widget.setAutoReply(GET_WIDGET_PARAMS, true);
        widget.setAutoReply(GET_WIDGET_SERIAL, true);
        faults().clear();
        if (gOpenDevice != -1)
            click(&window, "devOpenBtn");
        click(&window, "scanDevicesBtn");
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Connected"));
        QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
