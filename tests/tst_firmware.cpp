// Firmware update through the window and through the procedure, against an
// emulated widget whose accepted pages are compared with the image.
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "mainwindowpro.h"
#include "settingssaver.h"
#include "testsupport.h"
#include "widgetlink.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

using lumora::EmulatedBus;
using lumora::EmulatedWidget;

namespace {

QByteArray imageFile(const QByteArray &versionLine, int imageBytes)
{
    QByteArray file = versionLine;
    file.append(QByteArray(255 - file.size(), char(0xFF)));
    for (int i = 0; i < imageBytes; ++i)
        file.append(char((i * 7 + i / 256) & 0xFF));
    return file;
}

} // namespace

class TestFirmware : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updateFromTheWindow();
    void oneUpdateAtATime();
    void imageWithoutAWholePage_data();
    void imageWithoutAWholePage();
    void versionLine_data();
    void versionLine();
    void confirmationCancelled();
    void fileDialogCancelled();
    void noDeviceOpen();
    void wholePagesOnly();
    void refusedPages_data();
    void refusedPages();
    void unpluggedMidUpdate();
    void pageNumbersLowByteFirst();
    void fileWithoutImage();
    void imageTooLargeForPageNumbers();
    void progressReachesTheEnd();

private:
    QString writeFile(const QString &name, const QByteArray &contents);
    void openWidget(MainWindowPro &window);
    void clickUpdate(MainWindowPro &window) { QTest::mouseClick(child<QPushButton>(&window, "updBtn"), Qt::LeftButton); }
    WidgetLink &openLink();

    QTemporaryDir dir;
    std::unique_ptr<SleepRecorder> sleeps;
    std::unique_ptr<StdoutCapture> out;
    EmulatedBus *bus = nullptr;
    WidgetLink link;
};

void TestFirmware::initTestCase()
{
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.filePath("settings"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
}

void TestFirmware::init()
{
    bus = &emulatedBus(1);
    gOpenDevice = -1;
    sleeps.reset(new SleepRecorder);
    out.reset(new StdoutCapture);
}

void TestFirmware::cleanup()
{
    if (link.handle)
        link.close();
    out.reset();
    sleeps.reset();
}

QString TestFirmware::writeFile(const QString &name, const QByteArray &contents)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(contents);
    return path;
}

void TestFirmware::openWidget(MainWindowPro &window)
{
    QTest::mouseClick(child<QPushButton>(&window, "scanDevicesBtn"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(&window, "devOpenBtn"), Qt::LeftButton);
    QVERIFY(gLink->handle);
    bus->widget(0).clearWire();
    sleeps->waits.clear();
}

WidgetLink &TestFirmware::openLink()
{
    FT_Open(0, &link.handle);
    FT_SetTimeouts(link.handle, 120, 100);
    return link;
}

void TestFirmware::updateFromTheWindow()
{
    // Five pages and a cut-off sixth: the tail is never sent, and the user
    // is told so before saying yes.
    const QByteArray contents = imageFile("1.07\n", 5 * 256 + 156);
    const QString path = writeFile("fw 1.07 <new>.bin", contents);
    MainWindowPro window;
    window.show();
    openWidget(window);
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const int before = logMessages(log).size();

    DialogDriver driver(path);
    clickUpdate(window);

    QCOMPARE(driver.dialogTitle, QString("Open Firmware"));
    QCOMPARE(driver.dialogFilters, QStringList{"Bin Files (*.bin)"});
    QCOMPARE(driver.dialogDirectory, QDir::homePath());
    QCOMPARE(driver.boxText, QString("FW Version 1.07"));
    QCOMPARE(driver.boxInformativeText,
             QString("156 bytes after the last whole page will not be sent.\n\nDo you want to start update?"));
    QVERIFY(driver.boxDefaultIsYes);

    const EmulatedWidget &widget = bus->widget(0);
    QVERIFY(widget.inLoader());
    QCOMPARE(widget.flashedImage(), contents.mid(255, 5 * 256));
    QCOMPARE(widget.acceptedPages().keys(), (QList<int>{0, 1, 2, 3, 4}));
    QCOMPARE(widget.wire().left(5), bytes({0x7E, 0x01, 0x00, 0x00, 0xE7}));
    QCOMPARE(widget.wire().size(), 5 + 5 * 263);
    QCOMPARE(sleeps->waits, QVector<int>{2000});
    QCOMPARE(logMessages(log).mid(before), (QStringList{"Starting firmware update", '"' + path + '"', "File size 1436",
                                                       "156 bytes after the last whole page are left out",
                                                       "Firmware update done"}));
    QCOMPARE(SettingsSaver().lastDir(), dir.path());
    QVERIFY(!window.findChild<QProgressDialog *>());
}

void TestFirmware::oneUpdateAtATime()
{
    // Long enough for the progress dialog to show itself (after 4 s).
    const QByteArray contents = imageFile("2.0\n", 2400 * 256);
    const QString path = writeFile("long.bin", contents);
    MainWindowPro window;
    window.show();
    openWidget(window);
    bus->widget(0).replyLatencyMs = 2;
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const int before = logMessages(log).size();
    DialogDriver driver(path);
    driver.attackedWindow = &window;
    clickUpdate(window);
    QVERIFY(driver.progressShown);
    QVERIFY(driver.progressSurvived);
    const QStringList lines = logMessages(log).mid(before);
    QCOMPARE(lines.count("Firmware update done"), 1);
    QCOMPARE(lines.count("A firmware update is running: wait until it has ended"), 4);
    QCOMPARE(bus->widget(0).framesReceived(REPROGRAM_FIRMWARE), 1);
    QCOMPARE(bus->widget(0).flashedImage(), contents.mid(255));
    // Neither closed nor rescanned underneath the update.
    QVERIFY(bus->widget(0).isOpen());
    QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Close"));
}

void TestFirmware::imageWithoutAWholePage_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty file") << 0;
    QTest::newRow("header only") << 255;
    QTest::newRow("one byte short of a page") << 255 + 255;
}

