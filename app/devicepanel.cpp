// The device panel: scan, open and close, and what an open widget reports.
#include "devicepanel.h"
#include "deviceinfo.h"
#include "mainwindowpro.h"
#include "ui_mainwindowpro.h"
#include "widgetlink.h"

#include <QDebug>

#include <cstdio>

QVector<FT_DEVICE_LIST_INFO_NODE> gDeviceList;
int32_t gOpenDevice = -1;

QString deviceItemText(const FT_DEVICE_LIST_INFO_NODE &node)
{
    // Two one-argument substitutions: a "%1" inside the description takes
    // the serial number in its place.
    return QString("%1 (SN: %2)").arg(deviceDescription(node)).arg(deviceSerialString(node));
}

void MainWindowPro::on_scanDevicesBtn_clicked()
{
    if (updateRunning())
        return;
    // The list is about to change under the open widget: let go of it first,
    // so that the button and the list tell the truth afterwards.
    if (gOpenDevice != -1 || gLink->isOpen())
        closeDevice();
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) == FT_OK) {
        std::printf("Number of devices is %d\n", int(count));
        std::fflush(stdout);
    }

    gDeviceList = readDeviceInfoList(count);

    qCDebug(lcWindow, "found %d devices", gDeviceList.size());
    const QString unreadable = unreadableDevicesNote(gDeviceList);
    if (!unreadable.isEmpty())
        qCWarning(lcWindow).noquote() << unreadable;

    ui->deviceListBox->clear();
    for (const FT_DEVICE_LIST_INFO_NODE &node : qAsConst(gDeviceList))
        ui->deviceListBox->addItem(deviceItemText(node));
    if (!gDeviceList.isEmpty())
        ui->devOpenBtn->setEnabled(true);
    gOpenDevice = -1;
    enableRecovery();
}

void MainWindowPro::showOpenFailed(const OpenResult &result)
{
    ui->tryLbl->setText("Trying to Conncet - Failed");
    ui->updBtn->setDisabled(true);
    // Open alone can never bring such a widget back: point to what can.
    if (result.stage == OpenStage::Silent)
        qCWarning(lcWindow, "The widget does not answer. If its last update was cut off it waits in its loader: use"
                            " Device > Recover Widget...");
}

void MainWindowPro::showOpenedDevice()
{
    ui->tryLbl->setText("Trying to Conncet - Connected");

    uint32_t serialNumber = 0;
    if (gLink->readSerialNumber(&serialNumber)) {
        ui->infoLbl->setText(QString("Serial No %1").arg(serialNumber, 0, 16));
    } else {
        ui->infoLbl->setText("Serial No unknown");
        qCWarning(lcWindow, "The serial number could not be read");
    }

    ui->fwLbl->setText(QString("Cheking firmware - Found - %1.%2")
                           .arg(gLink->params.firmwareMsb)
                           .arg(gLink->params.firmwareLsb));
    ui->groupBox_3->setEnabled(true);
    ui->groupBox->setEnabled(true);
    // A failed open earlier in the run must not keep the update locked.
    ui->updBtn->setEnabled(true);
    ui->rateSpin->setValue(gLink->params.refreshRate);
    ui->mabSpin->setValue(gLink->params.mabTime);
    ui->breakSpin->setValue(gLink->params.breakTime);
}

void MainWindowPro::closeDevice()
{
    ui->tryLbl->setText("");
    ui->rateSpin->setValue(0);
    ui->mabSpin->setValue(0);
    ui->breakSpin->setValue(0);
    ui->devOpenBtn->setText("Open");
    ui->deviceListBox->setEnabled(true);
    gLink->close();
    gOpenDevice = -1;
}

void MainWindowPro::on_devOpenBtn_clicked()
{
    if (updateRunning())
        return;
    if (gOpenDevice == -1) {
        const int index = ui->deviceListBox->currentIndex();
        const OpenResult result = gLink->openWidget(index);
        if (!result.identified()) {
            showOpenFailed(result);
            return;
        }
        showOpenedDevice();
        ui->devOpenBtn->setText("Close");
        ui->deviceListBox->setDisabled(true);
        gOpenDevice = index;
        return;
    }
    closeDevice();
}

void MainWindowPro::on_findLumoraBtn_clicked()
{
    if (updateRunning())
        return;
    DWORD count = 0;
    if (FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK || count == 0)
        return;
    ui->lookLbl->setText("Total devices(D2XX) - " + QString::number(count) + " Found");
    const OpenResult result = gLink->openWidget(0);
    if (result.identified())
        showOpenedDevice();
    else
        showOpenFailed(result);
}
