#include "ExportFileReader.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstring>
#include <thread>
#include <vector>

namespace {

// Elements nested deeper than this are left to the whole parse, whose nesting limit counts the
// two levels (root object, items array) that a piece lacks.
constexpr int depthLimit = 256;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Where the root's "items" array stands in the bytes, and where its elements are cut.
struct Layout {
    qsizetype arrayStart = -1; // the '['
    qsizetype arrayEnd = -1; // the ']'
    std::vector<qsizetype> commas; // the array's own commas
};

class Scanner {
public:
    explicit Scanner(const QByteArray &bytes)
        : m_data(bytes.constData())
        , m_size(bytes.size())
    {
    }

    // False when the layout cannot be vouched for; the caller then parses the whole file.
    bool scan(Layout *layout)
    {
        skipSpace();
        if (!take('{'))
            return false;
        skipSpace();
        if (peek() == '}')
            return false;
        bool sawItems = false;
        while (true) {
            skipSpace();
            const qsizetype keyStart = m_at;
            bool escaped = false;
            if (!string(&escaped) || escaped)
                return false;
            const bool isItems
                = QByteArray::fromRawData(m_data + keyStart, m_at - keyStart) == "\"items\"";
            skipSpace();
            if (!take(':'))
                return false;
            skipSpace();
            if (isItems) {
                if (sawItems || peek() != '[')
                    return false;
                sawItems = true;
                layout->arrayStart = m_at;
                if (!value(0, &layout->commas))
                    return false;
                layout->arrayEnd = m_at - 1;
            } else if (!value(0, nullptr)) {
                return false;
            }
            skipSpace();
            if (take(','))
                continue;
            return take('}') && sawItems;
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

    // Skips a string; escaped tells whether it holds a backslash.
    bool string(bool *escaped)
    {
        const qsizetype start = m_at;
        if (!take('"'))
            return false;
        while (true) {
            const void *quote = std::memchr(m_data + m_at, '"', size_t(m_size - m_at));
            if (!quote)
                return false;
            const qsizetype at = static_cast<const char *>(quote) - m_data;
            qsizetype backslashes = 0;
            while (at - backslashes - 1 >= m_at && m_data[at - backslashes - 1] == '\\')
                ++backslashes;
            m_at = at + 1;
            if (backslashes % 2 == 0)
                break;
        }
        *escaped = std::memchr(m_data + start, '\\', size_t(m_at - start)) != nullptr;
        return true;
    }

    // Skips one value. commas, when given, collects the commas of this array itself.
    bool value(int depth, std::vector<qsizetype> *commas)
    {
        if (depth > depthLimit)
            return false;
        const char c = peek();
        if (c == '"') {
            bool escaped = false;
            return string(&escaped);
        }
        if (c != '[' && c != '{') {
            // A number or a literal: the pieces' parse judges it.
            while (m_at < m_size && !isSpace(m_data[m_at]) && m_data[m_at] != ','
                && m_data[m_at] != ']' && m_data[m_at] != '}')
                ++m_at;
            return true;
        }
        const char close = c == '[' ? ']' : '}';
        ++m_at;
        skipSpace();
        if (take(close))
            return true;
        while (true) {
            skipSpace();
            if (close == '}') {
                bool escaped = false;
                if (!string(&escaped))
                    return false;
                skipSpace();
                if (!take(':'))
                    return false;
                skipSpace();
            }
            if (!value(depth + 1, nullptr))
                return false;
            skipSpace();
            if (peek() == ',') {
                if (commas)
                    commas->push_back(m_at);
                ++m_at;
                continue;
            }
            return take(close);
        }
    }

    const char *m_data;
    qsizetype m_size;
    qsizetype m_at = 0;
};

QJsonArray parseArray(const QByteArray &bytes, qsizetype from, qsizetype to, bool *ok)
{
    QByteArray piece;
    piece.reserve(to - from + 2);
    piece.append('[').append(bytes.constData() + from, to - from).append(']');
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(piece, &error);
    *ok = error.error == QJsonParseError::NoError && document.isArray();
    return document.array();
}

QJsonObject parseWhole(const QByteArray &bytes, bool *ok)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    *ok = error.error == QJsonParseError::NoError && document.isObject();
    return document.object();
}

} // namespace

QJsonObject exportfile::parse(const QByteArray &bytes, bool *ok, qsizetype splitFrom)
{
    Layout layout;
    if (bytes.size() < splitFrom || !Scanner(bytes).scan(&layout) || layout.commas.size() < 2)
        return parseWhole(bytes, ok);

    // The rest of the file with an empty array in place of the items.
    QByteArray rest = bytes.left(layout.arrayStart);
    rest.append("[]").append(
        bytes.constData() + layout.arrayEnd + 1, bytes.size() - layout.arrayEnd - 1);
    // Two pieces cut at the array's middle comma.
    const qsizetype cut = layout.commas[layout.commas.size() / 2];
    bool firstOk = false;
    bool secondOk = false;
    QJsonArray first;
    std::thread worker([&] { first = parseArray(bytes, layout.arrayStart + 1, cut, &firstOk); });
    QJsonArray second = parseArray(bytes, cut + 1, layout.arrayEnd, &secondOk);
    bool restOk = false;
    QJsonObject root = parseWhole(rest, &restOk);
    worker.join();
    // A piece that parsed to no element would hide an empty element of the whole ("[a, , b]").
    if (!firstOk || !secondOk || !restOk || first.isEmpty() || second.isEmpty())
        return parseWhole(bytes, ok);
    for (const QJsonValue &value : qAsConst(second))
        first.append(value);
    root.insert(QLatin1String("items"), first);
    *ok = true;
    return root;
}
