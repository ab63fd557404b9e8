#include "settingssaver.h"

#include <QDir>
#include <QSettings>

namespace {
const char *const LastDirKey = "LastDir";
}

SettingsSaver::SettingsSaver(QWidget *parent)
    : QWidget(parent)
    , directory(QString())
    , settings(new QSettings(QStringLiteral("MyCompany"), QStringLiteral("My soft name"), this))
{
    directory = settings->value(LastDirKey, QDir::homePath()).toString();
}

SettingsSaver::~SettingsSaver()
{
    settings->setValue(LastDirKey, directory);
}

QString SettingsSaver::lastDir() const
{
    return directory;
}

void SettingsSaver::setLastDir(QString dir)
{
    directory = std::move(dir);
    settings->setValue(LastDirKey, directory);
}
