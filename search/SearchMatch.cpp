#include "SearchMatch.h"

#include "SqlSupport.h"

#include <sqlite3.h>

#include <cstring>

namespace {

inline unsigned char foldAscii(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

inline bool isAsciiLetter(unsigned char c)
{
    return foldAscii(c) >= 'a' && foldAscii(c) <= 'z';
}

// needle is already folded. Bytes of multi-byte UTF-8 characters are never below 128, so folding
// ASCII letters byte by byte cannot make a match start or end inside a character. Candidates for
// the first byte are found with memchr, once for each case of it.
const char *findFolded(
    const char *text, size_t length, const unsigned char *needle, size_t needleLength)
{
    const char *const end = text + length - needleLength + 1;
    const auto rest = [&](const char *at) {
        for (size_t j = 1; j < needleLength; ++j) {
            if (foldAscii(static_cast<unsigned char>(at[j])) != needle[j])
                return false;
        }
        return true;
    };
    const auto next = [end](const char *from, unsigned char c) {
        return from < end ? static_cast<const char *>(std::memchr(from, c, size_t(end - from)))
                          : nullptr;
    };
    const unsigned char lower = needle[0];
    const unsigned char upper = isAsciiLetter(lower) ? lower - ('a' - 'A') : lower;
    const char *atLower = next(text, lower);
    const char *atUpper = upper != lower ? next(text, upper) : nullptr;
    while (atLower || atUpper) {
        const bool takeLower = atLower && (!atUpper || atLower < atUpper);
        const char *at = takeLower ? atLower : atUpper;
        if (rest(at))
            return at;
        if (takeLower)
            atLower = next(at + 1, lower);
        else
            atUpper = next(at + 1, upper);
    }
    return nullptr;
}

// Candidates are found with memchr on the needle's last byte: for Chinese text that is a
// continuation byte, one of 64 values, where the first byte (one of a few lead bytes) would stop
// at nearly every character. Several times faster than memmem on the short needles people type.
const char *findExact(const char *text, size_t length, const char *needle, size_t needleLength)
{
    if (needleLength > 16)
        return static_cast<const char *>(memmem(text, length, needle, needleLength));
    const char last = needle[needleLength - 1];
    const char *from = text + needleLength - 1;
    const char *const end = text + length;
    while (from < end) {
        const char *at = static_cast<const char *>(std::memchr(from, last, size_t(end - from)));
        if (!at)
            return nullptr;
        if (std::memcmp(at - (needleLength - 1), needle, needleLength - 1) == 0)
            return at - (needleLength - 1);
        from = at + 1;
    }
    return nullptr;
}

// The two arguments as UTF-8, or false (with the result set) when either is NULL or out of memory.
bool textArguments(sqlite3_context *context, sqlite3_value **arguments, QByteArrayView *text,
    QByteArrayView *needle)
{
    if (sqlite3_value_type(arguments[0]) == SQLITE_NULL
        || sqlite3_value_type(arguments[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return false;
    }
    const auto *textBytes = reinterpret_cast<const char *>(sqlite3_value_text(arguments[0]));
    const int textLength = sqlite3_value_bytes(arguments[0]);
    const auto *needleBytes = reinterpret_cast<const char *>(sqlite3_value_text(arguments[1]));
    const int needleLength = sqlite3_value_bytes(arguments[1]);
    if ((!textBytes && textLength > 0) || (!needleBytes && needleLength > 0)) {
        sqlite3_result_error_nomem(context);
        return false;
    }
    *text = QByteArrayView(textBytes, textLength);
    *needle = QByteArrayView(needleBytes, needleLength);
    return true;
}

void containsSql(sqlite3_context *context, int, sqlite3_value **arguments)
{
    QByteArrayView text;
    QByteArrayView needle;
    if (textArguments(context, arguments, &text, &needle))
        sqlite3_result_int(context, findText(text, needle) >= 0);
}

void rankSql(sqlite3_context *context, int, sqlite3_value **arguments)
{
    QByteArrayView text;
    QByteArrayView needle;
    if (textArguments(context, arguments, &text, &needle))
        sqlite3_result_int64(context, matchRank(text, needle));
}

} // namespace

qsizetype findText(QByteArrayView text, QByteArrayView needle)
{
    if (needle.isEmpty())
        return 0;
    if (needle.size() > text.size())
        return -1;
    const auto *bytes = reinterpret_cast<const unsigned char *>(needle.data());
    bool hasLetter = false;
    for (qsizetype i = 0; i < needle.size() && !hasLetter; ++i)
        hasLetter = isAsciiLetter(bytes[i]);
    const char *at = nullptr;
    if (!hasLetter) {
        at = findExact(text.data(), size_t(text.size()), needle.data(), size_t(needle.size()));
    } else {
        // Needles are a few bytes: folding them on the stack keeps the per-row call free of
        // allocation.
        unsigned char small[64];
        QByteArray large;
        unsigned char *folded = small;
        if (needle.size() > qsizetype(sizeof small)) {
            large.resize(needle.size());
            folded = reinterpret_cast<unsigned char *>(large.data());
        }
        for (qsizetype i = 0; i < needle.size(); ++i)
            folded[i] = foldAscii(bytes[i]);
        at = findFolded(text.data(), size_t(text.size()), folded, size_t(needle.size()));
    }
    return at ? at - text.data() : -1;
}

bool containsText(QByteArrayView text, QByteArrayView needle)
{
    return findText(text, needle) >= 0;
}

qint64 matchRank(QByteArrayView text, QByteArrayView needle)
{
    const qsizetype at = findText(text, needle);
    if (at < 0)
        return 0;
    // Fields separated before the match (the match's own first character included, as a prefix
    // up to it would count it), and the match's place in characters, counted from one.
    qint64 fields = 0;
    qint64 characters = 0;
    for (qsizetype i = 0; i < at; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        fields += c == fieldSeparatorByte;
        characters += (c & 0xC0) != 0x80;
    }
    if (at < text.size() && text[at] == char(fieldSeparatorByte))
        ++fields;
    return (fields << 32) + characters + 1;
}

bool registerSearchFunctions(QSqlDatabase db)
{
    sqlite3 *connection = sqlsupport::sqliteHandle(db);
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    return connection
        && sqlite3_create_function_v2(connection, containsFunction, 2, flags, nullptr, containsSql,
               nullptr, nullptr, nullptr)
        == SQLITE_OK
        && sqlite3_create_function_v2(
               connection, rankFunction, 2, flags, nullptr, rankSql, nullptr, nullptr, nullptr)
        == SQLITE_OK;
}
