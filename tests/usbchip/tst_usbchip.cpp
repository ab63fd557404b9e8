// The libftdi1 backend, the widget link, the firmware update and the window
// over the real libusb and libftdi1, against emulated USB chips.
#include "d2xxbackend.h"
#include "bytetext.h"
#include "deviceinfo.h"
#include "mainwindowpro.h"
#include "testsupport.h"
#include "usbchip.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QLabel>
#include <QSet>
#include <QTemporaryDir>

#include <thread>

using namespace lumora;

namespace {

QByteArray sampleImage()
{
    QFile file(LUMORA_SAMPLE_IMAGE);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QVector<FT_DEVICE_LIST_INFO_NODE> scan()
{
    DWORD count = 0;
    return FT_CreateDeviceInfoList(&count) == FT_OK ? readDeviceInfoList(count) : QVector<FT_DEVICE_LIST_INFO_NODE>();
}

} // namespace

class TestUsbChip : public QObject
{
    Q_OBJECT

    UsbChipBus *bus = nullptr;
    UsbChip *chip = nullptr;
    int plugs = 0;
    FT_HANDLE own = nullptr; // a handle of the test's own, closed after it
    SleepRecorder sleeps;
    WidgetLink link;

private slots:
    void initTestCase()
    {
        qunsetenv("LUMORA_EMULATOR");
        // Lives as long as the process: libusb may still talk to it at exit.
        bus = new UsbChipBus;
        QCOMPARE(QByteArray(d2xxBackend().name()), QByteArray("libftdi1"));
        link.reportStream = nullptr;
    }

    // Each test gets a new chip, plugged in as the only one and listed.
    void init()
    {
        if (chip)
            chip->unplug();
        EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(0);
        info.serialString = "UC" + QByteArray::number(++plugs).rightJustified(4, '0');
        chip = &bus->plug(info);
        QTRY_VERIFY_WITH_TIMEOUT(scan().size() == 1 && scan()[0].SerialNumber == chip->serial, 5000);
    }

    void cleanup()
    {
        link.close();
        FT_Close(std::exchange(own, nullptr));
    }

    void scanAndOpen()
    {
        const FT_DEVICE_LIST_INFO_NODE node = scan().value(0);
        QCOMPARE(node.ID, ULONG(0x04036001));
        QCOMPARE(node.Type, ULONG(FT_DEVICE_232R));
        QCOMPARE(QByteArray(node.Description), QByteArray("Lumora USB DMX"));
        QVERIFY(chip->driverBound());
        QCOMPARE(chip->latencyTimer(), 16);

        QVERIFY(link.open(0));
        QVERIFY(!chip->driverBound());
        QVERIFY(chip->claimed());
        QCOMPARE(chip->latencyTimer(), 2);
        // The open sets the widget's end byte as the event character: a reply
        // that ends with it goes to the host before the latency timer runs out.
        QCOMPARE(chip->eventChar(), 0xE7);
        const int earlyBefore = chip->transfers().earlyIn;
        chip->withWidget([](EmulatedWidget &w) { w.injectBytes("ab\xE7"); });
        char reply[3] = {};
        DWORD replied = 0;
        QCOMPARE(FT_Read(link.handle, reply, 3, &replied), FT_STATUS(FT_OK));
        QCOMPARE(QByteArray(reply, int(replied)), QByteArray("ab\xE7"));
        QCOMPARE(chip->transfers().earlyIn, earlyBefore + 1);
        const EmulatedWidgetInfo info = chip->withWidget([](EmulatedWidget &w) { return w.info; });
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(&link.params), 5),
                 bytes({info.firmwareLsb, info.firmwareMsb, info.breakTime, info.mabTime, info.refreshRate}));
        char serial[16] = {}, description[64] = {};
        QCOMPARE(FT_GetDeviceInfo(link.handle, nullptr, nullptr, serial, description, nullptr), FT_STATUS(FT_OK));
        QCOMPARE(QByteArray(serial), chip->serial);
        QCOMPARE(scan().value(0).Flags, ULONG(FT_FLAGS_OPENED));

        link.close();
        QVERIFY(!chip->claimed());

