#include "ExportFileReader.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

qint64 g_readSize = qint64(4) << 20;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// One element parsed as it sits in the file: inside the items array inside the root, so that the
// parser counts its nesting as a whole parse does. The text must hold exactly one element.
bool parseElement(const char *data, qsizetype size, QJsonValue *element)
{
    QByteArray piece;
    piece.reserve(size + 4);
    piece.append("[[").append(data, size).append("]]");
    QJsonParseError error;
    const QJsonArray outer = QJsonDocument::fromJson(piece, &error).array();
    if (error.error != QJsonParseError::NoError || outer.size() != 1 || !outer.at(0).isArray())
        return false;
    const QJsonArray inner = outer.at(0).toArray();
    if (inner.size() != 1)
        return false;
    *element = inner.at(0);
    return true;
}

// Walks the file's structure without parsing its values: strings (with their escapes) and the
// nesting of brackets, which is all it takes to find the root's members and the items array's
// elements. It holds the bytes from a mark on (the current root member or element) and nothing
// before. On a valid file every cut it makes is where the file's own structure has one; what it
// finds odd cannot be valid JSON.
class Scanner {
public:
    Scanner(QIODevice *device, const exportfile::Handlers &handlers)
        : m_device(device)
        , m_handlers(handlers)
    {
    }

    exportfile::Outcome run()
    {
        exportfile::Outcome outcome;
        outcome.ok = scanRoot(&outcome);
        if (!outcome.ok)
            return outcome;
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(m_skeleton, &error);
        outcome.ok = error.error == QJsonParseError::NoError && document.isObject();
        outcome.root = document.object();
        return outcome;
    }

private:
    bool scanRoot(exportfile::Outcome *outcome)
    {
        // A byte-order mark is allowed right at the start, nowhere else.
        fill(3);
        if (m_buffer.startsWith("\xEF\xBB\xBF"))
            m_at = 3;
        if (!skipSpace() || peek() != '{')
            return false; // whatever it is, it is not an object
        ++m_at;
        while (true) {
            if (!skipSpace())
                return false;
            if (peek() != '"')
                break;
            // The skeleton holds everything up to this member; the buffer keeps the member from
            // the mark on, so the key starts at the mark however the buffer moves.
            flushSkeleton();
            ++m_at;
            if (!skipStringBody())
                return false;
            bool isItems = false;
            if (!keyIsItems(m_mark, m_at, &isItems))
                return false;
            if (!skipSpace() || peek() != ':')
                return false;
            ++m_at;
            if (!skipSpace())
                return false;
            if (isItems)
                outcome->itemsStreamed = peek() == '[';
            if (isItems && peek() == '[') {
                ++m_at;
                flushSkeleton();
                if (!scanItems(outcome))
                    return false;
            } else if (!skipValue()) {
                return false;
            }
            if (!skipSpace())
                return false;
            if (peek() != ',')
                break;
            ++m_at;
        }
        if (peek() != '}')
            return false;
        ++m_at;
        flushSkeleton();
        // Only white space may follow.
        while (m_at < m_buffer.size() || fill(1)) {
            if (!isSpace(m_buffer.at(m_at)))
                return false;
            m_mark = ++m_at;
        }
        return true;
    }

    // From after the '[' to after its ']', which the skeleton keeps.
    bool scanItems(exportfile::Outcome *outcome)
    {
        if (m_handlers.itemsBegin)
            m_handlers.itemsBegin();
        if (!skipSpace())
            return false;
        if (peek() == ']') {
            m_mark = m_at++;
            return true;
        }
        while (true) {
            // An element: the bytes from after the '[' or ',' to the next ',' or ']'.
            if (!skipSpace() || !skipValue() || !skipSpace())
                return false;
            const char next = peek();
            if (next != ',' && next != ']')
                return false;
            QJsonValue element;
            if (!parseElement(m_buffer.constData() + m_mark, m_at - m_mark, &element))
                return false;
            if (m_handlers.element
                && !m_handlers.element(element, m_base + m_mark, m_at - m_mark)) {
                outcome->stopped = true;
                return false;
            }
            m_mark = m_at++;
            if (next == ']')
                return true;
            m_mark = m_at;
        }
    }

    // Whether a root member's key (the quoted text between from and to) names "items".
    bool keyIsItems(qsizetype from, qsizetype to, bool *isItems) const
    {
        const QByteArray key = QByteArray::fromRawData(m_buffer.constData() + from, to - from);
        if (!key.contains('\\')) {
            *isItems = key == "\"items\"";
            return true;
        }
        QJsonParseError error;
        const QJsonArray decoded
            = QJsonDocument::fromJson(QByteArray("[").append(key).append("]"), &error).array();
        if (error.error != QJsonParseError::NoError)
            return false;
        *isItems = decoded.at(0).toString() == QLatin1String("items");
        return true;
    }

    // One value of any kind: a string, a bracketed value (its nesting counted, its contents not
    // checked) or anything else up to the next separator.
    bool skipValue()
    {
        const char c = peek();
        if (c == '"') {
            ++m_at;
            return skipStringBody();
        }
        if (c == '[' || c == '{')
            return skipBracketed();
        while (true) {
            const char *data = m_buffer.constData();
            const qsizetype size = m_buffer.size();
            while (m_at < size) {
                const char d = data[m_at];
                if (isSpace(d) || d == ',' || d == ']' || d == '}')
                    return true;
                ++m_at;
            }
            if (!fill(1))
                return true; // the end decides
        }
    }

