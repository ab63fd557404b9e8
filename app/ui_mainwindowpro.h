// The main window's form, coded by hand in the shape the form compiler would
// give it: one pointer per object, created in this order.
#ifndef UI_MAINWINDOWPRO_H
#define UI_MAINWINDOWPRO_H

#include <QtCore/QCoreApplication>
#include <QtCore/QRect>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QSpinBox>
#include <QtWidgets/QWidget>

class Ui_MainWindowPro
{
public:
    QWidget *centralWidget;
    QGroupBox *groupBox_2;
    QPushButton *scanDevicesBtn;
    QComboBox *deviceListBox;
    QLabel *tryLbl;
    QLabel *lookLbl;
    QLabel *infoLbl;
    QLabel *fwLbl;
    QPushButton *devOpenBtn;
    QGroupBox *groupBox_3;
    QWidget *horizontalLayoutWidget;
    QHBoxLayout *horizontalLayout;
    QPushButton *sendBtn;
    QPushButton *recvBtn;
    QPushButton *updBtn;
    QGroupBox *groupBox_5;
    QWidget *horizontalLayoutWidget_2;
    QHBoxLayout *horizontalLayout_2;
    QPushButton *sendBtn_2;
    QPushButton *recvBtn_2;
    QPushButton *updBtn_2;
    QGroupBox *groupBox;
    QLabel *rateLbl;
    QSpinBox *rateSpin;
    QLabel *mabLbl;
    QSpinBox *mabSpin;
    QLabel *breakLbl;
    QSpinBox *breakSpin;
    QPushButton *pushButton_2;
    QGroupBox *groupBox_6;
    QPlainTextEdit *plainTextEdit;
    QMenuBar *menuBar;

