#include "mainwindowpro.h"
#include "logview.h"
#include "ui_mainwindowpro.h"
#include "firmwareupdate.h"
#include "widgetlink.h"

Q_LOGGING_CATEGORY(lcWindow, "lumora.window")

WidgetLink *gLink = nullptr;

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
    gLink = new WidgetLink;
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
