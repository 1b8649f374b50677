#include "SyncEngine.h"

#include "ChangeObserver.h"
#include "SyncEngineSupport.h"
#include "SyncLocal.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <QHash>

namespace datasync {

using namespace detail;

namespace {

bool writeBlocks(QSqlDatabase db, qint64 iid, const QList<ContentBlock> &blocks, QString *error)
{
    if (!local::execBound(
            db, QStringLiteral("DELETE FROM content_blocks WHERE item_iid = ?"), {iid}, error))
        return false;
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                  "summary) VALUES (?, ?, ?, ?, ?)"));
    for (qsizetype i = 0; i < blocks.size(); ++i) {
        insert.bindValue(0, iid);
        insert.bindValue(1, qint64(i + 1));
        insert.bindValue(2, blocks.at(i).type);
        insert.bindValue(3, blocks.at(i).value);
        insert.bindValue(4, blocks.at(i).summary);
        if (!insert.exec()) {
            if (error)
                *error = insert.lastError().text();
            return false;
        }
    }
    return true;
}

// Writes body into the item uuid: a new row (at the top level, placed afterwards) when iid is 0.
qint64 writeItem(
    QSqlDatabase db, qint64 iid, const QString &uuid, const ItemBody &body, QString *error)
{
    if (iid == 0) {
        iid = local::scalar(db, QStringLiteral("SELECT COALESCE(MAX(iid), 0) + 1 FROM data_items"))
                  .toLongLong();
        const qint64 sortid = local::scalar(
            db, QStringLiteral("SELECT COALESCE(MAX(sortid), 0) + 1 FROM data_items WHERE pid = 0"))
                                  .toLongLong();
        if (!local::execBound(db,
                QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont, remark, "
                               "favorite, \"desc\", uuid) VALUES (?, 0, ?, ?, ?, ?, ?, ?, ?)"),
                {iid, sortid, body.here, body.cont, body.remark, body.favorite ? 1 : 0, body.desc,
                    uuid},
                error))
            return 0;
        if (!writeBlocks(db, iid, body.blocks, error)
            || !changeobservers::itemChanged(db, iid,
                ChangeObserver::Created | ChangeObserver::Fields | ChangeObserver::Blocks, error))
            return 0;
        return iid;
    }
    if (!local::execBound(db,
            QStringLiteral("UPDATE data_items SET here = ?, cont = ?, remark = ?, favorite = ?, "
                           "\"desc\" = ? WHERE iid = ?"),
            {body.here, body.cont, body.remark, body.favorite ? 1 : 0, body.desc, iid}, error)
        || !writeBlocks(db, iid, body.blocks, error)
        || !changeobservers::itemChanged(
            db, iid, ChangeObserver::Fields | ChangeObserver::Blocks, error))
        return 0;
    return iid;
}

} // namespace

// Writes the merged state of every pending item, in short transactions. Items the person is
// editing (marked since the last collect, or held by the window) wait for the next sync.
bool SyncEngine::apply(QString *error)
{
    QSet<QString> skipped;
    for (;;) {
        QStringList queue;
        {
            QSqlQuery query(m_db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral("SELECT uuid FROM sync_pending ORDER BY uuid"))) {
                if (error)
                    *error = query.lastError().text();
                return false;
            }
            while (query.next()) {
                const QString uuid = query.value(0).toString();
                if (!skipped.contains(uuid))
                    queue.append(uuid);
            }
        }
        if (queue.isEmpty())
            break;
        qsizetype next = 0;
        while (next < queue.size()) {
            if (!begin(error))
                return false;
            QElapsedTimer timer;
            timer.start();
            bool ok = true;
            const qsizetype first = next;
            while (ok && next < queue.size() && timer.elapsed() < batchMillis
                && next - first < m_batchLimit) {
                const QString uuid = queue.at(next++);
                bool skip = false;
                ok = applyOne(uuid, &skip, error);
                if (skip)
                    skipped.insert(uuid);
                else
                    ok = ok
                        && local::execBound(m_db,
                            QStringLiteral("DELETE FROM sync_pending WHERE uuid = ?"), {uuid},
                            error);
            }
            // Noted with the batch: a sync cut off before settling still settles next time.
            ok = ok
                && (!m_placesChanged
                    || local::setState(
                        m_db, QStringLiteral("sync_settle"), QStringLiteral("1"), error));
            if (!ok || !commit(error)) {
                rollback();
                return false;
            }
            if (checkpoint)
                checkpoint(QStringLiteral("apply"));
        }
    }
    if ((m_placesChanged || !local::state(m_db, QStringLiteral("sync_settle")).isEmpty())
        && !settlePlaces(error))
        return false;
    // The order of the siblings of everything placed, one parent at a time.
    QList<qint64> parents;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("SELECT pid FROM sync_reorder"))) {
            while (query.next())
                parents.append(query.value(0).toLongLong());
        }
    }
    for (const qint64 pid : parents) {
        if (!renumber(pid, error))
            return false;
    }
    return true;
}

