// The libftdi1 backend, the widget link, the firmware update and the window
// over the real libusb and libftdi1, against emulated USB chips.
#include "d2xxbackend.h"
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "mainwindowpro.h"
#include "testsupport.h"
#include "usbchip.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
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
    if (FT_CreateDeviceInfoList(&count) != FT_OK)
        return {};
    QVector<FT_DEVICE_LIST_INFO_NODE> nodes(static_cast<int>(count));
    FT_GetDeviceInfoList(nodes.data(), &count);
    return nodes.mid(0, int(count));
}

} // namespace

class TestUsbChip : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void scanAndOpen();
    void openRefused_data();
    void openRefused();
    void readTimeouts_data();
    void readTimeouts();
    void purge_data();
    void purge();
    void deviceChanges();
    void unplugMidUpdate_data();
    void unplugMidUpdate();
    void windowFlow();

private:
    FT_HANDLE openChip();

    UsbChipBus *bus = nullptr;
    UsbChip *chip = nullptr;
    int plugs = 0;
    std::vector<FT_HANDLE> handles;
    SleepRecorder sleeps;
    WidgetLink link;
};

void TestUsbChip::initTestCase()
{
    qunsetenv("LUMORA_EMULATOR");
    // Lives as long as the process: libusb may still talk to it at exit.
    bus = new UsbChipBus;
    QCOMPARE(QByteArray(d2xxBackend().name()), QByteArray("libftdi1"));
    link.reportStream = nullptr;
}

// Each test gets a new chip, plugged in as the only one and listed.
void TestUsbChip::init()
{
    for (UsbChip *old : bus->chips())
        old->unplug();
    EmulatedWidgetInfo info = EmulatedWidgetInfo::standard(0);
    info.serialString = "UC" + QByteArray::number(++plugs).rightJustified(4, '0');
    chip = &bus->plug(info);
    QTRY_VERIFY_WITH_TIMEOUT(scan().size() == 1 && scan()[0].SerialNumber == chip->serial, 5000);
}

void TestUsbChip::cleanup()
{
    link.close();
    for (FT_HANDLE handle : handles)
        FT_Close(handle);
    handles.clear();
}

FT_HANDLE TestUsbChip::openChip()
{
    FT_HANDLE handle = nullptr;
    if (FT_Open(0, &handle) == FT_OK)
        handles.push_back(handle);
    return handle;
}

void TestUsbChip::scanAndOpen()
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
    const EmulatedWidgetInfo info = chip->withWidget([](EmulatedWidget &w) { return w.info; });
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&link.params), 5),
             bytes({info.firmwareLsb, info.firmwareMsb, info.breakTime, info.mabTime, info.refreshRate}));
    char serial[16] = {}, description[64] = {};
    QCOMPARE(FT_GetDeviceInfo(link.handle, nullptr, nullptr, serial, description, nullptr), FT_STATUS(FT_OK));
    QCOMPARE(QByteArray(serial), chip->serial);
    QCOMPARE(scan().value(0).Flags, ULONG(FT_FLAGS_OPENED));

    link.close();
    QVERIFY(!chip->claimed());
}

void TestUsbChip::openRefused_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QStringList>("advice");
    QTest::newRow("kernel driver busy") << "driver" << QStringList{"ftdi_sio", "unbind", "rmmod"};
    QTest::newRow("another handle") << "handle" << QStringList{"another program holds the widget"};
    QTest::newRow("another process") << "process" << QStringList{"another program holds the widget"};
}

void TestUsbChip::openRefused()
{
    QFETCH(QString, holder);
    QFETCH(QStringList, advice);
    QProcess flasher;
    if (holder == "driver") {
        chip->setRefuseDetach(true);
    } else if (holder == "handle") {
        QVERIFY(openChip());
    } else {
        flasher.start(LUMORA_FLASH_PATH, {"--yes", LUMORA_SAMPLE_IMAGE});
        QTRY_VERIFY_WITH_TIMEOUT(chip->claimed(), 5000);
    }

    FT_HANDLE handle = nullptr;
    QCOMPARE(FT_Open(0, &handle), FT_STATUS(FT_DEVICE_NOT_OPENED));
    const QString text = QString::fromStdString(d2xxBackend().errorText(nullptr));
    QVERIFY(!link.open(0));
    for (const QString &words : advice) {
        QVERIFY2(text.contains(words), qPrintable(text));
        QVERIFY2(link.errorString().contains(words), qPrintable(link.errorString()));
    }

    // Whoever held the chip lets go of it by closing, even by dying.
    for (FT_HANDLE h : handles)
        FT_Close(h);
    handles.clear();
    flasher.kill();
    flasher.waitForFinished();
    chip->setRefuseDetach(false);
    QTRY_VERIFY(!chip->claimed());
    QVERIFY(openChip());
}

void TestUsbChip::readTimeouts_data()
{
    QTest::addColumn<bool>("hung");
    QTest::addColumn<FT_STATUS>("status");
    QTest::addColumn<int>("atLeastMs");
    // The read time-out is what ends a read of a silent widget, not libusb's.
    QTest::newRow("silent widget") << false << FT_STATUS(FT_OK) << 110;
    QTest::newRow("hung chip") << true << FT_STATUS(FT_IO_ERROR) << 0;
}

