// lumora-flash as a process over the real libusb and libftdi1, against
// emulated USB chips that usbchip-run puts in front of it.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class TestUsbFlash : public QObject
{
    Q_OBJECT

private slots:
    void runs_data()
    {
        QTest::addColumn<QStringList>("runner");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // a pattern for all of standard output
        QTest::addColumn<QStringList>("err");
        // Each chip's flash by serial: all of the image, or -nothing.
        QTest::addColumn<QStringList>("flashed");

        const QString image = LUMORA_SAMPLE_IMAGE;
        const QStringList two{"--chips", "A1,B2"}, unflashed{"-EM000001"};
        QTest::newRow("list") << two << QStringList{"--list"} << 0
                              << QRegularExpression::escape("0\tLumora USB DMX\tA1\n1\tLumora USB DMX\tB2\n")
                              << QStringList{} << QStringList{"-A1", "-B2"};
        QTest::newRow("info, slow replies")
            << (two + QStringList{"--latency-ms", "30"}) << QStringList{"--info", "--serial", "B2"} << 0
            << QRegularExpression::escape("Serial No 201001\nFirmware 1.44\nBreak time 196 micro sec\nMAB time 10 "
                                          "micro sec\nRefresh rate 40 packets/sec\n")
            << QStringList{} << QStringList{"-A1", "-B2"};
        QTest::newRow("flash both at once")
            << two << QStringList{"--yes", "--all", image} << 0
            << "serial .*\nA1 +1\\.44 +2\\.10 +done +0 .*\nB2 +1\\.44 +2\\.10 +done +0 .*\n2 of 2 widgets updated\n" << QStringList{}
            << QStringList{"A1", "B2"};
        QTest::newRow("no access") << QStringList{"--no-access"} << QStringList{"--info"} << 4 << QString()
                                   << QStringList{"no permission to use the widget's USB device", "udev rule", "plugdev"}
                                   << unflashed;
        QTest::newRow("kernel driver busy") << QStringList{"--driver-busy"} << QStringList{"--info"} << 4 << QString()
                                            << QStringList{"ftdi_sio", "unbind", "rmmod"} << unflashed;
        // A widget whose update was cut off waits in its loader: refused
        // with the way out.
        QTest::newRow("in its loader") << QStringList{"--in-loader", "1"} << QStringList{"--yes", "-d", "0", image} << 4
                                       << QString() << QStringList{"opened but does not answer", "--recover"}
                                       << unflashed;
        // Pulled out mid-update, it comes back in its loader, on its port as
        // a new device: the station that left it there recovers it.
        QTest::newRow("station recovers what it stranded")
            << QStringList{"--chips", "", "--latency-ms", "20", "--plug", "100:+LX1,2900:-LX1,3100:+LX1"}
            << QStringList{"--station", "--yes", "--json", image} << 0
            << "(.*\n)*.*\"mode\":\"update\",\"outcome\":\"widget_lost\".*\n(.*\n)*.*\"mode\":\"recover\",\"outcome\":"
               "\"done\".*\n\\{\"event\":\"end\",\"exit\":0,\"succeeded\":1,\"widgets\":1\\}\n"
            << QStringList{"LX1: Firmware update failed at page", "the widget was unplugged",
                           "LX1 plugged in: port 1, /dev/bus/usb/001/003", "LX1: recovered without --recover"}
            << QStringList{"LX1"};
        // Restarted after its update, it comes back as a new device on its port.
        QTest::newRow("re-enumerated after its restart")
            << QStringList{"--reenumerate", "1"} << QStringList{"--yes", image} << 0 << QString()
            << QStringList{"EM000001 plugged in: port 1, /dev/bus/usb/001/003",
                           "verified: after its restart the widget reports firmware 2.10"}
            << QStringList{"EM000001"};
        // The knobs and the plug schedule are read as strictly as the
        // emulator's variables: nothing runs.
        QTest::newRow("malformed") << QStringList{"--refuse-pages", "x7", "--plug", "100:LX1"} << QStringList{"--yes", image}
                                   << 2 << QString()
                                   << QStringList{"--refuse-pages x7: cannot read \"x7\"", "--plug 100:LX1: cannot read"}
                                   << QStringList{};
        QTest::newRow("another program holds it") << QStringList{"--claimed"} << QStringList{"--info"} << 4 << QString()
                                                  << QStringList{"another program holds the widget"} << unflashed;
    }

    void runs()
    {
        QFETCH(QStringList, runner);
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QStringList, err);
        QFETCH(QStringList, flashed);
        QTemporaryDir dir;
        QProcess process;
        // In a process group of its own, as at a terminal.
        process.start("setsid", QStringList{UMOCKDEV_WRAPPER, USBCHIP_RUN} + runner
                                    + QStringList{"--flash-dump", dir.filePath("%s.bin"), "--", LUMORA_FLASH_PATH}
                                    + arguments);
        process.closeWriteChannel();
        // A station runs until Ctrl-C: it comes once each plug-in has its result.
        const bool station = arguments.contains("--station");
        while (station && process.peek(1 << 20).count("\"event\":\"result\"") < runner.join(' ').count(":+")
               && process.waitForReadyRead(30000)) {
        }
        if (station)
            ::kill(-pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(30000));
        const QString errText = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(process.exitCode(), exitCode);
        const QString outText = QString::fromLocal8Bit(process.readAllStandardOutput());
        QVERIFY2(QRegularExpression("\\A" + out + "\\z").match(outText).hasMatch(), qPrintable(outText));
        for (const QString &words : err)
            QVERIFY2(errText.contains(words), qPrintable(errText));

        QFile file(LUMORA_SAMPLE_IMAGE);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray image = file.readAll().mid(255);
        const QStringList dumps = QStringList(flashed).replaceInStrings(QRegularExpression("^-?(.*)"), "\\1.bin");
        QCOMPARE(QDir(dir.path()).entryList({"*.bin"}), dumps);
        for (int i = 0; i < dumps.size(); ++i) {
            QFile flash(dir.filePath(dumps[i]));
            QVERIFY(flash.open(QIODevice::ReadOnly));
            QCOMPARE(flash.readAll(), flashed[i].startsWith('-') ? QByteArray() : image);
        }
    }
};

QTEST_GUILESS_MAIN(TestUsbFlash)
#include "tst_usbflash.moc"
