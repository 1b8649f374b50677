#include "ImportTransaction.h"

#include "ChangeObserver.h"
#include "Database.h"
#include "ExportFileReader.h"
#include "PreparedItems.h"
#include "Records.h"
#include "SearchIndex.h"
#include "SearchIndexWriter.h"
#include "SqlSupport.h"
#include "SqlText.h"
#include "SqliteStatement.h"

#include <QFile>
#include <QHash>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryFile>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <functional>
#include <queue>
#include <vector>

namespace {

// "id" and "parentId" read through a variant: a number or a string of digits; anything else 0.
qint64 fileId(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        // Out of range is 0 rather than undefined behaviour: such an id is refused anyway.
        if (!std::isfinite(number) || std::fabs(number) >= 9.2e18)
            return 0;
    }
    return value.toVariant().toLongLong();
}

// A visit of an entry: in which pass and at which position of the file.
using Visit = std::pair<qint64, qsizetype>;

constexpr qint64 progressStep = 1000;

// Holds a larger page cache on the connection while an import runs: a large import changes more
// pages than the default cache holds, and spilling them before the commit costs a sync of the
// journal each time. The connection's own size comes back afterwards.
class LargerCache {
public:
    explicit LargerCache(const QSqlDatabase &db)
        : m_db(db)
    {
        QSqlQuery query(m_db);
        if (query.exec(QStringLiteral("PRAGMA cache_size")) && query.next())
            m_before = query.value(0).toLongLong();
        query.finish();
        QSqlQuery(m_db).exec(QStringLiteral("PRAGMA cache_size = -65536"));
    }
    ~LargerCache() { QSqlQuery(m_db).exec(QStringLiteral("PRAGMA cache_size = %1").arg(m_before)); }
    LargerCache(const LargerCache &) = delete;
    LargerCache &operator=(const LargerCache &) = delete;

private:
    QSqlDatabase m_db;
    qint64 m_before = -2000;
};

} // namespace

ImportTransaction::ImportTransaction(Database *database)
    : m_database(database)
{
}

bool ImportTransaction::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return sqlsupport::fail(error, file.errorString());
    if (!file.isSequential()) {
        file.close();
        return loadFrom(exportfile::Source::file(path), error);
    }
    // A pipe or a device without a size is copied once to a temporary file.
    auto spool = std::make_shared<QTemporaryFile>();
    if (!spool->open())
        return sqlsupport::fail(error, spool->errorString());
    QByteArray piece(int(qMin<qint64>(exportfile::readSize(), 16 << 20)), Qt::Uninitialized);
    while (true) {
        const qint64 read = file.read(piece.data(), piece.size());
        if (read < 0)
            return sqlsupport::fail(error, file.errorString());
        if (read == 0)
            break;
        if (spool->write(piece.constData(), read) != read)
            return sqlsupport::fail(error, spool->errorString());
    }
    if (!spool->flush())
        return sqlsupport::fail(error, spool->errorString());
    m_spool = spool;
    return loadFrom(exportfile::Source::file(spool->fileName()), error);
}

bool ImportTransaction::loadBytes(const QByteArray &bytes, QString *error)
{
    m_spool.reset();
    return loadFrom(exportfile::Source::memory(bytes), error);
}

bool ImportTransaction::loadFrom(const exportfile::Source &source, QString *error)
{
    m_entries = {};
    m_source = source;
    const std::unique_ptr<QIODevice> device = source.open(error);
    if (!device)
        return false;
    m_sourceBytes = device->size();
    exportfile::Handlers handlers;
    handlers.itemsBegin = [this] { m_entries = {}; };
    handlers.element = [this](const QJsonValue &element, qint64 offset, qint64 length) {
        FileEntry entry;
        entry.offset = offset;
        entry.length = length;
        entry.isObject = element.isObject();
        if (entry.isObject) {
            const QJsonObject object = element.toObject();
            entry.id = fileId(object.value(QLatin1String("id")));
            entry.parentId = fileId(object.value(QLatin1String("parentId")));
        }
        m_entries.push_back(entry);
        return true;
    };
    const exportfile::Outcome read = exportfile::read(device.get(), handlers);
    if (auto *file = qobject_cast<QFile *>(device.get()); file && file->error() != QFile::NoError) {
        m_entries = {};
        return sqlsupport::fail(error, file->errorString());
    }
    const QJsonValue format = read.root.value(QLatin1String("format"));
    if (!read.ok || !format.isString()
        || format.toString() != QLatin1String(interchange::exportFormatTag()) || !read.itemsStreamed
        || m_entries.empty()) {
        m_entries = {};
        return sqlsupport::fail(error, interchange::notAnExportMessage());
    }
    m_entries.shrink_to_fit();
    return true;
}

