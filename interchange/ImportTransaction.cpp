#include "ImportTransaction.h"

#include "Database.h"
#include "ImportStatements.h"
#include "Records.h"
#include "SearchIndex.h"
#include "SearchIndexWriter.h"
#include "SqlSupport.h"
#include "SqlText.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
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

struct Entry {
    qint64 id = 0;
    qint64 parentId = 0;
    bool done = false;
};

// A visit of an entry: in which pass and at which position of the file.
using Visit = std::pair<qint64, qsizetype>;

constexpr qint64 progressStep = 1000;

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
    if (file.size() > maxFileSize)
        return sqlsupport::fail(error, interchange::fileTooLargeMessage());
    // Read in pieces, so that a pipe or a device that reports no size still stops at the limit.
    QByteArray bytes;
    bytes.reserve(file.size());
    while (!file.atEnd() || file.isSequential()) {
        const QByteArray piece = file.read(16 << 20);
        if (piece.isEmpty())
            break;
        bytes.append(piece);
        if (bytes.size() > maxFileSize)
            return sqlsupport::fail(error, interchange::fileTooLargeMessage());
    }
    if (file.error() != QFileDevice::NoError)
        return sqlsupport::fail(error, file.errorString());
    return loadBytes(bytes, error);
}

bool ImportTransaction::loadBytes(const QByteArray &bytes, QString *error)
{
    m_items = {};
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    const QJsonObject root = document.object();
    const QJsonValue format = root.value(QLatin1String("format"));
    const QJsonValue items = root.value(QLatin1String("items"));
    if (parseError.error != QJsonParseError::NoError || !format.isString()
        || format.toString() != QLatin1String(interchange::exportFormatTag()) || !items.isArray()
        || items.toArray().isEmpty())
        return sqlsupport::fail(error, interchange::notAnExportMessage());
    m_items = items.toArray();
    return true;
}

bool ImportTransaction::run(QString *error, const interchange::Progress &progress)
{
    m_imported = 0;
    m_selected = 0;
    m_cancelled = false;
    if (m_items.isEmpty())
        return sqlsupport::fail(error, interchange::notAnExportMessage());
    for (const QJsonValue &value : qAsConst(m_items)) {
        if (!value.isObject())
            return sqlsupport::fail(error, interchange::invalidEntryMessage());
    }

    const QSqlDatabase db = m_database->connection();
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

    if (!insertEntries(error, progress)) {
        m_imported = 0;
        m_selected = 0;
        return false; // the transaction rolls back on destruction
    }
    if (!transaction.commit(error)) {
        m_imported = 0;
        m_selected = 0;
        return false;
    }
    return true;
}

