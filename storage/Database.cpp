#include "Database.h"

#include "ChangeObserver.h"
#include "DatabaseCheck.h"
#include "OrphanIndex.h"
#include "SqlSupport.h"
#include "WritePriority.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <sqlite3.h>

using sqlsupport::fail;
using sqlsupport::run;

namespace {

const char *const schemaStatements[] = {
    "CREATE TABLE IF NOT EXISTS data_items ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "iid INTEGER NOT NULL UNIQUE, "
    "pid INTEGER NOT NULL DEFAULT 0, "
    "sortid INTEGER NOT NULL DEFAULT 0, "
    "here TEXT NOT NULL, "
    "cont TEXT NOT NULL, "
    "remark TEXT NOT NULL DEFAULT '', "
    "favorite INTEGER NOT NULL DEFAULT 0, "
    "\"desc\" TEXT NOT NULL DEFAULT '')",
    "CREATE INDEX IF NOT EXISTS idx_data_items_pid_sortid ON data_items(pid, sortid, iid)",
    "CREATE TABLE IF NOT EXISTS attachments ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "item_iid INTEGER NOT NULL, "
    "sortid INTEGER NOT NULL DEFAULT 0, "
    "type INTEGER NOT NULL, "
    "location TEXT NOT NULL, "
    "display_name TEXT NOT NULL, "
    "FOREIGN KEY(item_iid) REFERENCES data_items(iid) ON DELETE CASCADE)",
    "CREATE INDEX IF NOT EXISTS idx_attachments_item_sortid ON attachments(item_iid, sortid, id)",
    "CREATE TABLE IF NOT EXISTS content_blocks ("
    "id INTEGER PRIMARY KEY AUTOINCREMENT, "
    "item_iid INTEGER NOT NULL, "
    "sortid INTEGER NOT NULL, "
    "type INTEGER NOT NULL, "
    "value TEXT NOT NULL DEFAULT '', "
    "summary TEXT NOT NULL DEFAULT '', "
    "FOREIGN KEY(item_iid) REFERENCES data_items(iid) ON DELETE CASCADE)",
    "CREATE INDEX IF NOT EXISTS idx_content_blocks_item_sortid ON content_blocks(item_iid, sortid, "
    "id)",
    "CREATE TABLE IF NOT EXISTS recent_items ("
    "item_iid INTEGER PRIMARY KEY, "
    "accessed_at INTEGER NOT NULL, "
    "FOREIGN KEY(item_iid) REFERENCES data_items(iid) ON DELETE CASCADE)",
    "CREATE INDEX IF NOT EXISTS idx_recent_items_accessed_at ON recent_items(accessed_at DESC)",
    "CREATE TABLE IF NOT EXISTS app_state (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
};

struct SampleItem {
    qint64 iid;
    qint64 pid;
    qint64 sortid;
    const char *here;
    const char *cont;
};

const SampleItem sampleTree[] = {
    {1, 0, 1, "我的工作", "项目、资料与入口"},
    {2, 1, 1, "当前项目", "记录目标、进度和下一步"},
    {3, 1, 2, "资料入口", "文件夹、常用网站和说明"},
    {4, 0, 2, "东西放哪了", "证件、钥匙和设备的位置"},
    {5, 4, 1, "备用钥匙", "例如：玄关柜第二层"},
    {6, 4, 2, "重要证件", "例如：书桌右侧抽屉"},
    {7, 0, 3, "日常记录", "今天需要记住的事"},
    {8, 7, 1, "今日记录", "按右侧文本按钮开始记录"},
};

bool markerPresent(QSqlDatabase db, const QString &key, bool *present, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT value FROM app_state WHERE key = '") + key
            + QStringLiteral("'")))
        return fail(error, query.lastError().text());
    if (!run(query, error))
        return false;
    *present = query.next();
    return true;
}

} // namespace

Database::Database(const QString &connectionName)
    : connectionName(connectionName)
{
}

