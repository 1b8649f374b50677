#include "SearchMatch.h"

#include <QSqlDriver>
#include <QVariant>

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
bool containsFolded(
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
            return true;
        if (takeLower)
            atLower = next(at + 1, lower);
        else
            atUpper = next(at + 1, upper);
    }
    return false;
}

// Candidates are found with memchr on the needle's last byte: for Chinese text that is a
// continuation byte, one of 64 values, where the first byte (one of a few lead bytes) would stop
// at nearly every character. Several times faster than memmem on the short needles people type.
bool containsExact(const char *text, size_t length, const char *needle, size_t needleLength)
{
    if (needleLength > 16)
        return memmem(text, length, needle, needleLength) != nullptr;
    const char last = needle[needleLength - 1];
    const char *from = text + needleLength - 1;
    const char *const end = text + length;
    while (from < end) {
        const char *at = static_cast<const char *>(std::memchr(from, last, size_t(end - from)));
        if (!at)
            return false;
        if (std::memcmp(at - (needleLength - 1), needle, needleLength - 1) == 0)
            return true;
        from = at + 1;
    }
    return false;
}

void containsSql(sqlite3_context *context, int, sqlite3_value **arguments)
{
    if (sqlite3_value_type(arguments[0]) == SQLITE_NULL
        || sqlite3_value_type(arguments[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(arguments[0]));
    const int textLength = sqlite3_value_bytes(arguments[0]);
    const auto *needle = reinterpret_cast<const char *>(sqlite3_value_text(arguments[1]));
    const int needleLength = sqlite3_value_bytes(arguments[1]);
    if ((!text && textLength > 0) || (!needle && needleLength > 0)) {
        sqlite3_result_error_nomem(context);
        return;
    }
    sqlite3_result_int(context,
        containsText(QByteArrayView(text, textLength), QByteArrayView(needle, needleLength)));
}

} // namespace

bool containsText(QByteArrayView text, QByteArrayView needle)
{
    if (needle.isEmpty())
        return true;
    if (needle.size() > text.size())
        return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(needle.data());
    bool hasLetter = false;
    for (qsizetype i = 0; i < needle.size() && !hasLetter; ++i)
        hasLetter = isAsciiLetter(bytes[i]);
    if (!hasLetter)
        return containsExact(
            text.data(), size_t(text.size()), needle.data(), size_t(needle.size()));
    // Needles are a few bytes: folding them on the stack keeps the per-row call free of allocation.
    unsigned char small[64];
    QByteArray large;
    unsigned char *folded = small;
    if (needle.size() > qsizetype(sizeof small)) {
        large.resize(needle.size());
        folded = reinterpret_cast<unsigned char *>(large.data());
    }
    for (qsizetype i = 0; i < needle.size(); ++i)
        folded[i] = foldAscii(bytes[i]);
    return containsFolded(text.data(), size_t(text.size()), folded, size_t(needle.size()));
}

bool registerSearchFunctions(QSqlDatabase db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3 *connection = *static_cast<sqlite3 *const *>(handle.constData());
    return connection
        && sqlite3_create_function_v2(connection, containsFunction, 2,
               SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr, containsSql, nullptr,
               nullptr, nullptr)
        == SQLITE_OK;
}
