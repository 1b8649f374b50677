#pragma once

#include "ExportFileReader.h"
#include "InterchangeTexts.h"
#include "SqliteStatement.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

class Database;
class QTemporaryFile;
struct PreparedItem;

// Appends the items of a "velto-export-v1" file to the database in one transaction: either every
// entry is written or nothing is. Use: load (the file checks), ask the person with entryCount(),
// then run. The file is never held whole: loading reads it once, keeping each entry's place, ids
// and kind, and the run reads the entries back one at a time in the order they are written.
class ImportTransaction {
public:
    explicit ImportTransaction(Database *database);

    // Up to this size of file the imported items' rows of the full-text index are written in the
    // import's own transaction. Writing them costs more than the rest of the import together, so
    // larger files leave them to the background build of the index, which the same transaction
    // sets to resume at the first imported item: the index never claims items it lacks.
    static constexpr qint64 inlineIndexLimit = qint64(4) << 20;

    // Reads and checks the file (JSON, format tag, non-empty "items"). On failure returns false
    // with the text to show: the file's error text or notAnExportMessage(). A pipe is first
    // copied to a temporary file, since the run reads the entries back by their place.
    bool load(const QString &path, QString *error);
    bool loadBytes(const QByteArray &bytes, QString *error);

    // Entries in the loaded file's "items".
    qint64 entryCount() const { return qint64(m_entries.size()); }

    // Writes the loaded entries. On failure (or cancellation) everything is rolled back and false
    // returned with the text to show.
    bool run(QString *error, const interchange::Progress &progress = {});

    qint64 importedCount() const { return m_imported; }
    // The new iid of the last top-level entry written: the item to select afterwards (0 none).
    qint64 selectedIid() const { return m_selected; }
    bool wasCancelled() const { return m_cancelled; }
    // Whether the imported items still wait for their rows of the full-text index (the
    // background build adds them).
    bool leftIndexToBuild() const { return m_indexLeft; }

private:
    bool insertEntries(QString *error, const interchange::Progress &progress);
    // The rows being written, table by table, each batch after the ones it refers to.
    struct ImportRows {
        BatchedInsert items {
            "data_items", "iid, pid, sortid, here, cont, remark, favorite, \"desc\"", 8};
        BatchedInsert blocks {"content_blocks", "item_iid, sortid, type, value, summary", 5};
        BatchedInsert index {"search_index", "rowid, body", 2, 1000};
        bool indexing = false;

        // Writes every batch; an index that cannot be written is marked for rebuilding.
        bool flush(const QSqlDatabase &db, QString *error);
        bool stopIndexing(const QSqlDatabase &db, QString *error);
    };

    // The entries' positions in the order they are written, each one's parent iid, and the
    // refusal (if any) that follows the last of them.
    struct Plan {
        std::vector<qsizetype> positions;
        std::vector<qint64> parents;
        QString refusal;
    };
    Plan plan() const;
    bool loadFrom(const exportfile::Source &source, QString *error);
    bool insertItem(ImportRows &rows, const PreparedItem &item, qint64 iid, qint64 pid,
        qint64 sortid, QString *error);
    bool prepareIndex(BatchedInsert &insert);
    bool leaveIndexToBuild(QString *error);

    // What loading keeps of each entry of the file's items.
    struct FileEntry {
        qint64 offset = 0;
        qint64 length = 0;
        qint64 id = 0;
        qint64 parentId = 0;
        bool isObject = false;
    };

    Database *m_database;
    exportfile::Source m_source;
    std::shared_ptr<QTemporaryFile> m_spool; // a pipe's bytes
    std::vector<FileEntry> m_entries;
    qint64 m_nextIid = 0;
    qint64 m_imported = 0;
    qint64 m_selected = 0;
    bool m_cancelled = false;
    bool m_indexLeft = false;
    qint64 m_sourceBytes = 0;
};