    void setupUi(QMainWindow *MainWindowPro)
    {
        if (MainWindowPro->objectName().isEmpty())
            MainWindowPro->setObjectName(QString::fromUtf8("MainWindowPro"));
        MainWindowPro->resize(592, 531);
        centralWidget = new QWidget(MainWindowPro);
        centralWidget->setObjectName(QString::fromUtf8("centralWidget"));
        groupBox_2 = new QGroupBox(centralWidget);
        groupBox_2->setObjectName(QString::fromUtf8("groupBox_2"));
        groupBox_2->setEnabled(true);
        groupBox_2->setGeometry(QRect(10, 10, 361, 181));
        QSizePolicy sizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
        sizePolicy.setHorizontalStretch(0);
        sizePolicy.setVerticalStretch(0);
        sizePolicy.setHeightForWidth(groupBox_2->sizePolicy().hasHeightForWidth());
        groupBox_2->setSizePolicy(sizePolicy);
        groupBox_2->setMinimumSize(QSize(0, 0));
        scanDevicesBtn = new QPushButton(groupBox_2);
        scanDevicesBtn->setObjectName(QString::fromUtf8("scanDevicesBtn"));
        scanDevicesBtn->setGeometry(QRect(10, 30, 91, 21));
        deviceListBox = new QComboBox(groupBox_2);
        deviceListBox->setObjectName(QString::fromUtf8("deviceListBox"));
        deviceListBox->setGeometry(QRect(10, 60, 241, 22));
        tryLbl = new QLabel(groupBox_2);
        tryLbl->setObjectName(QString::fromUtf8("tryLbl"));
        tryLbl->setGeometry(QRect(10, 100, 201, 16));
        lookLbl = new QLabel(groupBox_2);
        lookLbl->setObjectName(QString::fromUtf8("lookLbl"));
        lookLbl->setGeometry(QRect(10, 110, 211, 21));
        infoLbl = new QLabel(groupBox_2);
        infoLbl->setObjectName(QString::fromUtf8("infoLbl"));
        infoLbl->setGeometry(QRect(10, 130, 201, 16));
        fwLbl = new QLabel(groupBox_2);
        fwLbl->setObjectName(QString::fromUtf8("fwLbl"));
        fwLbl->setGeometry(QRect(10, 150, 201, 16));
        devOpenBtn = new QPushButton(groupBox_2);
        devOpenBtn->setObjectName(QString::fromUtf8("devOpenBtn"));
        devOpenBtn->setGeometry(QRect(260, 60, 80, 21));
        groupBox_3 = new QGroupBox(centralWidget);
        groupBox_3->setObjectName(QString::fromUtf8("groupBox_3"));
        groupBox_3->setGeometry(QRect(10, 200, 571, 81));
        horizontalLayoutWidget = new QWidget(groupBox_3);
        horizontalLayoutWidget->setObjectName(QString::fromUtf8("horizontalLayoutWidget"));
        horizontalLayoutWidget->setGeometry(QRect(10, 30, 551, 41));
        horizontalLayout = new QHBoxLayout(horizontalLayoutWidget);
        horizontalLayout->setSpacing(6);
        horizontalLayout->setContentsMargins(11, 11, 11, 11);
        horizontalLayout->setObjectName(QString::fromUtf8("horizontalLayout"));
        horizontalLayout->setContentsMargins(0, 0, 0, 0);
        sendBtn = new QPushButton(horizontalLayoutWidget);
        sendBtn->setObjectName(QString::fromUtf8("sendBtn"));
        horizontalLayout->addWidget(sendBtn);
        recvBtn = new QPushButton(horizontalLayoutWidget);
        recvBtn->setObjectName(QString::fromUtf8("recvBtn"));
        horizontalLayout->addWidget(recvBtn);
        updBtn = new QPushButton(horizontalLayoutWidget);
        updBtn->setObjectName(QString::fromUtf8("updBtn"));
        horizontalLayout->addWidget(updBtn);
        groupBox_5 = new QGroupBox(groupBox_3);
        groupBox_5->setObjectName(QString::fromUtf8("groupBox_5"));
        groupBox_5->setGeometry(QRect(180, 80, 571, 81));
        horizontalLayoutWidget_2 = new QWidget(groupBox_5);
        horizontalLayoutWidget_2->setObjectName(QString::fromUtf8("horizontalLayoutWidget_2"));
        horizontalLayoutWidget_2->setGeometry(QRect(10, 30, 551, 41));
        horizontalLayout_2 = new QHBoxLayout(horizontalLayoutWidget_2);
        horizontalLayout_2->setSpacing(6);
        horizontalLayout_2->setContentsMargins(11, 11, 11, 11);
        horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
        horizontalLayout_2->setContentsMargins(0, 0, 0, 0);
        sendBtn_2 = new QPushButton(horizontalLayoutWidget_2);
        sendBtn_2->setObjectName(QString::fromUtf8("sendBtn_2"));
        horizontalLayout_2->addWidget(sendBtn_2);
        recvBtn_2 = new QPushButton(horizontalLayoutWidget_2);
        recvBtn_2->setObjectName(QString::fromUtf8("recvBtn_2"));
        horizontalLayout_2->addWidget(recvBtn_2);
        updBtn_2 = new QPushButton(horizontalLayoutWidget_2);
        updBtn_2->setObjectName(QString::fromUtf8("updBtn_2"));
        horizontalLayout_2->addWidget(updBtn_2);
        groupBox = new QGroupBox(centralWidget);
        groupBox->setObjectName(QString::fromUtf8("groupBox"));
        groupBox->setGeometry(QRect(10, 290, 571, 91));
        rateLbl = new QLabel(groupBox);
        rateLbl->setObjectName(QString::fromUtf8("rateLbl"));
        rateLbl->setGeometry(QRect(10, 30, 151, 16));
        rateSpin = new QSpinBox(groupBox);
        rateSpin->setObjectName(QString::fromUtf8("rateSpin"));
        rateSpin->setGeometry(QRect(200, 30, 43, 22));
        rateSpin->setMaximum(40);
        mabLbl = new QLabel(groupBox);
        mabLbl->setObjectName(QString::fromUtf8("mabLbl"));
        mabLbl->setGeometry(QRect(10, 60, 151, 16));
        mabSpin = new QSpinBox(groupBox);
        mabSpin->setObjectName(QString::fromUtf8("mabSpin"));
        mabSpin->setGeometry(QRect(200, 60, 43, 22));
        mabSpin->setMinimum(1);
        mabSpin->setMaximum(127);
        breakLbl = new QLabel(groupBox);
        breakLbl->setObjectName(QString::fromUtf8("breakLbl"));
        breakLbl->setGeometry(QRect(287, 32, 121, 16));
        breakSpin = new QSpinBox(groupBox);
        breakSpin->setObjectName(QString::fromUtf8("breakSpin"));
        breakSpin->setGeometry(QRect(400, 30, 43, 22));
        breakSpin->setMinimum(9);
        breakSpin->setMaximum(127);
        pushButton_2 = new QPushButton(groupBox);
        pushButton_2->setObjectName(QString::fromUtf8("pushButton_2"));
        pushButton_2->setGeometry(QRect(420, 60, 141, 21));
        groupBox_6 = new QGroupBox(centralWidget);
        groupBox_6->setObjectName(QString::fromUtf8("groupBox_6"));
        groupBox_6->setGeometry(QRect(10, 390, 571, 121));
        plainTextEdit = new QPlainTextEdit(groupBox_6);
        plainTextEdit->setObjectName(QString::fromUtf8("plainTextEdit"));
        plainTextEdit->setGeometry(QRect(10, 30, 551, 81));
        MainWindowPro->setCentralWidget(centralWidget);
        menuBar = new QMenuBar(MainWindowPro);
        menuBar->setObjectName(QString::fromUtf8("menuBar"));
        menuBar->setGeometry(QRect(0, 0, 592, 20));
        MainWindowPro->setMenuBar(menuBar);

        retranslateUi(MainWindowPro);

        QMetaObject::connectSlotsByName(MainWindowPro);
    }