bool SyncEngine::applyOne(const QString &uuid, bool *skipped, QString *error)
{
    qint64 iid = local::iidOf(m_db, uuid);
    if (iid != 0
        && (isHeld(iid)
            || local::scalar(m_db, QStringLiteral("SELECT 1 FROM sync_dirty WHERE iid = ?"), {iid})
                   .isValid())) {
        *skipped = true;
        return true;
    }
    const QList<Head> heads = headsOf(m_db, uuid);
    QStringList headVids;
    for (const Head &head : heads)
        headVids.append(head.vid);
    m_placesChanged = true;
    m_touched.insert(uuid);
    if (heads.isEmpty())
        return true;
    const Head *winner = nullptr;
    for (const Head &head : heads) {
        if (!head.deleted && (!winner || later(head.ts, head.vid, winner->ts, winner->vid)))
            winner = &head;
    }
    if (!winner) {
        // Deleted everywhere it was changed. An item that still has children stays (they bring
        // it back on every device, see settlePlaces).
        if (iid != 0
            && !local::scalar(m_db, QStringLiteral("SELECT 1 FROM data_items WHERE pid = ?"), {iid})
                    .isValid()) {
            const qint64 pid = local::scalar(
                m_db, QStringLiteral("SELECT pid FROM data_items WHERE iid = ?"), {iid}, 0)
                                   .toLongLong();
            if (!local::execBound(
                    m_db, QStringLiteral("DELETE FROM data_items WHERE iid = ?"), {iid}, error)
                || !changeobservers::itemChanged(m_db, iid, ChangeObserver::Removed, error)
                || !local::execBound(m_db,
                    QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?)"), {pid},
                    error))
                return false;
            ++m_report.applied;
            iid = 0;
        }
        return local::execBound(m_db,
            QStringLiteral("INSERT OR REPLACE INTO sync_items(uuid, iid, hash, bases, deleted) "
                           "VALUES (?, ?, '', ?, ?)"),
            {uuid, iid, local::joinList(headVids), iid == 0 ? 1 : 0}, error);
    }

    ItemBody localBody;
    QString localHash;
    QStringList localBases;
    if (iid != 0) {
        QString ignored;
        qint64 pid = 0;
        local::readItem(m_db, iid, &ignored, &pid, &localBody);
        localHash = localBody.hash();
        localBases = local::splitList(local::scalar(
            m_db, QStringLiteral("SELECT bases FROM sync_items WHERE uuid = ?"), {uuid})
                                          .toString());
    }
    const auto bodyOf = [&](const Head &head, bool *found) {
        *found = true;
        if (!head.body.isEmpty())
            return bodyFromText(head.body);
        if (iid != 0 && (head.hash == localHash || localBases.contains(head.vid)))
            return localBody;
        *found = false;
        return ItemBody();
    };
    bool found = false;
    const ItemBody winning = bodyOf(*winner, &found);
    if (!found)
        return true; // nothing here to write it from; the item keeps what it has
    QSet<QString> ancestors;
    bool ancestorsRead = false;
    for (const Head &head : heads) {
        if (head.deleted || &head == winner || head.hash == winner->hash)
            continue;
        if (!ancestorsRead) {
            ancestors = ancestorHashes(m_db, winner->vid);
            ancestorsRead = true;
        }
        if (ancestors.contains(head.hash))
            continue;
        // A concurrent version the winner does not contain: kept as a copy beside the item.
        const QString copy = copyUuid(uuid, head.vid);
        if (local::scalar(
                m_db, QStringLiteral("SELECT 1 FROM sync_versions WHERE uuid = ?"), {copy})
                .isValid())
            continue;
        bool copyFound = false;
        ContentRecord record;
        record.uuid = copy;
        record.body = bodyOf(head, &copyFound);
        if (!copyFound)
            continue;
        record.body.here = conflictName(record.body.here);
        if (!addLocalContent(record, 0, error))
            return false;
        const Place place = placeOf(m_db, uuid);
        PlaceRecord copyPlace;
        copyPlace.uuid = copy;
        copyPlace.parent = place.parent;
        copyPlace.from = place.parent;
        const QString after = place.valid ? place.key : QString();
        const QString before = local::scalar(m_db,
            QStringLiteral("SELECT MIN(poskey) FROM sync_places WHERE parent = ? AND poskey > ?"),
            {text(place.parent), text(after)})
                                   .toString();
        copyPlace.key = poskey::between(after, before);
        if (!addLocalPlace(copyPlace, error))
            return false;
        ++m_report.conflicts;
    }
    if (iid == 0 || localHash != winner->hash) {
        iid = writeItem(m_db, iid, uuid, winning, error);
        if (iid == 0)
            return false;
        ++m_report.applied;
    }
    return local::execBound(m_db,
               QStringLiteral("INSERT OR REPLACE INTO sync_items(uuid, iid, hash, bases, deleted) "
                              "VALUES (?, ?, ?, ?, 0)"),
               {uuid, iid, winner->hash, local::joinList(headVids)}, error)
        && local::execBound(m_db,
            QStringLiteral(
                "UPDATE sync_versions SET body = NULL WHERE uuid = ? AND head = 1 AND deleted = 0"),
            {uuid}, error);
}