void Database::setRootOverride(const QString &root)
{
    m_rootOverride = root;
}

QString Database::databaseFilePath(const QString &root)
{
    return QDir(root).filePath(QStringLiteral("data/velto.db"));
}

bool Database::isInstalledLayout(const QString &applicationDir)
{
    const QDir bin(applicationDir);
    return bin.dirName() == QLatin1String("bin")
        && QFileInfo(bin.filePath(QStringLiteral("../share/velto/installed"))).isFile();
}

QString Database::chooseDefaultRoot(const QString &applicationDir)
{
    // An installed program's folder may well be writable (a prefix in the home folder, a root
    // session), but data written there would belong to nobody and vanish with the package.
    if (!isInstalledLayout(applicationDir)) {
        const QString candidate = QDir(applicationDir).filePath(QStringLiteral("here"));
        if (QDir().mkpath(QDir(candidate).filePath(QStringLiteral("data"))))
            return candidate;
    }
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation))
        .filePath(QStringLiteral("here"));
}

bool Database::chooseRoot(QString *error)
{
    if (m_rootOverride.isEmpty()) {
        rootPath = chooseDefaultRoot(QCoreApplication::applicationDirPath());
        return true;
    }
    const QString root = QDir(m_rootOverride).absolutePath();
    if (!QDir().mkpath(QDir(root).filePath(QStringLiteral("data")))) {
        return fail(error,
            QStringLiteral("无法使用存储目录“") + QDir::toNativeSeparators(root)
                + QStringLiteral(
                    "”：无法在其中创建 data 文件夹。请检查该路径是否为可写的文件夹。"));
    }
    rootPath = root;
    return true;
}

bool Database::open(QString *error)
{
    if (!chooseRoot(error))
        return false;
    QDir root(rootPath);
    root.mkpath(QStringLiteral("data"));
    root.mkpath(QStringLiteral("attachments"));

    const QString file = databaseFilePath(rootPath);
    m_fullCheckPending = false;
    // A file that is not SQLite, or is cut short, is refused before SQLite reads it.
    if (!DatabaseCheck::checkHeader(file, error))
        return false;
    const QFileInfo info(file);
    const bool existed = info.exists() && info.size() > 0;
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::removeDatabase(connectionName);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(file);
    // A file the user made read-only stays untouched, whoever runs the program.
    m_readOnly = info.exists() && !(info.permissions() & QFileDevice::WriteOwner);
    if (m_readOnly)
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    if (!db.open())
        return fail(error, db.lastError().text());
    preferForegroundConnection(db);
    if (!DatabaseCheck::checkSchema(db, error))
        return false;
    if (!chooseJournal(existed, error))
        return false;

    QSqlQuery query(db);
    for (const char *legacy : {"records", "nodes", "schema_version"}) {
        if (!run(query, QStringLiteral("DROP TABLE IF EXISTS ") + QLatin1String(legacy), error))
            return false;
    }
    // The common items are read after every change; without this index they cost a scan of the
    // tree. It needs the favorite column, which older files gain in migrateColumns.
    if (!(createSchema(error) && migrateColumns(error) && migrateIdentity(error)
            && run(query,
                QStringLiteral(
                    "CREATE INDEX IF NOT EXISTS idx_data_items_favorite ON data_items(iid) "
                    "WHERE favorite = 1"),
                error)
            && resetWorkspaceOnce(error) && seedIfNeeded(error)))
        return false;
    // Caches: whatever state they are in never keeps the data from opening.
    if (!m_readOnly)
        OrphanIndex::prepare(db, nullptr);
    // What the observers derive (the full-text index, the sync journal) never keeps the data from
    // opening.
    changeobservers::connectionOpened(connection());
    return true;
}

