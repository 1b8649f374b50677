#include "SearchIndexBuilder.h"

#include "SearchIndex.h"
#include "SearchIndexBatch.h"
#include "SearchIndexWriter.h"
#include "SqlSupport.h"
#include "WritePriority.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <cstdio>
namespace {

// TEMP tuning knobs
qint64 knob(const char *name, qint64 fallback)
{
    bool ok = false;
    const qint64 v = qEnvironmentVariable(name).toLongLong(&ok);
    return ok ? v : fallback;
}
struct Tr { QElapsedTimer t; qint64 total=0, max=0; int n=0; void start(){t.start();} void stop(){qint64 e=t.nsecsElapsed(); total+=e; n++; if(e>max)max=e;} void print(const char*w){std::fprintf(stderr,"%s: n=%d total %.1f s max %.1f ms\n",w,n,total/1e9,max/1e6);} };
Tr trWrite, trCommit, trMerge, trMergeCommit;

// One write transaction of the build lasts about this long, or less when the main connection asks
// for the lock: the build then commits at once and lets it through. Readers are kept out while a
// batch commits, so what a batch writes bounds how long a read on the main connection waits.
const qint64 batchMilliseconds = knob("VB_BATCH_MS", 150);
constexpr unsigned long pauseMilliseconds = 2;
// At most this many items a batch, which bounds what its commit writes.
const qint64 batchItems = knob("VB_BATCH_ITEMS", 256);
constexpr int itemsPerRead = 64;
const int maxDroppedBatches = knob("VB_MAXDROP", 3); int gDropped = 0;
// While the build runs, FTS5 merges nothing by itself (a merge inside a commit would keep the
// main connection waiting); the build merges in steps of this many pages after every batch, at
// most so many pages a transaction, so that its commit stays short.
const int mergePages = knob("VB_MERGE_STEP", 32);
const int mergePagesPerTransaction = knob("VB_MERGE_TX", 100000);
// What the index merges by itself once built; the table merges sixteen segments at a time (see
// SearchIndex::reset), which rewrites each posting about half as often as merging four.
constexpr int builtAutomerge = 16;
// Up to this many items the full FTS5 integrity check runs at every start (it holds the write
// lock while it reads the whole index); larger indexes get the sampled check.
constexpr qint64 fullCheckLimit = 2000;
constexpr int checkSamples = 64;

using Outcome = SearchIndexBuilder::Outcome;

// What the open transaction of a connection has changed so far, in bytes: the pages it saved in
// the rollback journal (changed pages that existed before) and the pages it added to the file.
// Its commit writes about this much and syncs it, which is how long readers wait.
class TransactionSize {
public:
    TransactionSize(QSqlDatabase db, const QString &file)
        : m_pages(db)
        , m_journal(file + QStringLiteral("-journal"))
    {
        m_pages.setForwardOnly(true);
        m_pages.prepare(QStringLiteral("PRAGMA page_count"));
        m_size.setForwardOnly(true);
    }
    void begin() { m_start = pages(); }
    qint64 bytes()
    {
        m_journal.refresh();
        return (qMax<qint64>(0, pages() - m_start)) * 4096 + (m_journal.exists() ? m_journal.size() : 0);
    }

private:
    qint64 pages()
    {
        const qint64 value = m_pages.exec() && m_pages.next() ? m_pages.value(0).toLongLong() : 0;
        m_pages.finish();
        return value;
    }
    QSqlQuery m_pages;
    QSqlQuery m_size;
    QFileInfo m_journal;
    qint64 m_start = 0;
};
TransactionSize *gSize = nullptr;

qint64 scalar(QSqlDatabase db, const QString &sql)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(sql) && query.next() ? query.value(0).toLongLong() : 0;
}

bool setAutomerge(QSqlDatabase db, int value, QString *error)
{
    QSqlQuery query(db);
    const bool building = value == 0;
    return sqlsupport::run(query,
        QStringLiteral("INSERT INTO search_index(search_index, rank) VALUES ('automerge', %1), ('usermerge', %2), ('crisismerge', %3)")
            .arg(value).arg(building ? knob("VB_UMERGE", 16) : 16).arg(building ? knob("VB_CRISIS", 32) : 32),
        error);
}

