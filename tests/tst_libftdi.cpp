// The libftdi1 backend against this machine's USB, with no widget attached.
#include "d2xxbackend.h"

#include <QtTest>

#include <cstring>
#include <vector>

class TestLibftdi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void enumeration();
    void openFailsCleanly_data();
    void openFailsCleanly();
    void callsWithoutAHandleFail();
};

void TestLibftdi::initTestCase()
{
    qunsetenv("LUMORA_EMULATOR");
    QCOMPARE(QByteArray(lumora::d2xxBackend().name()), QByteArray("libftdi1"));
}

void TestLibftdi::enumeration()
{
    DWORD count = 12345;
    const FT_STATUS status = FT_CreateDeviceInfoList(&count);
    // No USB access at all is a failing status, never a crash.
    if (status != FT_OK)
        return;
    QVERIFY(count < 128);

    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count + 1);
    std::memset(nodes.data(), 0xAB, nodes.size() * sizeof(FT_DEVICE_LIST_INFO_NODE));
    DWORD got = count;
    QCOMPARE(FT_GetDeviceInfoList(nodes.data(), &got), FT_STATUS(FT_OK));
    QCOMPARE(got, count);
    // Nothing is written past the records asked for.
    const auto *guard = reinterpret_cast<const unsigned char *>(&nodes[count]);
    for (size_t i = 0; i < sizeof(FT_DEVICE_LIST_INFO_NODE); ++i)
        QCOMPARE(int(guard[i]), 0xAB);
    for (DWORD i = 0; i < count; ++i)
        QCOMPARE(nodes[i].ID >> 16, ULONG(0x0403));

    DWORD listed = 0;
    QCOMPARE(FT_ListDevices(&listed, nullptr, FT_LIST_NUMBER_ONLY), FT_STATUS(FT_OK));
    QCOMPARE(listed, count);
}

void TestLibftdi::openFailsCleanly_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("first device") << 0;
    QTest::newRow("negative") << -1;
    QTest::newRow("out of range") << 1000;
}

void TestLibftdi::openFailsCleanly()
{
    QFETCH(int, index);
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1);
    // Without hardware no open can succeed.
    QVERIFY(FT_Open(index, &handle) != FT_OK);
    QVERIFY(handle == nullptr);
}

void TestLibftdi::callsWithoutAHandleFail()
{
    unsigned char byte = 0;
    DWORD n = 99;
    FT_HANDLE bogus = reinterpret_cast<FT_HANDLE>(0x4242);
    QCOMPARE(FT_Read(bogus, &byte, 1, &n), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(n, DWORD(0));
    QCOMPARE(FT_Write(bogus, &byte, 1, &n), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_Close(bogus), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_Close(nullptr), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_Purge(bogus, FT_PURGE_RX), FT_STATUS(FT_INVALID_HANDLE));
    UCHAR timer = 0;
    QCOMPARE(FT_GetLatencyTimer(bogus, &timer), FT_STATUS(FT_INVALID_HANDLE));
    DWORD version = 0;
    QCOMPARE(FT_GetDriverVersion(bogus, &version), FT_STATUS(FT_INVALID_HANDLE));
    QCOMPARE(FT_CreateDeviceInfoList(nullptr), FT_STATUS(FT_INVALID_PARAMETER));
}

QTEST_GUILESS_MAIN(TestLibftdi)
#include "tst_libftdi.moc"
