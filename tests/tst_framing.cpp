// Frames on the wire and frames out of the stream, against an emulated widget.
#include "testsupport.h"
#include "widgetlink.h"

#include <QElapsedTimer>

using lumora::D2xxCall;
using lumora::EmulatedBus;
using lumora::EmulatedWidget;
using lumora::FilteredWrite;



class TestFraming : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendPutsFrameOnTheWire_data();
    void sendPutsFrameOnTheWire();
    void sendStopsAtFirstIncompleteWrite_data();
    void sendStopsAtFirstIncompleteWrite();
    void receive_data();
    void receive();
    void foreignFrameSwallowsTheNextReply();
    void silentStreamCostsOneTimeout();
    void floodOfForeignFramesThatEnds();
    void oneReadPerHeaderByte();
    void huntGivesUpOnEndlessBabble();

private:
    EmulatedBus *bus = nullptr;
    EmulatedWidget *widget = nullptr;
    WidgetLink link;
};

void TestFraming::init()
{
    bus = &emulatedBus(1);
    widget = &bus->widget(0);
    // The framing tests look at raw bytes; the widget stays silent.
    for (int label : {GET_WIDGET_PARAMS, GET_WIDGET_SERIAL, PROGRAM_FLASH_PAGE})
        widget->setAutoReply(label, false);
    QCOMPARE(FT_Open(0, &link.handle), FT_STATUS(FT_OK));
    FT_SetTimeouts(link.handle, 120, 100);
}

void TestFraming::cleanup()
{
    link.close();
}

void TestFraming::sendPutsFrameOnTheWire_data()
{
    QTest::addColumn<int>("label");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<QVector<int>>("writes");
    QTest::newRow("empty payload") << 1 << QByteArray() << bytes({0x7E, 0x01, 0x00, 0x00, 0xE7})
                                   << QVector<int>{4, 0, 1};
    QTest::newRow("parameter request") << 3 << bytes({0, 0}) << bytes({0x7E, 0x03, 0x02, 0x00, 0x00, 0x00, 0xE7})
                                       << QVector<int>{4, 2, 1};
    QByteArray page(258, char(0x7E));
    page[0] = 0x02;
    page[1] = 0x01;
    QTest::newRow("flash page") << 2 << page << bytes({0x7E, 0x02, 0x02, 0x01}) + page + bytes({0xE7})
                                << QVector<int>{4, 258, 1};
    QTest::newRow("label beyond a byte") << 0x10A << bytes({0x55}) << bytes({0x7E, 0x0A, 0x01, 0x00, 0x55, 0xE7})
                                         << QVector<int>{4, 1, 1};
}

void TestFraming::sendPutsFrameOnTheWire()
{
    QFETCH(int, label);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, wire);
    QFETCH(QVector<int>, writes);
    QCOMPARE(link.sendPacket(label, reinterpret_cast<const unsigned char *>(payload.constData()), payload.size()), 1);
    QCOMPARE(widget->wire(), wire);
    QCOMPARE(widget->writeSizes(), writes);
}

void TestFraming::sendStopsAtFirstIncompleteWrite_data()
{
    QTest::addColumn<int>("failingCall");
    QTest::addColumn<int>("accepted");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("wire");
    const QByteArray header = bytes({0x7E, 0x03, 0x02, 0x00});
    QTest::newRow("3 of 4 header bytes") << 0 << 3 << int(FT_OK) << header.left(3);
    QTest::newRow("header refused") << 0 << 0 << int(FT_IO_ERROR) << QByteArray();
    QTest::newRow("1 of 2 payload bytes") << 1 << 1 << int(FT_OK) << header + bytes({0x11});
    QTest::newRow("end byte not written") << 2 << 0 << int(FT_OK) << header + bytes({0x11, 0x22});
    QTest::newRow("end byte written, failing status") << 2 << 1 << int(FT_IO_ERROR)
                                                      << header + bytes({0x11, 0x22, 0xE7});
}

void TestFraming::sendStopsAtFirstIncompleteWrite()
{
    QFETCH(int, failingCall);
    QFETCH(int, accepted);
    QFETCH(int, status);
    QFETCH(QByteArray, wire);
    faults().setWriteFilter([=](FilteredWrite &write) {
        if (write.callIndex == failingCall) {
            write.accepted = DWORD(accepted);
            write.status = FT_STATUS(status);
        }
    });
    const unsigned char payload[2] = {0x11, 0x22};
    QCOMPARE(link.sendPacket(3, payload, 2), 0);
    QCOMPARE(widget->wire(), wire);
    QCOMPARE(widget->writeSizes().size(), failingCall + 1);
}