// The main connection goes first whenever it waits for the lock.
void letForegroundThrough()
{
    for (int i = 0; i < 200 && foregroundIsWaiting(); ++i)
        QThread::msleep(5);
}

// Merges the index's segments in steps until none is left to merge. The steps go in transactions
// about as long as a batch, and the main connection gets its turn between them.
bool mergeSteps(QSqlDatabase db, const std::atomic_bool *stop, QString *error)
{
    QSqlQuery step(db);
    QSqlQuery changes(db);
    changes.setForwardOnly(true);
    if (!step.prepare(QStringLiteral(
            "INSERT INTO search_index(search_index, rank) VALUES ('merge', %1)")
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
        QElapsedTimer timer; gSize->begin();
        timer.start(); trMerge.start();
        int pages = 0;
        while (more && timer.elapsed() < batchMilliseconds && pages < mergePagesPerTransaction
            && !foregroundIsWaiting()) {
            const qint64 before = totalChanges();
            if (!sqlsupport::run(step, error))
                return false;
            pages += mergePages;
            // A step that found nothing to merge changes fewer than two rows.
            more = totalChanges() - before >= 2;
        }
        trMerge.stop(); const qint64 bytes = gSize->bytes(); trMergeCommit.start();
        if (!transaction.commit(error))
            return false;
        trMergeCommit.stop(); if (trMergeCommit.t.elapsed() > 20) std::fprintf(stderr, "merge commit %lld ms %.2f MB\n", trMergeCommit.t.elapsed(), bytes/1e6);
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
        // A change that could not keep the index in step has asked for a build from scratch.
        if (SearchIndex::buildFrontier(db) != last) {
            last = -1;
            if (!transaction.commit(error))
                return Outcome::Failed;
            continue;
        }
        QElapsedTimer timer; gSize->begin();
        timer.start();
        const qint64 batchStart = done;
        const qint64 batchFrom = last;
        const auto enough = [&] {
            ++done;
            return timer.elapsed() >= batchMilliseconds || done - batchStart >= batchItems
                || foregroundIsWaiting();
        };
        trWrite.start();
        int handled = 0;
        do {
            handled = writer.indexAfter(last, itemsPerRead, enough, &last, error);
        } while (handled > 0 && !(timer.elapsed() >= batchMilliseconds
                     || done - batchStart >= batchItems || foregroundIsWaiting()));
        trWrite.stop();
        if (handled < 0)
            return Outcome::Failed;
        // Committing first writes out what FTS5 holds in memory for the batch, which would keep
        // the waiting connection tens of milliseconds; dropping the batch lets it through at once.
        // A batch is kept after a few dropped in a row, so that the build always moves on.
        if (handled > 0 && foregroundIsWaiting() && dropped < maxDroppedBatches) {
            ++dropped; ++gDropped;
            last = batchFrom;
            done = batchStart;
            continue;
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
        const qint64 bytes = gSize->bytes(); trCommit.start();
        if (!transaction.commit(error))
            return Outcome::Failed;
        trCommit.stop(); if (trCommit.t.elapsed() > 20) std::fprintf(stderr, "batch commit %lld ms %.2f MB\n", trCommit.t.elapsed(), bytes/1e6);
        if (progress)
            progress(qMin(done, qMax(total, done)), qMax(total, done));
        if (!mergeSteps(db, stop, error))
            return Outcome::Failed;
        if (more)
            QThread::msleep(pauseMilliseconds);
    }
    trWrite.print("write"); trCommit.print("commit"); trMerge.print("merge"); trMergeCommit.print("mergecommit"); std::fprintf(stderr, "dropped %d\n", gDropped);
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
            if (knob("VB_SECURE_FAST", 1))
                QSqlQuery(db).exec(QStringLiteral("PRAGMA secure_delete = FAST"));
            SearchIndex::prepare(db);
            TransactionSize size(db, databaseFile); gSize = &size;
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