bool ImportTransaction::run(QString *error, const interchange::Progress &progress)
{
    m_imported = 0;
    m_selected = 0;
    m_cancelled = false;
    m_indexLeft = false;
    if (m_entries.empty())
        return sqlsupport::fail(error, interchange::notAnExportMessage());
    for (const FileEntry &entry : m_entries) {
        if (!entry.isObject)
            return sqlsupport::fail(error, interchange::invalidEntryMessage());
    }

    const QSqlDatabase db = m_database->connection();
    const LargerCache cache(db);
    sqlsupport::Transaction transaction(db);
    // Immediate: a deferred transaction that reads first cannot upgrade to writing while the
    // background build of the search index holds its write lock ("database is locked").
    if (!transaction.beginImmediate(error))
        return false;
    QSqlQuery next(db);
    next.setForwardOnly(true);
    if (!next.exec(QStringLiteral("SELECT COALESCE(MAX(iid), 0) + 1 FROM data_items")))
        return transaction.abort(next, error);
    if (!next.next())
        return transaction.abort(next, error);
    m_nextIid = next.value(0).toLongLong();
    next.finish();
    const qint64 firstIid = m_nextIid;

    if (!insertEntries(error, progress)
        || !changeobservers::itemsAppended(db, firstIid, m_nextIid - 1, error)) {
        m_imported = 0;
        m_selected = 0;
        m_indexLeft = false;
        return false; // the transaction rolls back on destruction
    }
    if (!transaction.commit(error)) {
        m_imported = 0;
        m_selected = 0;
        m_indexLeft = false;
        return false;
    }
    return true;
}

