#include "emulatedknobs.h"
#include "mainwindowpro.h"
#include "standardstreams.h"
#include "version.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const char UsageText[] =
    "Usage: lumora-configurator [--version | --help] [Qt options]\n"
    "Finds USB DMX512 widgets, shows their settings and updates their firmware.\n"
    "\n"
    "  --version   print the version and those of libftdi1 and Qt, and exit\n"
    "  -h, --help  print this help and exit\n"
    "\n"
    "LUMORA_EMULATOR=N emulates N widgets instead of USB; see lumora-configurator(1).\n";

// --version and --help are answered on standard output without a window, and
// without a display: before QApplication is made. -1 when neither is given.
int answerWithoutWindow(int argc, char *argv[], bool stdoutClosed)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            const QByteArray text = lumora::versionText(QStringLiteral("lumora-configurator")).toLocal8Bit() + '\n';
            std::fputs(text.constData(), stdout);
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(UsageText, stdout);
        } else {
            continue;
        }
        return std::fflush(stdout) == 0 && !std::ferror(stdout) && !stdoutClosed ? 0 : 1;
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    // Its log lines must not land in a settings file that takes the number
    // of a standard error it was started without.
    const int closed = lumora::reopenClosedStandardStreams();
    const int answered = answerWithoutWindow(argc, argv, closed & 2);
    if (answered >= 0)
        return answered;
    // Whether real widgets are touched hangs on these variables: a typo in
    // one is refused, never guessed at.
    const QStringList problems = lumora::emulatorSettingsProblems();
    for (const QString &problem : problems)
        std::fprintf(stderr, "lumora-configurator: %s\n", problem.toLocal8Bit().constData());
    if (!problems.isEmpty())
        return 2;
#ifdef SIGPIPE
    // Standard output may be a pipe that its reader closed: the device count
    // written there must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // The icon images are compiled into the lumora_app library; a static
    // library's resources are registered only when asked for by name.
    Q_INIT_RESOURCE(lumora);

    enableFormScaling();
    QApplication app(argc, argv);
    QIcon icon;
    const QDir images(QStringLiteral(":/icons"));
    for (const QString &name : images.entryList(QDir::Files))
        icon.addFile(images.filePath(name));
    QApplication::setWindowIcon(icon);
    MainWindowPro window(nullptr);
    window.show();
    return app.exec();
}
