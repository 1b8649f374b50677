#include "SearchIndexBuilder.h"

#include "SearchIndex.h"
#include "SearchIndexWriter.h"
#include "SqlSupport.h"
#include "WritePriority.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

namespace {

// One write transaction lasts about this long, or less when the main connection asks for the
// lock: the build then commits at once and waits for it. Readers are kept out only while a batch
// commits, so longer batches mean fewer commits (each one syncs the file) and fewer, larger index
// segments to merge.
constexpr qint64 batchMilliseconds = 150;
constexpr unsigned long pauseMilliseconds = 2;
// At most this many items a batch, which bounds what its commit writes.
constexpr qint64 batchItems = 256;
// While the build runs, FTS5 merges nothing by itself (a merge inside a commit would keep the
// main connection waiting); the build merges in steps of this many pages after every batch.
constexpr int mergePages = 32;
// What the index merges by itself once built; the table merges sixteen segments at a time (see
// SearchIndex::reset), which rewrites each posting about half as often as merging four.
constexpr int builtAutomerge = 16;
// Up to this many items the full FTS5 integrity check runs at every start (it holds the write
// lock while it reads the whole index); larger indexes get the sampled check.
constexpr qint64 fullCheckLimit = 2000;
constexpr int checkSamples = 64;
constexpr int itemsPerRead = 64;

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

// Merges the index's segments in steps until none is left to merge. The steps go in transactions
// about as long as a batch, and the main connection gets its turn between them.
bool mergeSteps(QSqlDatabase db, const std::atomic_bool *stop, QString *error)
{
    bool more = true;
    while (more && !(stop && stop->load())) {
        for (int i = 0; i < 200 && foregroundIsWaiting(); ++i)
            QThread::msleep(5);
        sqlsupport::Transaction transaction(db);
        if (!transaction.beginImmediate(error))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (more && timer.elapsed() < batchMilliseconds && !foregroundIsWaiting()) {
            const qint64 before = scalar(db, QStringLiteral("SELECT total_changes()"));
            QSqlQuery query(db);
            if (!sqlsupport::run(query,
                    QStringLiteral(
                        "INSERT INTO search_index(search_index, rank) VALUES ('merge', %1)")
                        .arg(mergePages),
                    error))
                return false;
            // A step that found nothing to merge changes fewer than two rows.
            more = scalar(db, QStringLiteral("SELECT total_changes()")) - before >= 2;
        }
        if (!transaction.commit(error))
            return false;
    }
    return true;
}

// The next few iids after `after`, in ascending order.
QList<qint64> nextIids(QSqlDatabase db, qint64 after)
{
    QList<qint64> iids;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT iid FROM data_items WHERE iid > ? ORDER BY iid LIMIT ?")))
        return iids;
    query.addBindValue(after);
    query.addBindValue(itemsPerRead);
    if (!query.exec())
        return iids;
    while (query.next())
        iids.append(query.value(0).toLongLong());
    return iids;
}

Outcome build(QSqlDatabase db, const std::function<void(qint64, qint64)> &progress,
    const std::atomic_bool *stop, QString *error)
{
    // An unfinished build resumes after the last item it indexed: every item up to there has its
    // row, written by the build or by a later change.
    qint64 last = SearchIndex::buildFrontier(db);
    if (last < 0) {
        if (!SearchIndex::reset(db, error))
            return Outcome::Failed;
        last = 0;
    }
    if (!setAutomerge(db, 0, error))
        return Outcome::Failed;
    const qint64 total = scalar(db, QStringLiteral("SELECT COUNT(*) FROM data_items"));
    qint64 done = 0;
    {
        QSqlQuery before(db);
        before.setForwardOnly(true);
        if (before.prepare(QStringLiteral("SELECT COUNT(*) FROM data_items WHERE iid <= ?"))) {
            before.addBindValue(last);
            if (before.exec() && before.next())
                done = before.value(0).toLongLong();
        }
    }
    bool more = true;
    while (more) {
        if (stop && stop->load())
            return setAutomerge(db, builtAutomerge, error) ? Outcome::Stopped : Outcome::Failed;
        // Reading the items and writing their rows in one write transaction keeps a save made on
        // the main connection meanwhile from being overwritten with older text.
        // The program's own connection goes first whenever it waits for the lock.
        for (int i = 0; i < 200 && foregroundIsWaiting(); ++i)
            QThread::msleep(5);
        sqlsupport::Transaction transaction(db);
        if (!transaction.beginImmediate(error))
            return Outcome::Failed;
        SearchIndexWriter writer(db);
        if (!writer.prepare(error))
            return Outcome::Failed;
        QElapsedTimer timer;
        timer.start();
        const qint64 batchStart = done;
        while (timer.elapsed() < batchMilliseconds && done - batchStart < batchItems
            && !foregroundIsWaiting()) {
            const QList<qint64> iids = nextIids(db, last);
            if (iids.isEmpty()) {
                // FTS5 merges by itself again from the moment the index is complete.
                more = false;
                if (!SearchIndex::markComplete(db, true, error)
                    || !setAutomerge(db, builtAutomerge, error))
                    return Outcome::Failed;
                break;
            }
            for (qint64 iid : iids) {
                if (!writer.write(iid, error))
                    return Outcome::Failed;
                last = iid;
                ++done;
                if (foregroundIsWaiting())
                    break;
            }
        }
        if (more && !SearchIndex::setBuildFrontier(db, last, error))
            return Outcome::Failed;
        if (!transaction.commit(error))
            return Outcome::Failed;
        if (progress)
            progress(qMin(done, qMax(total, done)), qMax(total, done));
        if (!mergeSteps(db, stop, error))
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