// Parents are resolved as repeated passes over the pending entries in file order would resolve
// them, with the same iids, positions, messages and selected item, but in n log n time: an entry
// is visited only when a visit can change something, i.e. when its parent (or a second entry with
// its own id) has just been written. A visit that a pass would make at that point happens later in
// the same pass when the entry stands after the one just written, else in the next pass.
// Nothing is written here: the plan lists the entries in the order they are written, each with
// its new iid and its parent's, and the refusal the passes would end with.
ImportTransaction::Plan ImportTransaction::plan() const
{
    Plan plan;
    const qsizetype count = qsizetype(m_entries.size());
    // Per position: written yet, and the new iid when it is.
    std::vector<bool> done(size_t(count), false);
    std::vector<qint64> newIids(size_t(count), 0);
    // (parent id, position) and (id, position) pairs, sorted: the entries waiting for a given id
    // are one contiguous run, found by binary search, without an allocation per entry.
    std::vector<std::pair<qint64, qsizetype>> byParent;
    std::vector<std::pair<qint64, qsizetype>> byId;
    byParent.reserve(size_t(count));
    byId.reserve(size_t(count));
    std::priority_queue<Visit, std::vector<Visit>, std::greater<Visit>> visits;
    for (qsizetype i = 0; i < count; ++i) {
        const FileEntry &entry = m_entries[size_t(i)];
        if (entry.id < 1 || entry.parentId == 0)
            visits.push({1, i});
        else
            byParent.emplace_back(entry.parentId, i);
        if (entry.id >= 1)
            byId.emplace_back(entry.id, i);
    }
    std::sort(byParent.begin(), byParent.end());
    std::sort(byId.begin(), byId.end());
    const auto run = [](const std::vector<std::pair<qint64, qsizetype>> &index, qint64 id) {
        const auto from
            = std::lower_bound(index.begin(), index.end(), std::make_pair(id, qsizetype(0)));
        auto to = from;
        while (to != index.end() && to->first == id)
            ++to;
        return std::make_pair(from, to);
    };
    // The new iid of the entry written with this file id; 0 when none is written yet.
    const auto written = [&](qint64 id) -> qint64 {
        const auto [from, to] = run(byId, id);
        for (auto it = from; it != to; ++it) {
            if (done[size_t(it->second)])
                return newIids[size_t(it->second)];
        }
        return 0;
    };

    qint64 nextIid = m_nextIid;
    const auto wake = [&](const std::vector<std::pair<qint64, qsizetype>> &index, qint64 id,
                          qint64 pass, qsizetype position) {
        const auto [from, to] = run(index, id);
        for (auto it = from; it != to; ++it) {
            const qsizetype other = it->second;
            if (!done[size_t(other)])
                visits.push({other > position ? pass : pass + 1, other});
        }
    };
    while (!visits.empty()) {
        const auto [pass, position] = visits.top();
        visits.pop();
        if (done[size_t(position)])
            continue;
        const FileEntry &entry = m_entries[size_t(position)];
        if (entry.id < 1 || written(entry.id) != 0) {
            plan.refusal = interchange::invalidIdMessage();
            return plan;
        }
        qint64 parent = 0;
        if (entry.parentId != 0) {
            parent = written(entry.parentId);
            if (parent == 0)
                continue;
        }
        const qint64 iid = nextIid++;
        plan.positions.push_back(position);
        plan.parents.push_back(parent);
        newIids[size_t(position)] = iid;
        done[size_t(position)] = true;
        wake(byParent, entry.id, pass, position);
        wake(byId, entry.id, pass, position);
    }
    if (qsizetype(plan.positions.size()) < count)
        plan.refusal = interchange::invalidHierarchyMessage();
    return plan;
}

// Writes the planned entries in order, then ends with the plan's refusal if it has one: whatever
// a write refuses first is what the person is told.
bool ImportTransaction::insertEntries(QString *error, const interchange::Progress &progress)
{
    const qsizetype count = qsizetype(m_entries.size());
    Plan planned = plan();
    // The entries are read back from the file on the preparing thread, one window at a time.
    std::unique_ptr<QIODevice> device = m_source.open(error);
    if (!device)
        return false;
    auto reader = std::make_shared<exportfile::ElementReader>(std::move(device));
    const auto entryAt = [this, reader](qsizetype position, QJsonObject *object) {
        const FileEntry &entry = m_entries[size_t(position)];
        QJsonValue element;
        if (!reader->at(entry.offset, entry.length, &element) || !element.isObject())
            return false;
        *object = element.toObject();
        return true;
    };

    const QSqlDatabase db = m_database->connection();
    ImportRows rows;
    SqliteStatement sortQuery;
    if (!rows.items.prepare(db, error) || !rows.blocks.prepare(db, error)
        || !sortQuery.prepare(
            db, "SELECT COALESCE(MAX(sortid), 0) + 1 FROM data_items WHERE pid = ?", error))
        return false;
    // Each imported item's row of the full-text index is written in the same transaction, or for
    // a large file left to the background build. The index is a cache: when it cannot be
    // written, it is marked for rebuilding instead.
    if (m_sourceBytes > inlineIndexLimit) {
        if (!leaveIndexToBuild(error))
            return false;
    } else {
        rows.indexing = prepareIndex(rows.index);
        if (!rows.indexing && !SearchIndex::markComplete(db, false, error))
            return false;
    }

    QHash<qint64, qint64> sortIds; // new parent iid -> next free sortid
    const std::vector<qint64> parents = std::move(planned.parents);
    PreparedItems prepared(entryAt, std::move(planned.positions), rows.indexing);
    for (const qint64 parent : parents) {
        auto slot = sortIds.find(parent);
        if (slot == sortIds.end()) {
            sortQuery.bind(0, parent);
            if (!sortQuery.exec(error))
                return false;
            const qint64 first = sortQuery.hasRow() ? sortQuery.column(0) : 1;
            sortQuery.reset();
            slot = sortIds.insert(parent, first);
        }
        const qint64 sortid = slot.value()++;
        const qint64 iid = m_nextIid++;
        const PreparedItem item = prepared.take();
        // The file changed since it was loaded.
        if (!item.readable)
            return sqlsupport::fail(error, interchange::notAnExportMessage());
        if (!insertItem(rows, item, iid, parent, sortid, error))
            return false;
        ++m_imported;
        if (parent == 0)
            m_selected = iid;
        if (progress && m_imported % progressStep == 0) {
            if (!rows.flush(db, error))
                return false;
            if (progress(m_imported, count))
                continue;
            m_cancelled = true;
            return sqlsupport::fail(error, interchange::cancelledMessage());
        }
    }
    if (!rows.flush(db, error))
        return false;
    return planned.refusal.isEmpty() || sqlsupport::fail(error, planned.refusal);
}