        // A handle the backend never gave out is refused; a read through it
        // delivers nothing.
        const auto bogus = reinterpret_cast<FT_HANDLE>(0x4242);
        unsigned char byte = 0;
        DWORD got = 99, n = 0;
        for (FT_STATUS status : {FT_Read(bogus, &byte, 1, &got), FT_Write(bogus, &byte, 1, &n), FT_Close(bogus),
                                 FT_Close(nullptr), FT_Purge(bogus, FT_PURGE_RX), FT_GetLatencyTimer(bogus, &byte),
                                 FT_GetDriverVersion(bogus, &n), FT_SetChars(bogus, 0xE7, 1, 0, 0)})
            QCOMPARE(status, FT_STATUS(FT_INVALID_HANDLE));
        QCOMPARE(got, DWORD(0));
        QCOMPARE(FT_CreateDeviceInfoList(nullptr), FT_STATUS(FT_INVALID_PARAMETER));
    }

    void reads_data()
    {
        QTest::addColumn<bool>("hung");
        QTest::addColumn<ULONG>("purge"); // after "abc" came from the widget
        QTest::addColumn<FT_STATUS>("status");
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<int>("atLeastMs");
        // The read time-out is what ends a read of a silent widget, not libusb's.
        const ULONG none = 0, rx = FT_PURGE_RX, tx = FT_PURGE_TX;
        const FT_STATUS ok = FT_OK, ioError = FT_IO_ERROR;
        QTest::newRow("silent widget") << false << none << ok << QByteArray() << 110;
        QTest::newRow("hung chip") << true << none << ioError << QByteArray() << 0;
        QTest::newRow("receive buffer purged") << false << rx << ok << QByteArray() << 110;
        QTest::newRow("transmit buffer purged") << false << tx << ok << QByteArray("abc") << 0;
    }

    void reads()
    {
        QFETCH(bool, hung);
        QFETCH(ULONG, purge);
        QFETCH(FT_STATUS, status);
        QFETCH(QByteArray, read);
        QFETCH(int, atLeastMs);
        QCOMPARE(FT_Open(0, &own), FT_STATUS(FT_OK));
        QCOMPARE(FT_SetTimeouts(own, 120, 100), FT_STATUS(FT_OK));
        chip->setHung(hung);
        if (purge) {
            chip->withWidget([](EmulatedWidget &w) { w.injectBytes("abc"); });
            QCOMPARE(FT_Purge(own, purge), FT_STATUS(FT_OK));
            QCOMPARE(chip->withWidget([](EmulatedWidget &w) { return w.pendingBytes(); }), read.size());
        }
        char buffer[8] = {};
        DWORD got = 99;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(FT_Read(own, buffer, 3, &got), status);
        const qint64 ms = clock.elapsed();
        QCOMPARE(QByteArray(buffer, int(qMin(got, DWORD(8)))), read);
        QVERIFY2(ms >= atLeastMs && ms <= 400, qPrintable(QString::number(ms)));
        QCOMPARE(d2xxBackend().errorText(own).empty(), !hung);
    }

    // Twelve widgets, each plugged in while the one before is opened, between
    // a station loop's listing and its wait. The opener waits for that
    // arrival on a list of its own and lists again, as a widget's check
    // after its update does; the loop's wait, on its own list, must still
    // end because of the arrival, never by its time-out. Every widget is
    // opened once by its entry, and listings ask no device again while it
    // stays.
    void arrivals()
    {
        std::vector<UsbChip *> chips{chip};
        QMap<QByteArray, int> opens; // by serial
        std::vector<FT_HANDLE> handles;
        int timedOut = 0;
        auto open = [&](const DeviceEntry &entry) {
            const DeviceList before = attachedDevices();
            const bool plugging = chips.size() < 13;
            if (plugging) {
                EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(0);
                info.serialString = "UC" + QByteArray::number(++plugs).rightJustified(4, '0');
                chips.push_back(&bus->plug(info));
            }
            handles.push_back(nullptr);
            opens[entry.serial] += d2xxBackend().openEntry(entry, &handles.back()) == FT_OK;
            timedOut += plugging && !waitForDeviceChange(before, 20000);
            attachedDevices();
        };
        QSet<DWORD> seen;
        DeviceList list;
        for (list = attachedDevices(); seen.size() < 13 && !timedOut; list = attachedDevices()) {
            std::vector<std::thread> openers;
            for (const DeviceEntry &entry : qAsConst(list.entries))
                if (!seen.contains(entry.location))
                    seen.insert(entry.location), openers.emplace_back(open, entry);
            for (std::thread &opener : openers)
                opener.join();
            timedOut += seen.size() < 13 && !waitForDeviceChange(list, 20000);
        }
        QCOMPARE(timedOut, 0);
        for (int i = 0; i < 20; ++i)
            list = attachedDevices();
        QCOMPARE(list.entries.size(), 13);
        QSet<DWORD> locations;
        for (int i = 0; i < 13; ++i) {
            const DeviceEntry &entry = list.entries[i];
            QCOMPARE(entry.serial, chips[size_t(i)]->serial);
            QCOMPARE(opens.value(entry.serial), 1);
            QVERIFY(entry.heldBy);
            // Its strings, then the open.
            QCOMPARE(chips[size_t(i)]->transfers().opens, 2);
            // Bus 1, the port, the device address.
            const QByteArray address = QByteArray::fromStdString(chips[size_t(i)]->devNode).right(3);
            QCOMPARE(entry.location >> 24, DWORD(1));
            QCOMPARE(entry.location & 0xFF, DWORD(address.toUInt()));
            locations.insert(entry.location);
        }
        QCOMPARE(locations.size(), 13);
        // On a quiet bus a wait runs out.
        for (int changes = 0; waitForDeviceChange(list, 100); list = attachedDevices())
            QVERIFY(++changes < 10);
        for (FT_HANDLE handle : handles)
            FT_Close(handle);
        for (size_t i = 1; i < chips.size(); ++i)
            chips[i]->unplug();
        QTRY_COMPARE(scan().size(), 1);
    }

    // Strings go over USB in UTF-16 and come back whole: listed as the text
    // the chip was given, cut between characters in the window's records,
    // and opened by their entry.
    void serialText()
    {
        const QStringList serials{"ABçCD", "ABéCD", "ABCDEFGHIJKLMNOç", "A😀"};
        std::vector<UsbChip *> chips;
        for (const QString &serial : serials) {
            EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(0);
            info.serialString = serial.toUtf8();
            chips.push_back(&bus->plug(info));
        }
        QTRY_COMPARE(scan().size(), 5);
        const DeviceList list = attachedDevices();
        const QVector<FT_DEVICE_LIST_INFO_NODE> nodes = scan();
        for (int i = 0; i < serials.size(); ++i) {
            QCOMPARE(textFromBytes(list.entries[i + 1].serial), serials[i]);
            QCOMPARE(deviceSerialString(nodes[i + 1]), i == 2 ? serials[i].left(15) : serials[i]);
        }
        QVERIFY(link.openWidget(list.entries[2], "ABéCD").identified());
        QByteArray reported;
        QVERIFY(link.reportedSerial(&reported));
        QCOMPARE(reported, serials[1].toUtf8());
        link.close();
        for (UsbChip *extra : chips)
            extra->unplug();
        QTRY_COMPARE(scan().size(), 1);
    }

    void windowFlow()
    {
        QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        StdoutCapture out;
        MainWindowPro window;
        window.show();
        click(&window, "scanDevicesBtn");
        QCOMPARE(child<QComboBox>(&window, "deviceListBox")->itemText(0), "Lumora USB DMX (SN: " + chip->serial + ")");
        click(&window, "devOpenBtn");
        QCOMPARE(child<QLabel>(&window, "tryLbl")->text(), QString("Trying to Conncet - Connected"));
        QCOMPARE(child<QLabel>(&window, "infoLbl")->text(), QString("Serial No 201000"));
        QCOMPARE(child<QLabel>(&window, "fwLbl")->text(), QString("Cheking firmware - Found - 1.44"));
        QCOMPARE(chip->latencyTimer(), 2);

        DialogDriver dialogs(LUMORA_SAMPLE_IMAGE); // the file dialog gets the sample image, the question a Yes
        const int bulkOutBefore = chip->transfers().bulkOut;
        click(&window, "updBtn");
        QVERIFY(windowLog(&window).contains("Firmware update done"));
        // Each frame is one USB transfer: the loader request and 64 pages.
        QCOMPARE(chip->transfers().bulkOut - bulkOutBefore, 65);
        QCOMPARE(chip->withWidget([](EmulatedWidget &w) { return w.flashedImage(); }), sampleImage().mid(255));
        out.take();
    }
};

QTEST_MAIN(TestUsbChip)
#include "tst_usbchip.moc"
