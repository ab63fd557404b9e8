// Opening a widget: attempts, the parameter query with its resend and
// re-read, the report, against emulated widgets with the waits recorded.
#include "testsupport.h"
#include "widgetlink.h"

#include <QElapsedTimer>

using lumora::D2xxCall;
using lumora::EmulatedBus;
using lumora::EmulatedWidget;
using lumora::FilteredWrite;

namespace {
const QString Try = "\n------ D2XX ------- Opening [Device %1] ------ Try %2";
const QString Sending = "Sending GET_WIDGET_PARAMS packet... ";
const QString Connected = "\n PRO Connected Succesfully";
const QString Waiting = "\nWaiting for GET_WIDGET_PARAMS_REPLY packet... ";
const QString Received = "\n GET WIDGET REPLY Received ... ";
const QString Report = "\n-----------::PRO Connected [Information Follows]::------------";

QByteArray paramsFrame(QByteArray payload, char end = char(0xE7))
{
    return bytes({0x7E, 0x03, payload.size(), 0x00}) + payload + QByteArray(1, end);
}
} // namespace

class TestOpen : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { emulatedBus(0); }

    void openReportsTheWidget();
    void attempts_data();
    void attempts();
    void parameterRequestResentOnce_data();
    void parameterRequestResentOnce();
    void parameterReplyReadTwice_data();
    void parameterReplyReadTwice();
    void driverAndLatencyUnavailable();
    void timingConversions_data();
    void timingConversions();
    void staleBytesArePurged();
    void silentSerialQueryDoesNotFailTheOpen();
    void reopenClosesTheHeldHandleFirst();
};

void TestOpen::openReportsTheWidget()
{
    EmulatedBus &bus = emulatedBus(1);
    bus.driverVersionValue = 0xAB021210;
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QCOMPARE(link.open(0), 1);
    QVERIFY(link.handle);
    QCOMPARE(sleeps.waits, QVector<int>{750});
    QCOMPARE(log.messages, (QStringList{Try.arg(0).arg(0), "\nD2XX Driver Version:: 02.12.10 ", "\nLatency Timer:: 16 ",
                                        Sending, Connected, Waiting, Received, Report,
                                        "\n\t\t  FIRMWARE VERSION: 1.44", "\n\t\t  BREAK TIME: 196 micro sec ",
                                        "\n\t\t  MAB TIME: 10 micro sec"}));
    QCOMPARE(out.take(), QByteArray("\n\t\t  SEND REFRESH RATE: 40 packets/sec"));
    const QByteArray expected = bytes({0x2C, 0x01, 0x09, 0x01, 0x28});
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&link.params), 5), expected);
    // The parameter request, then the serial request, and nothing else.
    QCOMPARE(bus.widget(0).wire(), bytes({0x7E, 0x03, 0x02, 0x00, 0x00, 0x00, 0xE7, 0x7E, 0x0A, 0x02, 0x00, 0x00,
                                          0x00, 0xE7}));
    QCOMPARE(bus.widget(0).pendingBytes(), 0);

    // The time-outs it set: a silent read gives up after 120 ms.
    unsigned char byte;
    DWORD got = 1;
    QElapsedTimer timer;
    timer.start();
    FT_Read(link.handle, &byte, 1, &got);
    QCOMPARE(got, DWORD(0));
    QVERIFY(timer.elapsed() >= 110 && timer.elapsed() < 400);
    link.close();
}

void TestOpen::attempts_data()
{
    QTest::addColumn<int>("failingOpens");
    QTest::addColumn<int>("result");
    QTest::newRow("first attempt") << 0 << 1;
    QTest::newRow("second attempt") << 1 << 1;
    QTest::newRow("third attempt") << 2 << 1;
    QTest::newRow("three failures") << 3 << 0;
}

void TestOpen::attempts()
{
    QFETCH(int, failingOpens);
    QFETCH(int, result);
    EmulatedBus &bus = emulatedBus(2);
    if (failingOpens)
        faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, failingOpens);
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QCOMPARE(link.open(1), result);
    const int attempts = qMin(failingOpens + 1, 3);
    QCOMPARE(faults().calls(D2xxCall::Open), attempts);
    // Every attempt is followed by the pause, the successful one too.
    QCOMPARE(sleeps.waits, QVector<int>(attempts, 750));
    for (int i = 0; i < attempts; ++i)
        QCOMPARE(log.messages.value(i), Try.arg(1).arg(i));
    if (result) {
        QVERIFY(link.handle);
        QVERIFY(bus.widget(1).isOpen());
        QCOMPARE(log.messages.value(attempts + 2), Sending);
        link.close();
    } else {
        QVERIFY(!link.handle);
        // The three opening lines, then why it failed.
        QCOMPARE(log.messages.size(), 4);
        QVERIFY2(log.messages.last().startsWith("Opening device 1 failed: FT_DEVICE_NOT_OPENED"),
                 qPrintable(log.messages.last()));
        QVERIFY(out.take().isEmpty());
    }
}

void TestOpen::parameterRequestResentOnce_data()
{
    QTest::addColumn<int>("failingSends");
    QTest::addColumn<int>("result");
    QTest::newRow("resend succeeds") << 1 << 1;
    QTest::newRow("resend fails") << 2 << 0;
}

