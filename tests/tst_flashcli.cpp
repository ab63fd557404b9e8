// The command-line flasher, run as a process against emulated widgets.
#include "flashprocess.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

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

    QProcessEnvironment environment(const QStringList &settings) const
    {
        return emulatedEnvironment(path("flash-%s.bin"), settings);
    }

    // Runs the flasher. With `until`, sends SIGINT, as a technician's
    // Ctrl-C, once that text has shown `times` times on the given channel.
    FlashRun run(const QStringList &arguments, const QStringList &settings = {}, const QByteArray &until = {},
                 int times = 1, QProcess::ProcessChannel channel = QProcess::StandardOutput)
    {
        FlashProcess process(arguments, environment(settings), channel);
        if (!until.isEmpty()) {
            process.waitFor(until, times);
            process.interrupt();
        }
        return process.finish();
    }

    QByteArray flashed(const QString &serial) const
    {
        QFile file(path("flash-" + serial + ".bin"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        // Arguments, variables and file names are bytes here, a character
        // each, as Latin-1 makes them: names and serial strings that are not
        // UTF-8 reach the flasher, and are checked, byte for byte.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        QVERIFY(m_dir.isValid());
        writeFile("three.bin", firmwareFile(3));
        writeFile(QString::fromLatin1("fw\xe9.bin"), firmwareFile(3));
        writeFile("ragged.bin", firmwareFile(2, 100));
        writeFile("header-only.bin", firmwareFile(0, 255));
        writeFile("too-large.bin", QByteArray(255 + 65536 * 256, char(0x11)));
        writeFile("long.bin", firmwareFile(256));
        writeFile("beta.bin", firmwareFile(3, 0, "v1.07-beta"));
        writeFile("other.csv", "name,amount\n1,2\n");
        QCOMPARE(mkfifo(QFile::encodeName(path("fifo.bin")).constData(), 0600), 0);
    }

    void init()
    {
        for (const QString &dump : QDir(m_dir.path()).entryList({"flash-*.bin"}))
            QFile::remove(path(dump));
    }

    void exitCodes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");

        const QString three = path("three.bin");
        QTest::newRow("list as JSON") << QStringList{"--list", "--json"} << QStringList{} << 0
                                      << QByteArray("{\"description\":\"Lumora USB DMX\",\"event\":\"device\",\"index\":0,"
                                                    "\"serial\":\"EM000001\"}\n{\"event\":\"end\",\"exit\":0,\"widgets\":1}\n")
                                      << QByteArray();
        QTest::newRow("list two") << QStringList{"--list"} << QStringList{"LUMORA_EMULATOR=2"} << 0
                                  << QByteArray("0\tLumora USB DMX\tEM000001\n1\tLumora USB DMX\tEM000002\n")
                                  << QByteArray();
        QTest::newRow("info") << QStringList{"--info"} << QStringList{} << 0
                              << QByteArray("Serial No 201000\nFirmware 1.44\nBreak time 196 micro sec\n"
                                            "MAB time 10 micro sec\nRefresh rate 40 packets/sec\n")
                              << QByteArray();
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
        QTest::newRow("none attached") << QStringList{"--yes", "--json", three} << QStringList{"LUMORA_EMULATOR=0"} << 3
                                       << QByteArray() << QByteArray("no widget attached");
        QTest::newRow("device out of range") << QStringList{"--info", "-d", "2"} << QStringList{"LUMORA_EMULATOR=2"}
                                             << 3 << QByteArray() << QByteArray("no device 2: 2 widget(s) attached");
        QTest::newRow("device not a number") << QStringList{"--info", "-d", "x"} << QStringList{} << 2 << QByteArray()
                                             << QByteArray("no device x");
        QTest::newRow("no action") << QStringList{} << QStringList{} << 2 << QByteArray() << QByteArray("exactly one");
        QTest::newRow("all with a device") << QStringList{"--all", "-d", "0", three} << QStringList{} << 2
                                           << QByteArray() << QByteArray("--all and --station each take");
        QTest::newRow("list with a device") << QStringList{"--list", "-d", "0"} << QStringList{} << 2 << QByteArray()
                                            << QByteArray("--list lists every widget");
        QTest::newRow("record named empty") << QStringList{"--yes", "--record", "", three} << QStringList{} << 2
                                            << QByteArray() << QByteArray("--record needs a file name");
        QTest::newRow("recover unchosen") << QStringList{"--yes", "--recover", three} << QStringList{} << 2
                                          << QByteArray() << QByteArray("--recover updates one chosen widget");
        // A widget that opens but does not answer is refused, never called
        // replaced, and the way out is named.
        QTest::newRow("open fails, and why") << QStringList{"--yes", "--json", three}
                                             << QStringList{"LUMORA_EMULATOR_SILENT=1"} << 4 << QByteArray()
                                             << QByteArray("Widget 0 opened but does not answer its parameter request."
                                                           " If its last update was cut off it waits in its loader:"
                                                           " update it with --recover (only if this is a Lumora widget:"
                                                           " --recover sends firmware to whatever is attached)");
        QTest::newRow("file missing") << QStringList{"--yes", "--json", path("missing.bin")} << QStringList{} << 5
                                      << QByteArray() << QByteArray("missing.bin: no such file");
        QTest::newRow("a pipe is no image") << QStringList{"--yes", path("fifo.bin")} << QStringList{} << 5
                                            << QByteArray() << QByteArray("fifo.bin is not a regular file");
        QTest::newRow("a device is no image") << QStringList{"--yes", "/dev/zero"} << QStringList{} << 5
                                              << QByteArray() << QByteArray("/dev/zero is not a regular file");
        QTest::newRow("no whole page") << QStringList{"--yes", path("header-only.bin")} << QStringList{} << 5
                                       << QByteArray() << QByteArray("no whole page");
        QTest::newRow("too many pages") << QStringList{"--yes", path("too-large.bin")} << QStringList{} << 5
                                        << QByteArray() << QByteArray("too-large.bin is too large");
        QTest::newRow("pages refused") << QStringList{"--yes", three} << QStringList{"LUMORA_EMULATOR_REFUSE_PAGES=0,2"}
                                       << 6 << QByteArray() << QByteArray("2 of 3 pages refused");
        // Silence costs a read time-out a page: eight in a row end the update.
        QTest::newRow("widget stops answering") << QStringList{"--yes", path("long.bin")}
                                                << QStringList{"LUMORA_EMULATOR_SILENT_FROM_PAGE=3"} << 9 << QByteArray()
                                                << QByteArray("Widget stopped answering at page 4 of 256: update aborted");
        // Bytes that never make a frame hold a page for a second, not for ever.
        QTest::newRow("widget trickles bytes") << QStringList{"--yes", three}
                                               << QStringList{"LUMORA_EMULATOR_TRICKLE_FROM_PAGE=2"} << 6 << QByteArray()
                                               << QByteArray("1 of 3 pages refused (pages 3)");
        // Different bytes never print the same: a backslash is escaped too.
        QTest::newRow("control characters escaped") << QStringList{"--list"}
                                                    << QStringList{"LUMORA_EMULATOR=3",
                                                                   "LUMORA_EMULATOR_SERIALS=EM\x1b[2J\r01,A\x01,A\\x01"}
                                                    << 0
                                                    << QByteArray("0\tLumora USB DMX\tEM\\x1b[2J\\x0d01\n"
                                                                  "1\tLumora USB DMX\tA\\x01\n2\tLumora USB DMX\tA\\x5cx01\n")
                                                    << QByteArray();
        // What --list prints, --serial takes back: escapes are bytes, the
        // rest is the serial's own text.
        QTest::newRow("serial by its printed form") << QStringList{"--info", "--serial", "A\\x5cx01"}
                                                    << QStringList{"LUMORA_EMULATOR=3",
                                                                   "LUMORA_EMULATOR_SERIALS=EM\x1b[2J\r01,A\x01,A\\x01"}
                                                    << 0 << QByteArray("Serial No 201002\n") << QByteArray();
        const QString unicodeSerials =
            QString::fromLatin1("LUMORA_EMULATOR_SERIALS=AB\xe9" "CD,AB\xc3\xa9" "CD,AB\xc3\xa7" "CD");
        QTest::newRow("serials not UTF-8 escaped")
            << QStringList{"--list"} << QStringList{"LUMORA_EMULATOR=3", unicodeSerials} << 0
            << QByteArray("0\tLumora USB DMX\tAB\\xe9" "CD\n1\tLumora USB DMX\tAB\xc3\xa9" "CD\n"
                          "2\tLumora USB DMX\tAB\xc3\xa7" "CD\n")
            << QByteArray();
        QTest::newRow("serial not UTF-8, chosen") << QStringList{"--info", "--serial", "AB\\xe9" "CD"}
                                                  << QStringList{"LUMORA_EMULATOR=3", unicodeSerials} << 0
                                                  << QByteArray("Serial No 201000\n") << QByteArray();
        QTest::newRow("serial in UTF-8, chosen")
            << QStringList{"--info", "--serial", QString::fromLatin1("AB\xc3\xa7" "CD")}
            << QStringList{"LUMORA_EMULATOR=3", unicodeSerials} << 0
                                                 << QByteArray("Serial No 201002\n") << QByteArray();
        QTest::newRow("serial with a stray backslash") << QStringList{"--info", "--serial", "A\\b"} << QStringList{}
                                                       << 2 << QByteArray()
                                                       << QByteArray("give a backslash itself as \\x5c");
        // Which of two values was meant is not guessed; the same one twice is one.
        QTest::newRow("device twice") << QStringList{"--info", "-d", "0", "--device", "1"}
                                      << QStringList{"LUMORA_EMULATOR=2"} << 2 << QByteArray()
                                      << QByteArray("--device given more than once (0, 1)");
        QTest::newRow("device twice, the same") << QStringList{"--info", "-d", "1", "-d", "1"}
                                                << QStringList{"LUMORA_EMULATOR=2"} << 0
                                                << QByteArray("Serial No 201001\n") << QByteArray();
        QTest::newRow("serial twice") << QStringList{"--info", "-s", "EM000001", "--serial", "EM000002"}
                                      << QStringList{"LUMORA_EMULATOR=2"} << 2 << QByteArray()
                                      << QByteArray("--serial given more than once (EM000001, EM000002)");
        QTest::newRow("record twice")
            << QStringList{"--yes", "--record", path("a.csv"), "--record", path("b.csv"), three} << QStringList{} << 2
            << QByteArray() << QByteArray("--record given more than once");
        QTest::newRow("two images") << QStringList{"--yes", three, path("ragged.bin")} << QStringList{} << 2
                                    << QByteArray() << QByteArray("2 images given");
        // These decide whether real widgets are touched: never guessed at.
        QTest::newRow("widget count malformed") << QStringList{"--yes", "--json", three}
                                                << QStringList{"LUMORA_EMULATOR=abc"} << 2 << QByteArray()
                                                << QByteArray("LUMORA_EMULATOR=abc: expected the number of widgets to"
                                                              " emulate, a whole number from 0 to 64");
        QTest::newRow("plug events malformed") << QStringList{"--yes", "--json", three}
                                               << QStringList{"LUMORA_EMULATOR_PLUG=abc"} << 2 << QByteArray()
                                               << QByteArray("LUMORA_EMULATOR_PLUG=abc: cannot read \"abc\"");
        QTest::newRow("knob malformed") << QStringList{"--yes", "--json", three}
                                        << QStringList{"LUMORA_EMULATOR_REFUSE_PAGES=x7"} << 2 << QByteArray()
                                        << QByteArray("LUMORA_EMULATOR_REFUSE_PAGES=x7: cannot read \"x7\"; expected"
                                                      " whole numbers");
        QTest::newRow("variable misspelt")
            << QStringList{"--yes", three} << QStringList{"LUMORA_EMULATOR_SERIAL=B"} << 2 << QByteArray()
            << QByteArray("LUMORA_EMULATOR_SERIAL is not a variable");
        // A silent widget does not take a page either.
        QTest::newRow("silent widget recovered") << QStringList{"--yes", "--recover", "-d", "0", path("long.bin")}
                                                 << QStringList{"LUMORA_EMULATOR_SILENT=1"} << 9 << QByteArray()
                                                 << QByteArray("Widget stopped answering at page 1 of 256");
        QTest::newRow("verbose: the log too") << QStringList{"--yes", "--verbose", three}
                                              << QStringList{"LUMORA_EMULATOR_REFUSE_PAGES=1"} << 6 << QByteArray()
                                              << QByteArray("File size 768\npage 1 of 3 (33%)\n!\npage 2 of 3");
        // Replies slower than the 120 ms read time-out: no late reply may
        // count for the next page, so every page fails. 230 ms lies inside the
        // drain that follows a time-out (it ends 240 ms after the write at the
        // earliest, and a busy machine only makes it later), and leaves a
        // stall of up to 110 ms between a write and its read harmless.
        QTest::newRow("replies too late") << QStringList{"--yes", three} << QStringList{"LUMORA_EMULATOR_LATENCY_MS=230"}
                                          << 6 << QByteArray()
                                          << QByteArray("3 of 3 pages refused (pages 1, 2, 3)\n"
                                                        "3 of them got no reply in time");
        QTest::newRow("not a terminal, no --yes") << QStringList{"--json", three} << QStringList{} << 7 << QByteArray()
                                                  << QByteArray("give --yes");
        QTest::newRow("record not writable") << QStringList{"--yes", "--record", "/dev/full", three}
                                             << QStringList{} << 10 << QByteArray()
                                             << QByteArray("cannot write the record");
        // The record is checked before any widget is touched.
        QTest::newRow("record a directory") << QStringList{"--yes", "--json", "--record", m_dir.path(), three}
                                            << QStringList{} << 10 << QByteArray() << QByteArray("cannot write the record");
        QTest::newRow("record a pipe nobody reads") << QStringList{"--yes", "--record", path("fifo.bin"), three}
                                                    << QStringList{} << 10 << QByteArray()
                                                    << QByteArray("it is a pipe that nobody reads");
        QTest::newRow("record is the image") << QStringList{"--yes", "--record", three, three} << QStringList{} << 10
                                             << QByteArray() << QByteArray("it is the image file");
        QTest::newRow("record of another kind") << QStringList{"--yes", "--record", path("other.csv"), three}
                                                << QStringList{} << 10 << QByteArray()
                                                << QByteArray("its first line is not the header of a record (name,amount)");
    }

    void exitCodes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);

        QElapsedTimer clock;
        clock.start();
        const FlashRun result = run(arguments, environment);
        QCOMPARE(result.exitCode, exitCode);
        if (arguments.contains("--json") && exitCode != 2) {
            // Whatever ends the run, its last line is the end event, after
            // the error that explains it.
            QVERIFY2(result.out.endsWith("}\n") && !result.events.isEmpty(), result.out.constData());
            QCOMPARE(result.events.last()["event"].toString(), QString("end"));
            QCOMPARE(result.events.last()["exit"].toInt(), exitCode);
            if (exitCode != 0)
                QVERIFY(!result.eventsOf("error").isEmpty() || !result.eventsOf("result").isEmpty());
        } else if (exitCode == 0) {
            QVERIFY2(result.out.startsWith(out), result.out.constData());
        } else {
            QCOMPARE(result.out, QByteArray());
        }
        QVERIFY2(result.err.contains(err), result.err.constData());
        // Only a run that updates may touch the flash; a widget that stopped
        // answering holds the pages before that one alone.
        const QRegularExpressionMatch stopped =
            QRegularExpression("stopped answering at page (\\d+) of").match(QString::fromLatin1(result.err));
        if (stopped.hasMatch())
            QCOMPARE(flashed("EM000001").size(), (stopped.captured(1).toInt() - 1) * 256);
        else if (exitCode != 6)
            QCOMPARE(flashed("EM000001"), QByteArray());
        QVERIFY(clock.elapsed() < 10000);
        QFile other(path("other.csv"));
        QVERIFY(other.open(QIODevice::ReadOnly));
        QCOMPARE(other.readAll(), QByteArray("name,amount\n1,2\n"));
    }

    void fullUpdate_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QString>("inLoader");
        QTest::newRow("only widget") << QStringList{} << "three.bin" << "EM000001" << 3 << "";
        QTest::newRow("left-over bytes not sent") << QStringList{} << "ragged.bin" << "EM000001" << 2 << "";
        QTest::newRow("by index") << QStringList{"-d", "1"} << "three.bin" << "EM000002" << 3 << "";
        QTest::newRow("by serial") << QStringList{"--serial", "EM000002"} << "three.bin" << "EM000002" << 3 << "";
        // Names that are not UTF-8 are the very bytes given.
        QTest::newRow("names not UTF-8") << QStringList{"-d", "0", "--record", path(QString::fromLatin1("rec\xe9.csv"))}
                                         << QString::fromLatin1("fw\xe9.bin") << "EM000001" << 3 << "";
        // Brought back from its loader, where it answers nothing but pages.
        QTest::newRow("recovered") << QStringList{"--recover", "--serial", "EM000002"} << "ragged.bin" << "EM000002" << 2
                                   << "EM000002";
    }

    void fullUpdate()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, file);
        QFETCH(QString, serial);
        QFETCH(int, pages);
        QFETCH(QString, inLoader);

        const QString widgets = arguments.isEmpty() ? "1" : "2";
        const FlashRun result = run(arguments + QStringList{"--yes", path(file)},
                               {"LUMORA_EMULATOR=" + widgets, "LUMORA_EMULATOR_IN_LOADER=" + inLoader});
        QCOMPARE(result.exitCode, 0);
        // Not a terminal: a line at each tenth, none rewritten in place, no log lines.
        if (pages == 3)
            QCOMPARE(result.err, "emulated widgets (LUMORA_EMULATOR=" + widgets.toLatin1()
                                     + "): no real widget is touched\npage 1 of 3 (33%)\npage 2 of 3 (66%)\n"
                                       "page 3 of 3 (100%)\n3 pages written\n"
                                       "verified: after its restart the widget reports firmware 1.7\n");
        QVERIFY2(result.err.contains(QByteArray::number(pages) + " pages written\nverified"), result.err.constData());
        // A download cut short is not flashed without a word.
        QCOMPARE(result.err.contains("100 bytes after the last whole page will not be sent"), file == "ragged.bin");
        if (file == "ragged.bin" && inLoader.isEmpty()) {
            const FlashRun json = run({"--json", "--yes", path(file)}, {"LUMORA_EMULATOR=1"});
            QVERIFY2(json.out.contains("{\"event\":\"warning\",\"message\":\"100 bytes after the last whole page "
                                       "will not be sent\"}\n"), json.out.constData());
        }

        QFile source(path(file));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(flashed(serial), source.readAll().mid(255, pages * 256));
        QCOMPARE(QDir(m_dir.path()).entryList({"flash-*.bin"}).size(), 1);
        if (arguments.contains("--record")) {
            QCOMPARE(QDir(m_dir.path()).entryList({"rec*"}), QStringList{QString::fromLatin1("rec\xe9.csv")});
            QFile record(arguments.last());
            QVERIFY(record.open(QIODevice::ReadOnly));
            QVERIFY2(record.readAll().contains(",fw\\xe9.bin,1.07,"), "the image's name as printed");
        }
    }

    void verification_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("verify");
        QTest::addColumn<QString>("firmwareAfter"); // empty: null
        QTest::addColumn<QByteArray>("err");
        const QString three = path("three.bin");
        QTest::newRow("verified") << QStringList{three} << QStringList{} << 0 << "verified" << "1.7"
                                  << QByteArray("verified: after its restart the widget reports firmware 1.7");
        // Back as a new USB device on its port: found there, never by its place in a list.
        QTest::newRow("re-enumerated") << QStringList{three} << QStringList{"LUMORA_EMULATOR_REENUMERATE=1"} << 0
                                       << "verified" << "1.7" << QByteArray("verified");
        QTest::newRow("update did not take") << QStringList{three} << QStringList{"LUMORA_EMULATOR_FIRMWARE_AFTER=keep"}
                                             << 11 << "mismatch" << "1.44"
                                             << QByteArray("updated, but the widget reports firmware 1.44, not 1.07");
        QTest::newRow("silent after its restart") << QStringList{three} << QStringList{"LUMORA_EMULATOR_SILENT_AFTER_RESTART=1"}
                                                  << 11 << "no_answer" << ""
                                                  << QByteArray("updated, but the widget did not answer after its restart");
        QTest::newRow("not asked") << QStringList{"--no-verify", three} << QStringList{"LUMORA_EMULATOR_FIRMWARE_AFTER=keep"}
                                   << 0 << "skipped" << "" << QByteArray("not verified after the restart (--no-verify)");
        QTest::newRow("version line not M.N") << QStringList{path("beta.bin")} << QStringList{} << 0 << "unchecked" << "1.7"
                                              << QByteArray("not compared: after its restart the widget reports firmware 1.7");
        QTest::newRow("pages refused: not asked") << QStringList{three} << QStringList{"LUMORA_EMULATOR_REFUSE_PAGES=1"}
                                                  << 6 << "skipped" << "" << QByteArray("1 of 3 pages refused");
    }

    void verification()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, exitCode);
        QFETCH(QString, verify);
        QFETCH(QString, firmwareAfter);
        QFETCH(QByteArray, err);

        const QString record = path("verify.csv");
        QFile::remove(record);
        const FlashRun result = run(QStringList{"--yes", "--json", "--station-name", "bench 3", "--record", record} + arguments,
                               environment);
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2(result.err.contains(err), result.err.constData());
        QCOMPARE(result.eventsOf("result").size(), 1);
        const QJsonObject start = result.eventsOf("start").first(), done = result.eventsOf("result").first();
        QCOMPARE(done["verify"].toString(), verify);
        QCOMPARE(done["firmware_after"], firmwareAfter.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(firmwareAfter));
        QCOMPARE(done["outcome"].toString() == "not_verified", exitCode == 11);
        // One attempt, one key: made before the widget was touched, the same
        // in every event and in the record.
        QVERIFY(!QUuid::fromString(start["attempt_id"].toString()).isNull());
        QCOMPARE(done["attempt_id"], start["attempt_id"]);
        QCOMPARE(start["station"].toString(), QString("bench 3"));

        // The record's new columns are the JSON result's fields.
        QFile csv(record);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        const QList<QByteArray> header = lines[0].split(','), row = lines[1].split(',');
        QCOMPARE(header.mid(13), (QList<QByteArray>{"attempt_id", "station", "tool_version", "seconds", "firmware_after",
                                                   "verify"}));
        QCOMPARE(row.size(), header.size());
        for (int i = 13; i < header.size(); ++i) {
            const QJsonValue field = done[QString::fromLatin1(header[i])];
            QCOMPARE(QString::fromUtf8(row[i]), field.isDouble() ? QString::number(field.toDouble()) : field.toString());
        }
        QVERIFY2(QRegularExpression("^\\d+\\.\\d+\\.\\d+$").match(done["tool_version"].toString()).hasMatch(),
                 qPrintable(done["tool_version"].toString()));
    }

    void confirmationOnTerminal_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("plug");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("errorToFile"); // standard error: the terminal, or a file
        QTest::newRow("yes") << QByteArray("y\n") << QString() << 0 << false;
        QTest::newRow("no") << QByteArray("n\n") << QString() << 7 << false;
        QTest::newRow("just return") << QByteArray("\n") << QString() << 7 << false;
        // The question is asked where it is seen, whatever standard error is.
        QTest::newRow("yes, standard error to a file") << QByteArray("y\n") << QString() << 0 << true;
        // Pulled out while the question waits: its neighbour must not be
        // opened in its place.
        QTest::newRow("chosen widget pulled out") << QByteArray("y\n") << "300:-EM000001" << 4 << false;
        // A signal while the question waits answers it: no, at once.
        QTest::newRow("a signal at the question") << QByteArray() << QString() << 7 << false;
    }

    void confirmationOnTerminal()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, plug);
        QFETCH(int, exitCode);
        QFETCH(bool, errorToFile);
        const QString script = QStandardPaths::findExecutable("script");
        if (script.isEmpty())
            QSKIP("no script(1) to give the flasher a terminal");

        // script(1) runs the flasher on a pseudo-terminal fed from our pipe.
        QProcess process;
        process.setProcessEnvironment(environment({"LUMORA_EMULATOR=2", "LUMORA_EMULATOR_PLUG=" + plug}));
        const bool signal = answer.isEmpty();
        const QString errors = path("question-errors");
        const QString command = QStringLiteral("%3 '%1' --serial EM000001 '%2' %4; echo \"exit=$?\"")
                                    .arg(LUMORA_FLASH_PATH, path("three.bin"))
                                    .arg(signal ? "sh -c '(sleep 0.5; kill -TERM $$) & exec \"$0\" \"$@\"'" : "",
                                         errorToFile ? "2>'" + errors + "'" : QString());
        process.start(script, {"-qec", command, "/dev/null"});
        QVERIFY(process.waitForStarted());
        // Answered once asked: the terminal echoes the answer where it is typed.
        QElapsedTimer clock;
        clock.start();
        while (!process.peek(1 << 20).contains("[y/N] ") && clock.elapsed() < 15000)
            process.waitForReadyRead(100);
        QTest::qWait(plug.isEmpty() ? 0 : 800);
        process.write(answer);
        QVERIFY(process.waitForFinished(20000));
        const QByteArray output = process.readAllStandardOutput();
        // The question and the answer, as the terminal echoes it.
        QVERIFY2(output.contains("FW Version 1.07\r\nDo you want to start update? [y/N] " + answer.trimmed()),
                 output.constData());
        QVERIFY2(output.contains("exit=" + QByteArray::number(exitCode)), output.constData());
        QCOMPARE(output.contains("update not started"), exitCode == 7);
        QCOMPARE(output.contains("not confirmed (a signal at the question)"), signal);
        QFile errorFile(errors);
        if (errorToFile) {
            QVERIFY(errorFile.open(QIODevice::ReadOnly));
            const QByteArray logged = errorFile.readAll();
            QVERIFY2(logged.contains("page 3 of 3 (100%)\n3 pages written\n") && !logged.contains("Do you want"),
                     logged.constData());
        } else if (exitCode == 0) { // a terminal: the progress line is rewritten in place
            QVERIFY2(output.contains("\r\x1b[Kpage 3 of 3 (100%)"), output.constData());
        }
        if (!plug.isEmpty())
            QVERIFY2(output.contains("EM000001 was unplugged after the device list was made"), output.constData());
        QCOMPARE(flashed("EM000001").size(), exitCode == 0 ? 3 * 256 : 0);
        QCOMPARE(flashed("EM000002").size(), 0);
    }

    void interruptedAfterThePageInFlight()
    {
        const FlashRun result = run({"--yes", path("long.bin")}, {"LUMORA_EMULATOR_LATENCY_MS=5"}, "(10%)", 1,
                               QProcess::StandardError);
        QCOMPARE(result.exitCode, 8);
        const QRegularExpressionMatch match =
            QRegularExpression("interrupted before page (\\d+) of 256: the widget is left in its loader; run the"
                               " update again").match(QString::fromLocal8Bit(result.err));
        QVERIFY2(match.hasMatch(), result.err.constData());
        const int pages = match.captured(1).toInt() - 1;
        QVERIFY(pages >= 26 && pages < 256);
        // Every page sent was answered, and no other.
        QCOMPARE(flashed("EM000001").size(), pages * 256);
    }

    void closedOutputs()
    {
        // Started with standard output closed: its events cannot be written,
        // and it says so; the widget is flashed and the record, opened in
        // the place of standard output, holds its row and nothing else.
        const QString record = path("closed.csv");
        QFile::remove(record);
        QProcess closed;
        closed.setProcessEnvironment(environment({}));
        closed.start("sh", {"-c", QStringLiteral("exec >&-; '%1' --yes --json --record '%2' '%3'")
                                      .arg(LUMORA_FLASH_PATH, record, path("three.bin"))});
        QVERIFY(closed.waitForFinished(20000));
        QCOMPARE(closed.exitCode(), 10);
        const QByteArray said = closed.readAllStandardError();
        QVERIFY2(said.contains("lumora-flash: standard output could not be written (it was closed when the flasher "
                               "started)"), said.constData());
        QCOMPARE(flashed("EM000001").size(), 3 * 256);
        QFile rows(record);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = rows.readAll().split('\n');
        QCOMPARE(lines.size(), 3); // the header, the row, and nothing after its end
        QVERIFY2(lines[1].contains(",done,") && !lines[1].contains('{'), lines[1].constData());

        // Standard error into a pipe nobody reads any more: the flash goes on.
        QProcess flash;
        flash.setProcessEnvironment(environment({}));
        flash.start("sh", {"-c", QStringLiteral("(sleep 0.3; '%1' --yes '%2' 2>&1; echo $? > '%3') | true")
                                     .arg(LUMORA_FLASH_PATH, path("three.bin"), path("status"))});
        QVERIFY(flash.waitForFinished(20000));
        QFile status(path("status"));
        QVERIFY(status.open(QIODevice::ReadOnly));
        QCOMPARE(status.readAll().trimmed(), QByteArray("0"));
        QCOMPARE(flashed("EM000001").size(), 3 * 256);
    }

    void allWidgetsAtOnce()
    {
        const QString record = path("all.csv");
        QFile::remove(record);
        const FlashRun result = run({"--all", "--yes", "--json", "--record", record, path("three.bin")},
                               {"LUMORA_EMULATOR=8", "LUMORA_EMULATOR_REFUSE_PAGES=EM000005:1"});
        QCOMPARE(result.exitCode, 6);
        QCOMPARE(result.eventsOf("end").size(), 1);
        QCOMPARE(result.eventsOf("end").first()["exit"].toInt(), 6);
        QCOMPARE(result.eventsOf("start").size(), 8);
        QCOMPARE(result.eventsOf("start").first()["firmware_before"].toString(), QString("1.44"));
        QCOMPARE(result.eventsOf("start").first()["emulated"].toBool(), true);
        QMap<QString, QJsonObject> results;
        for (const QJsonObject &e : result.eventsOf("result"))
            results[e["serial"].toString()] = e;
        QCOMPARE(results.size(), 8);
        for (int i = 1; i <= 8; ++i) {
            const QString serial = QStringLiteral("EM%1").arg(i, 6, 10, QLatin1Char('0'));
            const bool refusing = i == 5;
            QCOMPARE(results[serial]["outcome"].toString(), QString(refusing ? "pages_refused" : "done"));
            QCOMPARE(results[serial]["pages_refused"].toInt(), refusing ? 1 : 0);
            QCOMPARE(flashed(serial).size(), refusing ? 2 * 256 : 3 * 256);
        }
        // Human text goes to standard error when standard output is JSON.
        QVERIFY2(result.err.contains("EM000005          1.44             -               pages refused              1"),
                 result.err.constData());

        QFile csv(record);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().trimmed().split('\n');
        QCOMPARE(lines.first(), QByteArray("utc_time,serial,description,firmware_before,image_file,image_version,"
                                           "image_sha256,pages,pages_refused,outcome,mode,emulated,index,attempt_id,"
                                           "station,tool_version,seconds,firmware_after,verify"));
        QCOMPARE(lines.size(), 9);
        QFile image(path("three.bin"));
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QByteArray sha = QCryptographicHash::hash(image.readAll(), QCryptographicHash::Sha256).toHex();
        for (const QByteArray &line : lines.mid(1)) {
            const QList<QByteArray> f = line.split(',');
            QCOMPARE(f.size(), 19);
            const QDateTime when = QDateTime::fromString(QString::fromLatin1(f[0]), Qt::ISODate);
            QVERIFY(when.isValid() && when.timeSpec() == Qt::UTC);
            QVERIFY(qAbs(when.secsTo(QDateTime::currentDateTimeUtc())) < 60);
            const bool refusing = f[1] == "EM000005";
            QCOMPARE(f.mid(2, 5), (QList<QByteArray>{"Lumora USB DMX", "1.44", "three.bin", "1.07", sha}));
            QCOMPARE(f.mid(7, 6), (QList<QByteArray>{"3", refusing ? "1" : "0", refusing ? "pages_refused" : "done",
                                                     "update", "true", QByteArray::number(f[1].right(1).toInt() - 1)}));
            QCOMPARE(f.mid(17), (QList<QByteArray>{refusing ? "" : "1.7", refusing ? "skipped" : "verified"}));
        }

        // A second run appends and never rewrites.
        QCOMPARE(run({"--all", "--yes", "--record", record, path("three.bin")}, {"LUMORA_EMULATOR=2"}).exitCode, 0);
        csv.seek(0);
        const QList<QByteArray> after = csv.readAll().trimmed().split('\n');
        QCOMPARE(after.size(), 11);
        QCOMPARE(after.mid(0, 9), lines);
    }

    void stopBeforeTheUpdate()
    {
        // Ctrl-C while the widget is being opened: it is never put into its
        // loader. The pause after the open is the moment.
        FlashProcess process({"--yes", "--verbose", "--json", path("three.bin")},
                             environment({"LUMORA_EMULATOR_NO_WAITS="}), QProcess::StandardError);
        QVERIFY(process.waitFor("Try 0"));
        process.interrupt();
        const FlashRun result = process.finish();
        QCOMPARE(result.exitCode, 8);
        const QByteArray out = result.out;
        QVERIFY2(out.contains("\"outcome\":\"not_started\"") && out.contains("\"message\":\"stopped before the update:"
                                                                      " nothing was sent; the widget is unchanged\""),
                 out.constData());
        QVERIFY(out.endsWith("\"event\":\"end\",\"exit\":8,\"succeeded\":0,\"widgets\":1}\n"));
        QCOMPARE(flashed("EM000001"), QByteArray());
    }

    void recordKeptSound()
    {
        const QString record = path("kept.csv");
        const QByteArray oldHeader = "utc_time,serial,description,firmware_before,image_file,image_version,"
                                     "image_sha256,pages,pages_refused,outcome";
        // An earlier release's record, kept on Windows, whose last line lost its line end.
        writeFile("kept.csv", oldHeader + "\r\n2026-01-01T00:00:00Z,X,d,1.0,f,1,s,3,0,done");
        const FlashRun result = run({"--all", "--yes", "--record", record, path("three.bin")},
                               {"LUMORA_EMULATOR=3", "LUMORA_EMULATOR_SERIALS=A,=HYPERLINK(1),A"});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.err.contains("has the columns of an earlier release: its new rows leave out mode, emulated,"
                                     " index"), result.err.constData());
        // Twins are told apart by their list index, in the table too.
        QVERIFY2(result.err.contains("widgets #0, #2 have the same serial string A"), result.err.constData());
        QVERIFY2(result.out.contains("\nA #2 ") && result.out.contains("\nA #0 "), result.out.constData());
        QFile csv(record);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().split('\n');
        QCOMPARE(lines.size(), 6); // header, the old row, three new ones, and the end
        // Every line ends as the header does.
        QCOMPARE(lines.join('\n').count("\r\n"), 5);
        QVERIFY(lines[1].endsWith(",done\r"));
        for (const QByteArray &line : lines.mid(2, 3))
            QCOMPARE(line.count(','), 9);
        // A cell that a spreadsheet would run as a formula is text.
        QVERIFY2(lines.join('\n').contains(",'=HYPERLINK(1),"), lines.join('\n').constData());

        // Two flashers that create the same record at once: one header.
        for (int attempt = 0; attempt < 6; ++attempt) {
            QFile::remove(path("race.csv"));
            QProcess a, b;
            for (QProcess *p : {&a, &b}) {
                p->setProcessEnvironment(environment({}));
                p->start(LUMORA_FLASH_PATH, {"--yes", "--record", path("race.csv"), path("three.bin")});
            }
            QVERIFY(a.waitForFinished(20000) && b.waitForFinished(20000));
            QFile race(path("race.csv"));
            QVERIFY(race.open(QIODevice::ReadOnly));
            QCOMPARE(race.readAll().count("utc_time"), 1);
        }
    }

    void recordFailureStopsTheStation_data()
    {
        QTest::addColumn<QString>("redirect");
        QTest::newRow("reader gone") << QString();
        QTest::newRow("standard output closed too") << QString(">&-");
    }

    void recordFailureStopsTheStation()
    {
        QFETCH(QString, redirect);
        // The record's reader takes the header and goes: A's line cannot be
        // written, and B, plugged in later, must not be flashed without one.
        const QString fifo = path("record.fifo");
        QFile::remove(fifo);
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QProcess process;
        process.setProcessEnvironment(
            environment({"LUMORA_EMULATOR=0", "LUMORA_EMULATOR_PLUG=100:+A,1500:+B"}));
        // The reader is there before the flasher opens the pipe: opened both
        // ways, the open does not wait for a writer.
        process.start("sh", {"-c", QStringLiteral("exec 3<>'%1'; head -n 1 <&3 > /dev/null & exec 3<&-;"
                                                  " '%2' --station --yes --record '%1' '%3' %4; echo \"exit=$?\" >&2")
                                       .arg(fifo, LUMORA_FLASH_PATH, path("three.bin"), redirect)});
        QVERIFY(process.waitForFinished(20000));
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(err.contains("cannot write the record: Broken pipe; no new widget is started"), err.constData());
        QVERIFY2(err.endsWith("exit=10\n"), err.constData());
        QCOMPARE(flashed("A").size(), 3 * 256);
        QCOMPARE(flashed("B"), QByteArray());
    }

    void recordDeletedDuringTheStation()
    {
        // Deleted between two widgets: the rows that follow go to a new
        // record at its path, header first, and the run says so.
        const QString record = path("deleted.csv");
        QFile::remove(record);
        FlashProcess process({"--station", "--yes", "--json", "--record", record, path("three.bin")},
                             environment({"LUMORA_EMULATOR=0", "LUMORA_EMULATOR_PLUG=100:+A,1500:+B"}));
        // A's row is in the record (its line and the result event are
        // written by two threads), then B's result comes.
        auto rows = [&] {
            QFile csv(record);
            return csv.open(QIODevice::ReadOnly) ? csv.readAll().count('\n') : 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(rows() >= 2, 15000);
        QVERIFY(QFile::remove(record));
        QVERIFY(process.waitFor("\"outcome\":\"done\"", 2));
        process.interrupt();
        const FlashRun result = process.finish();
        QCOMPARE(result.exitCode, 0);
        QVERIFY(result.out.contains("{\"event\":\"warning\",\"message\":\"the record " + record.toUtf8()
                                    + " was deleted or moved away during the run"));
        QFile csv(record);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = csv.readAll().trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith("utc_time,serial,") && lines[1].contains(",B,"));
    }

    void stalledReaderStallsNothing()
    {
        // Standard output is not read until every widget has finished and
        // has its row in the record: neither the flashing nor the record may
        // wait for that reader (they would wait for ever).
        const QString dumps = path("stalled"), record = path("stalled.csv");
        QDir().mkpath(dumps);
        QProcess process;
        QProcessEnvironment env = environment({"LUMORA_EMULATOR=64"});
        env.insert("LUMORA_EMULATOR_FLASH_DUMP", dumps + "/%s.bin");
        process.setProcessEnvironment(env);
        process.start("sh", {"-c", QStringLiteral("'%1' --all --yes --json --record '%4' '%2' 2>/dev/null | (i=0; while"
                                                  " { [ $(ls '%3' | wc -l) -lt 64 ] || [ $(cat '%4' | wc -l) -lt 65 ]; }"
                                                  " && [ $i -lt 200 ]; do sleep 0.1; i=$((i+1)); done;"
                                                  " echo \"waited=$i\"; cat > /dev/null)")
                                       .arg(LUMORA_FLASH_PATH, path("long.bin"), dumps, record)});
        QVERIFY(process.waitForFinished(40000));
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.startsWith("waited=") && !out.startsWith("waited=200"), out.constData());
        QCOMPARE(QDir(dumps).entryList(QDir::Files).size(), 64);
    }

    void stationFaults_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment"); // with real waits
        QTest::addColumn<QByteArray>("until"); // `times` times (a station line on standard output,
                                               // else standard error): then Ctrl-C
        QTest::addColumn<int>("times");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("err");
        QTest::addColumn<QStringList>("notInErr");
        const QString three = path("three.bin");
        const QString twinNote = "another widget with serial A is attached: the two cannot be told apart; this one"
                                 " is updated once the other is pulled out";
        // Two widgets with one serial string cannot be told apart: the second
        // waits for the first to leave, says so, and counts.
        QTest::newRow("twins") << QStringList{three}
                               << QStringList{"LUMORA_EMULATOR=3", "LUMORA_EMULATOR_SERIALS=A,A,B", "LUMORA_EMULATOR_NO_WAITS=1"}
                               << QByteArray("  done  ") << 2 << 8
                               << QStringList{twinNote, "A #2              -                -               not started",
                                              "2 of 3 widgets updated"}
                               << QStringList{};
        // The one pulled out mid-update is a widget of its own, lost.
        QTest::newRow("a twin lost") << QStringList{path("long.bin")}
                                     << QStringList{"LUMORA_EMULATOR=2", "LUMORA_EMULATOR_SERIALS=A,A",
                                                    "LUMORA_EMULATOR_NO_WAITS=1", "LUMORA_EMULATOR_LATENCY_MS=4",
                                                    "LUMORA_EMULATOR_PLUG=300:-A"}
                                     << QByteArray("  done  ") << 1 << 9
                                     << QStringList{twinNote, "widget lost", "1 of 2 widgets updated"} << QStringList{};
        // Gone while it is opened, and back: the same widget, no twin; the
        // failed open says why.
        QTest::newRow("plugged in again while it opens")
            << QStringList{three} << QStringList{"LUMORA_EMULATOR=0", "LUMORA_EMULATOR_PLUG=100:+P1,400:-P1,600:+P1"}
            << QByteArray("  done  ") << 1 << 0 << QStringList{"P1  open failed", "the widget was unplugged"}
            << QStringList{"another widget", ": \n", "widget(s) in flight"};
        // Ctrl-C once the first three are in their loader, the last three
        // still being opened: only the first three go on.
        QTest::newRow("a stop names who goes on")
            << QStringList{"--verbose", three}
            << QStringList{"LUMORA_EMULATOR=0", "LUMORA_EMULATOR_PLUG=100:+A,150:+B,200:+C,700:+D,750:+E,800:+F"}
            << QByteArray("Starting firmware update") << 3 << 8
            << QStringList{"stopping: A, B, C finish their update first (a second Ctrl-C interrupts them)",
                           "D  not started", "E  not started", "F  not started", "3 of 6 widgets updated"}
            << QStringList{};
    }

    void stationFaults()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(QByteArray, until);
        QFETCH(int, times);
        QFETCH(int, exitCode);
        QFETCH(QStringList, err);
        QFETCH(QStringList, notInErr);
        if (!environment.contains("LUMORA_EMULATOR_NO_WAITS=1"))
            environment << "LUMORA_EMULATOR_NO_WAITS=";
        const FlashRun result = run(QStringList{"--station", "--yes"} + arguments, environment, until, times,
                               until.startsWith(' ') ? QProcess::StandardOutput : QProcess::StandardError);
        QCOMPARE(result.exitCode, exitCode);
        const QString text = QString::fromUtf8(result.out + result.err);
        for (const QString &words : err)
            QVERIFY2(text.contains(words), qPrintable(words + "\n---\n" + text));
        for (const QString &words : notInErr)
            QVERIFY2(!text.contains(words), qPrintable(words + "\n---\n" + text));
    }

    void station()
    {
        // B is pulled out in the middle of its update and comes back in its
        // loader: the station knows it left it there, and recovers it; A
        // stays plugged in the whole time and must be updated once only. Cé's
        // flash is dumped under its serial's very bytes (UTF-8 here).
        const QString record = path("station.csv"), c = QString::fromLatin1("C\xc3\xa9");
        const FlashRun result = run({"--station", "--yes", "--json", "--record", record, path("long.bin")},
                               {"LUMORA_EMULATOR=0", "LUMORA_EMULATOR_LATENCY_MS=4",
                                "LUMORA_EMULATOR_PLUG=100:+A,300:+B,700:-B,900:+" + c + ",1300:+B"},
                               "\"event\":\"result\"", 4);
        QCOMPARE(result.exitCode, 0);
        QStringList outcomes;
        for (const QJsonObject &e : result.eventsOf("result"))
            outcomes << e["serial"].toString() + " " + e["outcome"].toString();
        QVERIFY(outcomes.indexOf("B widget_lost") < outcomes.indexOf("B done"));
        outcomes.sort();
        QCOMPARE(outcomes, (QStringList{"A done", "B done", "B widget_lost", "Cé done"}));
        // The second time B did not say who it was: it was in its loader.
        QCOMPARE(result.eventsOf("start").last()["firmware_before"].type(), QJsonValue::Null);
        QCOMPARE(result.eventsOf("start").last()["mode"].toString(), QString("recover"));
        QCOMPARE(result.eventsOf("end").first()["succeeded"].toInt(), 3);
        QVERIFY2(result.err.contains("B: Firmware update failed at page") && result.err.contains("3 of 3 widgets updated")
                     && result.err.contains("B: recovered without --recover: this station left it in its loader"),
                 result.err.constData());
        QFile image(path("long.bin"));
        QVERIFY(image.open(QIODevice::ReadOnly));
        const QByteArray pages = image.readAll().mid(255);
        for (const QString &serial : {QString("A"), QString("B"), c})
            QCOMPARE(flashed(serial), pages);
        QFile csv(record);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QByteArray rows = csv.readAll();
        QCOMPARE(rows.count(",widget_lost,update,true,"), 1);
        QCOMPARE(rows.count(",done,update,true,"), 2);
        QCOMPARE(rows.count(",1.44,"), 3);
        QCOMPARE(rows.count(",done,recover,true,"), 1);
    }
};

QTEST_GUILESS_MAIN(TestFlashCli)
#include "tst_flashcli.moc"
