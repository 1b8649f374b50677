#include "NoteText.h"

#include <QHash>

namespace {

// Tags whose end (or, for br, whose presence) starts a new line of text.
bool breaksLine(const QString &tag)
{
    static const QStringList blocks
        = {QStringLiteral("p"), QStringLiteral("br"), QStringLiteral("div"), QStringLiteral("li"),
            QStringLiteral("tr"), QStringLiteral("h1"), QStringLiteral("h2"), QStringLiteral("h3"),
            QStringLiteral("h4"), QStringLiteral("h5"), QStringLiteral("h6"), QStringLiteral("pre"),
            QStringLiteral("blockquote"), QStringLiteral("table"), QStringLiteral("hr")};
    return blocks.contains(tag);
}

// Elements whose content is never text the user typed.
bool hidesContent(const QString &tag)
{
    return tag == QLatin1String("head") || tag == QLatin1String("style")
        || tag == QLatin1String("script") || tag == QLatin1String("title");
}

QString decodeEntity(const QString &name)
{
    if (name.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const uint code = name.startsWith(QLatin1String("#x"), Qt::CaseInsensitive)
            ? name.mid(2).toUInt(&ok, 16)
            : name.mid(1).toUInt(&ok, 10);
        if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return QString();
        const char32_t c = code;
        return QString::fromUcs4(&c, 1);
    }
    static const QHash<QString, QString> named = {{QStringLiteral("amp"), QStringLiteral("&")},
        {QStringLiteral("lt"), QStringLiteral("<")}, {QStringLiteral("gt"), QStringLiteral(">")},
        {QStringLiteral("quot"), QStringLiteral("\"")},
        {QStringLiteral("apos"), QStringLiteral("'")},
        {QStringLiteral("nbsp"), QStringLiteral(" ")}};
    return named.value(name);
}

// The lower-case tag name of a tag's inner text ("/p", "p style=..", "br /") and whether it closes.
QString tagName(QStringView inner, bool *closing)
{
    qsizetype i = 0;
    *closing = false;
    if (i < inner.size() && inner.at(i) == QLatin1Char('/')) {
        *closing = true;
        ++i;
    }
    const qsizetype start = i;
    while (i < inner.size() && (inner.at(i).isLetterOrNumber()))
        ++i;
    return inner.mid(start, i - start).toString().toLower();
}

} // namespace

QString plainTextFromHtml(const QString &html)
{
    QString out;
    out.reserve(html.size() / 2);
    int hidden = 0;
    qsizetype i = 0;
    const qsizetype n = html.size();
    auto newline = [&out] {
        if (!out.isEmpty() && !out.endsWith(QLatin1Char('\n')))
            out += QLatin1Char('\n');
    };
    while (i < n) {
        const QChar c = html.at(i);
        if (c == QLatin1Char('<')) {
            if (html.mid(i, 4) == QLatin1String("<!--")) {
                const qsizetype end = html.indexOf(QLatin1String("-->"), i + 4);
                i = end < 0 ? n : end + 3;
                continue;
            }
            // A tag ends at the first '>' outside a quoted attribute value.
            qsizetype j = i + 1;
            QChar quote;
            while (j < n) {
                const QChar d = html.at(j);
                if (!quote.isNull()) {
                    if (d == quote)
                        quote = QChar();
                } else if (d == QLatin1Char('"') || d == QLatin1Char('\'')) {
                    quote = d;
                } else if (d == QLatin1Char('>')) {
                    break;
                }
                ++j;
            }
            bool closing = false;
            const QString tag = tagName(QStringView(html).mid(i + 1, j - i - 1), &closing);
            if (hidesContent(tag))
                hidden = closing ? qMax(0, hidden - 1) : hidden + 1;
            else if (hidden == 0 && breaksLine(tag) && (closing || tag == QLatin1String("br")))
                newline();
            i = j + 1;
            continue;
        }
        if (hidden > 0) {
            ++i;
            continue;
        }
        // Line breaks between tags only lay out the HTML source; they are not the note's text.
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            qsizetype k = i;
            while (k < n && html.at(k).isSpace())
                ++k;
            if (k == n || html.at(k) == QLatin1Char('<')) {
                i = k;
                continue;
            }
        }
        if (c == QLatin1Char('&')) {
            const qsizetype end = html.indexOf(QLatin1Char(';'), i + 1);
            if (end > i + 1 && end - i <= 10) {
                const QString decoded = decodeEntity(html.mid(i + 1, end - i - 1));
                if (!decoded.isEmpty()) {
                    out += decoded;
                    i = end + 1;
                    continue;
                }
            }
        }
        if (c == QChar(0x00A0))
            out += QLatin1Char(' ');
        else if (c == QChar(0x2028) || c == QChar(0x2029))
            out += QLatin1Char('\n');
        else if (c != QLatin1Char('\r'))
            out += c;
        ++i;
    }
    while (out.endsWith(QLatin1Char('\n')))
        out.chop(1);
    return out;
}

QString pathFileName(const QString &path)
{
    QString trimmed = path.trimmed();
    while (trimmed.size() > 1
        && (trimmed.endsWith(QLatin1Char('/')) || trimmed.endsWith(QLatin1Char('\\'))))
        trimmed.chop(1);
    const qsizetype cut
        = qMax(trimmed.lastIndexOf(QLatin1Char('/')), trimmed.lastIndexOf(QLatin1Char('\\')));
    return trimmed.mid(cut + 1);
}