// Puts every item under its merged parent: a function of the winning places alone, so every
// device reaches the same tree. The parent is the winning place's, unless the winning places make
// a loop: then the loop's latest move is refused and that item stays under the parent it was moved
// from (the top level when refused twice). A parent deleted elsewhere comes back when a child
// needs it; an unknown one leaves the child at the top level until it arrives. Items the person is
// editing keep their place, and no write ever makes a loop here.
bool SyncEngine::settlePlaces(QString *error)
{
    struct Winner {
        QString parent;
        qint64 ts = 0;
        QString vid;
        QString from;
    };
    QHash<QString, Winner> winners;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(
                QStringLiteral("SELECT uuid, parent, ts, vid, from_parent FROM sync_places"))) {
            if (error)
                *error = query.lastError().text();
            return false;
        }
        while (query.next()) {
            winners.insert(query.value(0).toString(),
                {query.value(1).toString(), query.value(2).toLongLong(), query.value(3).toString(),
                    query.value(4).toString()});
        }
    }
    QStringList order = winners.keys();
    std::sort(order.begin(), order.end());
    QHash<QString, QString> effective;
    for (auto it = winners.cbegin(); it != winners.cend(); ++it)
        effective.insert(it.key(), it.value().parent);
    QSet<QString> refused;
    for (int pass = 0; pass < 64; ++pass) {
        QHash<QString, int> state; // 1 on the walk, 2 finished
        QList<QStringList> loops;
        for (const QString &start : qAsConst(order)) {
            QStringList path;
            QString at = start;
            while (!at.isEmpty() && effective.contains(at) && state.value(at) == 0) {
                state.insert(at, 1);
                path.append(at);
                at = effective.value(at);
            }
            if (!at.isEmpty() && state.value(at) == 1)
                loops.append(path.mid(path.indexOf(at)));
            for (const QString &member : qAsConst(path))
                state.insert(member, 2);
        }
        if (loops.isEmpty())
            break;
        for (const QStringList &loop : qAsConst(loops)) {
            QString latest = loop.first();
            for (const QString &member : loop) {
                const Winner &a = winners[member];
                const Winner &b = winners[latest];
                if (later(a.ts, a.vid, b.ts, b.vid))
                    latest = member;
            }
            const QString from = winners.value(latest).from;
            effective[latest] = refused.contains(latest) || from == latest ? QString() : from;
            refused.insert(latest);
        }
    }

    // The items here: identity -> iid and parent iid.
    struct Here {
        qint64 iid = 0;
        qint64 pid = 0;
    };
    QHash<QString, Here> here;
    QHash<qint64, QString> uuidOfIid;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT uuid, iid, pid FROM data_items"))) {
            if (error)
                *error = query.lastError().text();
            return false;
        }
        while (query.next()) {
            const QString uuid = query.value(0).toString();
            here.insert(uuid, {query.value(1).toLongLong(), query.value(2).toLongLong()});
            uuidOfIid.insert(query.value(1).toLongLong(), uuid);
        }
    }
    QSet<qint64> kept; // being edited: they stay where they are
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("SELECT iid FROM sync_dirty"))) {
            while (query.next())
                kept.insert(query.value(0).toLongLong());
        }
    }

    if (!begin(error))
        return false;
    // Parents deleted elsewhere that a child here needs come back, with what they held.
    QStringList missing;
    for (const QString &uuid : qAsConst(order)) {
        const QString parent = effective.value(uuid);
        if (here.contains(uuid) && !parent.isEmpty() && !here.contains(parent))
            missing.append(parent);
    }
    while (!missing.isEmpty()) {
        const QString parent = missing.takeFirst();
        if (here.contains(parent))
            continue;
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT body FROM sync_versions WHERE uuid = ? AND head = 1 "
                                     "AND deleted = 1 AND body IS NOT NULL "
                                     "ORDER BY ts DESC, vid DESC LIMIT 1"));
        query.addBindValue(parent);
        if (!query.exec() || !query.next())
            continue;
        const ItemBody body = bodyFromText(query.value(0).toString());
        query.finish();
        const qint64 iid = writeItem(m_db, 0, parent, body, error);
        QStringList heads;
        for (const Head &head : headsOf(m_db, parent))
            heads.append(head.vid);
        if (iid == 0
            || !local::execBound(m_db,
                QStringLiteral("INSERT OR REPLACE INTO sync_items(uuid, iid, hash, bases, deleted) "
                               "VALUES (?, ?, ?, ?, 0)"),
                {parent, iid, body.hash(), local::joinList(heads)}, error)) {
            rollback();
            return false;
        }
        ++m_report.applied;
        here.insert(parent, {iid, 0});
        uuidOfIid.insert(iid, parent);
        const QString above = effective.value(parent);
        if (!above.isEmpty() && !here.contains(above))
            missing.append(above);
    }

    // The parent every item here should have.
    QHash<qint64, qint64> target;
    for (auto it = here.cbegin(); it != here.cend(); ++it) {
        const qint64 iid = it.value().iid;
        if (!effective.contains(it.key()) || kept.contains(iid) || isHeld(iid)) {
            target.insert(iid, it.value().pid);
            continue;
        }
        const QString parent = effective.value(it.key());
        target.insert(iid, parent.isEmpty() ? 0 : here.value(parent).iid);
    }
    // Kept items may disagree with the merged tree: whatever would close a loop stays put.
    for (bool changed = true; changed;) {
        changed = false;
        for (auto it = target.begin(); it != target.end(); ++it) {
            QSet<qint64> seen {it.key()};
            for (qint64 at = it.value(); at != 0; at = target.value(at)) {
                if (seen.contains(at)) {
                    const qint64 current = here.value(uuidOfIid.value(it.key())).pid;
                    if (it.value() != current) {
                        it.value() = current;
                        changed = true;
                    } else {
                        it.value() = 0;
                        changed = true;
                    }
                    break;
                }
                seen.insert(at);
            }
        }
    }
    // Siblings of everything that changed here take the merged order.
    for (const QString &uuid : qAsConst(m_touched)) {
        if (here.contains(uuid)
            && !local::execBound(m_db,
                QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?)"),
                {target.value(here.value(uuid).iid)}, error)) {
            rollback();
            return false;
        }
    }
    QList<QPair<qint64, qint64>> moves;
    for (auto it = target.cbegin(); it != target.cend(); ++it) {
        if (here.value(uuidOfIid.value(it.key())).pid != it.value())
            moves.append({it.key(), it.value()});
    }
    std::sort(moves.begin(), moves.end());
    qsizetype next = 0;
    bool ok = true;
    for (;;) {
        QElapsedTimer timer;
        timer.start();
        while (ok && next < moves.size() && timer.elapsed() < batchMillis) {
            const auto [iid, pid] = moves.at(next++);
            const qint64 old = here.value(uuidOfIid.value(iid)).pid;
            ok = local::execBound(m_db,
                     QStringLiteral("UPDATE data_items SET pid = ?, sortid = (SELECT COALESCE(MAX("
                                    "sortid), 0) + 1 FROM data_items WHERE pid = ?) WHERE iid = ?"),
                     {pid, pid, iid}, error)
                && local::execBound(m_db,
                    QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?), (?)"),
                    {old, pid}, error);
        }
        if (ok && next >= moves.size())
            ok = removeUnneeded(target, uuidOfIid, kept, error)
                && local::exec(
                    m_db, QStringLiteral("DELETE FROM app_state WHERE key = 'sync_settle'"), error);
        if (!ok || !commit(error)) {
            rollback();
            return false;
        }
        if (next >= moves.size())
            return true;
        if (!begin(error))
            return false;
    }
}

