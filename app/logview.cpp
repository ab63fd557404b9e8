#include "logview.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QScrollBar>
#include <QTextCursor>
#include <QThread>

QPointer<QPlainTextEdit> gLogView;

namespace {

QtMessageHandler &previousHandler()
{
    static QtMessageHandler handler = nullptr;
    return handler;
}

void passOn(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (QtMessageHandler previous = previousHandler())
        previous(type, context, message);
}

thread_local bool insideHandler = false;

} // namespace

QString logLineHtml(const QDateTime &when, const QString &message)
{
    // Escaped so that a "<" or "&" in a file name or device text shows as
    // written; line breaks and tabs still fold into single blanks.
    return when.toString(QStringLiteral("yyyy.MM.dd hh:mm:ss")) + QLatin1Char(' ') + message.toHtmlEscaped();
}

void appendLogLine(QPlainTextEdit *view, const QString &html)
{
    QTextDocument *document = view->document();
    // A selection that reaches the end would take in the new line: it is put
    // back as the user made it.
    const QTextCursor before = view->textCursor();
    const int anchor = before.anchor(), position = before.position();
    // One block per line keeps the cost of a line flat however long the log
    // grows; a cursor of our own puts it at the end whatever the user selected.
    QTextCursor end(document);
    end.movePosition(QTextCursor::End);
    if (!document->isEmpty())
        end.insertBlock();
    end.insertHtml(html);

    QTextCursor userCursor = view->textCursor();
    if (userCursor.hasSelection()) {
        if (userCursor.anchor() != anchor || userCursor.position() != position) {
            userCursor.setPosition(anchor);
            userCursor.setPosition(position, QTextCursor::KeepAnchor);
            view->setTextCursor(userCursor);
        }
        view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
    } else {
        userCursor.movePosition(QTextCursor::End);
        view->setTextCursor(userCursor);
        view->centerCursor();
    }
}

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    // A message raised while a line is being inserted cannot go into the
    // same panel again.
    if (insideHandler) {
        passOn(type, context, message);
        return;
    }
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        // No application, so no window and no panel any more.
        passOn(type, context, message);
        return;
    }
    const QString line = logLineHtml(QDateTime::currentDateTime(), message);
    if (QThread::currentThread() != app->thread()) {
        // Only the GUI thread touches the panel.
        QMetaObject::invokeMethod(app, [type, message, line] {
            if (!gLogView) {
                passOn(type, QMessageLogContext(), message);
                return;
            }
            insideHandler = true;
            appendLogLine(gLogView, line);
            insideHandler = false;
        }, Qt::QueuedConnection);
        return;
    }
    if (!gLogView) {
        passOn(type, context, message);
        return;
    }
    insideHandler = true;
    appendLogLine(gLogView, line);
    insideHandler = false;
}

void installLogMessageHandler()
{
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    if (previous != logMessageHandler)
        previousHandler() = previous;
}
