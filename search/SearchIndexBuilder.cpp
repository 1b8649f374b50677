#include "SearchIndexBuilder.h"

#include "LogWriteOut.h"
#include "SearchIndex.h"
#include "SearchIndexBatch.h"
#include "SearchIndexWriter.h"
#include "SqlSupport.h"
#include "WritePriority.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

namespace {

// One write transaction of the build lasts about this long. FTS5 writes what a batch gathered in
// memory as one new segment when it commits, so longer batches mean fewer segments to merge and
// fewer commits (each one syncs the file); readers are kept out only while the pages are written.
constexpr qint64 batchMilliseconds = 150;
constexpr unsigned long pauseMilliseconds = 2;
// At most this many items a batch, which bounds what its commit writes.
constexpr qint64 batchItems = 256;
constexpr int itemsPerRead = 64;
// When the main connection waits for the lock, the batch at hand is dropped rather than committed
// (its commit would first write out the new segment, tens of milliseconds); after this many
// dropped in a row the next one is kept, so that the build always moves on.
constexpr int maxDroppedBatches = 3;
// While the build runs, FTS5 merges nothing by itself (a merge inside a commit would keep the
// main connection waiting); the build merges in steps of this many pages after every batch, in
// transactions of about this long. What a merge writes is written out when it commits, and
// readers wait for that: the transactions are kept shorter than a batch's.
constexpr int mergePages = 32;
constexpr qint64 mergeMilliseconds = 50;
// What the index merges by itself once built; the table merges sixteen segments at a time (see
// SearchIndex::reset), which rewrites each posting about half as often as merging four.
constexpr int builtAutomerge = 16;
// Up to this many items the full FTS5 integrity check runs at every start (it holds the write
// lock while it reads the whole index); larger indexes get the sampled check.
constexpr qint64 fullCheckLimit = 2000;
constexpr int checkSamples = 64;

using Outcome = SearchIndexBuilder::Outcome;

qint64 scalar(QSqlDatabase db, const QString &sql)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(sql) && query.next() ? query.value(0).toLongLong() : 0;
}

bool setAutomerge(QSqlDatabase db, int value, QString *error)
{
    QSqlQuery query(db);
    return sqlsupport::run(query,
        QStringLiteral("INSERT INTO search_index(search_index, rank) VALUES ('automerge', %1)")
            .arg(value),
        error);
}

// The main connection goes first whenever it waits for the lock, and no transaction of the build
// begins while a save is being committed.
void letForegroundThrough()
{
    for (int i = 0; i < 200 && foregroundIsWaiting(); ++i)
        QThread::msleep(5);
    yieldToForeground();
}

// Merges the index's segments in steps until none is left to merge. The main connection gets its
// turn between the steps' short transactions.
bool mergeSteps(
    QSqlDatabase db, const std::atomic_bool *stop, const LogWriteOut &writeOut, QString *error)
{
    QSqlQuery step(db);
    QSqlQuery changes(db);
    changes.setForwardOnly(true);
    if (!step.prepare(
            QStringLiteral("INSERT INTO search_index(search_index, rank) VALUES ('merge', %1)")
                .arg(mergePages))
        || !changes.prepare(QStringLiteral("SELECT total_changes()")))
        return sqlsupport::fail(error, step.lastError().text() + changes.lastError().text());
    const auto totalChanges = [&changes] {
        const qint64 value = changes.exec() && changes.next() ? changes.value(0).toLongLong() : 0;
        changes.finish();
        return value;
    };
    bool more = true;
    while (more && !(stop && stop->load())) {
        letForegroundThrough();
        sqlsupport::Transaction transaction(db);
        if (!transaction.beginImmediate(error))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (more && timer.elapsed() < mergeMilliseconds && !foregroundIsWaiting()) {
            const qint64 before = totalChanges();
            if (!sqlsupport::run(step, error))
                return false;
            // A step that found nothing to merge changes fewer than two rows.
            more = totalChanges() - before >= 2;
        }
        if (!transaction.commit(error))
            return false;
        writeOut();
    }
    return true;
}

// The items indexed so far: those up to the build's frontier.
qint64 countUpTo(QSqlDatabase db, qint64 last)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT COUNT(*) FROM data_items WHERE iid <= ?")))
        return 0;
    query.addBindValue(last);
    return query.exec() && query.next() ? query.value(0).toLongLong() : 0;
}

