#include "SyncJournal.h"

#include "SyncLocal.h"

#include <QJsonDocument>

using namespace datasync;

namespace {

const char *const tables[] = {
    // Items changed since the last sync, with the aspects that changed (ChangeObserver::Aspects).
    "CREATE TABLE IF NOT EXISTS sync_dirty(iid INTEGER PRIMARY KEY, aspects INTEGER NOT NULL)",
    // Parents whose children changed order or gained a child.
    // stamp changes with every mark, so a sync that worked on an older mark keeps the newer one.
    "CREATE TABLE IF NOT EXISTS sync_dirty_parents(pid INTEGER PRIMARY KEY, stamp INTEGER NOT NULL "
    "DEFAULT 0)",
    // Parents whose children's order has to be brought in line with the merged positions.
    "CREATE TABLE IF NOT EXISTS sync_reorder(pid INTEGER PRIMARY KEY)",
    // What a removed item held, for its deletion record.
    "CREATE TABLE IF NOT EXISTS sync_tombstones(iid INTEGER PRIMARY KEY, uuid TEXT NOT NULL, "
    "body TEXT NOT NULL)",
    // The content version(s) the item as stored here derives from, and its digest then.
    "CREATE TABLE IF NOT EXISTS sync_items(uuid TEXT PRIMARY KEY, iid INTEGER, hash TEXT, "
    "bases TEXT NOT NULL DEFAULT '', deleted INTEGER NOT NULL DEFAULT 0)",
    "CREATE INDEX IF NOT EXISTS idx_sync_items_iid ON sync_items(iid)",
    // Every content version known; heads are those no other version replaces.
    "CREATE TABLE IF NOT EXISTS sync_versions(vid TEXT PRIMARY KEY, uuid TEXT NOT NULL, "
    "ts INTEGER NOT NULL DEFAULT 0, hash TEXT, bases TEXT NOT NULL DEFAULT '', "
    "head INTEGER NOT NULL DEFAULT 0, deleted INTEGER NOT NULL DEFAULT 0, known INTEGER NOT NULL "
    "DEFAULT 1, body TEXT)",
    "CREATE INDEX IF NOT EXISTS idx_sync_versions_heads ON sync_versions(uuid) WHERE head = 1",
    // The winning place of every item.
    "CREATE TABLE IF NOT EXISTS sync_places(uuid TEXT PRIMARY KEY, vid TEXT NOT NULL, "
    "ts INTEGER NOT NULL, parent TEXT NOT NULL, poskey TEXT NOT NULL, from_parent TEXT NOT NULL)",
    // Items whose merged state still has to be written here.
    "CREATE TABLE IF NOT EXISTS sync_pending(uuid TEXT PRIMARY KEY)",
    // Segments written here and not yet on the server.
    "CREATE TABLE IF NOT EXISTS sync_outbox(seq INTEGER PRIMARY KEY, data BLOB NOT NULL)",
    // The last segment read of every other device.
    "CREATE TABLE IF NOT EXISTS sync_cursors(device TEXT PRIMARY KEY, seq INTEGER NOT NULL)",
    // What the last listing of each server folder found, under the ETag the folder's parent gave
    // it then (FolderTags).
    "CREATE TABLE IF NOT EXISTS sync_folder_tags(path TEXT PRIMARY KEY, etag TEXT NOT NULL, "
    "since INTEGER NOT NULL, settled INTEGER NOT NULL DEFAULT 0, summary TEXT NOT NULL DEFAULT '')",
};

bool fromSync(const QSqlDatabase &db)
{
    return db.connectionName().startsWith(QLatin1String("velto-sync"));
}

} // namespace

void SyncJournal::install()
{
    static SyncJournal journal;
    changeobservers::add(&journal);
}

bool SyncJournal::prepare(QSqlDatabase db, QString *error)
{
    const bool existed = local::scalar(db,
        QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'sync_dirty'"))
                             .isValid();
    if (!local::exec(db, QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    bool ok = true;
    for (const char *statement : tables)
        ok = ok && local::exec(db, QString::fromUtf8(statement), error);
    if (existed) {
        if (ok)
            return local::exec(db, QStringLiteral("COMMIT"), error);
        local::exec(db, QStringLiteral("ROLLBACK"), nullptr);
        return false;
    }
    ok = ok
        && local::exec(db,
            QStringLiteral("INSERT OR IGNORE INTO sync_dirty(iid, aspects) "
                           "SELECT iid, %1 FROM data_items")
                .arg(int(Created)),
            error)
        && local::exec(db,
            QStringLiteral("INSERT OR IGNORE INTO sync_dirty_parents(pid, stamp) "
                           "SELECT DISTINCT pid, random() FROM data_items"),
            error);
    if (!ok) {
        local::exec(db, QStringLiteral("ROLLBACK"), nullptr);
        return false;
    }
    return local::exec(db, QStringLiteral("COMMIT"), error);
}

void SyncJournal::connectionOpened(QSqlDatabase db)
{
    if (db.connectOptions().contains(QLatin1String("QSQLITE_OPEN_READONLY")))
        return;
    // Without the tables the changes are not recorded; the next open tries again, and the first
    // successful one marks every item.
    prepare(db, nullptr);
}

bool SyncJournal::itemChanged(QSqlDatabase db, qint64 iid, Aspects what, QString *error)
{
    if (fromSync(db))
        return true;
    if (what & Removing) {
        QString uuid;
        qint64 pid = 0;
        ItemBody body;
        if (!local::readItem(db, iid, &uuid, &pid, &body))
            return true;
        return local::execBound(db,
            QStringLiteral(
                "INSERT OR REPLACE INTO sync_tombstones(iid, uuid, body) VALUES (?, ?, ?)"),
            {iid, uuid,
                QString::fromUtf8(QJsonDocument(body.toJson()).toJson(QJsonDocument::Compact))},
            error);
    }
    if (!local::execBound(db,
            QStringLiteral("INSERT INTO sync_dirty(iid, aspects) VALUES (?, ?) ON CONFLICT(iid) "
                           "DO UPDATE SET aspects = aspects | excluded.aspects"),
            {iid, int(what)}, error))
        return false;
    if (!(what & (Created | Placement)))
        return true;
    return local::execBound(db,
        QStringLiteral("INSERT OR REPLACE INTO sync_dirty_parents(pid, stamp) "
                       "SELECT pid, random() FROM data_items WHERE iid = ?"),
        {iid}, error);
}

bool SyncJournal::childrenReordered(QSqlDatabase db, qint64 parent, QString *error)
{
    if (fromSync(db))
        return true;
    return local::execBound(db,
        QStringLiteral(
            "INSERT OR REPLACE INTO sync_dirty_parents(pid, stamp) VALUES (?, random())"),
        {parent}, error);
}

bool SyncJournal::itemsAppended(QSqlDatabase db, qint64 firstIid, qint64 lastIid, QString *error)
{
    if (fromSync(db) || lastIid < firstIid)
        return true;
    return local::execBound(db,
               QStringLiteral("INSERT INTO sync_dirty(iid, aspects) SELECT iid, %1 FROM data_items "
                              "WHERE iid BETWEEN ? AND ? ON CONFLICT(iid) DO UPDATE SET aspects = "
                              "aspects | excluded.aspects")
                   .arg(int(Created)),
               {firstIid, lastIid}, error)
        && local::execBound(db,
            QStringLiteral(
                "INSERT OR REPLACE INTO sync_dirty_parents(pid, stamp) "
                "SELECT DISTINCT pid, random() FROM data_items WHERE iid BETWEEN ? AND ?"),
            {firstIid, lastIid}, error);
}