void TestFirmware::imageWithoutAWholePage()
{
    QFETCH(int, size);
    const QString path = writeFile("short.bin", imageFile("1.0\n", 255).left(size));
    MainWindowPro window;
    openWidget(window);
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const int before = logMessages(log).size();
    DialogDriver driver(path);
    clickUpdate(window);
    // Refused before the question, before the loader request.
    QVERIFY(driver.boxText.isEmpty());
    QCOMPARE(logMessages(log).mid(before),
             QStringList{QStringLiteral("%1 holds no whole page after its 255-byte header (%2 bytes of image): nothing"
                                        " to load; firmware update not started")
                             .arg(path).arg(qMax(0, size - 255))});
    QVERIFY(bus->widget(0).wire().isEmpty());
    QVERIFY(sleeps->waits.isEmpty());
}

void TestFirmware::versionLine_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QString>("version");
    QTest::newRow("1.07") << QByteArray("1.07\nrest") << "1.07";
    QTest::newRow("carriage return stays") << QByteArray("1.07\r\n") << "1.07\r";
    QTest::newRow("empty line") << QByteArray("\n1.07\n") << "";
    QTest::newRow("NUL inside") << QByteArray("1.0\0" "8\n", 6) << "1.0";
    QTest::newRow("Latin-1") << QByteArray("v\xe9 2\n") << QString::fromUtf8("vé 2");
    QTest::newRow("no line end: the header at most") << QByteArray(300, 'v') << QString(255, 'v');
    QTest::newRow("short file without line end") << QByteArray("1.2") << "1.2";
}

void TestFirmware::versionLine()
{
    QFETCH(QByteArray, head);
    QFETCH(QString, version);
    QCOMPARE(FirmwareImage(head).versionText(), version);

    // And as the confirmation shows it.
    QByteArray contents = head;
    if (contents.size() < 255)
        contents.append(QByteArray(255 - contents.size(), '\n'));
    contents.append(QByteArray(256, char(0x11)));
    const QString path = writeFile("version.bin", contents);
    MainWindowPro window;
    DialogDriver driver(path, QMessageBox::Cancel);
    QMetaObject::invokeMethod(&window, "on_updBtn_clicked");
    QCOMPARE(driver.boxText, "FW Version " + version);
}

void TestFirmware::confirmationCancelled()
{
    const QString path = writeFile("fw.bin", imageFile("1.07\n", 512));
    MainWindowPro window;
    openWidget(window);
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const QStringList before = logMessages(log);
    DialogDriver driver(path, QMessageBox::Cancel);
    clickUpdate(window);
    QCOMPARE(driver.boxText, QString("FW Version 1.07"));
    QVERIFY(bus->widget(0).wire().isEmpty());
    QVERIFY(sleeps->waits.isEmpty());
    QCOMPARE(logMessages(log), before);
}

