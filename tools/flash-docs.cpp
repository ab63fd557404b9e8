// The tables of lumora-flash's documentation, written from the program's own
// tables: the exit codes, the outcomes, the JSON events, the record's columns
// and the emulated widgets' variables. In the README and the manual page each
// stands between a "generated: NAME" marker and an "end of generated" one.
//   flash-docs check FILE...   says which of them differ from the tables (exit 1)
//   flash-docs update FILE...  writes them anew
// A table changes in the code alone; the documents follow with `update`, and
// the tests run `check`.
#include "emulatedknobs.h"
#include "outcome.h"
#include "record.h"
#include "reporter.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>
#include <functional>

namespace {

enum class Format { Markdown, Roff };

// Markdown's `code` as roff's bold, and what roff would read as markup.
QString roff(QString text)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\e")).replace(QLatin1Char('-'), QStringLiteral("\\-"));
    text.replace(QRegularExpression(QStringLiteral("`([^`]*)`")), QStringLiteral("\\fB\\1\\fP"));
    if (text.startsWith(QLatin1Char('.')) || text.startsWith(QLatin1Char('\'')))
        text.prepend(QStringLiteral("\\&"));
    return text;
}

QString markdownCell(QString text)
{
    return text.replace(QLatin1Char('|'), QStringLiteral("\\|"));
}

// A table: a header for Markdown, and rows of cells; in roff each row is an
// indented paragraph tagged with its first cell, the others its text.
QString table(Format format, const QStringList &header, const QVector<QStringList> &rows)
{
    QString out;
    if (format == Format::Markdown) {
        out += QStringLiteral("| %1 |\n|%2\n")
                   .arg(header.join(QStringLiteral(" | ")), QStringLiteral("---|").repeated(header.size()));
        for (const QStringList &row : rows) {
            QStringList cells;
            for (const QString &cell : row)
                cells << markdownCell(cell);
            out += QStringLiteral("| %1 |\n").arg(cells.join(QStringLiteral(" | ")));
        }
        return out;
    }
    for (const QStringList &row : rows) {
        // A tag that is all code is a bold line of its own.
        static const QRegularExpression boldTag(QStringLiteral("^\\\\fB(.*)\\\\fP$"));
        out += QStringLiteral(".TP\n") + roff(row.first()).replace(boldTag, QStringLiteral(".B \\1")) + QLatin1Char('\n');
        QStringList rest = row.mid(1);
        rest.removeAll(QString());
        out += roff(rest.join(QStringLiteral(". "))) + QLatin1Char('\n');
    }
    return out;
}

QString code(const QString &text)
{
    return QLatin1Char('`') + text + QLatin1Char('`');
}

QString exitCodes(Format format)
{
    QVector<QStringList> rows;
    for (const auto &meaning : exitCodeMeanings())
        rows << QStringList{format == Format::Roff ? code(QString::number(meaning.first)) : QString::number(meaning.first),
                            meaning.second};
    QStringList order = severityOrder();
    const QString last = order.takeLast();
    const QString sentence = QStringLiteral("A run of several widgets ends with the worst code of its widgets, in"
                                            " this order: %1, then %2.\n")
                                 .arg(order.join(QStringLiteral(", ")), last);
    return (format == Format::Roff ? roff(sentence) : sentence + QLatin1Char('\n'))
           + table(format, {QStringLiteral("Exit code"), QStringLiteral("Meaning")}, rows);
}

QString outcomes(Format format)
{
    QVector<QStringList> rows;
    for (WidgetResult result : allOutcomes())
        rows << QStringList{code(QLatin1String(outcomeName(result))),
                            format == Format::Roff ? QStringLiteral("%1 (exit %2)").arg(outcomeMeaning(result)).arg(exitCode(result))
                                                   : outcomeMeaning(result),
                            format == Format::Roff ? QString() : QString::number(exitCode(result))};
    return table(format, {QStringLiteral("`outcome`"), QStringLiteral("Meaning"), QStringLiteral("Exit code")}, rows);
}

QString jsonEvents(Format format)
{
    QVector<QStringList> rows;
    for (const JsonEventDoc &e : jsonEventDocs())
        rows << QStringList{code(e.name), e.when, format == Format::Roff ? QStringLiteral("Fields: ") + e.fields : e.fields};
    return table(format, {QStringLiteral("`event`"), QStringLiteral("When"), QStringLiteral("Fields")}, rows);
}

