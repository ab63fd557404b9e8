#include "mainwindowpro.h"
#include "logview.h"
#include "ui_mainwindowpro.h"
#include "firmwareupdate.h"
#include "widgetlink.h"
#include "deviceinfo.h"
#include "version.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMessageBox>

Q_LOGGING_CATEGORY(lcWindow, "lumora.window")

WidgetLink *gLink = nullptr;

void enableFormScaling()
{
    // By the screen's exact factor, so that every text keeps the room it has
    // at 96 dpi. Rounded, the rest of the factor would go to the font: a
    // 100 dpi screen would keep the form at 1 and its texts 4% wider, and
    // 144 dpi would make the window 1184 pixels wide, taller than a
    // 1080-line screen.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
}

MainWindowPro::MainWindowPro(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindowPro)
{
    ui->setupUi(this);
    ui->plainTextEdit->setReadOnly(true);
    ui->groupBox_3->setDisabled(true);
    ui->groupBox->setDisabled(true);
    ui->devOpenBtn->setDisabled(true);
    setFixedSize(width(), height());
    ui->rateSpin->setRange(0, 40);
    ui->mabSpin->setRange(1, 127);
    ui->breakSpin->setRange(9, 127);
    installLogMessageHandler();
    gLogView = ui->plainTextEdit;
    // First, and whatever the logging rules: an emulated widget's "Firmware
    // update done" must not be taken for a real one's.
    const QString emulated = emulationNote();
    if (!emulated.isEmpty())
        appendLogLine(ui->plainTextEdit, logLineHtml(QDateTime::currentDateTime(), emulated));
    gLink = new WidgetLink;
    // The form was laid out under an empty menu bar; its menus make the bar
    // taller, and the window grows by as much so that the form keeps its
    // room (the log's frame would be cut off otherwise).
    const int emptyBar = ui->menuBar->sizeHint().height();
    setUpDeviceMenu();
    setUpHelpMenu();
    setFixedSize(width(), height() + qMax(0, ui->menuBar->sizeHint().height() - emptyBar));
}

void MainWindowPro::setUpDeviceMenu()
{
    QMenu *device = ui->menuBar->addMenu(tr("&Device"));
    m_recoverAction = device->addAction(tr("Recover Widget..."), this, &MainWindowPro::recoverWidget);
    m_recoverAction->setObjectName(QStringLiteral("recoverAction"));
    enableRecovery();
}

void MainWindowPro::enableRecovery()
{
    m_recoverAction->setEnabled(ui->deviceListBox->count() > 0 && !m_updateRunning);
}

void MainWindowPro::setUpHelpMenu()
{
    QMenu *help = ui->menuBar->addMenu(tr("&Help"));
    help->addAction(tr("&About Lumora Configurator"), this, [this] {
        // The flasher's own note on emulated widgets, as a sentence.
        QString widgets = emulationNote();
        if (widgets.isEmpty())
            widgets = tr("Real widgets over USB (libftdi1)");
        else
            widgets[0] = widgets[0].toUpper();
        QMessageBox::about(this, tr("About Lumora Configurator"),
                           tr("Lumora Configurator %1\n\n"
                              "Finds USB DMX512 widgets, shows their settings and updates their firmware.\n\n"
                              "Qt %2, libftdi1 %3\n%4")
                               .arg(lumora::programVersion(), lumora::qtVersion(), lumora::libftdiVersion(), widgets));
    });
}

MainWindowPro::~MainWindowPro()
{
    // The window owns the link it created: a widget left open is closed.
    if (gLink) {
        gLink->close();
        delete gLink;
        gLink = nullptr;
    }
    delete ui;
}

bool MainWindowPro::updateRunning() const
{
    if (m_updateRunning)
        qCWarning(lcUpdate, "A firmware update is running: wait until it has ended");
    return m_updateRunning;
}

void MainWindowPro::on_pushButton_2_clicked()
{
}
