#include "ExportFileReader.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstring>
#include <thread>

namespace {

// Above this size the copies the halves are parsed from would cost more memory than the time
// saved is worth.
constexpr qsizetype splitUpTo = qsizetype(64) << 20;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Finds the root's "items" array when it is the root's last member, as the export writes it:
// reads the members before it, and the file's end backwards.
class Layout {
public:
    explicit Layout(const QByteArray &bytes)
        : m_data(bytes.constData())
        , m_size(bytes.size())
    {
    }

    // Positions of the array's '[' and ']'; false when the file is laid out otherwise.
    bool find(qsizetype *open, qsizetype *close)
    {
        qsizetype end = m_size;
        while (end > 0 && isSpace(m_data[end - 1]))
            --end;
        if (end == 0 || m_data[--end] != '}')
            return false;
        while (end > 0 && isSpace(m_data[end - 1]))
            --end;
        if (end == 0 || m_data[--end] != ']')
            return false;
        *close = end;

        skipSpace();
        if (!take('{'))
            return false;
        while (true) {
            skipSpace();
            const qsizetype key = m_at;
            if (!skipString())
                return false;
            const bool isItems = m_at - key == 7 && std::memcmp(m_data + key, "\"items\"", 7) == 0;
            skipSpace();
            if (!take(':'))
                return false;
            skipSpace();
            if (isItems) {
                *open = m_at;
                return peek() == '[' && *open < *close;
            }
            if (!skipValue(0))
                return false;
            skipSpace();
            if (!take(','))
                return false;
        }
    }

private:
    char peek() const { return m_at < m_size ? m_data[m_at] : '\0'; }
    bool take(char c)
    {
        if (peek() != c)
            return false;
        ++m_at;
        return true;
    }
    void skipSpace()
    {
        while (m_at < m_size && isSpace(m_data[m_at]))
            ++m_at;
    }
    bool skipString()
    {
        if (!take('"'))
            return false;
        while (m_at < m_size) {
            const char c = m_data[m_at++];
            if (c == '"')
                return true;
            if (c == '\\')
                ++m_at;
        }
        return false;
    }
    // The members before the items are a few short values.
    bool skipValue(int depth)
    {
        const char c = peek();
        if (c == '"')
            return skipString();
        if (c != '[' && c != '{') {
            while (m_at < m_size && !isSpace(m_data[m_at]) && m_data[m_at] != ','
                && m_data[m_at] != ']' && m_data[m_at] != '}')
                ++m_at;
            return true;
        }
        if (depth > 64)
            return false;
        const char close = c == '[' ? ']' : '}';
        ++m_at;
        skipSpace();
        if (take(close))
            return true;
        while (true) {
            skipSpace();
            if (close == '}') {
                if (!skipString())
                    return false;
                skipSpace();
                if (!take(':'))
                    return false;
                skipSpace();
            }
            if (!skipValue(depth + 1))
                return false;
            skipSpace();
            if (!take(','))
                return take(close);
        }
    }

    const char *m_data;
    qsizetype m_size;
    qsizetype m_at = 0;
};

// A comma between two objects ("}," then '{' after white space) from the middle of the array on;
// -1 when there is none.
qsizetype middleComma(const QByteArray &bytes, qsizetype open, qsizetype close)
{
    const char *data = bytes.constData();
    for (qsizetype at = open + (close - open) / 2; at + 1 < close; ++at) {
        const void *found = std::memchr(data + at, ',', size_t(close - at));
        if (!found)
            return -1;
        at = static_cast<const char *>(found) - data;
        qsizetype before = at - 1;
        while (before > open && isSpace(data[before]))
            --before;
        qsizetype after = at + 1;
        while (after < close && isSpace(data[after]))
            ++after;
        if (data[before] == '}' && after < close && data[after] == '{')
            return at;
    }
    return -1;
}

// Parses the elements between from and to as the one element of an outer array, so that
// QJsonDocument counts their nesting as in the whole file (root, items, element). The text must be
// exactly one array: a piece that closes it early ("1], [2") has a second element or trailing text.
QJsonArray parseElements(const QByteArray &bytes, qsizetype from, qsizetype to, bool *ok)
{
    QByteArray piece;
    piece.reserve(to - from + 4);
    piece.append("[[").append(bytes.constData() + from, to - from).append("]]");
    QJsonParseError error;
    const QJsonArray outer = QJsonDocument::fromJson(piece, &error).array();
    const QJsonArray items = outer.at(0).toArray();
    // No element at all would hide an empty element of the whole ("[a, , b]").
    *ok = error.error == QJsonParseError::NoError && outer.size() == 1 && outer.at(0).isArray()
        && !items.isEmpty();
    return items;
}

QJsonObject parseWhole(const QByteArray &bytes, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    *ok = error.error == QJsonParseError::NoError && document.isObject();
    return document.object();
}

} // namespace

// Every byte of the file is in exactly one of three texts parsed here: the file with "[]" for
// its items, the elements before the cut and the elements after it. When all three are valid
// JSON and the two lists hold elements, the whole file is valid and holds the same values; any
// other outcome leaves the answer to a parse of the whole file.
QJsonObject exportfile::parse(const QByteArray &bytes, bool *ok, qsizetype splitFrom)
{
    qsizetype open = -1;
    qsizetype close = -1;
    if (bytes.size() < splitFrom || bytes.size() > splitUpTo || !Layout(bytes).find(&open, &close))
        return parseWhole(bytes, ok);
    const qsizetype cut = middleComma(bytes, open, close);
    if (cut < 0)
        return parseWhole(bytes, ok);

    bool firstOk = false;
    QJsonArray first;
    std::thread worker([&] { first = parseElements(bytes, open + 1, cut, &firstOk); });
    bool secondOk = false;
    const QJsonArray second = parseElements(bytes, cut + 1, close, &secondOk);
    QByteArray rest = bytes.left(open);
    rest.append("[]").append(bytes.constData() + close + 1, bytes.size() - close - 1);
    bool restOk = false;
    QJsonObject root = parseWhole(rest, &restOk);
    worker.join();
    if (!firstOk || !secondOk || !restOk)
        return parseWhole(bytes, ok);
    for (const QJsonValue &value : second)
        first.append(value);
    root.insert(QLatin1String("items"), first);
    *ok = true;
    return root;
}
