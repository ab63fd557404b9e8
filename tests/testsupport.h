#ifndef LUMORA_TESTSUPPORT_H
#define LUMORA_TESTSUPPORT_H

#include "emulatedbus.h"
#include "faultinjection.h"
#include "sleep.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QVector>
#include <QtTest>

// A fresh emulated bus with `count` standard widgets, behind the fault
// injection of faults(), cleared. Fails the test when the program is not on
// the emulated backend.
lumora::EmulatedBus &emulatedBus(int count);
lumora::FaultInjection &faults();

// Records the waits of the device procedures instead of sleeping.
struct SleepRecorder
{
    SleepRecorder() { lumora::setSleepFunction([this](int ms) { waits.append(ms); }); }
    ~SleepRecorder() { lumora::setSleepFunction({}); }
    QVector<int> waits;
};

// Collects every Qt message while it lives (for code tested without a window).
struct MessageCapture
{
    MessageCapture()
    {
        current = this;
        previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
            current->messages.append(message);
        });
    }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    QStringList messages;
    QtMessageHandler previous;
    static inline MessageCapture *current = nullptr;
};

// Everything written to standard output while it lives; what was not taken
// (a failing check's report among it) still shows, on standard error.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    QByteArray take();
    // What has reached the file so far, without flushing for the program.
    QByteArray peek() const;

private:
    int m_saved = -1;
    QTemporaryFile m_file;
};

template <typename T>
T *child(QObject *window, const char *name)
{
    T *object = window->findChild<T *>(QString::fromLatin1(name));
    if (!object)
        qFatal("no child %s", name);
    return object;
}

// Clicks the push button with that object name, as the user would.
void click(QObject *window, const char *name);
// The text of the label with that object name.
QString label(QObject *window, const char *name);
// The window's log panel, its lines without time stamps.
QStringList windowLog(QObject *window);

// Bytes written as a QByteArray, for exact comparisons.
QByteArray bytes(std::initializer_list<int> values);

// Answers the window's dialogs as a user would, while it lives: the file
// dialog with `file` (cancelled when empty), the question with `answer`; it
// notes what they showed.
class DialogDriver : public QObject
{
public:
    explicit DialogDriver(QString file, int answer = 0x00004000 /* QMessageBox::Yes */);

    QString dialogDirectory;
    QString dialogTitle;
    QStringList dialogFilters;
    QString boxText;
    QString boxInformativeText;
    bool boxDefaultIsYes = false;
    bool boxPlainText = false; // the text is shown as written, never as markup
    // Set to press Escape on the progress dialog once it shows, try to close
    // it and call every slot of this window; progressSurvived tells whether
    // it was still there, modal, afterwards, recoverOffered whether Device >
    // Recover Widget... was enabled.
    QWidget *attackedWindow = nullptr;
    bool progressShown = false;
    bool progressSurvived = false;
    bool recoverOffered = true;

private:
    void poll();

    QString m_file;
    int m_answer;
    QTimer m_timer;
};

#endif