// New files are written ahead in a log (WAL): readers (the backup, the check of every page, the
// index build's reads) never hold up a save, and a save never holds them up. An older file in the
// rollback journal is read through once, as every start used to do, before it is converted; a
// file in WAL has every page read on another thread when that is due (see CheckSchedule).
bool Database::chooseJournal(bool existed, QString *error)
{
    const QString file = databaseFilePath(rootPath);
    QSqlDatabase db = connection();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!run(query, QStringLiteral("PRAGMA journal_mode"), error) || !query.next())
        return fail(error, query.lastError().text());
    const bool inWal
        = query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0;
    query.finish();
    CheckSchedule schedule(file);
    const bool due = existed && (!inWal || schedule.isDue());
    if (due && (!inWal || !m_checkInBackground)) {
        // Nothing has been written yet: the whole file is read on this thread first.
        if (!checkAllPagesHere(error))
            return false;
        if (!m_readOnly)
            schedule.recordPass();
    } else if (due) {
        m_fullCheckPending = true;
    }
    if (!existed && !m_readOnly)
        schedule.recordPass(); // nothing to check in a new file
    if (!inWal && !m_readOnly) {
        // Fails quietly (the file stays in its journal) when another program has it open.
        if (run(query, QStringLiteral("PRAGMA journal_mode = WAL"), nullptr))
            query.finish();
    }
    // After a big import the log is cut back to this size once its pages are in the file.
    run(query, QStringLiteral("PRAGMA journal_size_limit = 67108864"), nullptr);
    if (m_checkInBackground) {
        // Pages reach the file only through checkpoints the caller runs once the file is known
        // to be sound (DatabaseGuard): until then every write stays in the log.
        if (sqlite3 *handle = sqlsupport::sqliteHandle(db))
            sqlite3_wal_autocheckpoint(handle, 0);
    }
    return true;
}

bool Database::checkAllPagesHere(QString *error)
{
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    QString verdict;
    if (!query.exec(QStringLiteral("PRAGMA quick_check")) || !query.next())
        verdict = query.lastError().text();
    else
        verdict = query.value(0).toString();
    if (verdict == QLatin1String("ok"))
        return true;
    return fail(error, DatabaseCheck::damagedMessage(databaseFilePath(rootPath), verdict));
}

bool Database::createSchema(QString *error)
{
    QSqlQuery query(connection());
    if (!run(query, QStringLiteral("PRAGMA foreign_keys = ON"), error))
        return false;
    for (const char *statement : schemaStatements) {
        if (!run(query, QString::fromUtf8(statement), error))
            return false;
    }
    return true;
}

bool Database::migrateColumns(QString *error)
{
    bool hasRemark = false;
    bool hasFavorite = false;
    {
        QSqlQuery info(connection());
        info.setForwardOnly(true);
        if (info.exec(QStringLiteral("PRAGMA table_info(data_items)"))) {
            while (info.next()) {
                const QString name = info.value(1).toString();
                if (name == QLatin1String("remark"))
                    hasRemark = true;
                else if (name == QLatin1String("favorite"))
                    hasFavorite = true;
            }
        }
    }
    QSqlQuery query(connection());
    if (!hasRemark
        && !run(query,
            QStringLiteral("ALTER TABLE data_items ADD COLUMN remark TEXT NOT NULL DEFAULT ''"),
            error))
        return false;
    if (!hasFavorite
        && !run(query,
            QStringLiteral("ALTER TABLE data_items ADD COLUMN favorite INTEGER NOT NULL DEFAULT 0"),
            error))
        return false;
    return true;
}