    void retranslateUi(QMainWindow *MainWindowPro)
    {
        MainWindowPro->setWindowTitle(QCoreApplication::translate("MainWindowPro", "Tesvar Lumora Configurator", nullptr));
        groupBox_2->setTitle(QCoreApplication::translate("MainWindowPro", "Tesvar Lumora LOOKPUP", nullptr));
        scanDevicesBtn->setText(QCoreApplication::translate("MainWindowPro", "Scan Devices", nullptr));
        tryLbl->setText(QCoreApplication::translate("MainWindowPro", "Trying to Connect -", nullptr));
        lookLbl->setText(QCoreApplication::translate("MainWindowPro", "Looking for Devices -", nullptr));
        infoLbl->setText(QCoreApplication::translate("MainWindowPro", "Info -", nullptr));
        fwLbl->setText(QCoreApplication::translate("MainWindowPro", "Checking Firmware -", nullptr));
        devOpenBtn->setText(QCoreApplication::translate("MainWindowPro", "Open", nullptr));
        groupBox_3->setTitle(QCoreApplication::translate("MainWindowPro", "Lumora Control", nullptr));
        sendBtn->setText(QCoreApplication::translate("MainWindowPro", "DXM Send Test", nullptr));
        recvBtn->setText(QCoreApplication::translate("MainWindowPro", "DMX Receive Test", nullptr));
        updBtn->setText(QCoreApplication::translate("MainWindowPro", "Firmware Update", nullptr));
        groupBox_5->setTitle(QCoreApplication::translate("MainWindowPro", "Lumora Control", nullptr));
        sendBtn_2->setText(QCoreApplication::translate("MainWindowPro", "DXM Send Test", nullptr));
        recvBtn_2->setText(QCoreApplication::translate("MainWindowPro", "DMX Receive Test", nullptr));
        updBtn_2->setText(QCoreApplication::translate("MainWindowPro", "Firmware Update", nullptr));
        groupBox->setTitle(QCoreApplication::translate("MainWindowPro", "Lumora Configuration", nullptr));
        rateLbl->setText(QCoreApplication::translate("MainWindowPro", "Packet Outout Rate (0 = MAX)", nullptr));
        mabLbl->setText(QCoreApplication::translate("MainWindowPro", "MAB (Mark After Brake)", nullptr));
        breakLbl->setText(QCoreApplication::translate("MainWindowPro", "Break Time", nullptr));
        pushButton_2->setText(QCoreApplication::translate("MainWindowPro", "Change Lumora Config", nullptr));
        groupBox_6->setTitle(QCoreApplication::translate("MainWindowPro", "Log Window", nullptr));
    }
};

namespace Ui {
class MainWindowPro : public Ui_MainWindowPro {};
} // namespace Ui

#endif