void TestOpen::parameterRequestResentOnce()
{
    QFETCH(int, failingSends);
    QFETCH(int, result);
    EmulatedBus &bus = emulatedBus(1);
    // The header write of the first one or two parameter requests times out.
    faults().setWriteFilter([failingSends](FilteredWrite &write) {
        if (write.callIndex < failingSends)
            write.accepted = 0;
    });
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QCOMPARE(link.open(0), result);
    // Purged once before the request and once for the transmit side.
    QCOMPARE(faults().calls(D2xxCall::Purge), 2);
    QVERIFY(!log.messages.contains(Connected));
    if (result) {
        QCOMPARE(log.messages.value(log.messages.indexOf(Sending) + 1), Waiting);
        QVERIFY(link.handle);
        link.close();
    } else {
        QCOMPARE(log.messages.value(log.messages.size() - 2), Sending);
        QVERIFY(log.messages.last().startsWith("Device 0 did not take its parameter request"));
        QVERIFY(!link.handle);
        QVERIFY(!bus.widget(0).isOpen());
    }
}

void TestOpen::parameterReplyReadTwice_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("result");
    const QByteArray good = paramsFrame(bytes({0x0A, 0x01, 0x0A, 0x0A, 0x00}));
    QTest::newRow("second read succeeds") << paramsFrame(bytes({1, 2, 3, 4, 5}), 0x00) + good << 1;
    QTest::newRow("both reads fail") << paramsFrame(bytes({1, 2, 3, 4, 5}), 0x00) + bytes({0x7E, 0x03, 0x09}) << 0;
}

void TestOpen::parameterReplyReadTwice()
{
    QFETCH(QByteArray, reply);
    QFETCH(int, result);
    EmulatedBus &bus = emulatedBus(1);
    bus.widget(0).scriptReply(GET_WIDGET_PARAMS, reply);
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    link.params = {7, 7, 7, 7, 7};
    QCOMPARE(link.open(0), result);
    QVERIFY(!log.messages.contains(Received));
    // No second request: the re-read takes what the first request brought.
    QCOMPARE(bus.widget(0).framesReceived(GET_WIDGET_PARAMS), 1);
    if (result) {
        QCOMPARE(log.messages.value(log.messages.indexOf(Waiting) + 1), Report);
        QCOMPARE(log.messages.value(log.messages.indexOf(Report) + 1), QString("\n\t\t  FIRMWARE VERSION: 1.10"));
        QCOMPARE(log.messages.value(log.messages.indexOf(Report) + 2), QString("\n\t\t  BREAK TIME: 206 micro sec "));
        QCOMPARE(log.messages.value(log.messages.indexOf(Report) + 3), QString("\n\t\t  MAB TIME: 106 micro sec"));
        QCOMPARE(out.take(), QByteArray("\n\t\t  SEND REFRESH RATE: 0 packets/sec"));
        link.close();
    } else {
        QCOMPARE(log.messages.value(log.messages.size() - 2), Waiting);
        QVERIFY(log.messages.last().startsWith("Device 0 did not answer its parameter request"));
        QVERIFY(!link.handle);
        QVERIFY(!bus.widget(0).isOpen());
        QCOMPARE(link.params.firmwareLsb, uint8_t(7));
        QCOMPARE(link.params.refreshRate, uint8_t(7));
    }
}

void TestOpen::driverAndLatencyUnavailable()
{
    EmulatedBus &bus = emulatedBus(1);
    faults().failCall(D2xxCall::DriverVersion, FT_IO_ERROR);
    faults().failCall(D2xxCall::LatencyTimer, FT_IO_ERROR);
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QCOMPARE(link.open(0), 1);
    QCOMPARE(log.messages.mid(1, 2), (QStringList{"Unable to Get D2XX Driver Version", "\nUnable to Get Latency Timer"}));
    link.close();
}

void TestOpen::timingConversions_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("breakUs");
    QTest::addColumn<int>("mabUs");
    QTest::newRow("0") << 0 << 100 << 0;
    QTest::newRow("1") << 1 << 110 << 10;
    QTest::newRow("9") << 9 << 196 << 96;
    QTest::newRow("10") << 10 << 206 << 106;
    QTest::newRow("100") << 100 << 1167 << 1067;
    QTest::newRow("255") << 255 << 2820 << 2720;
}

void TestOpen::timingConversions()
{
    QFETCH(int, value);
    QFETCH(int, breakUs);
    QFETCH(int, mabUs);
    QCOMPARE(WidgetLink::breakTimeMicroseconds(uint8_t(value)), breakUs);
    QCOMPARE(WidgetLink::mabTimeMicroseconds(uint8_t(value)), mabUs);
}

void TestOpen::staleBytesArePurged()
{
    EmulatedBus &bus = emulatedBus(1);
    // A reply left over from before the open would otherwise be taken.
    bus.widget(0).injectBytes(paramsFrame(bytes({9, 9, 9, 9, 9})));
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QCOMPARE(link.open(0), 1);
    QCOMPARE(link.params.firmwareLsb, uint8_t(44));
    link.close();
}

void TestOpen::silentSerialQueryDoesNotFailTheOpen()
{
    EmulatedBus &bus = emulatedBus(1);
    bus.widget(0).setAutoReply(GET_WIDGET_SERIAL, false);
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(link.open(0), 1);
    QVERIFY(timer.elapsed() >= 110);
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(log.messages.last(), QString("\n\t\t  MAB TIME: 10 micro sec"));
    link.close();
}

void TestOpen::reopenClosesTheHeldHandleFirst()
{
    EmulatedBus &bus = emulatedBus(1);
    SleepRecorder sleeps;
    MessageCapture log;
    StdoutCapture out;
    WidgetLink link;
    QCOMPARE(link.open(0), 1);
    // Re-opening the same widget works only because the old handle is closed.
    QCOMPARE(link.open(0), 1);
    QCOMPARE(faults().calls(D2xxCall::Close), 1);
    faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_FOUND, 3);
    QCOMPARE(link.open(0), 0);
    QCOMPARE(faults().calls(D2xxCall::Close), 2);
    QVERIFY(!bus.widget(0).isOpen());
    QVERIFY(!link.handle);
}

QTEST_GUILESS_MAIN(TestOpen)
#include "tst_open.moc"