void TestFirmware::fileDialogCancelled()
{
    {
        SettingsSaver saver;
        saver.setLastDir(dir.path());
    }
    MainWindowPro window;
    openWidget(window);
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const QStringList before = logMessages(log);
    DialogDriver driver(QString{});
    clickUpdate(window);
    QCOMPARE(driver.dialogDirectory, dir.path());
    // The remembered directory survives the cancel.
    QCOMPARE(SettingsSaver().lastDir(), dir.path());
    QVERIFY(bus->widget(0).wire().isEmpty());
    QCOMPARE(logMessages(log), before);
}

void TestFirmware::noDeviceOpen()
{
    const QString path = writeFile("fw.bin", imageFile("1.07\n", 1024));
    MainWindowPro window;
    openWidget(window);
    QTest::mouseClick(child<QPushButton>(&window, "devOpenBtn"), Qt::LeftButton);
    QVERIFY(!gLink->handle);
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    const int before = logMessages(log).size();
    DialogDriver driver(path);
    clickUpdate(window);
    QCOMPARE(logMessages(log).mid(before), QStringList{"No device open: firmware update not started"});
    QVERIFY(bus->widget(0).wire().isEmpty());
    QVERIFY(sleeps->waits.isEmpty());
}

void TestFirmware::wholePagesOnly()
{
    const QByteArray contents = imageFile("2.0\n", 513);
    FirmwareImage image(contents);
    QCOMPARE(image.pageCount(), 2);
    QCOMPARE(image.leftOverBytes(), 1);
    MessageCapture log;
    FirmwareUpdate update(openLink(), image, "fw.bin");
    QCOMPARE(update.run(), FirmwareUpdate::Outcome::Done);
    QCOMPARE(log.messages, (QStringList{"Starting firmware update", "\"fw.bin\"", "File size 513",
                                        "1 bytes after the last whole page are left out", "Firmware update done"}));
    QCOMPARE(bus->widget(0).flashedImage(), contents.mid(255, 512));
    // Loader request and two pages; image byte 512 never goes out.
    QCOMPARE(bus->widget(0).wire().size(), 5 + 2 * 263);
}

void TestFirmware::refusedPages_data()
{
    QTest::addColumn<QByteArray>("scriptedReply");
    QTest::addColumn<int>("refusePage");
    QTest::newRow("status F") << QByteArray() << 2;
    QTest::newRow("reply without a status byte") << bytes({0x7E, 0x02, 0x00, 0x00, 0xE7}) << -1;
    QTest::newRow("reply with a wrong end byte") << bytes({0x7E, 0x02, 0x01, 0x00, 0x54, 0x00}) << -1;
    QTest::newRow("reply announcing 513 bytes") << bytes({0x7E, 0x02, 0x01, 0x02}) << -1;
}

void TestFirmware::refusedPages()
{
    QFETCH(QByteArray, scriptedReply);
    QFETCH(int, refusePage);
    EmulatedWidget &widget = bus->widget(0);
    int refused = refusePage;
    if (refusePage >= 0) {
        widget.refusePage(refusePage);
    } else {
        // The first page's reply is replaced.
        widget.scriptReply(PROGRAM_FLASH_PAGE, scriptedReply);
        refused = 0;
    }
    const QByteArray contents = imageFile("1.0\n", 5 * 256);
    FirmwareImage image(contents);
    MessageCapture log;
    FirmwareUpdate update(openLink(), image, "fw.bin");
    QCOMPARE(update.run(), FirmwareUpdate::Outcome::PagesRefused);
    QCOMPARE(update.refusedPages(), 1);
    QCOMPARE(log.messages.count("!"), 1);
    QVERIFY(log.messages.contains("Firmware update failed: 1 of 5 pages refused"));
    QVERIFY(!log.messages.contains("Firmware update done"));
    // No retry and no abort: every other page went in, in order.
    QList<int> expected{0, 1, 2, 3, 4};
    if (refusePage >= 0)
        expected.removeOne(refused);
    QCOMPARE(widget.acceptedPages().keys(), expected);
    QCOMPARE(widget.framesReceived(PROGRAM_FLASH_PAGE), 5);
}

