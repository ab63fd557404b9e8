#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QPushButton>
#include <QTextBlock>

#include <cstdio>
#include <unistd.h>

lumora::FaultInjection &faults()
{
    static lumora::FaultInjection injection = [] {
        if (!qEnvironmentVariableIsSet("LUMORA_EMULATOR"))
            qputenv("LUMORA_EMULATOR", "0");
        if (QByteArray(lumora::d2xxBackend().name()) != "emulated")
            qFatal("tests must run on the emulated backend");
        return lumora::FaultInjection(lumora::EmulatedBus::instance());
    }();
    static bool installed = (lumora::setD2xxBackend(&injection), true);
    (void)installed;
    return injection;
}

lumora::EmulatedBus &emulatedBus(int count)
{
    faults().clear();
    lumora::EmulatedBus &bus = lumora::EmulatedBus::instance();
    bus.reset(count);
    return bus;
}

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    m_file.open();
    m_saved = dup(STDOUT_FILENO);
    dup2(m_file.handle(), STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    const bool taken = m_saved < 0;
    const QByteArray rest = take();
    if (!taken)
        std::fwrite(rest.constData(), 1, size_t(rest.size()), stderr);
}

QByteArray StdoutCapture::take()
{
    std::fflush(stdout);
    if (m_saved >= 0) {
        dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    return peek();
}

QByteArray StdoutCapture::peek() const
{
    QFile file(m_file.fileName());
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray array;
    for (int v : values)
        array.append(char(v));
    return array;
}

void click(QObject *window, const char *name)
{
    QTest::mouseClick(child<QPushButton>(window, name), Qt::LeftButton);
}

QString label(QObject *window, const char *name)
{
    return child<QLabel>(window, name)->text();
}

QStringList windowLog(QObject *window)
{
    QStringList lines;
    const QTextDocument *log = child<QPlainTextEdit>(window, "plainTextEdit")->document();
    for (QTextBlock block = log->begin(); block.isValid(); block = block.next()) {
        // The offscreen platform's own complaint about dialogs is not ours.
        if (!block.text().isEmpty() && !block.text().endsWith("does not support propagateSizeHints()"))
            lines.append(block.text().mid(20));
    }
    return lines;
}

DialogDriver::DialogDriver(QString file, int answer)
    : m_file(std::move(file))
    , m_answer(answer)
{
    connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
    m_timer.start(5);
}

void DialogDriver::poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        dialogDirectory = dialog->directory().absolutePath();
        dialogTitle = dialog->windowTitle();
        dialogFilters = dialog->nameFilters();
        if (m_file.isEmpty()) {
            dialog->reject();
            return;
        }
        // Typed into the name field: selectFile() leaves a field that has
        // the focus alone.
        dialog->findChild<QLineEdit *>("fileNameEdit")->setText(m_file);
        static_cast<QDialog *>(dialog)->accept();
    } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        boxText = box->text();
        boxInformativeText = box->informativeText();
        boxDefaultIsYes = box->defaultButton() == box->button(QMessageBox::Yes);
        boxPlainText = box->textFormat() == Qt::PlainText;
        QAbstractButton *button = box->button(QMessageBox::StandardButton(m_answer));
        (button ? button : box->escapeButton())->click();
    } else if (auto *progress = qobject_cast<QProgressDialog *>(modal); progress && attackedWindow && !progressShown) {
        progressShown = true;
        QTest::keyClick(progress, Qt::Key_Escape);
        progress->close();
        for (const char *slot : {"on_updBtn_clicked", "on_scanDevicesBtn_clicked", "on_devOpenBtn_clicked",
                                 "on_findLumoraBtn_clicked", "recoverWidget"})
            QMetaObject::invokeMethod(attackedWindow, slot);
        recoverOffered = child<QAction>(attackedWindow, "recoverAction")->isEnabled();
        progressSurvived = progress->isVisible() && QApplication::activeModalWidget() == progress;
    }
}
