#include "conninfo.h"

#include <QStringList>
#include <QUrl>
#include <QVector>

#include <libpq-fe.h>

namespace {

const QLatin1String Mask("***");

struct Masking
{
    QString address;
    QStringList secrets; // every password as written, and as libpq reads it
};

struct Span
{
    int start;
    int length;
    QString replacement;
};

QString replaced(QString text, const QVector<Span> &spans)
{
    for (int i = spans.size() - 1; i >= 0; --i)
        text.replace(spans[i].start, spans[i].length, spans[i].replacement);
    return text;
}

int uriPrefixLength(const QString &address)
{
    for (const char *prefix : {"postgresql://", "postgres://"})
        if (address.startsWith(QLatin1String(prefix)))
            return int(qstrlen(prefix));
    return 0;
}

Masking masked(const QString &address);

// libpq reads the user and password up to the first '@' before any '/';
// a password may also come as a query parameter.
Masking maskedUri(const QString &address, int prefixLength)
{
    Masking m;
    QVector<Span> spans;
    int at = prefixLength;
    while (at < address.size() && address[at] != QLatin1Char('@') && address[at] != QLatin1Char('/'))
        ++at;
    if (at < address.size() && address[at] == QLatin1Char('@')) {
        const int colon = address.indexOf(QLatin1Char(':'), prefixLength);
        if (colon >= 0 && colon < at)
            spans.append({colon + 1, at - colon - 1, Mask});
    } else {
        at = prefixLength;
    }
    const int query = address.indexOf(QLatin1Char('?'), at);
    for (int start = query + 1; query >= 0 && start <= address.size();) {
        int end = address.indexOf(QLatin1Char('&'), start);
        if (end < 0)
            end = address.size();
        const int equals = address.indexOf(QLatin1Char('='), start);
        if (equals >= 0 && equals < end
            && QUrl::fromPercentEncoding(address.mid(start, equals - start).toUtf8()) == QLatin1String("password"))
            spans.append({equals + 1, end - equals - 1, Mask});
        start = end + 1;
    }
    for (const Span &span : spans) {
        const QString secret = address.mid(span.start, span.length);
        m.secrets << secret << QUrl::fromPercentEncoding(secret.toUtf8());
    }
    m.address = replaced(address, spans);
    return m;
}

// As libpq reads keyword=value pairs: a value in single quotes, or up to
// the next space; a backslash takes the next character as it is. A dbname
// with an '=' or a URI is itself an address.
Masking maskedKeywords(const QString &address)
{
    Masking m;
    QVector<Span> spans;
    const int n = address.size();
    auto skipSpaces = [&](int i) {
        while (i < n && address[i].isSpace())
            ++i;
        return i;
    };
    for (int i = skipSpaces(0); i < n; i = skipSpaces(i)) {
        const int keyStart = i;
        while (i < n && !address[i].isSpace() && address[i] != QLatin1Char('='))
            ++i;
        const QString keyword = address.mid(keyStart, i - keyStart);
        i = skipSpaces(i);
        if (i >= n || address[i] != QLatin1Char('='))
            break;
        i = skipSpaces(i + 1);
        const int valueStart = i;
        const bool quoted = i < n && address[i] == QLatin1Char('\'');
        QString value;
        for (i += quoted ? 1 : 0; i < n && (quoted ? address[i] != QLatin1Char('\'') : !address[i].isSpace()); ++i) {
            if (address[i] == QLatin1Char('\\') && i + 1 < n)
                ++i;
            value += address[i];
        }
        if (quoted && i < n)
            ++i;
        if (keyword == QLatin1String("password")) {
            spans.append({valueStart, i - valueStart, Mask});
            m.secrets << value;
        } else if (keyword == QLatin1String("dbname") && (value.contains(QLatin1Char('=')) || uriPrefixLength(value))) {
            const Masking inner = masked(value);
            if (inner.address != value) {
                QString text = inner.address;
                text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
                spans.append({valueStart, i - valueStart, QLatin1Char('\'') + text + QLatin1Char('\'')});
                m.secrets << inner.secrets;
            }
        }
    }
    m.address = replaced(address, spans);
    return m;
}

Masking masked(const QString &address)
{
    const int prefix = uriPrefixLength(address);
    return prefix ? maskedUri(address, prefix) : maskedKeywords(address);
}

} // namespace

QString addressProblem(const QString &address)
{
    char *reason = nullptr;
    PQconninfoOption *options = PQconninfoParse(address.toUtf8().constData(), &reason);
    if (options) {
        PQconninfoFree(options);
        return {};
    }
    const QString text = reason ? QString::fromUtf8(reason).trimmed() : QStringLiteral("out of memory");
    PQfreemem(reason);
    return maskedText(text, address);
}

QString maskedAddress(const QString &address)
{
    return masked(address).address;
}

QString maskedText(QString text, const QString &address)
{
    for (const QString &secret : masked(address).secrets)
        if (!secret.isEmpty())
            text.replace(secret, Mask);
    return text;
}
