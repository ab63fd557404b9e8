// The Firmware Update button: choose an image, confirm its version, then let
// the update run under a progress dialog.
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "mainwindowpro.h"
#include "settingssaver.h"
#include "widgetlink.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>

#include <memory>

void MainWindowPro::on_updBtn_clicked()
{
    SettingsSaver saver;
    const QString startDir = saver.lastDir();
    const QString filter = tr("Bin Files (*.bin)");
    const QString caption = tr("Open Firmware");
    const QString fileName = QFileDialog::getOpenFileName(this, caption, startDir, filter);
    // A cancelled dialog keeps the directory remembered so far.
    if (fileName.isEmpty())
        return;
    saver.setLastDir(QFileInfo(fileName).absolutePath());

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray contents = file.readAll();
    const FirmwareImage image(contents);

    QMessageBox confirm;
    confirm.setText("FW Version " + image.versionText());
    confirm.setInformativeText("Do you want to start update?");
    confirm.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel);
    confirm.setDefaultButton(QMessageBox::Yes);
    if (confirm.exec() == QMessageBox::Cancel)
        return;

    FirmwareUpdate update(*gLink, image, fileName);
    std::unique_ptr<QProgressDialog> progress;
    update.onStarted = [&](int pageCount) {
        progress.reset(new QProgressDialog("Updating Firmware...", "", 0, pageCount, this));
        progress->setCancelButton(nullptr);
        progress->setWindowModality(Qt::WindowModal);
    };
    update.onPageSent = [&](int pagesSent, int) { progress->setValue(pagesSent); };
    update.run();
}
