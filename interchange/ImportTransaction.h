#pragma once

#include "InterchangeTexts.h"

#include <QByteArray>
#include <QJsonArray>
#include <QString>

class Database;
class QJsonObject;
class ImportStatement;

// Appends the items of a "velto-export-v1" file to the database in one transaction: either every
// entry is written or nothing is. Use: load (the file checks), ask the person with entryCount(),
// then run.
class ImportTransaction {
public:
    explicit ImportTransaction(Database *database);

    // Files larger than this are refused before anything is read.
    static constexpr qint64 maxFileSize = qint64(1) << 30;

    // Reads and checks the file (JSON, format tag, non-empty "items"). On failure returns false
    // with the text to show: the file's error text, notAnExportMessage() or fileTooLargeMessage().
    bool load(const QString &path, QString *error);
    bool loadBytes(const QByteArray &bytes, QString *error);

    // Entries in the loaded file's "items".
    qint64 entryCount() const { return m_items.size(); }

    // Writes the loaded entries. On failure (or cancellation) everything is rolled back and false
    // returned with the text to show.
    bool run(QString *error, const interchange::Progress &progress = {});

    qint64 importedCount() const { return m_imported; }
    // The new iid of the last top-level entry written: the item to select afterwards (0 none).
    qint64 selectedIid() const { return m_selected; }
    bool wasCancelled() const { return m_cancelled; }

private:
    bool insertEntries(QString *error, const interchange::Progress &progress);
    bool insertItem(ImportStatement &items, ImportStatement &blocks, const QJsonObject &entry,
        qint64 iid, qint64 pid, qint64 sortid, QString *error);

    Database *m_database;
    QJsonArray m_items;
    qint64 m_nextIid = 0;
    qint64 m_imported = 0;
    qint64 m_selected = 0;
    bool m_cancelled = false;
};
