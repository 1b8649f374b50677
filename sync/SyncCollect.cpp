#include "SyncEngine.h"

#include "ChangeObserver.h"
#include "SyncEngineSupport.h"
#include "SyncLocal.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace datasync {

using namespace detail;

bool SyncEngine::collect(QString *error)
{
    return collectItems(error) && collectParents(error);
}

// Every marked item becomes a content record when its body differs from the version it derives
// from, or a deletion record when it is gone.
bool SyncEngine::collectItems(QString *error)
{
    for (;;) {
        QList<qint64> marked;
        {
            QSqlQuery query(m_db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral("SELECT iid FROM sync_dirty ORDER BY iid LIMIT 2000"))) {
                if (error)
                    *error = query.lastError().text();
                return false;
            }
            while (query.next())
                marked.append(query.value(0).toLongLong());
        }
        if (marked.isEmpty())
            return true;
        qsizetype next = 0;
        while (next < marked.size()) {
            if (!begin(error))
                return false;
            QElapsedTimer timer;
            timer.start();
            bool ok = true;
            const qsizetype first = next;
            while (ok && next < marked.size() && timer.elapsed() < batchMillis
                && next - first < m_batchLimit) {
                const qint64 iid = marked.at(next++);
                QString uuid;
                qint64 pid = 0;
                ItemBody body;
                const bool exists = readItem(m_sql, iid, &uuid, &pid, &body);
                // Identities this iid held before: removed items (an iid can be reused).
                QStringList gone;
                {
                    QSqlQuery query(m_db);
                    query.setForwardOnly(true);
                    query.prepare(QStringLiteral(
                        "SELECT uuid FROM sync_items WHERE iid = ? AND deleted = 0 AND uuid != ?"));
                    query.addBindValue(iid);
                    query.addBindValue(text(exists ? uuid : QString()));
                    if (query.exec()) {
                        while (query.next())
                            gone.append(query.value(0).toString());
                    }
                }
                for (const QString &removed : gone) {
                    ContentRecord record;
                    record.uuid = removed;
                    record.deleted = true;
                    record.bases = local::splitList(m_sql.scalar(QStringLiteral("SELECT bases FROM sync_items WHERE uuid = ?"), {removed})
                                                        .toString());
                    const QString tomb = m_sql.scalar(QStringLiteral(
                            "SELECT body FROM sync_tombstones WHERE iid = ? AND uuid = ?"),
                        {iid, removed})
                                             .toString();
                    if (!tomb.isEmpty())
                        record.body = bodyFromText(tomb);
                    ok = ok && addLocalContent(record, iid, error);
                }
                if (ok && exists) {
                    QSqlQuery query(m_db);
                    query.setForwardOnly(true);
                    query.prepare(QStringLiteral(
                        "SELECT hash, bases, deleted FROM sync_items WHERE uuid = ?"));
                    query.addBindValue(uuid);
                    const bool shadowed = query.exec() && query.next();
                    const QString hash = body.hash();
                    if (!shadowed || query.value(2).toBool() || query.value(0).toString() != hash) {
                        ContentRecord record;
                        record.uuid = uuid;
                        record.bases = shadowed ? local::splitList(query.value(1).toString())
                                                : QStringList();
                        record.body = body;
                        query.finish();
                        ok = addLocalContent(record, iid, error);
                    }
                }
                ok = ok
                    && m_sql.exec(QStringLiteral("DELETE FROM sync_dirty WHERE iid = ?"), {iid}, error)
                    && m_sql.exec(QStringLiteral("DELETE FROM sync_tombstones WHERE iid = ?"), {iid}, error);
            }
            if (!ok || !commit(error)) {
                rollback();
                return false;
            }
        }
    }
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
        QList<bool> keep(children.size(), false);
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
        do {
            if (!begin(error))
                return false;
            QElapsedTimer timer;
            timer.start();
            bool ok = true;
            while (ok && next < records.size() && timer.elapsed() < batchMillis
                && m_open.places.size() < m_batchLimit)
                ok = addLocalPlace(records.at(next++), error);
            if (ok && next == records.size())
                ok = m_sql.exec(QStringLiteral("DELETE FROM sync_dirty_parents WHERE pid = ? AND stamp = ?"),
                    {marked.pid, marked.stamp}, error);
            if (!ok || !commit(error)) {
                rollback();
                return false;
            }
        } while (next < records.size());
    }
    return true;
}

} // namespace datasync
