// The link at the D2XX interface, against an emulated widget: the bytes of a
// frame on the wire, frames out of the stream, the opening of a widget with
// its attempts, resends, re-reads and report, and device strings as text.
#include "deviceinfo.h"
#include "bytetext.h"
#include "testsupport.h"
#include "widgetlink.h"

using lumora::D2xxCall;
using lumora::EmulatedBus;
using lumora::EmulatedWidget;
using lumora::FilteredCall;

namespace {

const QString Try = "\n------ D2XX ------- Opening [Device %1] ------ Try %2";
const QString Connected = "\n PRO Connected Succesfully";
const QString Received = "\n GET WIDGET REPLY Received ... ";
const QString Report = "\n-----------::PRO Connected [Information Follows]::------------";

QByteArray paramsFrame(const QByteArray &payload, char end = char(0xE7))
{
    return bytes({0x7E, 0x03, payload.size(), 0x00}) + payload + QByteArray(1, end);
}

} // namespace

class TestLink : public QObject
{
    Q_OBJECT

    EmulatedWidget *widget = nullptr;
    WidgetLink link;

    // A widget that answers nothing by itself, on a handle with the link's
    // time-outs: the stream holds what a test puts there.
    void openSilent()
    {
        widget = &emulatedBus(1).widget(0);
        for (int label : {GET_WIDGET_PARAMS, GET_WIDGET_SERIAL, PROGRAM_FLASH_PAGE})
            widget->setAutoReply(label, false);
        QCOMPARE(FT_Open(0, &link.handle), FT_STATUS(FT_OK));
        FT_SetTimeouts(link.handle, 120, 100);
    }

private slots:
    void cleanup() { link.close(); }

    void send_data()
    {
        QTest::addColumn<int>("label");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("status");      // of the write
        QTest::addColumn<QByteArray>("wire"); // what the write lets through
        QByteArray page(258, char(0x7E));
        page[0] = 0x02;
        page[1] = 0x01;
        const QByteArray header = bytes({0x7E, 0x03, 0x02, 0x00}), data = bytes({0x11, 0x22});
        QTest::newRow("empty payload") << 1 << QByteArray() << 0 << bytes({0x7E, 0x01, 0x00, 0x00, 0xE7});
        QTest::newRow("parameter request") << 3 << bytes({0, 0}) << 0 << header + bytes({0, 0, 0xE7});
        QTest::newRow("flash page") << 2 << page << 0 << bytes({0x7E, 0x02, 0x02, 0x01}) + page + bytes({0xE7});
        QTest::newRow("label beyond a byte") << 0x10A << bytes({0x55}) << 0 << bytes({0x7E, 0x0A, 0x01, 0x00, 0x55, 0xE7});
        // The frame goes out in one write; a write cut short sends nothing more.
        QTest::newRow("3 of 4 header bytes") << 3 << data << 0 << header.left(3);
        QTest::newRow("all but the end byte") << 3 << data << 0 << header + data;
        QTest::newRow("frame refused") << 3 << data << int(FT_IO_ERROR) << QByteArray();
        QTest::newRow("whole frame written, failing status") << 3 << data << int(FT_IO_ERROR)
                                                             << header + data + bytes({0xE7});
    }

    void send()
    {
        QFETCH(int, label);
        QFETCH(QByteArray, payload);
        QFETCH(int, status);
        QFETCH(QByteArray, wire);
        openSilent();
        faults().setWriteFilter([=](FilteredCall &write) {
            write.allowed = qMin(write.allowed, DWORD(wire.size()));
            write.status = FT_STATUS(status);
        });
        const bool whole = status == FT_OK && wire.size() == payload.size() + 5;
        QCOMPARE(link.sendPacket(label, reinterpret_cast<const unsigned char *>(payload.constData()), payload.size()),
                 int(whole));
        QCOMPARE(widget->wire(), wire);
        QCOMPARE(widget->writeSizes(), QVector<int>{wire.size()});
        // A failing status is an I/O failure the caller can tell from a short write.
        QCOMPARE(link.ioStatus(), FT_STATUS(status));
    }

    void receive_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("label");
        QTest::addColumn<QByteArray>("dst"); // what the caller gets; empty: the receive of 5 bytes fails