// Every item carries a global identity besides its local iid: 32 random hex digits, given to
// rows of older files here and to every new row by a trigger, whoever inserts it. A read-only
// file is left as it is (its items have no identity until it can be written).
bool Database::migrateIdentity(QString *error)
{
    const QSqlDatabase db = connection();
    bool hasUuid = false;
    {
        QSqlQuery info(db);
        info.setForwardOnly(true);
        if (info.exec(QStringLiteral("PRAGMA table_info(data_items)"))) {
            while (info.next())
                hasUuid = hasUuid || info.value(1).toString() == QLatin1String("uuid");
        }
    }
    if (hasUuid)
        return true;
    if (db.connectOptions().contains(QLatin1String("QSQLITE_OPEN_READONLY")))
        return true;
    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query(db);
    for (const char *statement : {
             "ALTER TABLE data_items ADD COLUMN uuid TEXT",
             "UPDATE data_items SET uuid = lower(hex(randomblob(16))) WHERE uuid IS NULL",
             "CREATE UNIQUE INDEX IF NOT EXISTS idx_data_items_uuid ON data_items(uuid)",
             "CREATE TRIGGER IF NOT EXISTS data_items_identity AFTER INSERT ON data_items "
             "WHEN NEW.uuid IS NULL BEGIN "
             "UPDATE data_items SET uuid = lower(hex(randomblob(16))) WHERE id = NEW.id; END",
         }) {
        if (!query.exec(QString::fromUtf8(statement)))
            return transaction.abort(query, error);
    }
    return transaction.commit(error);
}

QList<DataItem> Database::sampleItems()
{
    QList<DataItem> items;
    for (const SampleItem &sample : sampleTree) {
        DataItem item;
        item.id = item.iid = sample.iid;
        item.pid = sample.pid;
        item.sortid = sample.sortid;
        item.here = QString::fromUtf8(sample.here);
        item.cont = QString::fromUtf8(sample.cont);
        items.append(item);
    }
    return items;
}

// Re-arms the seeding once per file. Items already in the file are kept: only the markers change.
bool Database::resetWorkspaceOnce(QString *error)
{
    const QSqlDatabase db = connection();
    bool done = false;
    if (!markerPresent(db, QStringLiteral("workspace_layout_reset_v1"), &done, error))
        return false;
    if (done)
        return true;

    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(error))
        return false;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("DELETE FROM app_state WHERE key = 'initial_scenarios_seeded'")))
        return transaction.abort(query, error);
    if (!query.exec(QStringLiteral(
            "INSERT INTO app_state(key, value) VALUES ('workspace_layout_reset_v1', '1')")))
        return transaction.abort(query, error);
    return transaction.commit(error);
}

bool Database::seedIfNeeded(QString *error)
{
    const QSqlDatabase db = connection();
    bool seeded = false;
    if (!markerPresent(db, QStringLiteral("initial_scenarios_seeded"), &seeded, error))
        return false;
    if (seeded)
        return true;

    qint64 count = 0;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (!run(query, QStringLiteral("SELECT COUNT(*) FROM data_items"), error))
            return false;
        if (!query.next())
            return fail(error, query.lastError().text());
        count = query.value(0).toLongLong();
    }

    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(error))
        return false;
    if (count == 0) {
        QSqlQuery insert(db);
        if (!insert.prepare(QStringLiteral(
                "INSERT INTO data_items(iid, pid, sortid, here, cont, remark, favorite, \"desc\") "
                "VALUES (?, ?, ?, ?, ?, '', 0, '')")))
            return transaction.abort(insert, error);
        for (const SampleItem &sample : sampleTree) {
            insert.bindValue(0, sample.iid);
            insert.bindValue(1, sample.pid);
            insert.bindValue(2, sample.sortid);
            insert.bindValue(3, QString::fromUtf8(sample.here));
            insert.bindValue(4, QString::fromUtf8(sample.cont));
            if (!insert.exec())
                return transaction.abort(insert, error);
        }
    }
    QSqlQuery marker(db);
    if (!marker.exec(QStringLiteral(
            "INSERT INTO app_state(key, value) VALUES ('initial_scenarios_seeded', '1')")))
        return transaction.abort(marker, error);
    return transaction.commit(error);
}

QSqlDatabase Database::connection() const
{
    return QSqlDatabase::database(connectionName, true);
}

void Database::closeConnection()
{
    if (QSqlDatabase::contains(connectionName))
        QSqlDatabase::database(connectionName, false).close();
}

void Database::close()
{
    if (!QSqlDatabase::contains(connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}
