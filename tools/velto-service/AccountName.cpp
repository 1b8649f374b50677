#include "AccountName.h"

QString normalisedAccountName(const QString &name)
{
    const QString compatible = name.normalized(QString::NormalizationForm_KC);
    QString visible;
    visible.reserve(compatible.size());
    for (const QChar c : compatible) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Format || category == QChar::Other_Control) {
            // Line breaks and tabs still separate words; the rest (zero-width joiners and
            // spaces, soft hyphens, direction marks, byte-order marks) is invisible.
            if (c.isSpace())
                visible += QLatin1Char(' ');
            continue;
        }
        visible += c;
    }
    return visible.simplified();
}

QString accountNameKey(const QString &name)
{
    // Case folding can produce text that NFKC composes differently (and the reverse), so the
    // folded text is normalised once more.
    return normalisedAccountName(normalisedAccountName(name).toCaseFolded());
}