        QTest::newRow("parameter reply") << bytes({0x7E, 0x03, 0x05, 0x00, 0x2C, 0x01, 0x09, 0x01, 0x28, 0xE7}) << 3
                                         << bytes({0x2C, 0x01, 0x09, 0x01, 0x28});
        QTest::newRow("doubled start byte") << bytes({0x7E, 0x7E, 0x03, 0x01, 0x00, 0x55, 0xE7}) << 3 << bytes({0x55});
        QTest::newRow("noise before the frame") << bytes({0x00, 0xE7, 0x03, 0x7E, 0x03, 0x01, 0x00, 0x54, 0xE7}) << 3
                                                << bytes({0x54});
        QTest::newRow("other label first") << bytes({0x7E, 0x05, 0x01, 0x00, 0x00, 0xE7, 0x7E, 0x0A, 0x04, 0x00, 0x01,
                                                     0x02, 0x00, 0x00, 0xE7})
                                           << 10 << bytes({0x01, 0x02, 0x00, 0x00});
        QTest::newRow("longer reply than asked") << bytes({0x7E, 0x03, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0xE7}) << 3
                                                 << bytes({1, 2, 3, 4, 5});
        QTest::newRow("shorter reply: zeros after it") << bytes({0x7E, 0x03, 0x02, 0x00, 0x2C, 0x01, 0xE7}) << 3
                                                       << bytes({0x2C, 0x01, 0, 0, 0});
        QTest::newRow("empty page reply: a zero status") << bytes({0x7E, 0x02, 0x00, 0x00, 0xE7}) << 2 << bytes({0x00});
        QTest::newRow("wrong end byte") << bytes({0x7E, 0x03, 0x05, 0x00, 1, 2, 3, 4, 5, 0x00}) << 3 << QByteArray();
        QTest::newRow("end byte missing") << bytes({0x7E, 0x03, 0x05, 0x00, 1, 2, 3, 4, 5}) << 3 << QByteArray();
        QTest::newRow("payload cut short") << bytes({0x7E, 0x03, 0x05, 0x00, 1, 2, 3}) << 3 << QByteArray();
        QTest::newRow("length high byte missing") << bytes({0x7E, 0x03, 0x01}) << 3 << QByteArray();
        QTest::newRow("label missing") << bytes({0x7E}) << 3 << QByteArray();
        QTest::newRow("no start byte") << bytes({0x03, 0x05, 0x00, 0xE7}) << 3 << QByteArray();
        QByteArray max = bytes({0x7E, 0x03, 0x00, 0x02});
        for (int i = 0; i < 512; ++i)
            max.append(char(i));
        QTest::newRow("length 512 accepted") << max + bytes({0xE7}) << 3 << bytes({0, 1, 2, 3, 4});
        QTest::newRow("length 513 refused") << bytes({0x7E, 0x03, 0x01, 0x02}) + QByteArray(513, char(0x11)) + bytes({0xE7})
                                            << 3 << QByteArray();
    }

    void receive()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, label);
        QFETCH(QByteArray, dst);
        openSilent();
        widget->injectBytes(stream);
        const int len = dst.isEmpty() ? 5 : dst.size();
        QByteArray buffer(len, char(0xCC));
        QCOMPARE(link.receivePacket(label, reinterpret_cast<unsigned char *>(buffer.data()), len), dst.isEmpty() ? 0 : 1);
        // A failed receive leaves the caller's bytes alone.
        QCOMPARE(buffer, dst.isEmpty() ? QByteArray(len, char(0xCC)) : dst);
    }

    void hunt()
    {
        openSilent();
        unsigned char status = 0xCC;
        // The label-5 frame's payload looks like the start of a label-3 frame;
        // its "length" (E7 7E) is refused, and the real reply has lost its
        // start byte to it.
        widget->injectBytes(bytes({0x7E, 0x05, 0x02, 0x00, 0x7E, 0x03, 0xE7, 0x7E, 0x03, 0x01, 0x00, 0x55, 0xE7}));
        QCOMPARE(link.receivePacket(3, &status, 1), 0);
        QCOMPARE(link.receivePacket(3, &status, 1), 0);
        QCOMPARE(widget->pendingBytes(), 0);
        // Foreign frames are hunted through until the wanted one comes...
        QByteArray flood;
        for (int i = 0; i < 2000; ++i)
            flood += bytes({0x7E, 0x55, 0x03, 0x00, 0x7E, 0x7E, 0x05, 0xE7});
        widget->injectBytes(flood + bytes({0x7E, 0x02, 0x01, 0x00, 0x54, 0xE7}));
        QCOMPARE(link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1), 1);
        QCOMPARE(int(status), int('T'));
        // ...but a widget that never stops babbling is given up after 64 KiB,
        // however fast it babbles.
        link.receiveLimitMs = 60000;
        widget->setEndlessForeignFrames(true);
        faults().clearCallCounts();
        QCOMPARE(link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1), 0);
        QVERIFY(faults().calls(D2xxCall::Read) > 65536 && faults().calls(D2xxCall::Read) <= 65537);
    }

    void openReport()
    {
        EmulatedBus &bus = emulatedBus(1);
        bus.driverVersionValue = 0xAB021210;
        SleepRecorder sleeps;
        MessageCapture log;
        StdoutCapture out;
        QCOMPARE(link.open(0), 1);
        QCOMPARE(sleeps.waits, QVector<int>{750});
        QCOMPARE(log.messages, (QStringList{Try.arg(0).arg(0), "\nD2XX Driver Version:: 02.12.10 ", "\nLatency Timer:: 16 ",
                                            "Sending GET_WIDGET_PARAMS packet... ", Connected,
                                            "\nWaiting for GET_WIDGET_PARAMS_REPLY packet... ", Received, Report,
                                            "\n\t\t  FIRMWARE VERSION: 1.44", "\n\t\t  BREAK TIME: 196 micro sec ",
                                            "\n\t\t  MAB TIME: 10 micro sec"}));
        QCOMPARE(out.take(), QByteArray("\n\t\t  SEND REFRESH RATE: 40 packets/sec"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(&link.params), 5), bytes({0x2C, 0x01, 0x09, 0x01, 0x28}));
        // The parameter request, then the serial request, and nothing else.
        QCOMPARE(bus.widget(0).wire(), bytes({0x7E, 0x03, 0x02, 0x00, 0x00, 0x00, 0xE7, 0x7E, 0x0A, 0x02, 0x00, 0x00,
                                              0x00, 0xE7}));

        // Opened again (the held handle is closed first): driver version and
        // latency timer are told when they cannot be read, a reply left over
        // from before is purged, not taken, and a widget that never answers
        // the serial query costs one read time-out, of the 120 ms it set.
        faults().failCall(D2xxCall::DriverVersion, FT_IO_ERROR);
        faults().failCall(D2xxCall::LatencyTimer, FT_IO_ERROR);
        bus.widget(0).injectBytes(paramsFrame(bytes({9, 9, 9, 9, 9})));
        bus.widget(0).setAutoReply(GET_WIDGET_SERIAL, false);
        log.messages.clear();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.open(0), 1);
        QVERIFY(clock.elapsed() >= 110 && clock.elapsed() < 1000);
        QCOMPARE(log.messages.mid(1, 2), (QStringList{"Unable to Get D2XX Driver Version", "\nUnable to Get Latency Timer"}));
        QCOMPARE(link.params.firmwareLsb, uint8_t(44));
    }

    // Opens that fail, parameter requests that are not taken, replies that
    // are not frames: opened on a later try, resent once, read once more.
    void retries_data()
    {
        QTest::addColumn<int>("failingOpens");
        QTest::addColumn<int>("failingSends");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("lastLine");
        const QByteArray bad = paramsFrame(bytes({1, 2, 3, 4, 5}), 0x00);
        const QString mab = "\n\t\t  MAB TIME: 10 micro sec";
        QTest::newRow("third attempt") << 2 << 0 << QByteArray() << mab;
        QTest::newRow("three failed attempts") << 3 << 0 << QByteArray() << "Opening device 1 failed: FT_DEVICE_NOT_OPENED";
        QTest::newRow("resend succeeds") << 0 << 1 << QByteArray() << mab;
        QTest::newRow("resend fails") << 0 << 2 << QByteArray() << "Device 1 did not take its parameter request: the"
                                                                  " request was not written whole; unplug the widget,"
                                                                  " plug it in again and scan";
        QTest::newRow("re-read succeeds") << 0 << 0 << bad + paramsFrame(bytes({0x0A, 0x01, 0x0A, 0x0A, 0x00}))
                                          << "\n\t\t  MAB TIME: 106 micro sec";
        QTest::newRow("re-read fails") << 0 << 0 << bad + bytes({0x7E, 0x03, 0x09})
                                       << "Device 1 did not answer its parameter request: is it a Lumora widget?"
                                          " Unplug it, plug it in again and scan";
    }

    void retries()
    {
        QFETCH(int, failingOpens);
        QFETCH(int, failingSends);
        QFETCH(QByteArray, reply);
        QFETCH(QString, lastLine);
        EmulatedBus &bus = emulatedBus(2);
        faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, failingOpens);
        // The header write of the first requests is lost.
        faults().setWriteFilter([failingSends](FilteredCall &write) {
            if (write.callIndex < failingSends)
                write.allowed = 0;
        });
        if (!reply.isEmpty())
            bus.widget(1).scriptReply(GET_WIDGET_PARAMS, reply);
        SleepRecorder sleeps;
        MessageCapture log;
        StdoutCapture out;
        link.params = {7, 7, 7, 7, 7};
        const bool opened = failingOpens < 3, opens = opened && !lastLine.startsWith("Device");
        QCOMPARE(link.open(1), int(opens));
        QCOMPARE(log.messages.last(), lastLine);
        const int attempts = qMin(failingOpens + 1, 3);
        QCOMPARE(faults().calls(D2xxCall::Open), attempts);
        // Every attempt is followed by the pause, the successful one too.
        QCOMPARE(sleeps.waits, QVector<int>(attempts, 750));
        for (int i = 0; i < attempts; ++i)
            QCOMPARE(log.messages.value(i), Try.arg(1).arg(i));
        // Three opening lines at most, then why it failed; nothing printed.
        if (!opened)
            QCOMPARE(log.messages.size(), 4);
        // A retry is silent: neither success line of the first try is logged.
        QCOMPARE(log.messages.contains(Connected), opened && failingSends == 0);
        QCOMPARE(log.messages.contains(Received), reply.isEmpty() && opens);
        // Purged once before the request, and once for the transmit side.
        QCOMPARE(faults().calls(D2xxCall::Purge), !opened ? 0 : failingSends ? 2 : 1);
        // No second request for a re-read: it takes what the first one brought.
        if (!reply.isEmpty())
            QCOMPARE(bus.widget(1).framesReceived(GET_WIDGET_PARAMS), 1);
        QCOMPARE(bool(link.handle), opens);
        QCOMPARE(bus.widget(1).isOpen(), opens);
        if (!opens)
            QCOMPARE(link.params.firmwareLsb, uint8_t(7)); // a failed read writes nothing
        else if (!reply.isEmpty())
            QCOMPARE(log.messages.value(log.messages.indexOf(Report) + 1), QString("\n\t\t  FIRMWARE VERSION: 1.10"));
    }

    // Device strings as text: UTF-8, and each byte that is not part of it
    // as a character of its own that gives that byte back.
    void deviceStrings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        const auto escaped = [](const QByteArray &bytes) {
            QString text;
            for (const char byte : bytes)
                text += QChar(0xDC00 + uchar(byte));
            return text;
        };
        QTest::newRow("UTF-8") << QByteArray("AB\xC3\xA7" "CD") << QString("AB\u00E7CD");
        QTest::newRow("beyond 16 bits") << QByteArray("\xF0\x9F\x98\x80") << QString::fromUcs4(U"\U0001F600");
        QTest::newRow("Latin-1") << QByteArray("AB\xE7" "CD") << "AB" + escaped("\xE7") + "CD";
        QTest::newRow("cut short") << QByteArray("\xE2\x82") << escaped("\xE2\x82");
        QTest::newRow("overlong") << QByteArray("\xC0\xAF") << escaped("\xC0\xAF");
        QTest::newRow("a surrogate") << QByteArray("\xED\xA0\x80") << escaped("\xED\xA0\x80");
    }

    void deviceStrings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(textFromBytes(bytes), text);
        QCOMPARE(bytesFromText(text), bytes);
    }

    void loader_data()
    {
        QTest::addColumn<QByteArray>("inLoader"); // LUMORA_EMULATOR_IN_LOADER
        QTest::addColumn<QByteArray>("steps");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<int>("pagesKept");
        QTest::addColumn<bool>("endsInLoader");
        // Steps on EM000001, which refuses page 7: L the loader request, P and
        // S the parameter and serial requests, a digit that page, c closed and
        // opened again, u pulled out while open and plugged in again. Replies:
        // P, S, the page's T or F, or - for none.
        QTest::newRow("started in its loader, left after a finished update")
            << QByteArray("EM000001") << QByteArray("PS01cPS") << QByteArray("--TTPS") << 2 << false;
        QTest::newRow("the knob names another widget") << QByteArray("EM000002") << QByteArray("PS0") << QByteArray("PS-")
                                                       << 0 << false;
        QTest::newRow("a second loader request is harmless") << QByteArray("1") << QByteArray("L0L1cPS")
                                                             << QByteArray("-T-TPS") << 2 << false;
        QTest::newRow("pulled out in its loader, back in it, closed with nothing sent")
            << QByteArray() << QByteArray("L01uPScPS") << QByteArray("-TT----") << 2 << true;
        QTest::newRow("a refused page keeps it in its loader until a full retry")
            << QByteArray() << QByteArray("L078cPSL0cPS") << QByteArray("-TFT---TPS") << 2 << false;
    }

    void loader()
    {
        QFETCH(QByteArray, inLoader);
        QFETCH(QByteArray, steps);
        QFETCH(QByteArray, replies);
        QFETCH(int, pagesKept);
        QFETCH(bool, endsInLoader);
        EmulatedBus &bus = emulatedBus(0);
        qputenv("LUMORA_EMULATOR", "2");
        qputenv("LUMORA_EMULATOR_IN_LOADER", inLoader);
        qputenv("LUMORA_EMULATOR_REFUSE_PAGES", "EM000001:7");
        bus.configureFromEnvironment();
        qputenv("LUMORA_EMULATOR", "0");
        qunsetenv("LUMORA_EMULATOR_IN_LOADER");
        qunsetenv("LUMORA_EMULATOR_REFUSE_PAGES");
        EmulatedWidget &widget = bus.widget(0);

        // Opened from a fresh list, where a widget keeps its place until it is
        // plugged in again and no two widgets share one.
        FT_HANDLE handle = nullptr;
        DWORD place = 0;
        const auto open = [&](bool plugged) {
            FT_DEVICE_LIST_INFO_NODE nodes[2];
            DWORD count = 0;
            QCOMPARE(FT_CreateDeviceInfoList(&count), FT_STATUS(FT_OK));
            QCOMPARE(FT_GetDeviceInfoList(nodes, &count), FT_STATUS(FT_OK));
            QCOMPARE(count, DWORD(2));
            QVERIFY(nodes[0].LocId != nodes[1].LocId);
            QCOMPARE(nodes[0].LocId != place, plugged);
            place = nodes[0].LocId;
            QCOMPARE(FT_Open(0, &handle), FT_STATUS(FT_OK));
        };
        open(true);
        const QMap<char, int> labels{{'L', REPROGRAM_FIRMWARE}, {'P', GET_WIDGET_PARAMS}, {'S', GET_WIDGET_SERIAL}};
        QByteArray got;
        for (const char step : steps) {
            if (step == 'c' || step == 'u') {
                bus.plug(widget.info.serialString, step == 'c'); // pulled out while open, or left in
                FT_Close(handle);
                bus.plug(widget.info.serialString, true);
                open(step == 'u');
                continue;
            }
            const int label = labels.value(step, PROGRAM_FLASH_PAGE);
            QByteArray frame = EmulatedWidget::frame(label, label == PROGRAM_FLASH_PAGE
                                                                ? bytes({step - '0', 0}) + QByteArray(FLASH_PAGE_SIZE, step)
                                                                : QByteArray(label == REPROGRAM_FIRMWARE ? 0 : 2, 0));
            DWORD done = 0;
            QCOMPARE(FT_Write(handle, frame.data(), DWORD(frame.size()), &done), FT_STATUS(FT_OK));
            // Replies of the emulated widget are there as soon as the request is.
            QByteArray reply(widget.pendingBytes(), 0);
            QCOMPARE(FT_Read(handle, reply.data(), DWORD(reply.size()), &done), FT_STATUS(FT_OK));
            if (reply.isEmpty()) {
                got += '-';
            } else {
                QCOMPARE(int(reply[1]), label);
                got += label == PROGRAM_FLASH_PAGE ? reply[4] : step;
            }
        }
        FT_Close(handle);
        QCOMPARE(got, replies);
        QCOMPARE(widget.acceptedPages().size(), pagesKept);
        QCOMPARE(widget.inLoader(), endsInLoader);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "tst_link.moc"
