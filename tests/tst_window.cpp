// The window through its own widgets, on emulated widgets: the form and its
// start state, the log panel, Scan Devices, Open and Close, and what an open
// widget shows, also when the widget misbehaves.
#include "logview.h"
#include "mainwindowpro.h"
#include "testsupport.h"
#include "version.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
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

// The device panel at a glance: its labels, the spin boxes, the Open
// button's text, then the controls that take input.
QString panel(QObject *window)
{
    QStringList parts;
    for (const char *name : {"tryLbl", "infoLbl", "fwLbl"})
        parts << label(window, name);
    for (const char *name : {"rateSpin", "mabSpin", "breakSpin"})
        parts << QString::number(child<QSpinBox>(window, name)->value());
    parts << child<QPushButton>(window, "devOpenBtn")->text();
    for (const char *name : {"scanDevicesBtn", "deviceListBox", "devOpenBtn", "groupBox_3", "groupBox", "updBtn"})
        if (child<QWidget>(window, name)->isEnabled())
            parts << name;
    return parts.join('|');
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
enum class Fault { OpenRefused, Unplugged, UnplugAfterWrites, Garbage, EndlessBabble, WriteCut };

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
        QCOMPARE(window.width(), 592);
        QCOMPARE(window.minimumSize(), window.maximumSize());
        // The form keeps its room under the menu bar: the log is not cut off.
        QVERIFY(window.centralWidget()->height() >= child<QWidget>(&window, "groupBox_6")->geometry().bottom() + 1);
        QCOMPARE(window.windowTitle(), QString("Tesvar Lumora Configurator"));
        QCOMPARE(panel(&window), QString("Trying to Connect -|Info -|Checking Firmware -|0|1|9|Open|scanDevicesBtn|deviceListBox"));
        auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
        QVERIFY(log->isReadOnly() && log->document()->isEmpty());
        // The second control group lies almost wholly outside its parent.
        QVERIFY(child<QPushButton>(&window, "updBtn_2")->visibleRegion().isEmpty());

        // Recover Widget... waits for a scan; Help > About names the version,
        // Qt's and libftdi1's, and says that the widgets are emulated.
        QStringList menus;
        for (QAction *menu : window.menuBar()->actions())
            for (QAction *item : menu->menu()->actions())
                menus << menu->text() + " > " + item->text() + (item->isEnabled() ? "" : " (off)");
        QCOMPARE(menus, (QStringList{"Device > Recover Widget... (off)", "&Help > &About Lumora Configurator"}));
        DialogDriver about(QString(), QMessageBox::Ok);
        window.menuBar()->actions().last()->menu()->actions().first()->trigger();
        QVERIFY(lumora::programVersion().contains(QRegularExpression("^\\d+\\.\\d+\\.\\d+$")));
        QCOMPARE(about.boxText, QString("Lumora Configurator %1\n\nFinds USB DMX512 widgets, shows their settings and updates"
                                        " their firmware.\n\nQt %2, libftdi1 %3\nEmulated widgets (LUMORA_EMULATOR=0): no"
                                        " real widget is touched")
                                    .arg(lumora::programVersion(), qVersion(), lumora::libftdiVersion()));
    }

    void logLine_data()
    {
        QTest::addColumn<int>("type"); // -1: a debug message from another thread
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("Qt's warning, no level shown") << int(QtWarningMsg) << "a warning" << "a warning";
        QTest::newRow("line breaks and tabs fold") << int(QtDebugMsg) << "\n\t\t  FIRMWARE VERSION: 1.44"
                                                   << "FIRMWARE VERSION: 1.44";
        QTest::newRow("tags and entities stay text") << int(QtDebugMsg) << "<b>Tom</b> &amp; Jerry & co"
                                                     << "<b>Tom</b> &amp; Jerry & co";
        QTest::newRow("from another thread") << -1 << "from a worker" << "from a worker";
    }

    void logLine()
    {
        QFETCH(int, type);
        QFETCH(QString, message);
        QFETCH(QString, shown);
        auto log = [](const QString &text, int type) {
            if (type == QtWarningMsg)
                qWarning().noquote() << text;
            else
                qDebug().noquote() << text;
        };
        {
            MainWindowPro window;
            auto *view = child<QPlainTextEdit>(&window, "plainTextEdit");
            const QDateTime before = QDateTime::currentDateTime();
            std::unique_ptr<QThread> worker(QThread::create(log, message, type));
            if (type < 0) {
                // Handed over, not written by the worker: it shows once the loop runs.
                worker->start();
                QVERIFY(worker->wait(5000));
                QVERIFY(view->document()->isEmpty());
                QTRY_VERIFY(!view->document()->isEmpty());
            } else {
                log(message, type);
            }
            QCOMPARE(view->document()->blockCount(), 1);
            const QRegularExpressionMatch line =
                QRegularExpression("^(\\d{4}\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d) (.*)$").match(view->toPlainText());
            QVERIFY2(line.hasMatch(), qPrintable(view->toPlainText()));
            QVERIFY(qAbs(QDateTime::fromString(line.captured(1), "yyyy.MM.dd hh:mm:ss").secsTo(before)) <= 2);
            QCOMPARE(line.captured(2), shown);
        }
        // The panel is gone; late messages, from any thread, touch nothing.
        QVERIFY(gLogView.isNull());
        log(message, type);
        std::unique_ptr<QThread> late(QThread::create(log, message, type));
        late->start();
        QVERIFY(late->wait(5000));
        QCoreApplication::processEvents();
    }

    void logKeepsTheUsersPlace_data()
    {
        QTest::addColumn<int>("line"); // where the selection starts
        QTest::addColumn<int>("move"); // four letters to the right, or to the end of the log
        QTest::addColumn<QString>("selected");
        QTest::newRow("part of an early line") << 1 << int(QTextCursor::Right) << "line";
        QTest::newRow("up to the end of the log") << 49 << int(QTextCursor::End) << "line 49";
    }

    void logKeepsTheUsersPlace()
    {
        QFETCH(int, line);
        QFETCH(int, move);
        QFETCH(QString, selected);
        MainWindowPro window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
        for (int i = 0; i < 50; ++i)
            qDebug("line %d", i);
        // The user selects text and scrolls up: a new line still goes at the
        // end and into view, and the selection stays exactly as made.
        QTextCursor select(log->document()->findBlockByNumber(line));
        select.movePosition(QTextCursor::Right, QTextCursor::MoveAnchor, 20);
        select.movePosition(QTextCursor::MoveOperation(move), QTextCursor::KeepAnchor, 4);
        log->setTextCursor(select);
        log->verticalScrollBar()->setValue(0);
        qDebug("line 50");
        QCOMPARE(log->textCursor().selectedText(), selected);
        QVERIFY(log->verticalScrollBar()->maximum() > 0);
        QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
        const QStringList lines = windowLog(&window);
        QCOMPARE(lines.size(), 51);
        QCOMPARE(lines.last(), QString("line 50"));
    }

    void scan_data()
    {
        QTest::addColumn<QList<QByteArray>>("descriptions");
        QTest::addColumn<QList<QByteArray>>("serials");
        QTest::addColumn<D2xxCall>("failing");
        QTest::addColumn<QStringList>("expected");
        using Fields = QList<QByteArray>;
        const Fields two{"Lumora USB DMX", "Lumora USB DMX"}, serials{"EM000001", "EM000002"};
        const D2xxCall none = D2xxCall::CallKinds;
        QTest::newRow("none") << Fields{} << Fields{} << none << QStringList();
        QTest::newRow("two") << two << serials << none
                             << QStringList{"Lumora USB DMX (SN: EM000001)", "Lumora USB DMX (SN: EM000002)"};
        QTest::newRow("empty fields") << Fields{""} << Fields{""} << none << QStringList{" (SN: )"};
        QTest::newRow("marker in description") << Fields{"Box %1 here"} << Fields{"S9"} << none
                                               << QStringList{"Box S9 here (SN: %2)"};
        QTest::newRow("UTF-8") << Fields{"Lichtst\xc3\xa4rke"} << Fields{"\xc2\xb5"} << none
                                 << QStringList{QString::fromUtf8("Lichtstärke (SN: µ)")};
        QTest::newRow("fields filled, no NUL") << Fields{QByteArray(80, 'd')} << Fields{QByteArray(20, 's')} << none
                                               << QStringList{QString(64, 'd') + " (SN: " + QString(16, 's') + ")"};
        // A list that cannot be read is no list: nothing to open.
        QTest::newRow("list not read") << two << serials << D2xxCall::GetDeviceInfoList << QStringList();
        QTest::newRow("list not built") << two << serials << D2xxCall::CreateDeviceInfoList << QStringList();
    }

    void scan()
    {
        QFETCH(QList<QByteArray>, descriptions);
        QFETCH(QList<QByteArray>, serials);
        QFETCH(D2xxCall, failing);
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
        if (failing != D2xxCall::CallKinds)
            faults().failCall(failing, FT_OTHER_ERROR);
        click(&window, "scanDevicesBtn");
        // Flushed by the program itself, so a pipe sees the line at once; a
        // count that could not be had is not printed.
        QCOMPARE(out->peek(), failing == D2xxCall::CreateDeviceInfoList
                                  ? QByteArray()
                                  : "Number of devices is " + QByteArray::number(qMax(expected.size(), descriptions.size())) + "\n");
        QStringList log{QString("found %1 devices").arg(expected.size())};
        // A widget whose strings could not be read is mentioned, with the reason.
        if (serials.value(0) == "" && descriptions.value(0) == "" && !serials.isEmpty())
            log << "1 of 1 devices could not be asked for their description and serial number: no permission to use"
                   " them? Install the udev rule or join the plugdev group (see the README), then plug them in again";
        QCOMPARE(windowLog(&window), log);
        QCOMPARE(items(&window), expected);
        QCOMPARE(child<QComboBox>(&window, "deviceListBox")->currentIndex(), expected.isEmpty() ? -1 : 0);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->isEnabled(), !expected.isEmpty());
        QCOMPARE(child<QAction>(&window, "recoverAction")->isEnabled(), !expected.isEmpty());

        // A later scan replaces the list, and never disables Open again.
        if (failing == D2xxCall::CallKinds && !expected.isEmpty())
            bus.widget(0).unplug();
        gOpenDevice = 7;
        click(&window, "scanDevicesBtn");
        QCOMPARE(items(&window).size(), failing == D2xxCall::CallKinds ? qMax(expected.size() - 1, 0) : 2);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->isEnabled(), !descriptions.isEmpty());
        QCOMPARE(gOpenDevice, -1);
    }

    // Open, Close and Scan Devices on an open widget: what the closed widget
    // reported stays on show, the groups stay usable, and the next Open opens
    // what the list shows.
    void openCloseAndRescan()
    {
        EmulatedBus &bus = emulatedBus(2);
        {
            MainWindowPro window;
            click(&window, "scanDevicesBtn");
            child<QComboBox>(&window, "deviceListBox")->setCurrentIndex(1);
            click(&window, "devOpenBtn");
            const QString shown = "|Serial No 201001|Cheking firmware - Found - 1.44|";
            QCOMPARE(panel(&window), "Trying to Conncet - Connected" + shown
                                         + "40|1|9|Close|scanDevicesBtn|devOpenBtn|groupBox_3|groupBox|updBtn");
            QCOMPARE(gOpenDevice, 1);
            QVERIFY(windowLog(&window).contains("FIRMWARE VERSION: 1.44"));
            // The serial query inside the open, then the panel's own.
            QCOMPARE(bus.widget(1).framesReceived(GET_WIDGET_SERIAL), 2);
            for (int rescan : {0, 1}) {
                click(&window, rescan ? "scanDevicesBtn" : "devOpenBtn");
                QCOMPARE(panel(&window),
                         shown + "0|1|9|Open|scanDevicesBtn|deviceListBox|devOpenBtn|groupBox_3|groupBox|updBtn");
                QVERIFY(!bus.widget(1).isOpen() && !gLink->handle);
                QCOMPARE(gOpenDevice, -1);
                click(&window, "devOpenBtn");
                QCOMPARE(gOpenDevice, 1 - rescan);
                QVERIFY(bus.widget(1 - rescan).isOpen() && !bus.widget(rescan).isOpen());
            }
            QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
        }
        // The window lets go of the widget it held when it goes.
        QVERIFY(!bus.widget(0).isOpen());
        QVERIFY(!gLink);
    }

    void failedOpen_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<int>("param");
        QTest::addColumn<bool>("connects"); // but the serial number cannot be read
        QTest::addColumn<QString>("lastLog");
        const QString silent = "The widget does not answer. If its last update was cut off it waits in its loader:"
                               " use Device > Recover Widget...";
        QTest::newRow("three attempts fail") << Fault::OpenRefused << 0 << false
                                             << "Opening device 0 failed: FT_DEVICE_NOT_OPENED";
        // Widgets pulled out after the list; both and a rescan: none left.
        QTest::newRow("pulled out after the list") << Fault::Unplugged << 1 << false
            << "Opening device 0 failed: widget EM000001 was unplugged after the device list was made: scan again"
               " (FT_DEVICE_NOT_FOUND)";
        QTest::newRow("list empty since") << Fault::Unplugged << 2 << false
            << "Opening device -1 failed: there is no device -1 in the device list (0 listed): scan again"
               " (FT_DEVICE_NOT_FOUND)";
        // One write a frame: the parameter request, the serial request inside
        // the open, then the panel's own serial request.
        QTest::newRow("pulled out after the parameter request") << Fault::UnplugAfterWrites << 1 << false << silent;
        QTest::newRow("pulled out during the serial query") << Fault::UnplugAfterWrites << 3 << true
                                                            << "The serial number could not be read";
        QTest::newRow("garbage for answers") << Fault::Garbage << 0 << false << silent;
        QTest::newRow("endless foreign frames") << Fault::EndlessBabble << 0 << false << silent;
        // 5 bytes of the parameter request.
        QTest::newRow("parameter request cut") << Fault::WriteCut << 5 << false << silent;
    }

    void failedOpen()
    {
        QFETCH(Fault, fault);
        QFETCH(int, param);
        QFETCH(bool, connects);
        QFETCH(QString, lastLog);
        EmulatedBus &bus = emulatedBus(2);
        EmulatedWidget &widget = bus.widget(0);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        switch (fault) {
        case Fault::OpenRefused: faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, 3); break;
        case Fault::Unplugged:
            for (int i = 0; i < param; ++i)
                bus.widget(i).unplug();
            if (param == 2)
                click(&window, "scanDevicesBtn");
            break;
        case Fault::UnplugAfterWrites: widget.unplugAfterWrites(param); break;
        case Fault::Garbage: widget.setGarbageReplies(true); break;
        case Fault::EndlessBabble:
            widget.setEndlessForeignFrames(true);
            widget.setAutoReply(GET_WIDGET_PARAMS, false);
            break;
        case Fault::WriteCut:
            faults().setWriteFilter([param](FilteredCall &write) {
                if (write.callIndex == 0)
                    write.allowed = DWORD(param);
            });
            break;
        }
        QElapsedTimer clock;
        clock.start();
        click(&window, "devOpenBtn");
        // No more than two reads wait in vain, and a babbling widget is given up.
        QVERIFY2(clock.elapsed() < (fault == Fault::EndlessBabble ? 10000 : 1000), qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(label(&window, "tryLbl"), QString(connects ? "Trying to Conncet - Connected" : "Trying to Conncet - Failed"));
        QCOMPARE(label(&window, "infoLbl"), QString(connects ? "Serial No unknown" : "Info -"));
        // A failed open holds nothing and locks the update; its neighbour is
        // never opened in its place.
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString(connects ? "Close" : "Open"));
        QCOMPARE(child<QPushButton>(&window, "updBtn")->isEnabled(), connects);
        QCOMPARE(gOpenDevice, connects ? 0 : -1);
        QCOMPARE(!gLink->handle, !connects);
        QVERIFY(!bus.widget(1).isOpen());
        QCOMPARE(windowLog(&window).last(), lastLog);

        // Widgets that behave, found by a new scan, open, and a successful
        // open unlocks the update again.
        emulatedBus(2);
        click(&window, "scanDevicesBtn");
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Connected"));
        QCOMPARE(label(&window, "infoLbl"), QString("Serial No 201000"));
        QVERIFY(child<QPushButton>(&window, "updBtn")->isEnabled());
        QCOMPARE(gOpenDevice, 0);
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