void TestFirmware::unpluggedMidUpdate()
{
    const QString path = writeFile("fw.bin", imageFile("1.07\n", 6 * 256));
    MainWindowPro window;
    openWidget(window);
    bus->widget(0).unplugAtPage(3);
    auto *log = child<QPlainTextEdit>(&window, "plainTextEdit");
    DialogDriver driver(path);
    QElapsedTimer timer;
    timer.start();
    clickUpdate(window);
    QVERIFY(timer.elapsed() < 3000);
    // It ends at the page that found the widget gone, and says so.
    const QStringList lines = logMessages(log);
    QCOMPARE(lines.count("!"), 1);
    QCOMPARE(lines.last(), QString("Firmware update failed at page 4 of 6: Reading from the widget failed: the"
                                   " widget was unplugged (FT_IO_ERROR); the widget is left in its loader; run the"
                                   " update again"));
    QCOMPARE(bus->widget(0).framesReceived(PROGRAM_FLASH_PAGE), 4);
    QCOMPARE(bus->widget(0).acceptedPages().keys(), (QList<int>{0, 1, 2}));

    // Plugged in again, it is found and opens.
    bus->widget(0).replug();
    QTest::mouseClick(child<QPushButton>(&window, "scanDevicesBtn"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(&window, "devOpenBtn"), Qt::LeftButton);
    QCOMPARE(child<QLabel>(&window, "tryLbl")->text(), QString("Trying to Conncet - Connected"));
}

void TestFirmware::pageNumbersLowByteFirst()
{
    const QByteArray contents = imageFile("1.0\n", 259 * 256);
    FirmwareImage image(contents);
    QCOMPARE(image.pagePayload(258).left(2), bytes({0x02, 0x01}));
    MessageCapture log;
    FirmwareUpdate update(openLink(), image, "fw.bin");
    QCOMPARE(update.run(), FirmwareUpdate::Outcome::Done);
    const QByteArray wire = bus->widget(0).wire();
    const int page258 = 5 + 258 * 263;
    QCOMPARE(wire.mid(page258, 6), bytes({0x7E, 0x02, 0x02, 0x01, 0x02, 0x01}));
    QCOMPARE(wire.mid(page258 + 6, 256), contents.mid(255 + 258 * 256, 256));
    QCOMPARE(bus->widget(0).flashedImage(), contents.mid(255));
}

void TestFirmware::fileWithoutImage()
{
    FirmwareImage image(QByteArray("1.0\n"));
    MessageCapture log;
    FirmwareUpdate update(openLink(), image, "small.bin");
    // Refused before anything is sent: the widget stays out of its loader.
    QCOMPARE(update.run(), FirmwareUpdate::Outcome::ImageRefused);
    QCOMPARE(log.messages.size(), 1);
    QVERIFY(log.messages[0].startsWith("small.bin holds no whole page"));
    QVERIFY(bus->widget(0).wire().isEmpty());
    QVERIFY(sleeps->waits.isEmpty());
}

void TestFirmware::imageTooLargeForPageNumbers()
{
    const QByteArray contents(255 + 65536 * 256, char(0x11));
    FirmwareImage image(contents);
    QVERIFY(!image.fitsPageNumbers());
    MessageCapture log;
    FirmwareUpdate update(openLink(), image, "huge.bin");
    QCOMPARE(update.run(), FirmwareUpdate::Outcome::ImageRefused);
    QCOMPARE(log.messages.size(), 1);
    QVERIFY(log.messages[0].startsWith("Firmware image too large: 65536 pages"));
    QVERIFY(bus->widget(0).wire().isEmpty());
    QVERIFY(sleeps->waits.isEmpty());

    // One page less fits.
    QVERIFY(FirmwareImage(contents.left(255 + 65535 * 256 + 255)).fitsPageNumbers());
}

void TestFirmware::progressReachesTheEnd()
{
    FirmwareImage image(imageFile("1.0\n", 4 * 256));
    MessageCapture log;
    FirmwareUpdate update(openLink(), image, "fw.bin");
    int started = -1;
    QVector<int> progress;
    update.onStarted = [&](int pageCount) {
        started = pageCount;
        // The widget is in its loader before the first page.
        QVERIFY(bus->widget(0).inLoader());
        QCOMPARE(sleeps->waits, QVector<int>{2000});
    };
    update.onPageSent = [&](int sent, int count) {
        QCOMPARE(count, 4);
        QCOMPARE(bus->widget(0).framesReceived(PROGRAM_FLASH_PAGE), sent);
        progress << sent;
    };
    QCOMPARE(update.run(), FirmwareUpdate::Outcome::Done);
    QCOMPARE(started, 4);
    QCOMPARE(progress, (QVector<int>{1, 2, 3, 4}));
}

QTEST_MAIN(TestFirmware)
#include "tst_firmware.moc"