void TestFraming::receive_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("label");
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("dst");

    const QByteArray untouched(5, char(0xCC));
    QTest::newRow("parameter reply") << bytes({0x7E, 0x03, 0x05, 0x00, 0x2C, 0x01, 0x09, 0x01, 0x28, 0xE7}) << 3
                                     << 5 << 1 << bytes({0x2C, 0x01, 0x09, 0x01, 0x28});
    QTest::newRow("doubled start byte") << bytes({0x7E, 0x7E, 0x03, 0x01, 0x00, 0x55, 0xE7}) << 3 << 1 << 1
                                        << bytes({0x55});
    QTest::newRow("noise before the frame") << bytes({0x00, 0xE7, 0x03, 0x7E, 0x03, 0x01, 0x00, 0x54, 0xE7}) << 3
                                            << 1 << 1 << bytes({0x54});
    QTest::newRow("other label first") << bytes({0x7E, 0x05, 0x01, 0x00, 0x00, 0xE7, 0x7E, 0x0A, 0x04, 0x00, 0x01,
                                                 0x02, 0x00, 0x00, 0xE7})
                                       << 10 << 4 << 1 << bytes({0x01, 0x02, 0x00, 0x00});
    QTest::newRow("longer reply than asked") << bytes({0x7E, 0x03, 0x08, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0xE7}) << 3
                                             << 5 << 1 << bytes({1, 2, 3, 4, 5});
    QTest::newRow("shorter reply than asked: zeros after it")
        << bytes({0x7E, 0x03, 0x02, 0x00, 0x2C, 0x01, 0xE7}) << 3 << 5 << 1 << bytes({0x2C, 0x01, 0, 0, 0});
    QTest::newRow("empty page reply leaves a zero status") << bytes({0x7E, 0x02, 0x00, 0x00, 0xE7}) << 2 << 1 << 1
                                                           << bytes({0x00});
    QTest::newRow("wrong end byte") << bytes({0x7E, 0x03, 0x05, 0x00, 1, 2, 3, 4, 5, 0x00}) << 3 << 5 << 0
                                    << untouched;
    QTest::newRow("end byte missing") << bytes({0x7E, 0x03, 0x05, 0x00, 1, 2, 3, 4, 5}) << 3 << 5 << 0 << untouched;
    QTest::newRow("payload cut short") << bytes({0x7E, 0x03, 0x05, 0x00, 1, 2, 3}) << 3 << 5 << 0 << untouched;
    QTest::newRow("length high byte missing") << bytes({0x7E, 0x03, 0x01}) << 3 << 5 << 0 << untouched;
    QTest::newRow("length high byte missing after zero low byte") << bytes({0x7E, 0x03, 0x00}) << 3 << 5 << 0
                                                                   << untouched;
    QTest::newRow("label missing") << bytes({0x7E}) << 3 << 5 << 0 << untouched;
    QTest::newRow("no start byte") << bytes({0x03, 0x05, 0x00, 0xE7}) << 3 << 5 << 0 << untouched;

    QByteArray max = bytes({0x7E, 0x03, 0x00, 0x02});
    for (int i = 0; i < 512; ++i)
        max.append(char(i));
    QTest::newRow("length 512 accepted") << max + bytes({0xE7}) << 3 << 5 << 1 << bytes({0, 1, 2, 3, 4});
    QByteArray over = bytes({0x7E, 0x03, 0x01, 0x02});
    over.append(QByteArray(513, char(0x11)));
    QTest::newRow("length 513 refused") << over + bytes({0xE7}) << 3 << 5 << 0 << untouched;
}

void TestFraming::receive()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, label);
    QFETCH(int, len);
    QFETCH(int, result);
    QFETCH(QByteArray, dst);
    widget->injectBytes(stream);
    QByteArray buffer(len, char(0xCC));
    QCOMPARE(link.receivePacket(label, reinterpret_cast<unsigned char *>(buffer.data()), len), result);
    QCOMPARE(buffer, dst.left(len));
}

void TestFraming::foreignFrameSwallowsTheNextReply()
{
    // The label-5 frame's payload looks like the start of a label-3 frame;
    // its "length" (E7 7E = 32487) is refused, and the real reply has lost
    // its start byte to it.
    widget->injectBytes(bytes({0x7E, 0x05, 0x02, 0x00, 0x7E, 0x03, 0xE7}));
    widget->injectBytes(bytes({0x7E, 0x03, 0x01, 0x00, 0x55, 0xE7}));
    unsigned char dst = 0xCC;
    QCOMPARE(link.receivePacket(3, &dst, 1), 0);
    QCOMPARE(link.receivePacket(3, &dst, 1), 0);
    QCOMPARE(int(dst), 0xCC);
    QCOMPARE(widget->pendingBytes(), 0);
}

void TestFraming::silentStreamCostsOneTimeout()
{
    unsigned char dst[5];
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(link.receivePacket(3, dst, 5), 0);
    const qint64 ms = timer.elapsed();
    QVERIFY2(ms >= 110 && ms < 400, qPrintable(QString::number(ms)));
    QCOMPARE(faults().calls(D2xxCall::Read), 1);
}

void TestFraming::floodOfForeignFramesThatEnds()
{
    QByteArray flood;
    for (int i = 0; i < 2000; ++i)
        flood += bytes({0x7E, 0x55, 0x03, 0x00, 0x7E, 0x7E, 0x05, 0xE7});
    widget->injectBytes(flood + bytes({0x7E, 0x02, 0x01, 0x00, 0x54, 0xE7}));
    unsigned char status = 0;
    QCOMPARE(link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1), 1);
    QCOMPARE(int(status), int('T'));

    // Without the wanted frame the hunt ends when the stream falls silent.
    widget->injectBytes(flood);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1), 0);
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(widget->pendingBytes(), 0);
}

void TestFraming::oneReadPerHeaderByte()
{
    widget->injectBytes(bytes({0x7E, 0x03, 0x02, 0x00, 0x01, 0x02, 0xE7}));
    faults().clearCallCounts();
    unsigned char dst[2];
    QCOMPARE(link.receivePacket(3, dst, 2), 1);
    // Start, label, two length bytes, the payload in one read, the end byte.
    QCOMPARE(faults().calls(D2xxCall::Read), 6);
}

void TestFraming::huntGivesUpOnEndlessBabble()
{
    widget->setEndlessForeignFrames(true);
    faults().clearCallCounts();
    unsigned char status = 0xCC;
    QCOMPARE(link.receivePacket(PROGRAM_FLASH_PAGE, &status, 1), 0);
    QCOMPARE(int(status), 0xCC);
    // 64 KiB of other frames, one read per byte, and no more.
    QVERIFY(faults().calls(D2xxCall::Read) > 65536);
    QVERIFY(faults().calls(D2xxCall::Read) <= 65537);
}

QTEST_GUILESS_MAIN(TestFraming)
#include "tst_framing.moc"
