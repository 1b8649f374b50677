#include "SyncEngine.h"

#include "LogWriteOut.h"
#include "SqlSupport.h"
#include "SyncEngineSupport.h"
#include "WritePriority.h"

#include <sqlite3.h>

#include <QElapsedTimer>
#include <QThread>

namespace datasync {

using namespace detail;

namespace {

// Sync's connection checkpoints once the log holds this many pages (SQLite's own default is
// 1,000). Each checkpoint flushes the log and the file to the disk, and a page that several units
// change is copied once per checkpoint: a big sync spends a good part of its time there otherwise.
constexpr int checkpointPages = 4000;

// SQLite's automatic checkpoint (a passive one), timed.
int checkpointWhenDue(void *engine, sqlite3 *db, const char *name, int pages)
{
    if (pages >= checkpointPages) {
        QElapsedTimer timer;
        timer.start();
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        static_cast<SyncEngine *>(engine)->checkpointed(timer.nsecsElapsed());
    }
    return SQLITE_OK;
}

} // namespace

void SyncEngine::timeCheckpoints()
{
    if (sqlite3 *handle = sqlsupport::sqliteHandle(m_db))
        sqlite3_wal_hook(handle, checkpointWhenDue, this);
}

bool SyncEngine::stopped(QString *error) const
{
    if (!m_stop || !m_stop->load())
        return false;
    if (error)
        *error = QStringLiteral("同步已中断，下次同步会继续。");
    return true;
}

bool SyncEngine::begin(QString *error)
{
    if (stopped(error))
        return false;
    m_open = Segment();
    m_sealedRecords = -1;
    m_checkpointNanos = 0;
    m_writing.invalidate();
    // Held from the moment it is granted (waiting for another connection's lock holds nothing).
    const bool ok = local::exec(m_db, QStringLiteral("BEGIN IMMEDIATE"), error);
    m_began.start();
    return ok;
}

// Ends the unit of work: its records go to the outbox and the counters to app_state in the same
// transaction, so records and the state they describe never part.
bool SyncEngine::commit(QString *error)
{
    if (!closeSegment(error)
        || !m_sql.setState(QStringLiteral("sync_clock"), QString::number(m_clock), error)
        || !m_sql.setState(QStringLiteral("sync_next_vid"), QString::number(m_nextVid), error)) {
        rollback();
        return false;
    }
    QElapsedTimer committing;
    committing.start();
    if (!local::exec(m_db, QStringLiteral("COMMIT"), error)) {
        rollback();
        return false;
    }
    const qint64 commitNanos = committing.nsecsElapsed() - m_checkpointNanos;
    // A checkpoint run by the commit comes after the lock is given back.
    m_lastWriteNanos = (m_writing.isValid() ? m_writing.nsecsElapsed() : m_began.nsecsElapsed())
        - m_checkpointNanos;
    m_checkpointNanos = 0;
    if (m_profile && m_lastWriteNanos > 40000000)
        qInfo("sync held the write lock %lld ms (%lld ms of it committing)",
            m_lastWriteNanos / 1000000, commitNanos / 1000000);
    m_writing.invalidate();
    m_report.longestWriteMs = qMax(m_report.longestWriteMs, m_lastWriteNanos / 1000000);
    // Commits wait for no disk write (see open): what this one wrote goes out now, while the next
    // unit works, rather than all at once with the next save of the window.
    if (m_logWriteOut)
        m_logWriteOut->start();
    yieldToForeground();
    return true;
}

// The window's connection goes first: while it waits for the lock, sync does not take it again
// (back-to-back transactions would otherwise starve it).
void SyncEngine::yieldToForeground() const
{
    for (int waited = 0; waited < 500 && foregroundIsWaiting(); waited += 5)
        QThread::msleep(5);
}

// Commits wait for no disk write (see open); before records leave for the server, everything
// committed so far is written through, so that no record on the server is lost here by a crash.
bool SyncEngine::makeDurable(QString *error)
{
    const bool ok = local::exec(m_db, QStringLiteral("PRAGMA synchronous = FULL"), error)
        && local::exec(m_db, QStringLiteral("BEGIN IMMEDIATE"), error)
        && m_sql.setState(QStringLiteral("sync_clock"), QString::number(m_clock), error)
        && local::exec(m_db, QStringLiteral("COMMIT"), error);
    if (!ok)
        rollback();
    local::exec(m_db, QStringLiteral("PRAGMA synchronous = NORMAL"), nullptr);
    return ok;
}

void SyncEngine::rollback()
{
    if (m_db.isValid() && m_db.isOpen())
        QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK"));
    m_open = Segment();
    // The counters in memory may be ahead of the rolled-back ones: read them again.
    if (m_db.isValid() && m_db.isOpen()) {
        m_clock = qMax(
            m_clock, m_sql.state(QStringLiteral("sync_clock"), QStringLiteral("0")).toLongLong());
        m_nextVid = m_sql.state(QStringLiteral("sync_next_vid"), QStringLiteral("1")).toLongLong();
    }
}

// The records of the unit of work go to the outbox; upload() joins outbox rows into segments.
bool SyncEngine::closeSegment(QString *error)
{
    if (m_open.contents.isEmpty() && m_open.places.isEmpty())
        return true;
    if (m_sealedRecords != m_open.contents.size() + m_open.places.size())
        sealSegment();
    const bool ok = m_sql.exec(
        QStringLiteral("INSERT INTO sync_outbox(seq, data) VALUES (NULL, ?)"), {m_sealed}, error);
    m_open = Segment();
    m_sealed.clear();
    m_sealedRecords = -1;
    return ok;
}

void SyncEngine::sealSegment()
{
    m_open.device = m_device;
    m_sealed = m_open.encode();
    m_sealedRecords = m_open.contents.size() + m_open.places.size();
}

// A unit of work reads first and writes last inside a deferred transaction, so the write lock is
// held only while it writes. When another connection wrote in between (or holds the lock), its
// snapshot cannot become a write: it is rolled back and run again after the other connection's
// write; after many such turns it takes the lock before reading. The number of items per unit
// follows the measured time of its writes, so that a save of the window never waits long.
bool SyncEngine::inTransactions(
    const QString &phase, const Unit &unit, const std::function<void()> &committed, QString *error)
{
    // Each step has its own cost per item: its units start small.
    BatchSize batch;
    batch.setLimit(m_batchLimit);
    for (;;) {
        bool more = false;
        for (int attempt = 0;; ++attempt) {
            if (stopped(error))
                return false;
            m_open = Segment();
            m_sealedRecords = -1;
            if (!local::exec(m_db,
                    attempt < 20 ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"),
                    error))
                return false;
            const SyncReport before = m_report;
            m_sql.forgetFailure();
            m_began.start();
            m_checkpointNanos = 0;
            m_writing.invalidate();
            more = false;
            if (unit(batch.size(), &more, error) && commit(error)) {
                batch.measured(m_lastWriteNanos);
                break;
            }
            const bool busy = m_sql.lastFailureWasBusy();
            rollback();
            if (!busy || attempt >= 40)
                return false;
            m_report = before;
            QThread::msleep(1);
            yieldToForeground();
        }
        if (committed)
            committed();
        if (checkpoint && !phase.isEmpty())
            checkpoint(phase);
        if (!more)
            return true;
    }
}

void BatchSize::measured(qint64 nanos)
{
    // Aim at well under half of the longest wait allowed, so that noise stays well below it.
    constexpr double target = 20e6;
    const double factor = qBound(0.25, target / double(qMax<qint64>(nanos, 1)), 2.0);
    m_size = qBound(1, int(m_size * factor), m_limit);
}

} // namespace datasync