QString recordColumns(Format format)
{
    QVector<QStringList> rows;
    for (const RecordColumnDoc &c : recordColumnDocs()) {
        const QString json = c.json ? code(QLatin1String(c.json)) + (c.atStart ? QStringLiteral(" (also in `start`)") : QString())
                                    : QStringLiteral("-");
        rows << QStringList{code(QLatin1String(c.name)), QLatin1String(c.meaning),
                            format == Format::Roff ? (c.json ? QStringLiteral("In JSON: ") + json : QString()) : json};
    }
    return table(format, {QStringLiteral("Column"), QStringLiteral("What it holds"), QStringLiteral("JSON field")}, rows);
}

QString emulatorVariables(Format format)
{
    QVector<QStringList> rows;
    for (const lumora::EmulatorVariableDoc &v : lumora::emulatorVariableDocs())
        rows << QStringList{code(QStringLiteral("%1=%2").arg(QLatin1String(v.variable), QLatin1String(v.example))),
                            QLatin1String(v.help)};
    return table(format, {QStringLiteral("Variable"), QStringLiteral("Effect")}, rows);
}

const struct
{
    const char *name;
    QString (*make)(Format);
} Sections[] = {
    {"exit-codes", exitCodes},
    {"outcomes", outcomes},
    {"json-events", jsonEvents},
    {"record-columns", recordColumns},
    {"emulator-variables", emulatorVariables},
};

// The document with every generated section made anew.
QString regenerate(const QString &document, Format format, QStringList *unknown)
{
    const QString begin = format == Format::Markdown ? QStringLiteral("<!-- generated: %1 -->\n")
                                                     : QStringLiteral(".\\\" generated: %1\n");
    const QString end = format == Format::Markdown ? QStringLiteral("<!-- end of generated -->\n")
                                                   : QStringLiteral(".\\\" end of generated\n");
    const int name = begin.indexOf(QLatin1String("%1"));
    const QRegularExpression marker(QRegularExpression::escape(begin.left(name)) + QStringLiteral("([a-z-]+)")
                                    + QRegularExpression::escape(begin.mid(name + 2)));
    QString out;
    int from = 0;
    for (QRegularExpressionMatch m = marker.match(document, from); m.hasMatch(); m = marker.match(document, from)) {
        const int stop = document.indexOf(end, m.capturedEnd());
        if (stop < 0)
            break;
        QString made;
        for (const auto &section : Sections)
            if (m.captured(1) == QLatin1String(section.name))
                made = section.make(format);
        if (made.isNull())
            *unknown << m.captured(1);
        out += document.mid(from, m.capturedEnd() - from) + (made.isNull() ? document.mid(m.capturedEnd(), stop - m.capturedEnd()) : made);
        out += end;
        from = stop + end.size();
    }
    return out + document.mid(from);
}

} // namespace

int main(int argc, char *argv[])
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (argc < 3 || (mode != QLatin1String("check") && mode != QLatin1String("update"))) {
        std::fprintf(stderr, "usage: flash-docs check|update FILE...\n");
        return 2;
    }
    int status = 0;
    for (int i = 2; i < argc; ++i) {
        QFile file(QString::fromLocal8Bit(argv[i]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "flash-docs: cannot read %s\n", argv[i]);
            return 2;
        }
        const QString document = QString::fromUtf8(file.readAll());
        file.close();
        QStringList unknown;
        const QString made = regenerate(document, file.fileName().endsWith(QLatin1String(".md")) ? Format::Markdown : Format::Roff,
                                        &unknown);
        if (!unknown.isEmpty()) {
            std::fprintf(stderr, "flash-docs: %s: no table named %s\n", argv[i], qPrintable(unknown.join(", ")));
            status = 1;
        }
        if (made == document)
            continue;
        if (mode == QLatin1String("check")) {
            std::fprintf(stderr, "flash-docs: the tables in %s differ from the program's: run tools/update-docs.sh\n",
                         argv[i]);
            status = 1;
        } else if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(made.toUtf8()) < 0) {
            std::fprintf(stderr, "flash-docs: cannot write %s\n", argv[i]);
            return 2;
        }
    }
    return status;
}