void TestUsbChip::readTimeouts()
{
    QFETCH(bool, hung);
    QFETCH(FT_STATUS, status);
    QFETCH(int, atLeastMs);
    FT_HANDLE handle = openChip();
    QVERIFY(handle);
    QCOMPARE(FT_SetTimeouts(handle, 120, 100), FT_STATUS(FT_OK));
    chip->setHung(hung);
    unsigned char byte = 0;
    DWORD got = 99;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(FT_Read(handle, &byte, 1, &got), status);
    const qint64 ms = clock.elapsed();
    QCOMPARE(got, DWORD(0));
    QVERIFY2(ms >= atLeastMs && ms <= 400, qPrintable(QString::number(ms)));
    QCOMPARE(d2xxBackend().errorText(handle).empty(), !hung);
}

void TestUsbChip::purge_data()
{
    QTest::addColumn<ULONG>("mask");
    QTest::addColumn<int>("left");
    QTest::newRow("receive buffer") << ULONG(FT_PURGE_RX) << 0;
    QTest::newRow("transmit buffer") << ULONG(FT_PURGE_TX) << 3;
}

void TestUsbChip::purge()
{
    QFETCH(ULONG, mask);
    QFETCH(int, left);
    FT_HANDLE handle = openChip();
    QVERIFY(handle);
    FT_SetTimeouts(handle, 120, 100);
    chip->withWidget([](EmulatedWidget &w) { w.injectBytes("abc"); });
    QCOMPARE(FT_Purge(handle, mask), FT_STATUS(FT_OK));
    QCOMPARE(chip->withWidget([](EmulatedWidget &w) { return w.pendingBytes(); }), left);
    char buffer[8] = {};
    DWORD got = 0;
    QCOMPARE(FT_Read(handle, buffer, 3, &got), FT_STATUS(FT_OK));
    QCOMPARE(QByteArray(buffer, int(got)), QByteArray("abc").left(left));
}

void TestUsbChip::deviceChanges()
{
    d2xxBackend().waitForDeviceChange(50); // what init() plugged and pulled
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!d2xxBackend().waitForDeviceChange(150));
    QVERIFY(clock.elapsed() >= 140);

    // Told at once, not at the end of the wait.
    std::thread puller([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        chip->unplug();
    });
    clock.restart();
    QVERIFY(d2xxBackend().waitForDeviceChange(5000));
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    puller.join();
}

void TestUsbChip::unplugMidUpdate_data()
{
    QTest::addColumn<bool>("byWidget");
    QTest::newRow("widget pulled out at a page") << true;
    QTest::newRow("chip unplugged between pages") << false;
}

void TestUsbChip::unplugMidUpdate()
{
    QFETCH(bool, byWidget);
    const FirmwareImage image(sampleImage());
    QCOMPARE(int(image.pageCount()), 64);
    QVERIFY(link.open(0));
    if (byWidget)
        chip->withWidget([](EmulatedWidget &w) { w.unplugAtPage(5); });
    FirmwareUpdate update(link, image, LUMORA_SAMPLE_IMAGE);
    int lastSent = 0;
    update.onPageSent = [&](int sent, int) {
        lastSent = sent;
        if (!byWidget && sent == 5)
            chip->unplug();
    };
    QElapsedTimer clock;
    clock.start();
    // Pages 0 to 4 go through; the update ends with page 5, the first that
    // finds the widget gone, and does not run through the other 58.
    QVERIFY(update.run() != FirmwareUpdate::Outcome::Done);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(lastSent <= 6, qPrintable(QString::number(lastSent)));
    QVERIFY(!update.errorString().isEmpty());
    QCOMPARE(link.ioStatus(), FT_STATUS(FT_IO_ERROR));
    QVERIFY2(link.errorString().contains("unplugged"), qPrintable(link.errorString()));
    QTRY_COMPARE(scan().size(), 0);
}

void TestUsbChip::windowFlow()
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    StdoutCapture out;
    MainWindowPro window;
    window.show();
    auto click = [&](const char *name) { QTest::mouseClick(child<QPushButton>(&window, name), Qt::LeftButton); };
    click("scanDevicesBtn");
    QCOMPARE(child<QComboBox>(&window, "deviceListBox")->itemText(0), "Lumora USB DMX (SN: " + chip->serial + ")");
    click("devOpenBtn");
    QCOMPARE(child<QLabel>(&window, "tryLbl")->text(), QString("Trying to Conncet - Connected"));
    QCOMPARE(child<QLabel>(&window, "infoLbl")->text(), QString("Serial No 201000"));
    QCOMPARE(child<QLabel>(&window, "fwLbl")->text(), QString("Cheking firmware - Found - 1.44"));
    QCOMPARE(chip->latencyTimer(), 2);

    // The file dialog gets the sample image, the question a Yes.
    QTimer answer;
    connect(&answer, &QTimer::timeout, [] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            dialog->selectFile(LUMORA_SAMPLE_IMAGE);
            static_cast<QDialog *>(dialog)->accept();
        } else if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            box->button(QMessageBox::Yes)->click();
        }
    });
    answer.start(5);
    click("updBtn");
    QVERIFY(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit")).contains("Firmware update done"));
    QCOMPARE(chip->withWidget([](EmulatedWidget &w) { return w.flashedImage(); }), sampleImage().mid(255));
    out.take();
}

QTEST_MAIN(TestUsbChip)
#include "tst_usbchip.moc"
