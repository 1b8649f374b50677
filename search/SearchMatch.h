#pragma once

#include <QByteArrayView>
#include <QSqlDatabase>

// A literal substring test for the search, as an SQL function: velto_contains(text, needle) is 1
// when text holds needle, ASCII letters matched without regard to case (as LIKE does), every other
// character (wildcards, quotes, backslashes included) only by itself. It compares the UTF-8 bytes
// directly, several times faster than LIKE with an escape on long notes.

// The name of the function in SQL.
inline constexpr const char *containsFunction = "velto_contains";
// velto_rank(text, needle): where the first match lies, for ordering the matches: the number of
// field separators (char(31)) up to it times 2^32, plus its place in characters counted from one
// (0 when there is none). The same order as counting the separators in substr(text, 1, p) and
// then p, where p is instr() of the needle in the text, both ASCII-lowered when the needle has a
// letter.
inline constexpr const char *rankFunction = "velto_rank";
inline constexpr unsigned char fieldSeparatorByte = 0x1f;

// Registers the functions on the connection. Returns false when the driver gives no SQLite handle
// or SQLite refuses it; a search then falls back to LIKE.
bool registerSearchFunctions(QSqlDatabase db);

// The functions themselves, on UTF-8 bytes. findText gives the byte offset of the first match, or
// -1.
qsizetype findText(QByteArrayView text, QByteArrayView needle);
bool containsText(QByteArrayView text, QByteArrayView needle);
qint64 matchRank(QByteArrayView text, QByteArrayView needle);
