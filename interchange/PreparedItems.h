#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// An export file's entry made ready to be written: its texts as UTF-8 (a null array stands for
// SQL NULL: a missing or non-string text, which the NOT NULL columns refuse) and the text of its
// row in the full-text index.
struct PreparedItem {
    struct Block {
        qint64 type = 0;
        QByteArray value;
        QByteArray summary;
    };
    QByteArray name;
    QByteArray content;
    QByteArray remark;
    QByteArray description;
    bool favorite = false;
    std::vector<Block> blocks;
    QByteArray indexText;
    bool readable = true; // false when the entry could not be read back from the file
};

// Prepares the entries of an import on a second thread, in the order they are written, a few
// thousand ahead of the writer: reading the JSON values, converting the texts and composing the
// index text then overlap with SQLite's work instead of adding to it.
class PreparedItems {
public:
    // Reads the entry at a position of the file; called on the preparing thread only.
    using EntryAt = std::function<bool(qsizetype position, QJsonObject *entry)>;

    // order: the positions in the order they are written.
    PreparedItems(EntryAt entryAt, std::vector<qsizetype> order, bool withIndexText);
    ~PreparedItems();
    PreparedItems(const PreparedItems &) = delete;
    PreparedItems &operator=(const PreparedItems &) = delete;

    // The next prepared entry, waiting for it when needed; call once for every position of order.
    PreparedItem take();

private:
    static PreparedItem prepare(const QJsonObject &entry, bool withIndexText);
    void produce();

    static constexpr size_t chunkSize = 256;
    static constexpr size_t chunksAhead = 8;

    EntryAt m_entryAt;
    const std::vector<qsizetype> m_order;
    const bool m_withIndexText;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<PreparedItem>> m_ready;
    std::vector<PreparedItem> m_current;
    size_t m_taken = 0;
    std::atomic_bool m_stop {false};
    std::thread m_thread;
};