// An item deleted everywhere it was changed stays only while the merged tree puts a child under
// it. Whether it stays must follow from the merged places, not from the children this device
// happened to hold when the deletion arrived, or devices would end with different trees: once
// the places are settled, such an item that nothing needs any more goes.
bool SyncEngine::removeUnneeded(const QHash<qint64, qint64> &target,
    const QHash<qint64, QString> &uuidOfIid, const QSet<qint64> &kept, QString *error)
{
    QSet<QString> dead;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT uuid FROM sync_versions WHERE head = 1 GROUP BY "
                                       "uuid HAVING MIN(deleted) = 1"))) {
            if (error)
                *error = query.lastError().text();
            return false;
        }
        while (query.next())
            dead.insert(query.value(0).toString());
    }
    if (dead.isEmpty())
        return true;
    const auto removable = [&](qint64 iid) {
        return dead.contains(uuidOfIid.value(iid)) && !kept.contains(iid) && !isHeld(iid);
    };
    QSet<qint64> needed;
    for (auto it = target.cbegin(); it != target.cend(); ++it) {
        if (removable(it.key()))
            continue;
        for (qint64 at = it.value(); at != 0 && !needed.contains(at); at = target.value(at))
            needed.insert(at);
    }
    QList<qint64> gone;
    for (auto it = target.cbegin(); it != target.cend(); ++it) {
        if (removable(it.key()) && !needed.contains(it.key()))
            gone.append(it.key());
    }
    std::sort(gone.begin(), gone.end());
    for (const qint64 iid : qAsConst(gone)) {
        if (!local::execBound(
                m_db, QStringLiteral("DELETE FROM data_items WHERE iid = ?"), {iid}, error)
            || !changeobservers::itemChanged(m_db, iid, ChangeObserver::Removed, error)
            || !local::execBound(m_db,
                QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?)"),
                {target.value(iid)}, error)
            || !local::execBound(m_db,
                QStringLiteral("UPDATE sync_items SET iid = 0, deleted = 1 WHERE uuid = ?"),
                {uuidOfIid.value(iid)}, error))
            return false;
        ++m_report.applied;
    }
    return true;
}

