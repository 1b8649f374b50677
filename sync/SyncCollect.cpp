#include "SyncEngine.h"

#include "ChangeObserver.h"
#include "SyncEngineSupport.h"
#include "SyncLocal.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <vector>

namespace datasync {

using namespace detail;

bool SyncEngine::collect(QString *error)
{
    return collectItems(error) && collectParents(error);
}

namespace {

// A marked item as it is stored and as sync last knew it.
struct Marked {
    bool exists = false;
    QString uuid;
    ItemBody body;
    bool known = false; // sync_items holds its identity
    QString hash;
    QStringList bases;
    bool deleted = false;
    // Identities this iid held before (removed items: an iid can be reused), with their bases.
    QList<QPair<QString, QStringList>> gone;
    QHash<QString, QString> tombstones; // identity -> what it held when removed
};

const QString markedRange
    = QStringLiteral("(SELECT iid FROM sync_dirty WHERE iid BETWEEN ? AND ?)");

} // namespace

// Every marked item becomes a content record when its body differs from the version it derives
// from, or a deletion record when it is gone. Each unit reads a range of marked items with a few
// queries, then writes their records.
bool SyncEngine::collectItems(QString *error)
{
    qint64 after = 0;
    qint64 reached = 0;
    const Unit unit = [&](int size, bool *more, QString *error) {
        QList<qint64> iids;
        if (!m_sql.select(
                QStringLiteral("SELECT iid FROM sync_dirty WHERE iid > ? ORDER BY iid "
                               "LIMIT ?"),
                {after, size},
                [&](const QSqlQuery &row) { iids.append(row.value(0).toLongLong()); }, error))
            return false;
        if (iids.isEmpty())
            return true;
        *more = true;
        reached = iids.last();
        const QVariantList range {iids.first(), iids.last()};
        QHash<qint64, Marked> marked;
        marked.reserve(iids.size());
        const bool read
            = m_sql.select(
                  QStringLiteral("SELECT iid, uuid, here, cont, remark, favorite, \"desc\" FROM "
                                 "data_items WHERE iid IN ")
                      + markedRange,
                  range,
                  [&](const QSqlQuery &row) {
                      Marked &item = marked[row.value(0).toLongLong()];
                      item.exists = true;
                      item.uuid = row.value(1).toString();
                      item.body.here = row.value(2).toString();
                      item.body.cont = row.value(3).toString();
                      item.body.remark = row.value(4).toString();
                      item.body.favorite = row.value(5).toBool();
                      item.body.desc = row.value(6).toString();
                  },
                  error)
            && m_sql.select(
                QStringLiteral("SELECT item_iid, type, value, summary FROM "
                               "content_blocks WHERE item_iid IN ")
                    + markedRange + QStringLiteral(" ORDER BY item_iid, sortid, id"),
                range,
                [&](const QSqlQuery &row) {
                    QList<ContentBlock> &blocks = marked[row.value(0).toLongLong()].body.blocks;
                    ContentBlock block;
                    block.itemIid = row.value(0).toLongLong();
                    block.sortid = blocks.size() + 1;
                    block.type = row.value(1).toInt();
                    block.value = row.value(2).toString();
                    block.summary = row.value(3).toString();
                    blocks.append(block);
                },
                error)
            && m_sql.select(
                QStringLiteral("SELECT d.iid, s.hash, s.bases, s.deleted FROM "
                               "data_items d JOIN sync_items s ON s.uuid = d.uuid "
                               "WHERE d.iid IN ")
                    + markedRange,
                range,
                [&](const QSqlQuery &row) {
                    Marked &item = marked[row.value(0).toLongLong()];
                    item.known = true;
                    item.hash = row.value(1).toString();
                    item.bases = local::splitList(row.value(2).toString());
                    item.deleted = row.value(3).toBool();
                },
                error)
            && m_sql.select(
                QStringLiteral("SELECT iid, uuid, bases FROM sync_items WHERE "
                               "deleted = 0 AND iid IN ")
                    + markedRange + QStringLiteral(" ORDER BY iid, uuid"),
                range,
                [&](const QSqlQuery &row) {
                    Marked &item = marked[row.value(0).toLongLong()];
                    const QString uuid = row.value(1).toString();
                    if (!item.exists || uuid != item.uuid)
                        item.gone.append({uuid, local::splitList(row.value(2).toString())});
                },
                error)
            && m_sql.select(
                QStringLiteral("SELECT iid, uuid, body FROM sync_tombstones WHERE iid IN ")
                    + markedRange,
                range,
                [&](const QSqlQuery &row) {
                    marked[row.value(0).toLongLong()].tombstones.insert(
                        row.value(1).toString(), row.value(2).toString());
                },
                error);
        if (!read)
            return false;
        // The records first, encoded before the writes.
        struct Local {
            ContentRecord record;
            qint64 iid;
            QString hash;
        };
        QList<Local> records;
        for (const qint64 iid : qAsConst(iids)) {
            const Marked &item = marked[iid];
            for (const auto &[removed, bases] : item.gone) {
                ContentRecord record;
                record.uuid = removed;
                record.deleted = true;
                record.bases = bases;
                const QString tomb = item.tombstones.value(removed);
                if (!tomb.isEmpty())
                    record.body = bodyFromText(tomb);
                records.append({record, iid, record.body.hash()});
            }
            if (!item.exists)
                continue;
            const QString hash = item.body.hash();
            if (!item.known || item.deleted || item.hash != hash) {
                ContentRecord record;
                record.uuid = item.uuid;
                record.bases = item.known ? item.bases : QStringList();
                record.body = item.body;
                records.append({record, iid, hash});
            }
        }
        marked.clear();
        for (Local &local : records)
            stampLocal(local.record);
        sealSegment();
        writing();
        for (const Local &local : qAsConst(records)) {
            if (!storeLocal(local.record, local.iid, local.hash, error))
                return false;
        }
        return m_sql.exec(QStringLiteral("DELETE FROM sync_tombstones WHERE iid IN ") + markedRange,
                   range, error)
            && m_sql.exec(
                QStringLiteral("DELETE FROM sync_dirty WHERE iid BETWEEN ? AND ?"), range, error);
    };
    return inTransactions(
        QString(), unit, [&] { after = reached; }, error);
}

// The children of every marked parent keep the positions they have where these are still in
// order; the others (new, moved in, moved along) get new keys between their neighbours.
bool SyncEngine::collectParents(QString *error)
{
    struct Marked {
        qint64 pid;
        qint64 stamp;
    };
    QList<Marked> parents;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT pid, stamp FROM sync_dirty_parents ORDER BY pid"))) {
            if (error)
                *error = query.lastError().text();
            return false;
        }
        while (query.next())
            parents.append({query.value(0).toLongLong(), query.value(1).toLongLong()});
    }
    for (const Marked &marked : parents) {
        const QString parentUuid = marked.pid == 0 ? QString() : uuidOf(m_sql, marked.pid);
        struct Child {
            QString uuid;
            QString parent;
            QString key;
            bool placed;
        };
        QList<Child> children;
        {
            QSqlQuery query(m_db);
            query.setForwardOnly(true);
            query.prepare(QStringLiteral(
                "SELECT d.uuid, p.parent, p.poskey, p.uuid IS NOT NULL FROM data_items d "
                "LEFT JOIN sync_places p ON p.uuid = d.uuid WHERE d.pid = ? ORDER BY d.sortid, "
                "d.iid"));
            query.addBindValue(marked.pid);
            if (!query.exec()) {
                if (error)
                    *error = query.lastError().text();
                return false;
            }
            while (query.next()) {
                children.append({query.value(0).toString(), query.value(1).toString(),
                    query.value(2).toString(), query.value(3).toBool()});
            }
        }
        // The longest run of children already here in key order keeps its keys.
        const auto less = [&children](qsizetype a, qsizetype b) {
            const Child &x = children.at(a);
            const Child &y = children.at(b);
            return x.key != y.key ? x.key < y.key : x.uuid < y.uuid;
        };
        QList<qsizetype> tails; // index of the last child of the best run of each length
        QList<qsizetype> previous(children.size(), -1);
        for (qsizetype i = 0; i < children.size(); ++i) {
            const Child &child = children.at(i);
            if (!child.placed || child.parent != parentUuid || child.key.isEmpty())
                continue;
            const auto slot = std::lower_bound(tails.begin(), tails.end(), i, less);
            previous[i] = slot == tails.begin() ? -1 : *(slot - 1);
            if (slot == tails.end())
                tails.append(i);
            else
                *slot = i;
        }
        std::vector<char> keep(size_t(children.size()), 0);
        for (qsizetype i = tails.isEmpty() ? -1 : tails.last(); i >= 0; i = previous.at(i))
            keep[i] = true;
        // New keys for each run of children between two kept ones (or the ends).
        QList<PlaceRecord> records;
        QString low;
        qsizetype i = 0;
        while (i < children.size()) {
            if (keep.at(i)) {
                low = children.at(i).key;
                ++i;
                continue;
            }
            qsizetype end = i;
            while (end < children.size() && !keep.at(end))
                ++end;
            // Two kept neighbours with the same key leave no room: the right one moves too.
            while (end < children.size() && children.at(end).key <= low) {
                keep[end] = false;
                ++end;
                while (end < children.size() && !keep.at(end))
                    ++end;
            }
            const QString high = end < children.size() ? children.at(end).key : QString();
            const QStringList keys = poskey::spread(low, high, end - i);
            for (qsizetype k = i; k < end; ++k) {
                PlaceRecord record;
                record.uuid = children.at(k).uuid;
                record.parent = parentUuid;
                record.key = keys.at(k - i);
                record.from = children.at(k).placed ? children.at(k).parent : parentUuid;
                records.append(record);
            }
            low = keys.isEmpty() ? low : keys.last();
            i = end;
        }
        qsizetype next = 0;
        qsizetype reached = 0;
        const Unit unit = [&](int size, bool *more, QString *error) {
            reached = qMin(records.size(), next + qsizetype(size));
            QList<PlaceRecord> stamped = records.mid(next, reached - next);
            for (PlaceRecord &record : stamped) {
                record.vid = nextVid();
                record.ts = tick();
                m_open.places.append(record);
                ++m_report.sent;
            }
            sealSegment();
            writing();
            for (const PlaceRecord &record : qAsConst(stamped)) {
                bool won = false;
                if (!storePlace(record, &won, error))
                    return false;
            }
            *more = reached < records.size();
            return *more
                || m_sql.exec(
                    QStringLiteral("DELETE FROM sync_dirty_parents WHERE pid = ? AND stamp = ?"),
                    {marked.pid, marked.stamp}, error);
        };
        if (!inTransactions(
                QString(), unit, [&] { next = reached; }, error))
            return false;
    }
    return true;
}

} // namespace datasync
