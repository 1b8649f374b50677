#include "PreparedItems.h"

#include "Records.h"
#include "SearchIndexWriter.h"
#include "SqlText.h"

#include <QJsonArray>
#include <QString>

namespace {

QByteArray utf8(const QString &text)
{
    if (text.isNull())
        return QByteArray();
    QByteArray bytes = text.toUtf8();
    // An empty text is still a text, not NULL.
    return bytes.isNull() ? QByteArray("") : bytes;
}

} // namespace

PreparedItems::PreparedItems(EntryAt entryAt, std::vector<qsizetype> order, bool withIndexText)
    : m_entryAt(std::move(entryAt))
    , m_order(std::move(order))
    , m_withIndexText(withIndexText)
    , m_thread([this] { produce(); })
{
}

PreparedItems::~PreparedItems()
{
    {
        // Under the lock: the worker cannot miss it between testing and waiting.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

PreparedItem PreparedItems::prepare(const QJsonObject &entry, bool withIndexText)
{
    PreparedItem item;
    const QString name = entry.value(QLatin1String("name")).toString();
    const QString content = entry.value(QLatin1String("content")).toString();
    const QString remark = entry.value(QLatin1String("remark")).toString();
    item.name = utf8(name);
    item.content = utf8(content);
    item.remark = utf8(remark);
    item.description = utf8(entry.value(QLatin1String("description")).toString());
    item.favorite = entry.value(QLatin1String("favorite")).toBool();
    const QList<ContentBlock> blocks
        = contentBlocksFromJson(entry.value(QLatin1String("blocks")).toArray());
    item.blocks.reserve(size_t(blocks.size()));
    for (const ContentBlock &block : blocks) {
        // Blocks without a value or a summary keep an empty text.
        item.blocks.push_back(
            {qint64(block.type), utf8(sqlText(block.value)), utf8(sqlText(block.summary))});
    }
    if (withIndexText) {
        item.indexText = utf8(SearchIndexWriter::indexedText(
            SearchIndexWriter::columnsOf(name, content, remark, blocks)));
    }
    return item;
}

PreparedItem PreparedItems::take()
{
    if (m_taken == m_current.size()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_ready.empty(); });
        m_current = std::move(m_ready.front());
        m_ready.pop_front();
        m_taken = 0;
        m_changed.notify_all();
    }
    return std::move(m_current[m_taken++]);
}

void PreparedItems::produce()
{
    for (size_t start = 0; start < m_order.size() && !m_stop; start += chunkSize) {
        std::vector<PreparedItem> chunk;
        const size_t end = std::min(m_order.size(), start + chunkSize);
        chunk.reserve(end - start);
        for (size_t i = start; i < end; ++i) {
            QJsonObject entry;
            if (m_entryAt(m_order[i], &entry)) {
                chunk.push_back(prepare(entry, m_withIndexText));
            } else {
                chunk.emplace_back();
                chunk.back().readable = false;
            }
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_stop || m_ready.size() < chunksAhead; });
        m_ready.push_back(std::move(chunk));
        m_changed.notify_all();
    }
}
