// lumora-flash as a process over the real libusb and libftdi1, against
// emulated USB chips that usbchip-run puts in front of it.
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestUsbFlash : public QObject
{
    Q_OBJECT

private slots:
    void runs_data();
    void runs();
};

void TestUsbFlash::runs_data()
{
    QTest::addColumn<QStringList>("runner");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // a pattern for all of standard output
    QTest::addColumn<QStringList>("err");
    QTest::addColumn<QStringList>("flashed");
    QTest::addColumn<QList<int>>("refused");

    const QString image = LUMORA_SAMPLE_IMAGE;
    const QStringList two{"--chips", "A1,B2"};
    QTest::newRow("list") << two << QStringList{"--list"} << 0
                          << QRegularExpression::escape("0\tLumora USB DMX\tA1\n1\tLumora USB DMX\tB2\n")
                          << QStringList{} << QStringList{} << QList<int>{};
    QTest::newRow("info, slow replies") << (two + QStringList{"--latency-ms", "30"})
                                        << QStringList{"--info", "--serial", "B2"} << 0
                                        << QRegularExpression::escape("Serial No 201001\nFirmware 1.44\nBreak time 196 "
                                                                      "micro sec\nMAB time 10 micro sec\nRefresh rate "
                                                                      "40 packets/sec\n")
                                        << QStringList{} << QStringList{} << QList<int>{};
    QTest::newRow("flash both at once") << two << QStringList{"--yes", "--all", image} << 0
                                        << "serial .*\nA1 +1\\.44 +done +0 .*\nB2 +1\\.44 +done +0 .*\n"
                                           "2 of 2 widgets updated\n"
                                        << QStringList{} << QStringList{"A1", "B2"}
                                        << QList<int>{};
    QTest::newRow("pages refused") << QStringList{"--refuse-pages", "3,7"} << QStringList{"--yes", image} << 6
                                   << QString() << QStringList{"2 of 64 pages refused"}
                                   << QStringList{"EM000001"} << QList<int>{3, 7};
    QTest::newRow("no access") << QStringList{"--no-access"} << QStringList{"--info"} << 4 << QString()
                               << QStringList{"no permission to use the widget's USB device", "udev rule", "plugdev"}
                               << QStringList{} << QList<int>{};
    QTest::newRow("kernel driver busy") << QStringList{"--driver-busy"} << QStringList{"--info"} << 4 << QString()
                                        << QStringList{"ftdi_sio", "unbind", "rmmod"} << QStringList{} << QList<int>{};
}

void TestUsbFlash::runs()
{
    QFETCH(QStringList, runner);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, err);
    QFETCH(QStringList, flashed);
    QFETCH(QList<int>, refused);
    QTemporaryDir dir;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("LUMORA_EMULATOR");
    process.setProcessEnvironment(env);
    process.start(UMOCKDEV_WRAPPER, QStringList{USBCHIP_RUN} + runner
                                        + QStringList{"--flash-dump", dir.filePath("%s.bin"), "--", LUMORA_FLASH_PATH}
                                        + arguments);
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(30000));
    const QString errText = QString::fromLocal8Bit(process.readAllStandardError());
    QCOMPARE(process.exitCode(), exitCode);
    const QString outText = QString::fromLocal8Bit(process.readAllStandardOutput());
    QVERIFY2(QRegularExpression("\\A" + out + "\\z").match(outText).hasMatch(), qPrintable(outText));
    for (const QString &words : err)
        QVERIFY2(errText.contains(words), qPrintable(errText));

    QFile file(LUMORA_SAMPLE_IMAGE);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray image;
    const QByteArray pages = file.readAll().mid(255);
    for (int page = 0; page < pages.size() / 256; ++page)
        if (!refused.contains(page))
            image += pages.mid(page * 256, 256);
    const QStringList dumps = QDir(dir.path()).entryList({"*.bin"});
    QCOMPARE(dumps.size(), runner.contains("--chips") ? 2 : 1);
    for (const QString &dump : dumps) {
        QFile flash(dir.filePath(dump));
        QVERIFY(flash.open(QIODevice::ReadOnly));
        QCOMPARE(flash.readAll(), flashed.contains(dump.chopped(4)) ? image : QByteArray());
    }
}

QTEST_GUILESS_MAIN(TestUsbFlash)
#include "tst_usbflash.moc"
