#include "mainwindowpro.h"

#include <QApplication>
#include <QDir>
#include <QIcon>

#include <csignal>

int main(int argc, char *argv[])
{
#ifdef SIGPIPE
    // Standard output may be a pipe that its reader closed: the device count
    // written there must not end the program.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // The icon images are compiled into the lumora_app library; a static
    // library's resources are registered only when asked for by name.
    Q_INIT_RESOURCE(lumora);

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
