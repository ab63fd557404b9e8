#include "flashprocess.h"

#include <QElapsedTimer>
#include <QJsonDocument>

#include <csignal>

QList<QJsonObject> FlashRun::eventsOf(const QString &event) const
{
    QList<QJsonObject> found;
    for (const QJsonObject &e : events)
        if (e["event"].toString() == event)
            found << e;
    return found;
}

QByteArray firmwareFile(int pages, int extraBytes, const QByteArray &version)
{
    QByteArray file(version + "\n");
    file.append(255 - file.size(), '\0');
    for (int i = 0; i < pages * 256 + extraBytes; ++i)
        file.append(char((i * 7 + i / 256) & 0xFF));
    return file;
}

QProcessEnvironment emulatedEnvironment(const QString &flashDump, const QStringList &settings)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LUMORA_EMULATOR", "1");
    env.insert("LUMORA_EMULATOR_NO_WAITS", "1");
    env.insert("LUMORA_EMULATOR_FLASH_DUMP", flashDump);
    env.insert("LUMORA_EMULATOR_FIRMWARE_AFTER", "1.07");
    for (const QString &setting : settings)
        env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    return env;
}

FlashProcess::FlashProcess(const QStringList &arguments, const QProcessEnvironment &environment,
                           QProcess::ProcessChannel channel)
{
    m_process.setProcessEnvironment(environment);
    m_process.setReadChannel(channel);
    m_process.start(LUMORA_FLASH_PATH, arguments);
    m_process.closeWriteChannel();
}

bool FlashProcess::waitFor(const QByteArray &text, int times)
{
    QElapsedTimer clock;
    clock.start();
    while (m_process.peek(1 << 24).count(text) < times) {
        if (clock.elapsed() > 15000 || m_process.state() == QProcess::NotRunning)
            return false;
        m_process.waitForReadyRead(100);
    }
    return true;
}

void FlashProcess::interrupt()
{
    // Never the whole process group: only a flasher still running.
    if (m_process.state() == QProcess::Running && m_process.processId() > 0)
        ::kill(pid_t(m_process.processId()), SIGINT);
}

FlashRun FlashProcess::finish()
{
    FlashRun result;
    if (!m_process.waitForFinished(20000)) {
        m_process.kill();
        m_process.waitForFinished();
        qWarning("lumora-flash did not finish");
        return result;
    }
    result.out = m_process.readAllStandardOutput();
    result.err = m_process.readAllStandardError();
    result.exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    for (const QByteArray &line : result.out.split('\n'))
        if (line.startsWith('{'))
            result.events << QJsonDocument::fromJson(line).object();
    return result;
}
