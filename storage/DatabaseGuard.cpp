#include "DatabaseGuard.h"

#include "Database.h"
#include "DatabaseCheck.h"
#include "SqlSupport.h"
#include "WritePriority.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSqlQuery>
#include <QThread>

#include <sqlite3.h>

int logGrew(void *guard, sqlite3 *, const char *, int pages)
{
    // Called on the GUI thread inside a commit: only the scheduling happens here.
    auto *self = static_cast<DatabaseGuard *>(guard);
    if (pages >= DatabaseGuard::checkpointPages && self->m_state == DatabaseGuard::State::Sound)
        QMetaObject::invokeMethod(self, &DatabaseGuard::checkpointSoon, Qt::QueuedConnection);
    return SQLITE_OK;
}

namespace {

// The write after which the log starts over (when it is empty, or all of it is in the file) first
// writes the log's header and waits for the disk to hold it, even in a commit that otherwise does
// not wait (a recorded visit, on the first click of a session). Writing page 1 back unchanged here
// takes that wait off the window's thread. It goes into the log only, like every save.
void startLog(sqlite3 *db)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return;
    int version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK
        && sqlite3_step(statement) == SQLITE_ROW)
        version = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    const QByteArray same = "PRAGMA user_version = " + QByteArray::number(version);
    if (version < 0 || sqlite3_exec(db, same.constData(), nullptr, nullptr, nullptr) != SQLITE_OK
        || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

// On a connection of its own: with `copy`, one passive checkpoint, which copies what no reader
// still needs from the log into the file without taking the write lock, so saves go on meanwhile.
// Then the log is started again when nothing is left in it.
void tendLog(const QString &file, bool copy)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(file).constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
        == SQLITE_OK) {
        sqlite3_busy_timeout(db, 1000);
        runAsBackgroundThread();
        yieldToForeground();
        // A first read opens the log; before it the connection does not know it is in WAL.
        sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr);
        int logged = -1;
        int copied = -1;
        if (copy) {
            if (sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged, &copied)
                    == SQLITE_OK
                && logged >= 0 && logged == copied)
                startLog(db);
        } else if (QFileInfo(file + QStringLiteral("-wal")).size() == 0) {
            startLog(db);
        }
    }
    sqlite3_close(db);
}

} // namespace

DatabaseGuard::DatabaseGuard(Database *database, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_file(Database::databaseFilePath(database->rootPath))
{
}

DatabaseGuard::~DatabaseGuard()
{
    finish();
}

void DatabaseGuard::start()
{
    if (m_started)
        return;
    m_started = true;
    if (!m_database->isReadOnly()) {
        CheckSchedule(m_file).beginSession();
        m_sessionMarked = true;
        if (sqlite3 *handle = sqlsupport::sqliteHandle(m_database->connection()))
            sqlite3_wal_hook(handle, logGrew, this);
        startTending(false);
    }
    if (!m_database->fullCheckPending()) {
        QMetaObject::invokeMethod(
            this, [this] { checkDone(true, false, QString()); }, Qt::QueuedConnection);
        return;
    }
    m_stop = false;
    const QString file = m_file;
    const QString name = QStringLiteral("velto-check-%1").arg(reinterpret_cast<quintptr>(this));
    QPointer<DatabaseGuard> self(this);
    m_check.reset(QThread::create([self, this, file, name] {
        QString error;
        bool stopped = false;
        const bool ok = DatabaseCheck::checkAllPages(file, name, &error, &m_stop, &stopped);
        QMetaObject::invokeMethod(
            self.data(),
            [self, ok, stopped, error] {
                if (self)
                    self->checkDone(ok, stopped, error);
            },
            Qt::QueuedConnection);
    }));
    m_check->setObjectName(QStringLiteral("velto-check"));
    m_check->start(QThread::LowPriority);
}

void DatabaseGuard::checkDone(bool ok, bool stopped, const QString &error)
{
    if (m_state != State::Checking || stopped)
        return;
    if (!ok) {
        m_state = State::Damaged;
        m_damage = error;
        makeReadOnly();
        emit damaged(error);
        return;
    }
    m_state = State::Sound;
    if (m_database->fullCheckPending() && !m_database->isReadOnly())
        CheckSchedule(m_file).recordPass();
    // Saves made during the check are still only in the log.
    if (m_sessionMarked)
        checkpointSoon();
    emit sound();
}

void DatabaseGuard::makeReadOnly()
{
    QSqlDatabase db = m_database->connection();
    QSqlQuery(db).exec(QStringLiteral("PRAGMA query_only = 1"));
    if (sqlite3 *handle = sqlsupport::sqliteHandle(db))
        sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

void DatabaseGuard::checkpointSoon()
{
    if (m_state != State::Sound)
        return;
    if (m_checkpoint && m_checkpoint->isRunning()) {
        m_checkpointAgain = true;
        return;
    }
    startTending(true);
}

void DatabaseGuard::startTending(bool copy)
{
    if (m_checkpoint)
        m_checkpoint->wait();
    m_checkpointAgain = false;
    const QString file = m_file;
    QPointer<DatabaseGuard> self(this);
    m_checkpoint.reset(QThread::create([self, file, copy] {
        tendLog(file, copy);
        QMetaObject::invokeMethod(
            self.data(),
            [self] {
                if (self && self->m_checkpointAgain)
                    self->checkpointSoon();
            },
            Qt::QueuedConnection);
    }));
    m_checkpoint->setObjectName(QStringLiteral("velto-checkpoint"));
    m_checkpoint->start(QThread::LowPriority);
}

void DatabaseGuard::finish()
{
    if (!m_started)
        return;
    m_started = false;
    m_stop = true;
    if (m_check)
        m_check->wait();
    m_check.reset();
    m_checkpointAgain = false;
    if (m_checkpoint)
        m_checkpoint->wait();
    m_checkpoint.reset();
    QSqlDatabase db = m_database->connection();
    sqlite3 *handle = sqlsupport::sqliteHandle(db);
    if (handle)
        sqlite3_wal_hook(handle, nullptr, nullptr);
    if (m_state != State::Sound) {
        // Unknown or damaged: the log stays beside the file, and the mark makes the next start
        // check again.
        if (handle)
            sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        return;
    }
    if (m_sessionMarked)
        CheckSchedule(m_file).endSession();
}
