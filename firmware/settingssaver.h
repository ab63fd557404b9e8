#ifndef LUMORA_SETTINGSSAVER_H
#define LUMORA_SETTINGSSAVER_H

#include <QString>
#include <QWidget>

class QSettings;

// Remembers the directory of the last firmware file across runs.
class SettingsSaver : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsSaver(QWidget *parent = nullptr);
    ~SettingsSaver() override;

    QString lastDir() const;
    void setLastDir(QString dir);

private:
    QString directory;
    QSettings *settings;
};

#endif
