#pragma once

#include <QString>

// Text bound for a NOT NULL column: a null QString would be bound as SQL NULL, so it becomes ''.
inline QString sqlText(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}