// Brings the children of pid into the merged order (positions, then identity; children without
// a merged position last, as they were), in short transactions.
bool SyncEngine::renumber(qint64 pid, QString *error)
{
    struct Child {
        qint64 iid;
        qint64 sortid;
        QString key;
        QString uuid;
    };
    QList<Child> children;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        query.prepare(QStringLiteral("SELECT d.iid, d.sortid, COALESCE(p.poskey, ''), d.uuid "
                                     "FROM data_items d LEFT JOIN sync_places p ON p.uuid = d.uuid "
                                     "WHERE d.pid = ? ORDER BY d.sortid, d.iid"));
        query.addBindValue(pid);
        if (!query.exec()) {
            if (error)
                *error = query.lastError().text();
            return false;
        }
        while (query.next())
            children.append({query.value(0).toLongLong(), query.value(1).toLongLong(),
                query.value(2).toString(), query.value(3).toString()});
    }
    std::stable_sort(children.begin(), children.end(), [](const Child &a, const Child &b) {
        if (a.key.isEmpty() || b.key.isEmpty())
            return !a.key.isEmpty() && b.key.isEmpty();
        return a.key != b.key ? a.key < b.key : a.uuid < b.uuid;
    });
    qsizetype next = 0;
    do {
        if (!begin(error))
            return false;
        QElapsedTimer timer;
        timer.start();
        bool ok = true;
        QSqlQuery update(m_db);
        update.prepare(QStringLiteral("UPDATE data_items SET sortid = ? WHERE iid = ?"));
        while (ok && next < children.size() && timer.elapsed() < batchMillis) {
            const Child &child = children.at(next++);
            if (child.sortid == next)
                continue;
            update.bindValue(0, next);
            update.bindValue(1, child.iid);
            if (!update.exec()) {
                if (error)
                    *error = update.lastError().text();
                ok = false;
            }
        }
        if (ok && next == children.size())
            ok = local::execBound(
                m_db, QStringLiteral("DELETE FROM sync_reorder WHERE pid = ?"), {pid}, error);
        if (!ok || !commit(error)) {
            rollback();
            return false;
        }
    } while (next < children.size());
    return true;
}

} // namespace datasync
