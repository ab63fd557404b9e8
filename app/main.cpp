#include "mainwindowpro.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    MainWindowPro window(nullptr);
    window.show();
    return app.exec();
}
