// The command-line flasher, run as a process against emulated widgets.
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// A firmware file: version line, header padded to 255 bytes, `pages` pages
// whose bytes differ from page to page.
QByteArray firmwareFile(int pages, int extraBytes = 0)
{
    QByteArray file("1.07\n");
    file.append(255 - file.size(), '\0');
    for (int i = 0; i < pages * 256 + extraBytes; ++i)
        file.append(char((i * 7 + i / 256) & 0xFF));
    return file;
}

} // namespace

class TestFlashCli : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    QString writeFile(const QString &name, const QByteArray &contents) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
            qFatal("cannot write %s", qPrintable(name));
        return file.fileName();
    }

    Run run(const QStringList &arguments, const QStringList &environment)
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LUMORA_EMULATOR", "1");
        env.insert("LUMORA_EMULATOR_NO_WAITS", "1");
        env.insert("LUMORA_EMULATOR_FLASH_DUMP", path("flashed.bin"));
        for (const QString &setting : environment)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        process.setProcessEnvironment(env);
        process.start(LUMORA_FLASH_PATH, arguments);
        process.closeWriteChannel(); // standard input: a pipe, never a terminal
        Run result;
        if (!process.waitForFinished(20000)) {
            process.kill();
            process.waitForFinished();
            qWarning("lumora-flash did not finish");
            return result;
        }
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return result;
    }

    QByteArray flashed() const
    {
        QFile file(path("flashed.bin"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        writeFile("three.bin", firmwareFile(3));
        writeFile("ragged.bin", firmwareFile(2, 100));
        writeFile("header-only.bin", firmwareFile(0, 255));
        writeFile("too-large.bin", QByteArray(255 + 65536 * 256, char(0x11)));
    }

    void init() { QFile::remove(path("flashed.bin")); }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");

        const QString three = path("three.bin");
        QTest::newRow("list two") << QStringList{"--list"} << QStringList{"LUMORA_EMULATOR=2"} << 0
                                  << QByteArray("0\tLumora USB DMX\tEM000001\n1\tLumora USB DMX\tEM000002\n")
                                  << QByteArray();
        QTest::newRow("list none") << QStringList{"--list"} << QStringList{"LUMORA_EMULATOR=0"} << 0
                                   << QByteArray() << QByteArray();
        QTest::newRow("info") << QStringList{"--info"} << QStringList{} << 0
                              << QByteArray("Serial No 201000\nFirmware 1.44\nBreak time 196 micro sec\n"
                                            "MAB time 10 micro sec\nRefresh rate 40 packets/sec\n")
                              << QByteArray();
        QTest::newRow("info second") << QStringList{"--info", "--device", "1"} << QStringList{"LUMORA_EMULATOR=2"}
                                     << 0 << QByteArray("Serial No 201001\n") << QByteArray();
        QTest::newRow("serial one match") << QStringList{"--info", "--serial", "B"}
                                          << QStringList{"LUMORA_EMULATOR=3", "LUMORA_EMULATOR_SERIALS=A,B,C"} << 0
                                          << QByteArray("Serial No 201001\n") << QByteArray();
        QTest::newRow("serial no match") << QStringList{"--info", "--serial", "Z"}
                                         << QStringList{"LUMORA_EMULATOR=3", "LUMORA_EMULATOR_SERIALS=A,B,C"} << 3
                                         << QByteArray() << QByteArray("no widget with serial Z");
        QTest::newRow("serial two matches") << QStringList{"--info", "--serial", "A"}
                                            << QStringList{"LUMORA_EMULATOR=3", "LUMORA_EMULATOR_SERIALS=A,B,A"} << 3
                                            << QByteArray() << QByteArray("2 widgets with serial A");
        QTest::newRow("several, none chosen") << QStringList{"--info"} << QStringList{"LUMORA_EMULATOR=2"} << 3
                                              << QByteArray() << QByteArray("2 widgets attached");
        QTest::newRow("none attached") << QStringList{"--yes", three} << QStringList{"LUMORA_EMULATOR=0"} << 3
                                       << QByteArray() << QByteArray("no widget attached");
        QTest::newRow("device out of range") << QStringList{"--info", "-d", "2"} << QStringList{"LUMORA_EMULATOR=2"}
                                             << 3 << QByteArray() << QByteArray("no device 2: 2 widget(s) attached");
        QTest::newRow("device not a number") << QStringList{"--info", "-d", "x"} << QStringList{} << 2 << QByteArray()
                                             << QByteArray("no device x");
        QTest::newRow("no action") << QStringList{} << QStringList{} << 2 << QByteArray() << QByteArray("exactly one");
        QTest::newRow("two actions") << QStringList{"--list", "--info"} << QStringList{} << 2 << QByteArray()
                                     << QByteArray("exactly one");
        QTest::newRow("device and serial") << QStringList{"--info", "-d", "0", "-s", "EM000001"} << QStringList{}
                                           << 2 << QByteArray() << QByteArray("exclude each other");
        QTest::newRow("unknown option") << QStringList{"--force"} << QStringList{} << 2 << QByteArray()
                                        << QByteArray("Unknown option 'force'");
        QTest::newRow("open fails") << QStringList{"--yes", three} << QStringList{"LUMORA_EMULATOR_SILENT=1"} << 4
                                    << QByteArray() << QByteArray("cannot open widget 0 (serial EM000001)");
        QTest::newRow("file missing") << QStringList{"--yes", path("missing.bin")} << QStringList{} << 5
                                      << QByteArray() << QByteArray("cannot read");
        QTest::newRow("no whole page") << QStringList{"--yes", path("header-only.bin")} << QStringList{} << 5
                                       << QByteArray() << QByteArray("no whole page");
        QTest::newRow("too many pages") << QStringList{"--yes", path("too-large.bin")} << QStringList{} << 5
                                        << QByteArray() << QByteArray("too-large.bin is too large for a firmware image");
        QTest::newRow("pages refused") << QStringList{"--yes", three} << QStringList{"LUMORA_EMULATOR_REFUSE_PAGES=0,2"}
                                       << 6 << QByteArray() << QByteArray("2 of 3 pages refused");
        QTest::newRow("not a terminal, no --yes") << QStringList{three} << QStringList{} << 7 << QByteArray()
                                                  << QByteArray("give --yes");
    }

    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);

        const Run result = run(arguments, environment);
        QCOMPARE(result.exitCode, exitCode);
        if (exitCode == 0)
            QVERIFY2(result.out.startsWith(out), result.out.constData());
        else
            QCOMPARE(result.out, QByteArray());
        QVERIFY2(result.err.contains(err), result.err.constData());
        // Only a run that updates may touch the flash.
        if (exitCode != 6)
            QCOMPARE(flashed(), QByteArray());
    }

    void fullUpdate_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("pages");
        QTest::newRow("only widget") << QStringList{} << "three.bin" << 3;
        QTest::newRow("left-over bytes not sent") << QStringList{} << "ragged.bin" << 2;
        QTest::newRow("by index") << QStringList{"-d", "1"} << "three.bin" << 3;
        QTest::newRow("by serial") << QStringList{"--serial", "EM000002"} << "three.bin" << 3;
    }

    void fullUpdate()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        QFETCH(int, pages);

        const QString widgets = arguments.isEmpty() ? "1" : "2";
        const Run result = run(arguments + QStringList{"--yes", path(file)}, {"LUMORA_EMULATOR=" + widgets});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.endsWith(QByteArray::number(pages) + " pages written\n"), result.err.constData());

        QFile source(path(file));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(flashed(), source.readAll().mid(255, pages * 256));
    }

    void progressAndLog()
    {
        const Run quiet = run({"--yes", path("three.bin")}, {});
        QCOMPARE(quiet.exitCode, 0);
        // Not a terminal: plain lines, none rewritten in place, no log lines.
        QCOMPARE(quiet.err, QByteArray("page 1 of 3 (33%)\npage 2 of 3 (66%)\npage 3 of 3 (100%)\n3 pages written\n"));

        const Run verbose = run({"--yes", "--verbose", path("three.bin")}, {"LUMORA_EMULATOR_REFUSE_PAGES=1"});
        QCOMPARE(verbose.exitCode, 6);
        const QList<QByteArray> lines = verbose.err.split('\n');
        QVERIFY(lines.contains("Starting firmware update"));
        QVERIFY(lines.contains("File size 768"));
        QVERIFY(lines.contains("!"));
        QVERIFY(lines.contains("Firmware update failed: 1 of 3 pages refused"));
        QVERIFY(!verbose.err.contains('\r'));
    }

    void confirmationOnTerminal_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("yes") << QByteArray("y\n") << 0;
        QTest::newRow("no") << QByteArray("n\n") << 7;
        QTest::newRow("just return") << QByteArray("\n") << 7;
    }

    void confirmationOnTerminal()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, exitCode);
        const QString script = QStandardPaths::findExecutable("script");
        if (script.isEmpty())
            QSKIP("no script(1) to give the flasher a terminal");

        // script(1) runs the flasher on a pseudo-terminal fed from our pipe.
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LUMORA_EMULATOR", "1");
        env.insert("LUMORA_EMULATOR_NO_WAITS", "1");
        env.insert("LUMORA_EMULATOR_FLASH_DUMP", path("flashed.bin"));
        process.setProcessEnvironment(env);
        const QString command = QStringLiteral("'%1' '%2'; echo \"exit=$?\"").arg(LUMORA_FLASH_PATH, path("three.bin"));
        process.start(script, {"-qec", command, "/dev/null"});
        QVERIFY(process.waitForStarted());
        process.write(answer);
        QVERIFY(process.waitForFinished(20000));
        const QByteArray output = process.readAllStandardOutput();
        QVERIFY2(output.contains("FW Version 1.07"), output.constData());
        QVERIFY2(output.contains("exit=" + QByteArray::number(exitCode)), output.constData());
        if (exitCode == 0) // a terminal: the progress line is rewritten in place
            QVERIFY2(output.contains("\rpage 3 of 3 (100%)"), output.constData());
        QCOMPARE(flashed().size(), exitCode == 0 ? 3 * 256 : 0);
    }
};

QTEST_GUILESS_MAIN(TestFlashCli)
#include "tst_flashcli.moc"