// One item, its blocks and its row of the index. Everything that must follow each written item
// belongs here.
bool ImportTransaction::insertItem(ImportRows &rows, const PreparedItem &item, qint64 iid,
    qint64 pid, qint64 sortid, QString *error)
{
    BatchedInsert &items = rows.items;
    items.add(iid);
    items.add(pid);
    items.add(sortid);
    items.add(item.name);
    items.add(item.content);
    items.add(item.remark);
    items.add(qint64(item.favorite ? 1 : 0));
    items.add(item.description);
    if (!items.endRow(error))
        return false;
    for (size_t k = 0; k < item.blocks.size(); ++k) {
        const PreparedItem::Block &block = item.blocks[k];
        // Blocks follow their item: its batch is written first.
        if (rows.blocks.isFull() && !items.flush(error))
            return false;
        rows.blocks.add(iid);
        rows.blocks.add(qint64(k + 1));
        rows.blocks.add(block.type);
        rows.blocks.add(block.value);
        rows.blocks.add(block.summary);
        if (!rows.blocks.endRow(error))
            return false;
    }
    if (rows.indexing) {
        rows.index.add(iid);
        rows.index.add(item.indexText);
        QString ignored;
        rows.index.endRow(&ignored);
        if (rows.index.failed() && !rows.stopIndexing(m_database->connection(), error))
            return false;
    }
    return true;
}

bool ImportTransaction::ImportRows::flush(const QSqlDatabase &db, QString *error)
{
    if (!items.flush(error) || !blocks.flush(error))
        return false;
    QString ignored;
    return !indexing || index.flush(&ignored) || stopIndexing(db, error);
}

bool ImportTransaction::ImportRows::stopIndexing(const QSqlDatabase &db, QString *error)
{
    indexing = false;
    return SearchIndex::markComplete(db, false, error);
}

// Marks the index incomplete with its build to resume after the last item there was before the
// import. An index already incomplete is left as it is: its build reaches the new items anyway.
bool ImportTransaction::leaveIndexToBuild(QString *error)
{
    const QSqlDatabase db = m_database->connection();
    m_indexLeft = true;
    return !SearchIndex::isComplete(db)
        || (SearchIndex::markComplete(db, false, error)
            && SearchIndex::setBuildFrontier(db, m_nextIid - 1, error));
}

// The statement that writes index rows, once rows that no item can own are gone (iids from here
// on are new). False when the index cannot be written.
bool ImportTransaction::prepareIndex(BatchedInsert &insert)
{
    const QSqlDatabase db = m_database->connection();
    QString ignored;
    SqliteStatement stale;
    if (!stale.prepare(db, "DELETE FROM search_index WHERE rowid >= ?", &ignored))
        return false;
    stale.bind(0, m_nextIid);
    return stale.exec(&ignored) && insert.prepare(db, &ignored);
}