// Parents are resolved as repeated passes over the pending entries in file order would resolve
// them, with the same iids, positions, messages and selected item, but in n log n time: an entry
// is visited only when a visit can change something, i.e. when its parent (or a second entry with
// its own id) has just been written. A visit that a pass would make at that point happens later in
// the same pass when the entry stands after the one just written, else in the next pass.
bool ImportTransaction::insertEntries(QString *error, const interchange::Progress &progress)
{
    const qsizetype count = m_items.size();
    std::vector<Entry> entries(static_cast<size_t>(count));
    // (parent id, position) and (id, position) pairs, sorted: the entries waiting for a given id
    // are one contiguous run, found by binary search, without an allocation per entry.
    std::vector<std::pair<qint64, qsizetype>> byParent;
    std::vector<std::pair<qint64, qsizetype>> byId;
    byParent.reserve(size_t(count));
    byId.reserve(size_t(count));
    std::priority_queue<Visit, std::vector<Visit>, std::greater<Visit>> visits;
    for (qsizetype i = 0; i < count; ++i) {
        const QJsonObject object = m_items.at(i).toObject();
        Entry &entry = entries[size_t(i)];
        entry.id = fileId(object.value(QLatin1String("id")));
        entry.parentId = fileId(object.value(QLatin1String("parentId")));
        if (entry.id < 1 || entry.parentId == 0)
            visits.push({1, i});
        else
            byParent.emplace_back(entry.parentId, i);
        if (entry.id >= 1)
            byId.emplace_back(entry.id, i);
    }
    std::sort(byParent.begin(), byParent.end());
    std::sort(byId.begin(), byId.end());

    const QSqlDatabase db = m_database->connection();
    ImportStatement itemInsert;
    ImportStatement blockInsert;
    ImportStatement sortQuery;
    if (!itemInsert.prepare(db,
            "INSERT INTO data_items(iid, pid, sortid, here, cont, remark, favorite, \"desc\") "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            error)
        || !blockInsert.prepare(db,
            "INSERT INTO content_blocks(item_iid, sortid, type, value, summary) VALUES (?, ?, ?, "
            "?, ?)",
            error)
        || !sortQuery.prepare(
            db, "SELECT COALESCE(MAX(sortid), 0) + 1 FROM data_items WHERE pid = ?", error))
        return false;
    // Each imported item's row of the full-text index is written in the same transaction. The
    // index is a cache: when it cannot be written, it is marked for rebuilding instead.
    SearchIndexWriter indexWriter(db);
    QString indexError;
    bool indexing = indexWriter.prepare(&indexError);
    if (!indexing && !SearchIndex::markComplete(db, false, error))
        return false;

    QHash<qint64, qint64> newIids; // file id -> new iid
    QHash<qint64, qint64> sortIds; // new parent iid -> next free sortid
    const auto wake = [&](const std::vector<std::pair<qint64, qsizetype>> &index, qint64 id,
                          qint64 pass, qsizetype position) {
        auto it = std::lower_bound(index.begin(), index.end(), std::make_pair(id, qsizetype(0)));
        for (; it != index.end() && it->first == id; ++it) {
            const qsizetype other = it->second;
            if (!entries[size_t(other)].done)
                visits.push({other > position ? pass : pass + 1, other});
        }
    };
    while (!visits.empty()) {
        const auto [pass, position] = visits.top();
        visits.pop();
        Entry &entry = entries[size_t(position)];
        if (entry.done)
            continue;
        if (entry.id < 1 || newIids.contains(entry.id))
            return sqlsupport::fail(error, interchange::invalidIdMessage());
        qint64 parent = 0;
        if (entry.parentId != 0) {
            const auto found = newIids.constFind(entry.parentId);
            if (found == newIids.constEnd())
                continue;
            parent = found.value();
        }
        auto slot = sortIds.find(parent);
        if (slot == sortIds.end()) {
            qint64 first = 0;
            sortQuery.bind(0, parent);
            if (!sortQuery.exec(error))
                return false;
            first = sortQuery.hasRow() ? sortQuery.column(0) : 1;
            sortQuery.reset();
            slot = sortIds.insert(parent, first);
        }
        const qint64 sortid = slot.value()++;
        const qint64 iid = m_nextIid++;
        if (!insertItem(itemInsert, blockInsert, m_items.at(position).toObject(), iid, parent,
                sortid, error))
            return false;
        if (indexing && !indexWriter.write(iid, &indexError)) {
            indexing = false;
            if (!SearchIndex::markComplete(db, false, error))
                return false;
        }
        newIids.insert(entry.id, iid);
        entry.done = true;
        ++m_imported;
        if (parent == 0)
            m_selected = iid;
        wake(byParent, entry.id, pass, position);
        wake(byId, entry.id, pass, position);
        if (progress && m_imported % progressStep == 0 && !progress(m_imported, count)) {
            m_cancelled = true;
            return sqlsupport::fail(error, interchange::cancelledMessage());
        }
    }
    if (m_imported < count)
        return sqlsupport::fail(error, interchange::invalidHierarchyMessage());
    return true;
}

// One item and its blocks. Everything that must follow each written item (an index kept in step
// with data_items, say) belongs here.
bool ImportTransaction::insertItem(ImportStatement &items, ImportStatement &blocks,
    const QJsonObject &entry, qint64 iid, qint64 pid, qint64 sortid, QString *error)
{
    // Missing or non-string texts stay null: the NOT NULL columns refuse them.
    const QString name = entry.value(QLatin1String("name")).toString();
    const QString content = entry.value(QLatin1String("content")).toString();
    const QString remark = entry.value(QLatin1String("remark")).toString();
    const QString description = entry.value(QLatin1String("description")).toString();
    items.bind(0, iid);
    items.bind(1, pid);
    items.bind(2, sortid);
    items.bind(3, name);
    items.bind(4, content);
    items.bind(5, remark);
    items.bind(6, qint64(entry.value(QLatin1String("favorite")).toBool() ? 1 : 0));
    items.bind(7, description);
    if (!items.exec(error))
        return false;
    const QList<ContentBlock> list
        = contentBlocksFromJson(entry.value(QLatin1String("blocks")).toArray());
    for (qsizetype k = 0; k < list.size(); ++k) {
        const ContentBlock &block = list.at(k);
        const QString value = sqlText(block.value);
        const QString summary = sqlText(block.summary);
        blocks.bind(0, iid);
        blocks.bind(1, qint64(k + 1));
        blocks.bind(2, qint64(block.type));
        blocks.bind(3, value);
        blocks.bind(4, summary);
        if (!blocks.exec(error))
            return false;
    }
    return true;
}
