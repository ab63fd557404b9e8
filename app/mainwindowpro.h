#ifndef LUMORA_MAINWINDOWPRO_H
#define LUMORA_MAINWINDOWPRO_H

#include "ftd2xx.h"

#include <QLoggingCategory>
#include <QMainWindow>
#include <QVector>

class FirmwareImage;
class QAction;
class WidgetLink;
class Ui_MainWindowPro;
struct OpenResult;

// The window's own messages: the scan and what an open widget showed.
Q_DECLARE_LOGGING_CATEGORY(lcWindow)

// The connection to the widget; made by the window, kept for the whole run.
extern WidgetLink *gLink;
// The records of the last scan; element i is item i of the device list and
// device number i.
extern QVector<FT_DEVICE_LIST_INFO_NODE> gDeviceList;
// The device opened through the Open button, -1 when none.
extern int32_t gOpenDevice;

// Called before the QApplication is made: the form, laid out in pixels for a
// 96 dpi font, is scaled as a whole at the screen's font DPI.
void enableFormScaling();

class MainWindowPro : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindowPro(QWidget *parent = nullptr);
    ~MainWindowPro();

private slots:
    void on_findLumoraBtn_clicked();
    void on_updBtn_clicked();
    void on_pushButton_2_clicked();
    void on_scanDevicesBtn_clicked();
    void on_devOpenBtn_clicked();
    // Device > Recover Widget...: updates the chosen list entry without
    // asking it to identify itself first, for a widget left in its loader.
    void recoverWidget();

private:
    // Device > Recover Widget... and Help > About Lumora Configurator, added
    // to the form's menu bar.
    void setUpDeviceMenu();
    void setUpHelpMenu();
    // Recovery needs a list entry, and nothing may start while an update runs.
    void enableRecovery();
    void showOpenedDevice();
    void showOpenFailed(const OpenResult &result);
    void closeDevice();
    // The shared steps of Firmware Update and Recover Widget...: the file
    // dialog and the image checks (false, with the reason logged, when there
    // is nothing to load); the question (`question` after the note about a
    // cut-off tail); the update on gLink under the progress dialog.
    bool chooseImage(FirmwareImage *image, QString *fileName);
    bool confirmUpdate(const FirmwareImage &image, const QString &question);
    void runUpdate(const FirmwareImage &image, const QString &fileName);
    // True, with a line in the log, while a firmware update runs: nothing
    // else may reach the widget or the panel until it has ended.
    bool updateRunning() const;

    Ui_MainWindowPro *ui;
    QAction *m_recoverAction = nullptr;
    bool m_updateRunning = false;
};

#endif
