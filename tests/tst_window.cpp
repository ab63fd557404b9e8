// The window through its own widgets, on emulated widgets: the form and its
// start state, the log panel, Scan Devices, Open and Close, and what an open
// widget shows, also when the widget misbehaves.
#include "devicepanel.h"
#include "logview.h"
#include "mainwindowpro.h"
#include "testsupport.h"
#include "version.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QTextBlock>
#include <QThread>
#include <QTimer>

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
enum class Fault { OpenRefused, UnplugAfterWrites, Garbage, EndlessBabble, ForeignFrames, WriteCut };

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
        QVERIFY(child<QPushButton>(&window, "scanDevicesBtn")->isEnabled());
        QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
        QVERIFY(!child<QPushButton>(&window, "devOpenBtn")->isEnabled());
        QVERIFY(!child<QGroupBox>(&window, "groupBox_3")->isEnabled());
        QVERIFY(!child<QGroupBox>(&window, "groupBox")->isEnabled());
        QCOMPARE(spins(&window), (QVector<int>{0, 1, 9}));
        auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
        QVERIFY(log->isReadOnly() && log->document()->isEmpty());
        QVERIFY(gLink && !gLink->handle);
        // The second control group lies almost wholly outside its parent.
        QVERIFY(child<QPushButton>(&window, "updBtn_2")->visibleRegion().isEmpty());
    }

    // Help > About names the version, Qt's and libftdi1's, and says that the
    // widgets are emulated.
    void aboutBox()
    {
        MainWindowPro window;
        window.show();
        QAction *about = nullptr;
        for (QAction *menu : window.menuBar()->actions())
            if (menu->text() == "&Help" && menu->menu() && !menu->menu()->actions().isEmpty())
                about = menu->menu()->actions().first();
        QVERIFY(about);
        QCOMPARE(about->text(), QString("&About Lumora Configurator"));
        QString shown;
        QTimer::singleShot(0, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->accept();
            }
        });
        about->trigger();
        QVERIFY2(shown.startsWith("Lumora Configurator " + lumora::programVersion() + "\n"), qPrintable(shown));
        QVERIFY(lumora::programVersion().contains(QRegularExpression("^\\d+\\.\\d+\\.\\d+$")));
        QVERIFY2(shown.contains(QString("Qt %1, libftdi1 %2").arg(qVersion(), lumora::libftdiVersion())), qPrintable(shown));
        QVERIFY2(shown.contains("Emulated widgets (LUMORA_EMULATOR=0): no real widget is touched"), qPrintable(shown));
    }

    void logLine_data()
    {
        QTest::addColumn<int>("type"); // -1: a debug message from another thread
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("debug") << int(QtDebugMsg) << "Starting firmware update" << "Starting firmware update";
        QTest::newRow("Qt's warning, no level shown") << int(QtWarningMsg) << "a warning" << "a warning";
        QTest::newRow("line breaks and tabs fold") << int(QtDebugMsg) << "\n\t\t  FIRMWARE VERSION: 1.44"
                                                   << "FIRMWARE VERSION: 1.44";
        QTest::newRow("a tag stays text") << int(QtDebugMsg) << "<b>bold</b> file" << "<b>bold</b> file";
        QTest::newRow("an entity stays text") << int(QtDebugMsg) << "Tom &amp; Jerry & co" << "Tom &amp; Jerry & co";
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
        QTest::addColumn<int>("line");   // where the selection starts
        QTest::addColumn<int>("length"); // -1: to the end of the log
        QTest::addColumn<QString>("selected");
        QTest::newRow("part of an early line") << 1 << 4 << "line";
        QTest::newRow("up to the end of the log") << 49 << -1 << "line 49";
    }

    void logKeepsTheUsersPlace()
    {
        QFETCH(int, line);
        QFETCH(int, length);
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
        if (length < 0)
            select.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        else
            select.movePosition(QTextCursor::Right, QTextCursor::KeepAnchor, length);
        log->setTextCursor(select);
        log->verticalScrollBar()->setValue(0);
        qDebug("line 50");
        QCOMPARE(log->textCursor().selectedText(), selected);
        QVERIFY(log->verticalScrollBar()->maximum() > 0);
        QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
        QCOMPARE(logMessages(log).size(), 51);
        QCOMPARE(logMessages(log).last(), QString("line 50"));
    }

    void scan_data()
    {
        QTest::addColumn<QList<QByteArray>>("descriptions");
        QTest::addColumn<QList<QByteArray>>("serials");
        QTest::addColumn<D2xxCall>("failing");
        QTest::addColumn<QStringList>("expected");
        const QList<QByteArray> two{"Lumora USB DMX", "Lumora USB DMX"};
        const QList<QByteArray> serials{"EM000001", "EM000002"};
        const D2xxCall none = D2xxCall::CallKinds;
        QTest::newRow("none") << QList<QByteArray>{} << QList<QByteArray>{} << none << QStringList();
        QTest::newRow("two") << two << serials << none
                             << QStringList{"Lumora USB DMX (SN: EM000001)", "Lumora USB DMX (SN: EM000002)"};
        QTest::newRow("empty fields") << QList<QByteArray>{""} << QList<QByteArray>{""} << none << QStringList{" (SN: )"};
        QTest::newRow("marker in description") << QList<QByteArray>{"Box %1 here"} << QList<QByteArray>{"S9"} << none
                                               << QStringList{"Box S9 here (SN: %2)"};
        QTest::newRow("Latin-1") << QList<QByteArray>{"Lichtst\xe4rke"} << QList<QByteArray>{"\xb5"} << none
                                 << QStringList{QString::fromUtf8("Lichtstärke (SN: µ)")};
        QTest::newRow("fields filled, no NUL") << QList<QByteArray>{QByteArray(80, 'd')}
                                               << QList<QByteArray>{QByteArray(20, 's')} << none
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
        QCOMPARE(gDeviceList.size(), expected.size());

        // A later scan replaces the list, and never disables Open again.
        if (failing == D2xxCall::CallKinds && !expected.isEmpty())
            bus.widget(0).unplug();
        gOpenDevice = 7;
        click(&window, "scanDevicesBtn");
        QCOMPARE(items(&window).size(), failing == D2xxCall::CallKinds ? qMax(expected.size() - 1, 0) : 2);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->isEnabled(), !descriptions.isEmpty());
        QCOMPARE(gOpenDevice, -1);
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

    void failedOpen_data()
    {
        QTest::addColumn<int>("gone"); // widgets pulled out after the list; 2 and a rescan: none left
        QTest::addColumn<QString>("reason");
        QTest::newRow("three attempts fail") << 0 << "Opening device 0 failed: FT_DEVICE_NOT_OPENED";
        QTest::newRow("pulled out after the list") << 1
            << "Opening device 0 failed: widget EM000001 was unplugged after the device list was made: scan again"
               " (FT_DEVICE_NOT_FOUND)";
        QTest::newRow("list empty since") << 2
            << "Opening device -1 failed: there is no device -1 in the device list (0 listed): scan again"
               " (FT_DEVICE_NOT_FOUND)";
    }

    void failedOpen()
    {
        QFETCH(int, gone);
        QFETCH(QString, reason);
        EmulatedBus &bus = emulatedBus(2);
        MainWindowPro window;
        click(&window, "scanDevicesBtn");
        if (gone == 0)
            faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, 3);
        for (int i = 0; i < gone; ++i)
            bus.widget(i).unplug();
        if (gone == 2)
            click(&window, "scanDevicesBtn");
        // Its neighbour is never opened in its place.
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Failed"));
        QVERIFY(!child<QPushButton>(&window, "updBtn")->isEnabled());
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
        QVERIFY(!bus.widget(1).isOpen());
        QCOMPARE(windowLog(&window).last(), reason);
        QCOMPARE(gOpenDevice, -1);
        // Back in place, it opens, and a successful open unlocks the update again.
        bus.widget(0).replug();
        bus.widget(1).replug();
        click(&window, "scanDevicesBtn");
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString("Trying to Conncet - Connected"));
        QVERIFY(child<QPushButton>(&window, "updBtn")->isEnabled());
        QCOMPARE(gOpenDevice, 0);
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
        // One write a frame: the parameter request, the serial request inside
        // the open, then the panel's own serial request.
        QTest::newRow("pulled out after the parameter request") << Fault::UnplugAfterWrites << 1 << 0 << failed << "Info -";
        QTest::newRow("pulled out during the serial query") << Fault::UnplugAfterWrites << 3 << 0 << ok << "Serial No unknown";
        QTest::newRow("garbage for answers") << Fault::Garbage << 0 << 0 << failed << "Info -";
        QTest::newRow("endless foreign frames") << Fault::EndlessBabble << 0 << 0 << failed << "Info -";
        QTest::newRow("foreign frames before every reply") << Fault::ForeignFrames << 300 << 0 << ok << "Serial No 201000";
        QTest::newRow("parameter request cut") << Fault::WriteCut << 0 << 5 << failed << "Info -";
        QTest::newRow("serial end byte lost") << Fault::WriteCut << 2 << 6 << ok << "Serial No unknown";
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
