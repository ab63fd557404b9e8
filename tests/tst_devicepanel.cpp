// Open and Close through the window, and what an open widget shows.
#include "mainwindowpro.h"
#include "testsupport.h"
#include "widgetlink.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>

using lumora::D2xxCall;
using lumora::EmulatedBus;
using lumora::EmulatedWidgetInfo;

class TestDevicePanel : public QObject
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
    void cleanup() { out.reset(); sleeps.reset(); }

    void openThenClose();
    void windowGoneClosesWidget();
    void failedOpenThenOpen();
    void scanWhileOpen();
    void chosenWidgetPulledOut();
    void openWithEmptyList();
    void shownValues_data();
    void shownValues();
    void silentSerialQuery();
    void quickConnect_data();
    void quickConnect();
    void configurationSendsNothing();

private:
    static void click(MainWindowPro &w, const char *name) { QTest::mouseClick(child<QPushButton>(&w, name), Qt::LeftButton); }
    static QString text(MainWindowPro &w, const char *name) { return child<QLabel>(&w, name)->text(); }
    static QVector<int> spins(MainWindowPro &w)
    {
        return {child<QSpinBox>(&w, "rateSpin")->value(), child<QSpinBox>(&w, "mabSpin")->value(),
                child<QSpinBox>(&w, "breakSpin")->value()};
    }
    std::unique_ptr<SleepRecorder> sleeps;
    std::unique_ptr<StdoutCapture> out;
};

void TestDevicePanel::openThenClose()
{
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    window.show();
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");

    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Connected"));
    QCOMPARE(text(window, "infoLbl"), QString("Serial No 201000"));
    QCOMPARE(text(window, "fwLbl"), QString("Cheking firmware - Found - 1.44"));
    QCOMPARE(spins(window), (QVector<int>{40, 1, 9}));
    QVERIFY(child<QGroupBox>(&window, "groupBox_3")->isEnabled());
    QVERIFY(child<QGroupBox>(&window, "groupBox")->isEnabled());
    QVERIFY(child<QPushButton>(&window, "updBtn")->isEnabled());
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Close"));
    QVERIFY(!child<QComboBox>(&window, "deviceListBox")->isEnabled());
    QCOMPARE(gOpenDevice, 0);
    QVERIFY(bus.widget(0).isOpen());
    const QStringList log = logMessages(child<QPlainTextEdit>(&window, "plainTextEdit"));
    QVERIFY(log.contains("------ D2XX ------- Opening [Device 0] ------ Try 0"));
    QVERIFY(log.contains("FIRMWARE VERSION: 1.44"));
    // Two serial queries: the one inside the open and the panel's own.
    QCOMPARE(bus.widget(0).framesReceived(GET_WIDGET_SERIAL), 2);

    click(window, "devOpenBtn");
    QCOMPARE(text(window, "tryLbl"), QString());
    QCOMPARE(spins(window), (QVector<int>{0, 1, 9}));
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
    QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
    QVERIFY(!bus.widget(0).isOpen());
    QVERIFY(!gLink->handle);
    QCOMPARE(gOpenDevice, -1);
    // What the closed widget reported stays on show; the groups stay usable.
    QCOMPARE(text(window, "infoLbl"), QString("Serial No 201000"));
    QCOMPARE(text(window, "fwLbl"), QString("Cheking firmware - Found - 1.44"));
    QVERIFY(child<QGroupBox>(&window, "groupBox_3")->isEnabled());
    QVERIFY(child<QGroupBox>(&window, "groupBox")->isEnabled());

    // And it opens again.
    click(window, "devOpenBtn");
    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Connected"));
    QVERIFY(bus.widget(0).isOpen());
}

void TestDevicePanel::windowGoneClosesWidget()
{
    EmulatedBus &bus = emulatedBus(1);
    {
        MainWindowPro window;
        click(window, "scanDevicesBtn");
        click(window, "devOpenBtn");
        QVERIFY(bus.widget(0).isOpen());
    }
    QVERIFY(!bus.widget(0).isOpen());
    QVERIFY(!gLink);
}