Outcome build(QSqlDatabase db, const std::function<void(qint64, qint64)> &progress,
    const std::atomic_bool *stop, QString *error)
{
    const LogWriteOut writeOut(db.databaseName());
    SearchIndexBatch writer(db);
    if (!writer.prepare(error))
        return Outcome::Failed;
    const qint64 total = scalar(db, QStringLiteral("SELECT COUNT(*) FROM data_items"));
    // An unfinished build resumes after the last item it indexed: every item up to there has its
    // row, written by the build or by a later change.
    qint64 last = SearchIndex::buildFrontier(db);
    qint64 done = last < 0 ? 0 : countUpTo(db, last);
    if (last >= 0 && !setAutomerge(db, 0, error))
        return Outcome::Failed;
    bool more = true;
    int dropped = 0;
    while (more) {
        if (stop && stop->load())
            return setAutomerge(db, builtAutomerge, error) ? Outcome::Stopped : Outcome::Failed;
        if (last < 0) {
            if (!SearchIndex::reset(db, error) || !setAutomerge(db, 0, error))
                return Outcome::Failed;
            last = 0;
            done = 0;
        }
        letForegroundThrough();
        // Reading the items and writing their rows in one write transaction keeps a save made on
        // the main connection meanwhile from being overwritten with older text.
        sqlsupport::Transaction transaction(db);
        if (!transaction.beginImmediate(error))
            return Outcome::Failed;
        // A change that could not keep the index in step has cleared the build's place to have
        // the index built from scratch: start over rather than complete an index that misses it.
        if (SearchIndex::buildFrontier(db) != last) {
            last = -1;
            if (!transaction.commit(error))
                return Outcome::Failed;
            continue;
        }
        QElapsedTimer timer;
        timer.start();
        const qint64 batchStart = done;
        const qint64 batchFrom = last;
        const auto enough = [&] {
            return timer.elapsed() >= batchMilliseconds || done - batchStart >= batchItems
                || foregroundIsWaiting();
        };
        int handled = 0;
        do {
            handled = writer.indexAfter(
                last, itemsPerRead, [&] { return ++done, enough(); }, &last, error);
        } while (handled > 0 && !enough());
        if (handled < 0)
            return Outcome::Failed;
        if (handled > 0 && foregroundIsWaiting() && dropped < maxDroppedBatches) {
            ++dropped;
            last = batchFrom;
            done = batchStart;
            continue; // rolled back as the transaction goes out of scope
        }
        dropped = 0;
        if (handled == 0) {
            // FTS5 merges by itself again from the moment the index is complete.
            more = false;
            if (!SearchIndex::markComplete(db, true, error)
                || !setAutomerge(db, builtAutomerge, error))
                return Outcome::Failed;
        } else if (!SearchIndex::setBuildFrontier(db, last, error)) {
            return Outcome::Failed;
        }
        if (!transaction.commit(error))
            return Outcome::Failed;
        writeOut();
        if (progress)
            progress(qMin(done, qMax(total, done)), qMax(total, done));
        if (!mergeSteps(db, stop, writeOut, error))
            return Outcome::Failed;
        if (more)
            QThread::msleep(pauseMilliseconds);
    }
    return Outcome::Built;
}

} // namespace

SearchIndexBuilder::SearchIndexBuilder(const QString &databaseFile, QObject *parent)
    : QObject(parent)
    , m_databaseFile(databaseFile)
{
}

SearchIndexBuilder::~SearchIndexBuilder()
{
    stop();
}

SearchIndexBuilder::Outcome SearchIndexBuilder::run(const QString &databaseFile,
    const QString &connectionName, const std::function<void(qint64, qint64)> &progress,
    const std::atomic_bool *stop, QString *error)
{
    Outcome outcome = Outcome::Failed;
    runAsBackgroundThread();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(databaseFile);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (!db.open()) {
            sqlsupport::fail(error, db.lastError().text());
        } else {
            QSqlQuery(db).exec(QStringLiteral("PRAGMA foreign_keys = ON"));
            // This connection only: room for the index pages a batch touches, and sorting in
            // memory, so that a batch's commit writes what it changed and little else.
            QSqlQuery(db).exec(QStringLiteral("PRAGMA cache_size = -32768"));
            QSqlQuery(db).exec(QStringLiteral("PRAGMA temp_store = MEMORY"));
            // The pages this connection frees hold merged-away copies of index segments, whose
            // text lives on in the merged segment: overwriting them with zeros (Debian's default)
            // would only double what merges write.
            QSqlQuery(db).exec(QStringLiteral("PRAGMA secure_delete = FAST"));
            // With the log (WAL), a commit that does not wait for the disk keeps the lock a save
            // may be waiting for far shorter. Nothing is risked: the log stays in order, so the
            // next save's own sync makes the batches before it durable too, and a batch lost to
            // a power cut takes its place in the build with it (the build resumes before it).
            QSqlQuery(db).exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
            SearchIndex::prepare(db);
            outcome = Outcome::Failed;
            if (SearchIndex::isComplete(db)) {
                const bool sound = scalar(db, QStringLiteral("SELECT COUNT(*) FROM data_items"))
                        <= fullCheckLimit
                    ? SearchIndex::passesIntegrityCheck(db)
                    : SearchIndex::passesSampleCheck(db, checkSamples);
                if (sound)
                    outcome = Outcome::AlreadyComplete;
                else
                    SearchIndex::markComplete(db, false, nullptr);
            }
            if (outcome != Outcome::AlreadyComplete)
                outcome = build(db, progress, stop, error);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return outcome;
}

void SearchIndexBuilder::start()
{
    if (isRunning())
        return;
    m_stop = false;
    const QString file = m_databaseFile;
    const QString name
        = QStringLiteral("velto-search-build-%1").arg(reinterpret_cast<quintptr>(this));
    m_thread.reset(QThread::create([this, file, name] {
        QString error;
        const Outcome outcome = run(
            file, name, [this](qint64 done, qint64 total) { emit progress(done, total); }, &m_stop,
            &error);
        emit finished(outcome == Outcome::AlreadyComplete || outcome == Outcome::Built, error);
    }));
    m_thread->start(QThread::LowPriority);
}

void SearchIndexBuilder::stop()
{
    if (!m_thread)
        return;
    m_stop = true;
    m_thread->wait();
}

bool SearchIndexBuilder::isRunning() const
{
    return m_thread && m_thread->isRunning();
}
