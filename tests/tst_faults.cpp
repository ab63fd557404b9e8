// Faults through the real window: widgets pulled out, babbling, answering
// garbage, writes cut short. No crash, no hang, and the panel says what
// happened; after re-plugging, scan and open work again.
#include "mainwindowpro.h"
#include "testsupport.h"
#include "widgetlink.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>

using lumora::D2xxCall;
using lumora::EmulatedBus;
using lumora::EmulatedWidget;
using lumora::FilteredWrite;

class TestFaults : public QObject
{
    Q_OBJECT

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

    void unpluggedDuringOpen_data();
    void unpluggedDuringOpen();
    void unpluggedDuringSerialQuery();
    void garbageAnswers();
    void endlessForeignFrames();
    void foreignFramesBeforeEveryReply();
    void writeCutShort_data();
    void writeCutShort();

private:
    static void click(MainWindowPro &w, const char *name) { QTest::mouseClick(child<QPushButton>(&w, name), Qt::LeftButton); }
    static QString tryText(MainWindowPro &w) { return child<QLabel>(&w, "tryLbl")->text(); }
    // Plugs the widget back in and checks that the panel can use it again.
    static void replugScanAndOpen(MainWindowPro &w, EmulatedWidget &widget);
    std::unique_ptr<SleepRecorder> sleeps;
    std::unique_ptr<StdoutCapture> out;
};

void TestFaults::replugScanAndOpen(MainWindowPro &window, EmulatedWidget &widget)
{
    // Pulled out and plugged in again: the widget starts afresh.
    widget.unplug();
    widget.replug();
    widget.setGarbageReplies(false);
    widget.setEndlessForeignFrames(false);
    faults().setWriteFilter({});
    if (gOpenDevice != -1)
        click(window, "devOpenBtn");
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");
    QCOMPARE(tryText(window), QString("Trying to Conncet - Connected"));
    QCOMPARE(child<QLabel>(&window, "infoLbl")->text(), QString("Serial No 201000"));
}

void TestFaults::unpluggedDuringOpen_data()
{
    QTest::addColumn<int>("writes");
    QTest::newRow("before the parameter request") << 0;
    QTest::newRow("inside the parameter request") << 2;
    QTest::newRow("after the parameter request") << 3;
}

void TestFaults::unpluggedDuringOpen()
{
    QFETCH(int, writes);
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    EmulatedWidget &widget = bus.widget(0);
    if (writes == 0)
        faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_FOUND, 3);
    else
        widget.unplugAfterWrites(writes);
    QElapsedTimer timer;
    timer.start();
    click(window, "devOpenBtn");
    // At most two reads wait in vain.
    QVERIFY2(timer.elapsed() < 600, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(tryText(window), QString("Trying to Conncet - Failed"));
    QVERIFY(!gLink->handle);
    QCOMPARE(gOpenDevice, -1);
    replugScanAndOpen(window, widget);
}

void TestFaults::unpluggedDuringSerialQuery()
{
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    // Three frames of three writes each: parameters, serial inside the open,
    // then the panel's own serial request is cut off after its header.
    bus.widget(0).unplugAfterWrites(7);
    click(window, "devOpenBtn");
    QCOMPARE(tryText(window), QString("Trying to Conncet - Connected"));
    QCOMPARE(child<QLabel>(&window, "infoLbl")->text(), QString("Serial No unknown"));
    QVERIFY(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit")).contains("The serial number could not be read"));
    replugScanAndOpen(window, bus.widget(0));
}

void TestFaults::garbageAnswers()
{
    EmulatedBus &bus = emulatedBus(1);
    bus.widget(0).setGarbageReplies(true);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    QElapsedTimer timer;
    timer.start();
    click(window, "devOpenBtn");
    QVERIFY(timer.elapsed() < 600);
    QCOMPARE(tryText(window), QString("Trying to Conncet - Failed"));
    QVERIFY(!bus.widget(0).isOpen());
    replugScanAndOpen(window, bus.widget(0));
}

void TestFaults::endlessForeignFrames()
{
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    bus.widget(0).setEndlessForeignFrames(true);
    bus.widget(0).setAutoReply(GET_WIDGET_PARAMS, false);
    QElapsedTimer timer;
    timer.start();
    click(window, "devOpenBtn");
    // The hunt gives up instead of following the babble for ever.
    QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(tryText(window), QString("Trying to Conncet - Failed"));
    bus.widget(0).setAutoReply(GET_WIDGET_PARAMS, true);
    replugScanAndOpen(window, bus.widget(0));
}

void TestFaults::foreignFramesBeforeEveryReply()
{
    EmulatedBus &bus = emulatedBus(1);
    bus.widget(0).setForeignFramesBeforeReply(300);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");
    QCOMPARE(tryText(window), QString("Trying to Conncet - Connected"));
    QCOMPARE(child<QLabel>(&window, "infoLbl")->text(), QString("Serial No 201000"));
    QCOMPARE(child<QLabel>(&window, "fwLbl")->text(), QString("Cheking firmware - Found - 1.44"));
}

void TestFaults::writeCutShort_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<QString>("tryLabel");
    QTest::addColumn<QString>("infoLabel");
    // Calls 0-2: the parameter request, which is sent again after a purge;
    // calls 6-8: the panel's serial request.
    QTest::newRow("parameter header, nothing written") << 0 << 0 << "Trying to Conncet - Connected" << "Serial No 201000";
    QTest::newRow("parameter payload cut") << 1 << 1 << "Trying to Conncet - Failed" << "Info -";
    QTest::newRow("parameter end byte lost") << 2 << 0 << "Trying to Conncet - Failed" << "Info -";
    QTest::newRow("serial header cut") << 6 << 3 << "Trying to Conncet - Connected" << "Serial No unknown";
    QTest::newRow("serial payload cut") << 7 << 1 << "Trying to Conncet - Connected" << "Serial No unknown";
    QTest::newRow("serial end byte lost") << 8 << 0 << "Trying to Conncet - Connected" << "Serial No unknown";
}

void TestFaults::writeCutShort()
{
    QFETCH(int, call);
    QFETCH(int, accepted);
    QFETCH(QString, tryLabel);
    QFETCH(QString, infoLabel);
    EmulatedBus &bus = emulatedBus(1);
    faults().setWriteFilter([=](FilteredWrite &write) {
        if (write.callIndex == call)
            write.accepted = DWORD(accepted);
    });
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    QElapsedTimer timer;
    timer.start();
    click(window, "devOpenBtn");
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(tryText(window), tryLabel);
    QCOMPARE(child<QLabel>(&window, "infoLbl")->text(), infoLabel);
    replugScanAndOpen(window, bus.widget(0));
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