void TestDevicePanel::failedOpenThenOpen()
{
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");
    click(window, "devOpenBtn");
    faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, 3);
    // Re-open: the held handle is closed, then three attempts fail.
    gOpenDevice = -1;
    click(window, "devOpenBtn");
    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Failed"));
    QVERIFY(!child<QPushButton>(&window, "updBtn")->isEnabled());
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
    QCOMPARE(gOpenDevice, -1);

    click(window, "devOpenBtn");
    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Connected"));
    // A successful open unlocks the update again.
    QVERIFY(child<QPushButton>(&window, "updBtn")->isEnabled());
    QCOMPARE(gOpenDevice, 0);
}

void TestDevicePanel::scanWhileOpen()
{
    EmulatedBus &bus = emulatedBus(2);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    child<QComboBox>(&window, "deviceListBox")->setCurrentIndex(1);
    click(window, "devOpenBtn");
    QCOMPARE(gOpenDevice, 1);
    QVERIFY(bus.widget(1).isOpen());

    // A scan lets go of the open widget first: the button and the list tell
    // the truth afterwards, and the next click opens what the list shows.
    click(window, "scanDevicesBtn");
    QVERIFY(!bus.widget(1).isOpen());
    QVERIFY(!gLink->handle);
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
    QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
    QCOMPARE(child<QComboBox>(&window, "deviceListBox")->currentIndex(), 0);
    QCOMPARE(gOpenDevice, -1);

    click(window, "devOpenBtn");
    QVERIFY(!bus.widget(1).isOpen());
    QVERIFY(bus.widget(0).isOpen());
    QCOMPARE(gOpenDevice, 0);
    QCOMPARE(text(window, "infoLbl"), QString("Serial No 201000"));
}

void TestDevicePanel::chosenWidgetPulledOut()
{
    EmulatedBus &bus = emulatedBus(2);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    bus.widget(0).unplug();
    // The list still shows it: opening it fails, and its neighbour, now the
    // first attached widget, is not opened in its place.
    click(window, "devOpenBtn");
    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Failed"));
    QVERIFY(!bus.widget(1).isOpen());
    QVERIFY(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit"))
                .contains("Opening device 0 failed: widget EM000001 was unplugged after the device list was made:"
                          " scan again (FT_DEVICE_NOT_FOUND)"));
}

void TestDevicePanel::openWithEmptyList()
{
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    bus.widget(0).unplug();
    click(window, "scanDevicesBtn");
    QCOMPARE(child<QComboBox>(&window, "deviceListBox")->currentIndex(), -1);
    MessageCapture log;
    click(window, "devOpenBtn");
    QCOMPARE(log.messages.value(0), QString("\n------ D2XX ------- Opening [Device -1] ------ Try 0"));
    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Failed"));
    QCOMPARE(gOpenDevice, -1);
}

void TestDevicePanel::shownValues_data()
{
    QTest::addColumn<quint32>("serial");
    QTest::addColumn<QByteArray>("params");
    QTest::addColumn<QString>("serialText");
    QTest::addColumn<QString>("firmwareText");
    QTest::addColumn<QVector<int>>("spinValues");
    QTest::newRow("serial 201, firmware 1.10") << quint32(0x00000201) << bytes({10, 1, 20, 5, 30}) << "Serial No 201"
                                               << "Cheking firmware - Found - 1.10" << QVector<int>{30, 5, 20};
    QTest::newRow("serial ab, firmware 2.5") << quint32(0xAB) << bytes({5, 2, 9, 1, 0}) << "Serial No ab"
                                             << "Cheking firmware - Found - 2.5" << QVector<int>{0, 1, 9};
    QTest::newRow("serial 0, values clamped") << quint32(0) << bytes({0, 0, 3, 0, 200}) << "Serial No 0"
                                              << "Cheking firmware - Found - 0.0" << QVector<int>{40, 1, 9};
    QTest::newRow("serial all ones, upper bounds") << quint32(0xFFFFFFFF) << bytes({255, 255, 255, 255, 41})
                                                   << "Serial No ffffffff" << "Cheking firmware - Found - 255.255"
                                                   << QVector<int>{40, 127, 127};
}

