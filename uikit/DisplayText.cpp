#include "DisplayText.h"

namespace {

// The first maxChars characters (one fewer when a surrogate pair would be split), and whether
// the text was cut.
QString head(const QString &text, int maxChars, bool *cut)
{
    *cut = text.size() > maxChars;
    if (!*cut)
        return text;
    qsizetype n = qMax(0, maxChars - 1);
    if (n > 0 && text.at(n - 1).isHighSurrogate())
        --n;
    return text.left(n);
}

} // namespace

namespace DisplayText {

QString oneLine(const QString &text, int maxChars)
{
    bool cut = false;
    QString line = head(text, maxChars, &cut);
    for (QChar &c : line) {
        if (c.unicode() < 0x20 || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QLatin1Char(' ');
    }
    if (cut)
        line += QChar(0x2026);
    return line;
}

QString bounded(const QString &text, int maxChars)
{
    bool cut = false;
    QString part = head(text, maxChars, &cut);
    if (cut)
        part += QChar(0x2026);
    return part;
}

} // namespace DisplayText
