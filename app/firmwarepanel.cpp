// The Firmware Update button: choose an image, confirm its version, then let
// the update run under a progress dialog.
#include "firmwareimage.h"
#include "firmwareupdate.h"
#include "mainwindowpro.h"
#include "settingssaver.h"
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

void MainWindowPro::on_updBtn_clicked()
{
    if (updateRunning())
        return;
    SettingsSaver saver;
    const QString startDir = saver.lastDir();
    const QString filter = tr("Bin Files (*.bin)");
    const QString caption = tr("Open Firmware");
    const QString fileName = QFileDialog::getOpenFileName(this, caption, startDir, filter);
    // A cancelled dialog keeps the directory remembered so far.
    if (fileName.isEmpty())
        return;
    saver.setLastDir(QFileInfo(fileName).absolutePath());

    FirmwareImage image;
    QString problem;
    if (!image.load(fileName, &problem))
        problem += QStringLiteral("; firmware update not started");
    else
        problem = FirmwareUpdate::imageProblem(image, fileName);
    if (!problem.isEmpty()) {
        qCWarning(lcUpdate).noquote() << problem;
        return;
    }

    QMessageBox confirm;
    // The version line comes from the file: shown as the text it is, never
    // as markup.
    confirm.setTextFormat(Qt::PlainText);
    confirm.setText("FW Version " + image.versionText());
    QString question = QStringLiteral("Do you want to start update?");
    // A download cut short must not flash without a word.
    if (image.leftOverBytes() > 0)
        question = QStringLiteral("%1 bytes after the last whole page will not be sent.\n\n")
                       .arg(image.leftOverBytes()) + question;
    confirm.setInformativeText(question);
    confirm.setStandardButtons(QMessageBox::Yes | QMessageBox::Cancel);
    confirm.setDefaultButton(QMessageBox::Yes);
    if (confirm.exec() == QMessageBox::Cancel)
        return;

    m_updateRunning = true;
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
}