void TestDevicePanel::shownValues()
{
    QFETCH(quint32, serial);
    QFETCH(QByteArray, params);
    QFETCH(QString, serialText);
    QFETCH(QString, firmwareText);
    QFETCH(QVector<int>, spinValues);
    EmulatedBus &bus = emulatedBus(0);
    EmulatedWidgetInfo info = lumora::EmulatedWidgetInfo::standard(0);
    info.serialNumber = serial;
    info.firmwareLsb = quint8(params[0]);
    info.firmwareMsb = quint8(params[1]);
    info.breakTime = quint8(params[2]);
    info.mabTime = quint8(params[3]);
    info.refreshRate = quint8(params[4]);
    bus.attach(info);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");
    QCOMPARE(text(window, "infoLbl"), serialText);
    QCOMPARE(text(window, "fwLbl"), firmwareText);
    QCOMPARE(spins(window), spinValues);
}

void TestDevicePanel::silentSerialQuery()
{
    EmulatedBus &bus = emulatedBus(1);
    bus.widget(0).setAutoReply(GET_WIDGET_SERIAL, false);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");
    QCOMPARE(text(window, "tryLbl"), QString("Trying to Conncet - Connected"));
    QCOMPARE(text(window, "infoLbl"), QString("Serial No unknown"));
    QCOMPARE(logMessages(child<QPlainTextEdit>(&window, "plainTextEdit")).last(),
             QString("The serial number could not be read"));
}

void TestDevicePanel::quickConnect_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("lookText");
    QTest::addColumn<QString>("tryText");
    QTest::newRow("no widget") << 0 << "Looking for Devices -" << "Trying to Connect -";
    QTest::newRow("two widgets") << 2 << "Total devices(D2XX) - 2 Found" << "Trying to Conncet - Connected";
}

void TestDevicePanel::quickConnect()
{
    QFETCH(int, count);
    QFETCH(QString, lookText);
    QFETCH(QString, tryText);
    EmulatedBus &bus = emulatedBus(count);
    MainWindowPro window;
    // Nothing in the form triggers it; it is still callable.
    QVERIFY(QMetaObject::invokeMethod(&window, "on_findLumoraBtn_clicked"));
    QCOMPARE(text(window, "lookLbl"), lookText);
    QCOMPARE(text(window, "tryLbl"), tryText);
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
    QVERIFY(child<QComboBox>(&window, "deviceListBox")->isEnabled());
    QCOMPARE(gOpenDevice, -1);
    QCOMPARE(child<QGroupBox>(&window, "groupBox_3")->isEnabled(), count > 0);
    if (count) {
        QVERIFY(bus.widget(0).isOpen());
        QCOMPARE(text(window, "infoLbl"), QString("Serial No 201000"));
    }
}

void TestDevicePanel::configurationSendsNothing()
{
    EmulatedBus &bus = emulatedBus(1);
    MainWindowPro window;
    click(window, "scanDevicesBtn");
    click(window, "devOpenBtn");
    const QByteArray wire = bus.widget(0).wire();
    child<QSpinBox>(&window, "rateSpin")->setValue(12);
    click(window, "pushButton_2");
    QCOMPARE(bus.widget(0).wire(), wire);
    QCOMPARE(child<QSpinBox>(&window, "rateSpin")->value(), 12);
}

QTEST_MAIN(TestDevicePanel)
#include "tst_devicepanel.moc"
