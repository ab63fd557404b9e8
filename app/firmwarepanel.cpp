// Firmware Update and Device > Recover Widget...: choose an image, confirm
// its version, then let the update run under a progress dialog.
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "mainwindowpro.h"
#include "settingssaver.h"
#include "ui_mainwindowpro.h"
#include "widgetlink.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressDialog>

#include <memory>

namespace {

// The progress of an update that must run to its end: Escape and the close
// button leave it on screen, so the window behind it stays locked until the
// last page has been answered.
class UpdateProgressDialog : public QProgressDialog
{
public:
    using QProgressDialog::QProgressDialog;
    void reject() override {}

protected:
    void closeEvent(QCloseEvent *event) override { event->ignore(); }
};

} // namespace

bool MainWindowPro::chooseImage(FirmwareImage *image, QString *fileName)
{
    SettingsSaver saver;
    const QString startDir = saver.lastDir();
    const QString filter = tr("Bin Files (*.bin)");
    const QString caption = tr("Open Firmware");
    *fileName = QFileDialog::getOpenFileName(this, caption, startDir, filter);
    // A cancelled dialog keeps the directory remembered so far.
    if (fileName->isEmpty())
        return false;
    saver.setLastDir(QFileInfo(*fileName).absolutePath());

    QString problem;
    if (!image->load(*fileName, &problem))
        problem += QStringLiteral("; firmware update not started");
    else
        problem = FirmwareUpdate::imageProblem(*image, *fileName);
    if (!problem.isEmpty()) {
        qCWarning(lcUpdate).noquote() << problem;
        return false;
    }
    return true;
}

bool MainWindowPro::confirmUpdate(const FirmwareImage &image, const QString &question)
{
    QMessageBox confirm;
    // The version line comes from the file, the list entry from the device:
    // shown as the text they are, never as markup.
    confirm.setTextFormat(Qt::PlainText);
    confirm.setText("FW Version " + image.versionText());
    QString text = question;
    // A download cut short must not flash without a word.
    if (image.leftOverBytes() > 0)
        text = QStringLiteral("%1 bytes after the last whole page will not be sent.\n\n").arg(image.leftOverBytes()) + text;
    confirm.setInformativeText(text);
    confirm.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel);
    confirm.setDefaultButton(QMessageBox::Yes);
    return confirm.exec() == QMessageBox::Yes;
}

void MainWindowPro::runUpdate(const FirmwareImage &image, const QString &fileName)
{
    m_updateRunning = true;
    enableRecovery();
    FirmwareUpdate update(*gLink, image, fileName);
    std::unique_ptr<QProgressDialog> progress;
    update.onStarted = [&](int pageCount) {
        progress.reset(new UpdateProgressDialog("Updating Firmware...", "", 0, pageCount, this));
        progress->setCancelButton(nullptr);
        progress->setWindowModality(Qt::WindowModal);
    };
    update.onPageSent = [&](int pagesSent, int) { progress->setValue(pagesSent); };
    update.run();
    progress.reset();
    m_updateRunning = false;
    enableRecovery();
}

void MainWindowPro::on_updBtn_clicked()
{
    if (updateRunning())
        return;
    FirmwareImage image;
    QString fileName;
    if (!chooseImage(&image, &fileName) || !confirmUpdate(image, QStringLiteral("Do you want to start update?")))
        return;
    runUpdate(image, fileName);
}

void MainWindowPro::recoverWidget()
{
    if (updateRunning())
        return;
    const int index = ui->deviceListBox->currentIndex();
    if (index < 0) {
        qCWarning(lcWindow, "No widget to recover: scan devices first");
        return;
    }
    FirmwareImage image;
    QString fileName;
    if (!chooseImage(&image, &fileName))
        return;
    const QString question = QStringLiteral("Recover %1? The widget will be updated without identifying itself: only"
                                            " recover a Lumora widget that waits in its loader.")
                                 .arg(ui->deviceListBox->itemText(index));
    if (!confirmUpdate(image, question))
        return;

    // The widget opened through Open is the one to recover; any other is let
    // go first, so that the panel does not show a widget no longer held.
    if (gOpenDevice != index || !gLink->isOpen()) {
        if (gOpenDevice != -1 || gLink->isOpen())
            closeDevice();
        const OpenResult opened = gLink->openDevice(index);
        if (!opened.deviceOpen()) {
            qCWarning(lcUpdate, "Widget not recovered: firmware update not started");
            return;
        }
        // Asked once, whatever the answer: a widget still running its firmware
        // shows its version in the log, one in its loader stays silent.
        gLink->identify(1);
    }
    runUpdate(image, fileName);
    // The widget restarts after its update: the next Open identifies it anew.
    closeDevice();
}
