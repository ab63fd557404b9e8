// Scan Devices through the real window, on emulated widgets.
#include "devicepanel.h"
#include "mainwindowpro.h"
#include "testsupport.h"

#include <QComboBox>
#include <QPushButton>

using lumora::D2xxCall;
using lumora::EmulatedBus;

class TestScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { emulatedBus(0); }

    void scanFindsAttachedWidgets_data();
    void scanFindsAttachedWidgets();
    void laterScanReplacesTheList();
    void itemText_data();
    void itemText();
    void failingDeviceCalls_data();
    void failingDeviceCalls();
    void scanForgetsTheOpenedDevice();

private:
    void scan(MainWindowPro &window) { QTest::mouseClick(child<QPushButton>(&window, "scanDevicesBtn"), Qt::LeftButton); }
    static QStringList items(MainWindowPro &window)
    {
        QStringList list;
        auto *box = child<QComboBox>(&window, "deviceListBox");
        for (int i = 0; i < box->count(); ++i)
            list << box->itemText(i);
        return list;
    }
};

void TestScan::scanFindsAttachedWidgets_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("none") << 0 << QStringList();
    QTest::newRow("one") << 1 << QStringList{"Lumora USB DMX (SN: EM000001)"};
    QTest::newRow("two") << 2 << QStringList{"Lumora USB DMX (SN: EM000001)", "Lumora USB DMX (SN: EM000002)"};
}

void TestScan::scanFindsAttachedWidgets()
{
    QFETCH(int, count);
    QFETCH(QStringList, expected);
    emulatedBus(count);
    MainWindowPro window;
    StdoutCapture out;
    scan(window);
    // Flushed by the program itself, so a pipe sees the line at once.
    QCOMPARE(out.peek(), QByteArray("Number of devices is ") + QByteArray::number(count) + "\n");
    QCOMPARE(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit")),
             QStringList{QString("found %1 devices").arg(count)});
    QCOMPARE(items(window), expected);
    auto *box = child<QComboBox>(&window, "deviceListBox");
    QCOMPARE(box->currentIndex(), count ? 0 : -1);
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->isEnabled(), count > 0);
    QCOMPARE(gDeviceList.size(), count);
    QCOMPARE(gOpenDevice, -1);
}

void TestScan::laterScanReplacesTheList()
{
    EmulatedBus &bus = emulatedBus(2);
    MainWindowPro window;
    StdoutCapture out;
    scan(window);
    bus.widget(0).unplug();
    scan(window);
    QCOMPARE(items(window), QStringList{"Lumora USB DMX (SN: EM000002)"});
    QCOMPARE(gDeviceList.size(), 1);
    bus.widget(1).unplug();
    scan(window);
    QVERIFY(items(window).isEmpty());
    QVERIFY(gDeviceList.isEmpty());
    // A scan never disables Open once a scan has found something.
    QVERIFY(child<QPushButton>(&window, "devOpenBtn")->isEnabled());
    QCOMPARE(out.take(), QByteArray("Number of devices is 2\nNumber of devices is 1\nNumber of devices is 0\n"));
    QCOMPARE(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit")),
             (QStringList{"found 2 devices", "found 1 devices", "found 0 devices"}));
}

void TestScan::itemText_data()
{
    QTest::addColumn<QByteArray>("description");
    QTest::addColumn<QByteArray>("serial");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray("USB DMX") << QByteArray("A1B2") << "USB DMX (SN: A1B2)";
    QTest::newRow("empty fields") << QByteArray() << QByteArray() << " (SN: )";
    QTest::newRow("marker in description") << QByteArray("Box %1 here") << QByteArray("S9") << "Box S9 here (SN: %2)";
    QTest::newRow("Latin-1") << QByteArray("Lichtst\xe4rke") << QByteArray("\xb5") << QString::fromUtf8("Lichtstärke (SN: µ)");
    QTest::newRow("fields filled, no NUL") << QByteArray(64, 'D') << QByteArray(16, 'S')
                                           << QString(64, 'D') + " (SN: " + QString(16, 'S') + ")";
    QTest::newRow("longer than the fields") << QByteArray(80, 'd') << QByteArray(20, 's')
                                            << QString(64, 'd') + " (SN: " + QString(16, 's') + ")";
}

void TestScan::itemText()
{
    QFETCH(QByteArray, description);
    QFETCH(QByteArray, serial);
    QFETCH(QString, expected);
    EmulatedBus &bus = emulatedBus(0);
    lumora::EmulatedWidgetInfo info = lumora::EmulatedWidgetInfo::standard(0);
    info.description = description;
    info.serialString = serial;
    bus.attach(info);
    MainWindowPro window;
    StdoutCapture out;
    scan(window);
    QCOMPARE(items(window), QStringList{expected});
    QCOMPARE(deviceItemText(gDeviceList.at(0)), expected);
}

void TestScan::failingDeviceCalls_data()
{
    QTest::addColumn<int>("call");
    QTest::addColumn<QByteArray>("stdoutLine");
    QTest::newRow("device-information list not read")
        << int(D2xxCall::GetDeviceInfoList) << QByteArray("Number of devices is 2\n");
    QTest::newRow("device count not built") << int(D2xxCall::CreateDeviceInfoList) << QByteArray();
}

void TestScan::failingDeviceCalls()
{
    QFETCH(int, call);
    QFETCH(QByteArray, stdoutLine);
    EmulatedBus &bus = emulatedBus(2);
    MainWindowPro window;
    StdoutCapture out;
    faults().failCall(D2xxCall(call), FT_OTHER_ERROR);
    scan(window);
    QCOMPARE(out.take(), stdoutLine);
    QVERIFY(items(window).isEmpty());
    QVERIFY(gDeviceList.isEmpty());
    QVERIFY(!child<QPushButton>(&window, "devOpenBtn")->isEnabled());
    QCOMPARE(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit")), QStringList{"found 0 devices"});
    // The next scan works again.
    scan(window);
    QCOMPARE(items(window).size(), 2);
}

void TestScan::scanForgetsTheOpenedDevice()
{
    emulatedBus(1);
    MainWindowPro window;
    StdoutCapture out;
    scan(window);
    gOpenDevice = 0;
    scan(window);
    QCOMPARE(gOpenDevice, -1);
}

QTEST_MAIN(TestScan)
#include "tst_scan.moc"
