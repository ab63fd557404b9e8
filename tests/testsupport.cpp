#include "testsupport.h"
#include "sleep.h"

#include <QTemporaryFile>
#include <QTextBlock>

#include <cstdio>
#include <unistd.h>

lumora::FaultInjection &faults()
{
    static lumora::FaultInjection injection = [] {
        if (!qEnvironmentVariableIsSet("LUMORA_EMULATOR"))
            qputenv("LUMORA_EMULATOR", "0");
        if (QByteArray(lumora::d2xxBackend().name()) != "emulated")
            qFatal("tests must run on the emulated backend");
        return lumora::FaultInjection(lumora::EmulatedBus::instance());
    }();
    static bool installed = (lumora::setD2xxBackend(&injection), true);
    (void)installed;
    return injection;
}

lumora::EmulatedBus &emulatedBus(int count)
{
    faults().clear();
    lumora::EmulatedBus &bus = lumora::EmulatedBus::instance();
    bus.reset(count);
    return bus;
}

SleepRecorder::SleepRecorder()
{
    lumora::setSleepFunction([this](int ms) { waits.append(ms); });
}

SleepRecorder::~SleepRecorder()
{
    lumora::setSleepFunction({});
}

static MessageCapture *currentCapture = nullptr;

MessageCapture::MessageCapture()
{
    currentCapture = this;
    m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        currentCapture->messages.append(message);
    });
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    currentCapture = nullptr;
}

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    QTemporaryFile file;
    file.setAutoRemove(false);
    file.open();
    m_path = file.fileName();
    file.close();
    m_saved = dup(STDOUT_FILENO);
    std::FILE *f = std::fopen(QFile::encodeName(m_path).constData(), "w");
    dup2(fileno(f), STDOUT_FILENO);
    std::fclose(f);
}

StdoutCapture::~StdoutCapture()
{
    // Whatever was not taken (a failing check's report among it) still shows.
    const bool taken = m_saved < 0;
    const QByteArray rest = take();
    if (!taken && !rest.isEmpty())
        std::fwrite(rest.constData(), 1, size_t(rest.size()), stderr);
    QFile::remove(m_path);
}

QByteArray StdoutCapture::take()
{
    std::fflush(stdout);
    if (m_saved >= 0) {
        dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QFile file(m_path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QByteArray StdoutCapture::peek() const
{
    QFile file(m_path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QStringList logMessages(QPlainTextEdit *view)
{
    QStringList lines;
    for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        // The offscreen platform's own complaint about dialogs is not ours.
        if (!text.isEmpty() && !text.endsWith("does not support propagateSizeHints()"))
            lines.append(text.mid(20));
    }
    return lines;
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray array;
    for (int v : values)
        array.append(char(v));
    return array;
}
