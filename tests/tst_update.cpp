// The firmware update through the window and through the procedure, against
// an emulated widget whose accepted pages are compared with the image; and
// the remembered directory.
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "mainwindowpro.h"
#include "settingssaver.h"
#include "testsupport.h"
#include "widgetlink.h"

#include <QAction>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

#include <sys/stat.h>

using lumora::D2xxCall;
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

class TestUpdate : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<SleepRecorder> sleeps;
    std::unique_ptr<StdoutCapture> out;
    EmulatedBus *bus = nullptr;
    WidgetLink link;

    QString writeFile(const QString &name, const QByteArray &contents)
    {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
            qFatal("cannot write %s", qPrintable(name));
        return file.fileName();
    }

    // Scan and Open in the window; what that sent and waited is forgotten.
    void openWidget(MainWindowPro &window)
    {
        click(&window, "scanDevicesBtn");
        click(&window, "devOpenBtn");
        QVERIFY(gLink->handle);
        bus->widget(0).clearWire();
        sleeps->waits.clear();
    }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.filePath("settings"));
    }
    void init()
    {
        QSettings("MyCompany", "My soft name").clear();
        bus = &emulatedBus(1);
        gOpenDevice = -1;
        sleeps.reset(new SleepRecorder);
        out.reset(new StdoutCapture);
    }
    void cleanup()
    {
        link.close();
        out.reset();
        sleeps.reset();
    }

    // An update under the progress dialog, one at a time: neither the dialog
    // nor the window's own buttons stop it, close or rescan the widget under
    // it, or start another.
    void updateFromTheWindow()
    {
        // Long enough for the progress dialog to show itself (after 4 s), and
        // a cut-off tail: it is never sent, and the user is told so before
        // saying yes.
        const QByteArray contents = imageFile("<b>1.07</b>\n", 2400 * 256 + 156);
        const QString path = writeFile("fw 1.07 <new>.bin", contents);
        MainWindowPro window;
        window.show();
        openWidget(window);
        bus->widget(0).replyLatencyMs = 2;
        const int before = windowLog(&window).size();
        DialogDriver driver(path);
        driver.attackedWindow = &window;
        click(&window, "updBtn");

        QCOMPARE(driver.dialogTitle, QString("Open Firmware"));
        QCOMPARE(driver.dialogFilters, QStringList{"Bin Files (*.bin)"});
        QCOMPARE(driver.dialogDirectory, QDir::homePath());
        QCOMPARE(driver.boxText, QString("FW Version <b>1.07</b>"));
        QVERIFY(driver.boxPlainText);
        QCOMPARE(driver.boxInformativeText,
                 QString("156 bytes after the last whole page will not be sent.\n\nDo you want to start update?"));
        QVERIFY(driver.boxDefaultIsYes);
        QVERIFY(driver.progressShown && driver.progressSurvived && !driver.recoverOffered);
        QVERIFY(child<QAction>(&window, "recoverAction")->isEnabled());
        const EmulatedWidget &widget = bus->widget(0);
        QVERIFY(widget.inLoader() && widget.isOpen());
        QCOMPARE(widget.flashedImage(), contents.mid(255, 2400 * 256));
        const QMap<int, QByteArray> &pages = widget.acceptedPages();
        QCOMPARE(QVector<int>({pages.size(), pages.firstKey(), pages.lastKey()}), QVector<int>({2400, 0, 2399}));
        QCOMPARE(widget.wire().left(5), bytes({0x7E, 0x01, 0x00, 0x00, 0xE7}));
        QCOMPARE(widget.wire().size(), 5 + 2400 * 263);
        QCOMPARE(sleeps->waits, QVector<int>{2000});
        QCOMPARE(windowLog(&window).mid(before),
                 QStringList({"Starting firmware update", '"' + path + '"', "File size 614556",
                              "156 bytes after the last whole page are left out"})
                     + QVector<QString>(5, "A firmware update is running: wait until it has ended").toList()
                     + QStringList{"Firmware update done"});
        QCOMPARE(SettingsSaver().lastDir(), dir.path());
        QVERIFY(!window.findChild<QProgressDialog *>());
        // The window is free again: Close works.
        click(&window, "devOpenBtn");
        QVERIFY(!widget.isOpen());
    }

    void nothingSent_data()
    {
        QTest::addColumn<QString>("file");      // empty: the file dialog is cancelled
        QTest::addColumn<int>("size");          // of the file written
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("logLine");   // empty: nothing logged
        const int yes = QMessageBox::Yes;
        QTest::newRow("file dialog cancelled") << "" << 0 << yes << "";
        QTest::newRow("question cancelled") << "fw.bin" << 255 + 512 << int(QMessageBox::Cancel) << "";
        // Closed before the update.
        QTest::newRow("no device open") << "fw.bin" << 255 + 512 << yes << "No device open: firmware update not started";
        QTest::newRow("empty file") << "fw.bin" << 0 << yes
                                    << "%1 holds no whole page after its 255-byte header (0 bytes of image): nothing to"
                                       " load; firmware update not started";
        QTest::newRow("one byte short of a page") << "fw.bin" << 510 << yes << "%1 holds no whole page";
        // A file that cannot be read as an image says so (size -1: a pipe).
        QTest::newRow("a pipe") << "pipe.bin" << -1 << yes << "%1 is not a regular file: a firmware image is a .bin file";
    }

    void nothingSent()
    {
        QFETCH(QString, file);
        QFETCH(int, size);
        QFETCH(int, answer);
        QFETCH(QString, logLine);
        const bool closeFirst = logLine.startsWith("No device open");
        SettingsSaver().setLastDir(QDir::tempPath());
        QString path;
        if (size < 0 && mkfifo(QFile::encodeName(dir.filePath(file)).constData(), 0600) == 0)
            path = dir.filePath(file);
        else if (!file.isEmpty())
            path = writeFile(file, imageFile("1.07\n", 512).left(size));
        MainWindowPro window;
        openWidget(window);
        if (closeFirst)
            click(&window, "devOpenBtn");
        const int before = windowLog(&window).size();
        DialogDriver driver(path, answer);
        click(&window, "updBtn");
        QCOMPARE(driver.dialogDirectory, QDir::tempPath());
        const QStringList lines = windowLog(&window).mid(before);
        QCOMPARE(lines.size(), logLine.isEmpty() ? 0 : 1);
        if (!logLine.isEmpty())
            QVERIFY2(lines[0].startsWith(logLine.arg(path)), qPrintable(lines[0]));
        // Refused ones are refused before the question.
        QCOMPARE(!driver.boxText.isEmpty(), !file.isEmpty() && (logLine.isEmpty() || closeFirst));
        QVERIFY(bus->widget(0).wire().isEmpty());
        QVERIFY(sleeps->waits.isEmpty());
        // A cancelled dialog keeps the directory remembered so far.
        QCOMPARE(SettingsSaver().lastDir(), file.isEmpty() ? QDir::tempPath() : dir.path());
    }

    // Page replies that refuse a page, or are no answer, and a widget pulled
    // out: the update goes on through refused pages (no retry, no abort,
    // every other page in, in order) and ends at the page that found the
    // widget gone; what it logs last.
    void pageFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("page");
        QTest::addColumn<QByteArray>("reply"); // scripted for the first page, or waiting from before the update
        QTest::addColumn<QStringList>("tail");
        const QString refused = "Firmware update failed: 1 of 5 pages refused (pages %1)";
        const QString incomplete = "The widget holds an incomplete image: run the update again";
        QTest::newRow("status F") << "refuse" << 2 << QByteArray() << QStringList{refused.arg(3), incomplete};
        QTest::newRow("reply without a status byte") << "script" << 0 << bytes({0x7E, 0x02, 0x00, 0x00, 0xE7})
                                                     << QStringList{refused.arg(1), incomplete};
        QTest::newRow("reply with a wrong end byte")
            << "script" << 0 << bytes({0x7E, 0x02, 0x01, 0x00, 0x54, 0x00})
            << QStringList{refused.arg(1), "1 of them got no reply in time: check the cable and the widget's power", incomplete};
        // An 'F' waiting from before the update is no answer to any page.
        QTest::newRow("stale refusal") << "stale" << 0 << bytes({0x7E, 0x02, 0x01, 0x00, 0x46, 0xE7})
                                       << QStringList{"Firmware update done"};
        // A stop during the loader's wait is heard then, not after it.
        QTest::newRow("stopped in the loader's wait")
            << "stop" << 0 << QByteArray()
            << QStringList{"Firmware update interrupted before page 1 of 5: the widget is left in its loader; run the"
                           " update again"};
        QTest::newRow("unplugged") << "unplug" << 3 << QByteArray()
            << QStringList{"Firmware update failed at page 4 of 5: Reading from the widget failed: the widget was"
                           " unplugged (FT_IO_ERROR); the widget is left in its loader; run the update again"};
    }

    void pageFaults()
    {
        QFETCH(QString, fault);
        QFETCH(int, page);
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, tail);
        EmulatedWidget &widget = bus->widget(0);
        if (fault == "refuse")
            widget.refusePage(page);
        if (fault == "unplug")
            widget.unplugAtPage(page);
        FT_Open(0, &link.handle);
        FT_SetTimeouts(link.handle, 120, 100);
        if (fault == "stale")
            widget.injectBytes(reply);
        if (fault == "script")
            widget.scriptReply(PROGRAM_FLASH_PAGE, reply);
        const FirmwareImage image(imageFile("1.0\n", 5 * 256));
        MessageCapture log;
        FirmwareUpdate update(link, image, "fw.bin");
        QVector<int> progress;
        int stopAsked = 0;
        const bool stopped = fault == "stop";
        if (stopped) {
            sleeps.reset(); // the real wait, asked for a stop as it goes
            update.stopRequested = [&stopAsked] { return ++stopAsked == 3; };
        }
        update.onStarted = [&](int pageCount) {
            // In its loader, after the wait, before the first page.
            QVERIFY(widget.inLoader());
            QCOMPARE(sleeps->waits, QVector<int>{2000});
            QCOMPARE(pageCount, 5);
        };
        update.onPageSent = [&](int sent, int) { progress << sent; };
        QElapsedTimer clock;
        clock.start();
        const bool done = tail.first().endsWith("done"), unplugged = fault == "unplug";
        QCOMPARE(update.run(), done ? FirmwareUpdate::Outcome::Done
                               : unplugged ? FirmwareUpdate::Outcome::DeviceLost
                               : stopped ? FirmwareUpdate::Outcome::Interrupted : FirmwareUpdate::Outcome::PagesRefused);
        QVERIFY(clock.elapsed() < 3000);
        QCOMPARE(update.refusedPages(), done || unplugged || stopped ? 0 : 1);
        QCOMPARE(log.messages.count("!"), done || stopped ? 0 : 1);
        QCOMPARE(log.messages.mid(log.messages.size() - tail.size()), tail);
        QCOMPARE(log.messages.contains("Firmware update done"), done);
        const int sent = unplugged ? page : stopped ? 0 : 5;
        QList<int> kept;
        QVector<int> counted;
        for (int p = 0; p < sent; ++p) {
            if (fault != "refuse" || p != page)
                kept << p;
            counted << p + 1;
        }
        QCOMPARE(widget.acceptedPages().keys(), kept);
        QCOMPARE(widget.framesReceived(PROGRAM_FLASH_PAGE), unplugged ? page + 1 : sent);
        QVERIFY(widget.inLoader()); // until the link lets go of it
        QCOMPARE(progress, counted);
    }

    void recoverWidget_data()
    {
        QTest::addColumn<bool>("inLoader");    // as after an update cut off
        QTest::addColumn<bool>("refused");     // the system will not give the device
        QTest::addColumn<int>("paramRequests"); // the widget was asked for, in all
        QTest::newRow("waiting in its loader") << true << false << 2;
        // Opened through Open: recovered on the handle the panel holds.
        QTest::newRow("the widget open in the panel") << false << false << 1;
        QTest::newRow("device refused") << true << true << 1;
    }

    void recoverWidget()
    {
        QFETCH(bool, inLoader);
        QFETCH(bool, refused);
        QFETCH(int, paramRequests);
        const QByteArray contents = imageFile("2.10\n", 64 * 256);
        const QString path = writeFile("sample-firmware.bin", contents);
        EmulatedWidget &widget = bus->widget(0);
        if (inLoader)
            widget.enterLoader();
        MainWindowPro window;
        window.show();
        click(&window, "scanDevicesBtn");
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString(inLoader ? "Trying to Conncet - Failed" : "Trying to Conncet - Connected"));

        if (refused)
            faults().failCall(D2xxCall::Open, FT_DEVICE_NOT_OPENED, 3);
        widget.clearWire();
        const int before = windowLog(&window).size();
        DialogDriver driver(path);
        child<QAction>(&window, "recoverAction")->trigger();
        QCOMPARE(driver.boxText, QString("FW Version 2.10"));
        QCOMPARE(driver.boxInformativeText,
                 QString("Recover Lumora USB DMX (SN: EM000001)? The widget will be updated without identifying"
                         " itself: only recover a Lumora widget that waits in its loader."));
        const QStringList lines = windowLog(&window).mid(before);
        if (refused) {
            QCOMPARE(lines.mid(lines.size() - 2), (QStringList{"Opening device 0 failed: FT_DEVICE_NOT_OPENED",
                                         "Widget not recovered: firmware update not started"}));
            QVERIFY(widget.wire().isEmpty());
        } else {
            QCOMPARE(lines.mid(lines.indexOf("Starting firmware update")),
                     (QStringList{"Starting firmware update", '"' + path + '"', "File size 16384",
                                  "Firmware update done"}));
            QCOMPARE(widget.flashedImage(), contents.mid(255));
            QCOMPARE(widget.framesReceived(REPROGRAM_FIRMWARE), 1);
        }
        QCOMPARE(widget.framesReceived(GET_WIDGET_PARAMS), paramRequests);
        // Let go of: the panel shows no widget, and the next Open identifies
        // the restarted one.
        QVERIFY(!widget.isOpen() && !gLink->handle);
        QCOMPARE(gOpenDevice, -1);
        QCOMPARE(child<QPushButton>(&window, "devOpenBtn")->text(), QString("Open"));
        click(&window, "devOpenBtn");
        QCOMPARE(label(&window, "tryLbl"), QString(refused ? "Trying to Conncet - Failed" : "Trying to Conncet - Connected"));
    }

    void rememberedDirectory_data()
    {
        QTest::addColumn<QString>("directory");
        QTest::newRow("with blanks and umlauts") << QString::fromUtf8("/tmp/Fw Bilder ä");
        QTest::newRow("empty string stays empty") << "";
    }

    void rememberedDirectory()
    {
        QFETCH(QString, directory);
        const QString file = dir.filePath("settings/MyCompany/My soft name.conf");
        const auto stored = [&] { return QSettings(file, QSettings::IniFormat).value("LastDir").toString(); };
        // No entry: the home directory, written back when the saver goes.
        QCOMPARE(SettingsSaver().lastDir(), QDir::homePath());
        QCOMPARE(stored(), QDir::homePath());
        {
            SettingsSaver saver;
            saver.setLastDir(directory);
            // Written at once, also as a later run of the program reads it.
            QCOMPARE(stored(), directory);
        }
        QCOMPARE(SettingsSaver().lastDir(), directory);
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
