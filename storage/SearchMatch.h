#pragma once

#include <QByteArrayView>
#include <QSqlDatabase>

// A literal substring test for the search, as an SQL function: velto_contains(text, needle) is 1
// when text holds needle, ASCII letters matched without regard to case (as LIKE does), every other
// character (wildcards, quotes, backslashes included) only by itself. It compares the UTF-8 bytes
// directly, several times faster than LIKE with an escape on long notes.

// The name of the function in SQL.
inline constexpr const char *containsFunction = "velto_contains";

// Registers the function on the connection. Returns false when the driver gives no SQLite handle
// or SQLite refuses it; a search then falls back to LIKE.
bool registerSearchFunctions(QSqlDatabase db);

// The test itself, on UTF-8 bytes (exposed for the tests).
bool containsText(QByteArrayView text, QByteArrayView needle);
