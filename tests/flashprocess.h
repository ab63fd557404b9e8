// For the tests that run lumora-flash as a process: a run watched as it
// goes, interrupted as a technician's Ctrl-C, and what it wrote.
#ifndef LUMORA_FLASHPROCESS_H
#define LUMORA_FLASHPROCESS_H

#include <QJsonObject>
#include <QList>
#include <QProcess>

struct FlashRun
{
    int exitCode = -1; // -1: it did not end by itself
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> events; // standard output read as JSON lines

    QList<QJsonObject> eventsOf(const QString &event) const;
};

// A firmware file: version line, header padded to 255 bytes, `pages` pages
// whose bytes differ from page to page.
QByteArray firmwareFile(int pages, int extraBytes = 0, const QByteArray &version = "1.07");

// This process's environment for a flasher on one emulated widget, without
// the waits meant for real hardware, that runs the test images' version
// after its restart and dumps what it was flashed with to `flashDump`; then
// `settings` (NAME=VALUE) on top.
QProcessEnvironment emulatedEnvironment(const QString &flashDump, const QStringList &settings);

class FlashProcess
{
public:
    // Starts the built lumora-flash, its standard input a pipe closed at
    // once, never a terminal; `channel` is the one waitFor() reads.
    FlashProcess(const QStringList &arguments, const QProcessEnvironment &environment,
                 QProcess::ProcessChannel channel = QProcess::StandardOutput);
    // Until `text` has shown `times` times; false when it has not within 15 s.
    bool waitFor(const QByteArray &text, int times = 1);
    // SIGINT, as a technician's Ctrl-C, to the flasher alone while it runs.
    void interrupt();
    // Waits for the end (20 s at most, then kills it) and gives what it wrote.
    FlashRun finish();

private:
    QProcess m_process;
};

#endif