    bool skipBracketed()
    {
        qint64 depth = 0;
        while (true) {
            // Reloaded after every string: reading one may have moved the buffer.
            const char *data = m_buffer.constData();
            const qsizetype size = m_buffer.size();
            bool inString = false;
            while (m_at < size) {
                const char c = data[m_at++];
                if (c == '"') {
                    inString = true;
                    break;
                }
                if (c == '[' || c == '{') {
                    ++depth;
                } else if ((c == ']' || c == '}') && --depth == 0) {
                    return true;
                }
            }
            if (inString) {
                if (!skipStringBody())
                    return false;
            } else if (!fill(1)) {
                return false;
            }
        }
    }

    // From after the opening quote to after the closing one.
    bool skipStringBody()
    {
        bool escaped = false;
        while (true) {
            const char *data = m_buffer.constData();
            const qsizetype size = m_buffer.size();
            while (m_at < size) {
                const char c = data[m_at++];
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    return true;
            }
            if (!fill(1))
                return false;
        }
    }

    // False at the end of the bytes.
    bool skipSpace()
    {
        while (true) {
            const char *data = m_buffer.constData();
            const qsizetype size = m_buffer.size();
            while (m_at < size && isSpace(data[m_at]))
                ++m_at;
            if (m_at < size)
                return true;
            if (!fill(1))
                return false;
        }
    }

    char peek() const { return m_at < m_buffer.size() ? m_buffer.at(m_at) : '\0'; }

    // Appends the bytes between the mark and the current position to the skeleton.
    void flushSkeleton()
    {
        m_skeleton.append(m_buffer.constData() + m_mark, m_at - m_mark);
        m_mark = m_at;
    }

    // Makes at least `wanted` bytes available from the current position, dropping what lies
    // before the mark; false when the device has fewer.
    bool fill(qsizetype wanted)
    {
        while (m_buffer.size() - m_at < wanted) {
            if (m_atEnd)
                return false;
            if (m_mark > 0) {
                m_buffer.remove(0, m_mark);
                m_base += m_mark;
                m_at -= m_mark;
                m_mark = 0;
            }
            const qsizetype before = m_buffer.size();
            const qint64 step = exportfile::readSize();
            m_buffer.resize(before + step);
            const qint64 read = m_device->read(m_buffer.data() + before, step);
            m_buffer.resize(before + qMax<qint64>(read, 0));
            if (read <= 0)
                m_atEnd = true;
        }
        return true;
    }

    QIODevice *m_device;
    const exportfile::Handlers &m_handlers;
    QByteArray m_buffer;
    qint64 m_base = 0; // the file offset of m_buffer[0]
    qsizetype m_at = 0;
    qsizetype m_mark = 0;
    bool m_atEnd = false;
    QByteArray m_skeleton;
};

} // namespace

namespace exportfile {

Source Source::file(const QString &path)
{
    Source source;
    source.m_path = path;
    return source;
}

Source Source::memory(const QByteArray &bytes)
{
    Source source;
    source.m_bytes = bytes;
    source.m_inMemory = true;
    return source;
}

std::unique_ptr<QIODevice> Source::open(QString *error) const
{
    std::unique_ptr<QIODevice> device;
    if (m_inMemory) {
        auto buffer = std::make_unique<QBuffer>();
        buffer->setData(m_bytes);
        device = std::move(buffer);
    } else {
        device = std::make_unique<QFile>(m_path);
    }
    if (!device->open(QIODevice::ReadOnly)) {
        if (error)
            *error = device->errorString();
        return nullptr;
    }
    return device;
}

qint64 readSize()
{
    return g_readSize;
}

void setReadSize(qint64 bytes)
{
    g_readSize = qMax<qint64>(bytes, 1);
}

Outcome read(QIODevice *device, const Handlers &handlers)
{
    return Scanner(device, handlers).run();
}

QJsonObject parse(const QByteArray &bytes, bool *ok)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QJsonArray items;
    Handlers handlers;
    handlers.itemsBegin = [&] { items = QJsonArray(); };
    handlers.element = [&](const QJsonValue &element, qint64, qint64) {
        items.append(element);
        return true;
    };
    Outcome outcome = read(&buffer, handlers);
    *ok = outcome.ok;
    if (outcome.ok && outcome.itemsStreamed)
        outcome.root.insert(QLatin1String("items"), items);
    return outcome.root;
}

ElementReader::ElementReader(std::unique_ptr<QIODevice> device)
    : m_device(std::move(device))
{
}

ElementReader::~ElementReader() = default;
ElementReader::ElementReader(ElementReader &&) noexcept = default;
ElementReader &ElementReader::operator=(ElementReader &&) noexcept = default;

bool ElementReader::at(qint64 offset, qint64 length, QJsonValue *element)
{
    if (!m_device)
        return false;
    const qint64 windowEnd = m_windowStart + m_window.size();
    if (m_windowStart < 0 || offset < m_windowStart || offset + length > windowEnd) {
        // A window that reaches forward from the element, or back from it when the elements
        // come in falling order (children listed before their parents).
        const qint64 size = qMax(length, readSize());
        const bool backwards = m_windowStart >= 0 && offset < m_windowStart;
        const qint64 start = backwards ? qMax<qint64>(0, offset + length - size) : offset;
        if (!m_device->seek(start))
            return false;
        m_window.resize(size);
        const qint64 read = m_device->read(m_window.data(), size);
        m_window.resize(qMax<qint64>(read, 0));
        m_windowStart = start;
        if (start + m_window.size() < offset + length)
            return false;
    }
    return parseElement(m_window.constData() + (offset - m_windowStart), length, element);
}

} // namespace exportfile
