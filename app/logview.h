// The log panel: every Qt message becomes one time-stamped line in it.
#ifndef LUMORA_LOGVIEW_H
#define LUMORA_LOGVIEW_H

#include <QPlainTextEdit>
#include <QPointer>
#include <QString>
#include <QtGlobal>

// The panel the handler writes to; empty once the window holding it is gone.
extern QPointer<QPlainTextEdit> gLogView;

void logMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Installs logMessageHandler, remembering the handler it replaces for the
// messages the panel can no longer take.
void installLogMessageHandler();

// "yyyy.MM.dd hh:mm:ss <message>" with the message shown literally.
QString logLineHtml(const QDateTime &when, const QString &message);

// Adds one line at the end of the view, leaving the user's selection alone,
// and scrolls to it.
void appendLogLine(QPlainTextEdit *view, const QString &html);

#endif
