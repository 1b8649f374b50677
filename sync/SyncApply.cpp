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

bool writeBlocks(
    local::Statements &sql, qint64 iid, const QList<ContentBlock> &blocks, QString *error)
{
    if (!sql.exec(QStringLiteral("DELETE FROM content_blocks WHERE item_iid = ?"), {iid}, error))
        return false;
    for (qsizetype i = 0; i < blocks.size(); ++i) {
        if (!sql.exec(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                     "summary) VALUES (?, ?, ?, ?, ?)"),
                {iid, qint64(i + 1), blocks.at(i).type, blocks.at(i).value, blocks.at(i).summary},
                error))
            return false;
    }
    return true;
}

// Writes body into the item uuid: when iid is 0 a new row under pid, at sortid (0: last); the
// places are settled afterwards.
qint64 writeItem(local::Statements &sql, qint64 iid, const QString &uuid, const ItemBody &body,
    QString *error, qint64 pid = 0, qint64 sortid = 0)
{
    QSqlDatabase db = sql.connection();
    if (iid == 0) {
        iid = sql.scalar(QStringLiteral("SELECT COALESCE(MAX(iid), 0) + 1 FROM data_items"))
                  .toLongLong();
        if (sortid <= 0)
            sortid = sql.scalar(QStringLiteral("SELECT COALESCE(MAX(sortid), 0) + 1 FROM "
                                               "data_items WHERE pid = ?"),
                            {pid})
                         .toLongLong();
        if (!sql.exec(
                QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont, remark, "
                               "favorite, \"desc\", uuid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                {iid, pid, sortid, body.here, body.cont, body.remark, body.favorite ? 1 : 0,
                    body.desc, uuid},
                error))
            return 0;
        if (!writeBlocks(sql, iid, body.blocks, error)
            || !changeobservers::itemChanged(db, iid,
                ChangeObserver::Created | ChangeObserver::Fields | ChangeObserver::Blocks, error))
            return 0;
        return iid;
    }
    if (!sql.exec(QStringLiteral("UPDATE data_items SET here = ?, cont = ?, remark = ?, "
                                 "favorite = ?, \"desc\" = ? WHERE iid = ?"),
            {body.here, body.cont, body.remark, body.favorite ? 1 : 0, body.desc, iid}, error)
        || !writeBlocks(sql, iid, body.blocks, error)
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
        if (!pendingInOrder(skipped, &queue, error))
            return false;
        if (queue.isEmpty())
            break;
        qsizetype next = 0;
        qsizetype reached = 0;
        const Unit unit = [&](int size, bool *more, QString *error) {
            writing();
            reached = qMin(queue.size(), next + qsizetype(size));
            for (qsizetype i = next; i < reached; ++i) {
                const QString &uuid = queue.at(i);
                bool skip = false;
                if (!applyOne(uuid, &skip, error))
                    return false;
                if (skip)
                    skipped.insert(uuid);
                else if (!m_sql.exec(QStringLiteral("DELETE FROM sync_pending WHERE uuid = ?"),
                             {uuid}, error))
                    return false;
            }
            *more = reached < queue.size();
            // Noted with the batch: a sync cut off before settling still settles next time.
            return !m_placesChanged
                || m_sql.setState(QStringLiteral("sync_settle"), QStringLiteral("1"), error);
        };
        if (!inTransactions(
                QStringLiteral("apply"), unit, [&] { next = reached; }, error))
            return false;
    }
    QElapsedTimer timer;
    timer.start();
    if ((m_placesChanged || !m_sql.state(QStringLiteral("sync_settle")).isEmpty())
        && !settlePlaces(false, error))
        return false;
    if (m_profile)
        qInfo("sync settle: %lld ms", timer.restart());
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
    qint64 renumbered = 0;
    for (const qint64 pid : parents) {
        if (!renumber(pid, &renumbered, error))
            return false;
    }
    if (m_profile)
        qInfo("sync renumber %lld parents (%lld items moved): %lld ms", qint64(parents.size()),
            renumbered, timer.restart());
    return true;
}

// The pending items in the order the apply takes them, and for each one with a place the position
// it takes among its merged siblings (m_sortHints), so that a new item is made in its final place:
// a library new here then needs no moves and no new order. Items with pending children come first,
// parents before children; the others follow in the order of their identities, which keeps the
// tables keyed by identity written page by page (most of what a unit's commit writes).
bool SyncEngine::pendingInOrder(const QSet<QString> &skipped, QStringList *queue, QString *error)
{
    struct Pending {
        QString uuid;
        QString parent;
        QString key;
        bool placed = false;
        bool hasChildren = false;
        int depth = -1; // pending items above it
    };
    QList<Pending> pending;
    QHash<QString, qsizetype> indexOf;
    if (!m_sql.select(
            QStringLiteral("SELECT s.uuid, p.parent, p.poskey, p.uuid IS NOT NULL FROM "
                           "sync_pending s LEFT JOIN sync_places p ON p.uuid = s.uuid "
                           "ORDER BY s.uuid"),
            {},
            [&](const QSqlQuery &row) {
                const QString uuid = row.value(0).toString();
                if (skipped.contains(uuid))
                    return;
                indexOf.insert(uuid, pending.size());
                pending.append({uuid, row.value(1).toString(), row.value(2).toString(),
                    row.value(3).toBool()});
            },
            error))
        return false;
    QHash<QString, QList<qsizetype>> childrenOf; // parent identity ('' the top) -> pending children
    for (qsizetype i = 0; i < pending.size(); ++i) {
        Pending &item = pending[i];
        if (!item.placed)
            continue;
        childrenOf[item.parent].append(i);
        const auto parent = indexOf.constFind(item.parent);
        if (parent != indexOf.constEnd())
            pending[parent.value()].hasChildren = true;
    }
    // Depths of the items with children (the places of a loop count from any of its members).
    for (qsizetype i = 0; i < pending.size(); ++i) {
        QList<qsizetype> path;
        QSet<qsizetype> onPath;
        int depth = 0;
        for (qsizetype at = i; pending.at(at).hasChildren;) {
            if (pending.at(at).depth >= 0) {
                depth = pending.at(at).depth + 1;
                break;
            }
            if (onPath.contains(at))
                break;
            path.append(at);
            onPath.insert(at);
            const auto parent = indexOf.constFind(pending.at(at).parent);
            if (!pending.at(at).placed || parent == indexOf.constEnd())
                break;
            at = parent.value();
        }
        for (qsizetype k = path.size() - 1; k >= 0; --k)
            pending[path.at(k)].depth = depth++;
    }
    // As the children are ordered afterwards (see renumber): by position, then identity, after the
    // children there are now.
    const auto siblingOrder = [&pending](qsizetype a, qsizetype b) {
        const Pending &x = pending.at(a);
        const Pending &y = pending.at(b);
        return x.key != y.key ? x.key < y.key : x.uuid < y.uuid;
    };
    m_sortHints.clear();
    for (auto it = childrenOf.begin(); it != childrenOf.end(); ++it) {
        QList<qsizetype> &children = it.value();
        std::sort(children.begin(), children.end(), siblingOrder);
        const qint64 last = it.key().isEmpty()
            ? m_sql
                  .scalar(QStringLiteral("SELECT COALESCE(MAX(sortid), 0) FROM data_items "
                                         "WHERE pid = 0"))
                  .toLongLong()
            : m_sql
                  .scalar(
                      QStringLiteral("SELECT COALESCE(MAX(c.sortid), 0) FROM data_items c "
                                     "WHERE c.pid = (SELECT iid FROM data_items WHERE uuid = ?)"),
                      {it.key()})
                  .toLongLong();
        for (qsizetype rank = 0; rank < children.size(); ++rank)
            m_sortHints.insert(pending.at(children.at(rank)).uuid, last + rank + 1);
    }
    QList<qsizetype> parents;
    queue->clear();
    queue->reserve(pending.size());
    for (qsizetype i = 0; i < pending.size(); ++i) {
        if (pending.at(i).hasChildren)
            parents.append(i);
    }
    std::sort(parents.begin(), parents.end(), [&](qsizetype a, qsizetype b) {
        const Pending &x = pending.at(a);
        const Pending &y = pending.at(b);
        return x.depth != y.depth ? x.depth < y.depth : siblingOrder(a, b);
    });
    for (const qsizetype i : qAsConst(parents))
        queue->append(pending.at(i).uuid);
    for (const Pending &item : qAsConst(pending)) {
        if (!item.hasChildren)
            queue->append(item.uuid);
    }
    return true;
}

bool SyncEngine::applyOne(const QString &uuid, bool *skipped, QString *error)
{
    qint64 iid = iidOf(m_sql, uuid);
    if (iid != 0
        && (isHeld(iid)
            || m_sql.scalar(QStringLiteral("SELECT 1 FROM sync_dirty WHERE iid = ?"), {iid})
                   .isValid())) {
        *skipped = true;
        return true;
    }
    const QList<Head> heads = headsOf(m_sql, uuid);
    QStringList headVids;
    for (const Head &head : heads)
        headVids.append(head.vid);
    // A change of content alone leaves the tree as it is; a place that won was noted when it
    // came in (see ingest).
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
            && !m_sql.scalar(QStringLiteral("SELECT 1 FROM data_items WHERE pid = ?"), {iid})
                    .isValid()) {
            const qint64 pid
                = m_sql.scalar(QStringLiteral("SELECT pid FROM data_items WHERE iid = ?"), {iid}, 0)
                      .toLongLong();
            if (!m_sql.exec(QStringLiteral("DELETE FROM data_items WHERE iid = ?"), {iid}, error)
                || !changeobservers::itemChanged(m_db, iid, ChangeObserver::Removed, error)
                || !m_sql.exec(QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?)"),
                    {pid}, error))
                return false;
            ++m_report.applied;
            iid = 0;
        }
        // Either way the tree changes, or whether the item stays must be settled.
        m_placesChanged = true;
        return m_sql.exec(
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
        readItem(m_sql, iid, &ignored, &pid, &localBody);
        localHash = localBody.hash();
        localBases = local::splitList(
            m_sql.scalar(QStringLiteral("SELECT bases FROM sync_items WHERE uuid = ?"), {uuid})
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
            ancestors = ancestorHashes(m_sql, winner->vid);
            ancestorsRead = true;
        }
        if (ancestors.contains(head.hash))
            continue;
        // A concurrent version the winner does not contain: kept as a copy beside the item.
        const QString copy = copyUuid(uuid, head.vid);
        if (m_sql.scalar(QStringLiteral("SELECT 1 FROM sync_versions WHERE uuid = ?"), {copy})
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
        const Place place = placeOf(m_sql, uuid);
        PlaceRecord copyPlace;
        copyPlace.uuid = copy;
        copyPlace.parent = place.parent;
        copyPlace.from = place.parent;
        const QString after = place.valid ? place.key : QString();
        const QString before
            = m_sql
                  .scalar(
                      QStringLiteral(
                          "SELECT MIN(poskey) FROM sync_places WHERE parent = ? AND poskey > ?"),
                      {text(place.parent), text(after)})
                  .toString();
        copyPlace.key = poskey::between(after, before);
        if (!addLocalPlace(copyPlace, error))
            return false;
        ++m_report.conflicts;
    }
    if (iid == 0 || localHash != winner->hash) {
        // A new item goes under its merged parent when that is here already (the apply takes
        // parents first and siblings in their order, see apply), else to the top level for now.
        qint64 pid = 0;
        qint64 sortid = 0;
        if (iid == 0) {
            m_placesChanged = true;
            const Place place = placeOf(m_sql, uuid);
            if (place.valid)
                pid = place.parent.isEmpty() ? 0 : iidOf(m_sql, place.parent);
            if (place.valid && (pid != 0 || place.parent.isEmpty()))
                sortid = m_sortHints.value(uuid);
        }
        iid = writeItem(m_sql, iid, uuid, winning, error, pid, sortid);
        if (iid == 0)
            return false;
        ++m_report.applied;
    }
    return m_sql.exec(
               QStringLiteral("INSERT OR REPLACE INTO sync_items(uuid, iid, hash, bases, deleted) "
                              "VALUES (?, ?, ?, ?, 0)"),
               {uuid, iid, winner->hash, local::joinList(headVids)}, error)
        && m_sql.exec(
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
bool SyncEngine::settlePlaces(bool lockFirst, QString *error)
{
    // Worked out from what is read before the write lock is taken, unless another connection
    // wrote in between: then again, with the lock taken first.
    if (lockFirst && !begin(error))
        return false;
    const qint64 version = m_sql.scalar(QStringLiteral("PRAGMA data_version")).toLongLong();
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
    // Items deleted everywhere they were changed (see removeUnneeded): read through every head,
    // so before the write lock is taken.
    QSet<QString> dead;
    if (!m_sql.select(
            QStringLiteral("SELECT uuid FROM sync_versions WHERE head = 1 GROUP BY uuid "
                           "HAVING MIN(deleted) = 1"),
            {}, [&](const QSqlQuery &row) { dead.insert(row.value(0).toString()); }, error))
        return false;
    QSet<qint64> kept; // being edited: they stay where they are
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (query.exec(QStringLiteral("SELECT iid FROM sync_dirty"))) {
            while (query.next())
                kept.insert(query.value(0).toLongLong());
        }
    }

    // Parents deleted elsewhere that a child here needs come back, with what they held.
    QStringList missing;
    for (const QString &uuid : qAsConst(order)) {
        const QString parent = effective.value(uuid);
        if (here.contains(uuid) && !parent.isEmpty() && !here.contains(parent))
            missing.append(parent);
    }
    // Otherwise everything up to the moves is worked out before the write lock is taken.
    bool writing = lockFirst || !missing.isEmpty();
    if (writing && !lockFirst && !begin(error))
        return false;
    if (!lockFirst && writing
        && m_sql.scalar(QStringLiteral("PRAGMA data_version")).toLongLong() != version) {
        rollback();
        return settlePlaces(true, error);
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
        const qint64 iid = writeItem(m_sql, 0, parent, body, error);
        QStringList heads;
        for (const Head &head : headsOf(m_sql, parent))
            heads.append(head.vid);
        if (iid == 0
            || !m_sql.exec(
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
    // Kept items may disagree with the merged tree: a move that would close a loop is not made.
    // The tree as it is has no loop, so every loop runs through an item that moves.
    const auto currentParent = [&](qint64 iid) { return here.value(uuidOfIid.value(iid)).pid; };
    QList<qint64> moving;
    for (auto it = target.cbegin(); it != target.cend(); ++it) {
        if (it.value() != currentParent(it.key()))
            moving.append(it.key());
    }
    std::sort(moving.begin(), moving.end());
    for (bool changed = true; changed;) {
        changed = false;
        for (const qint64 iid : qAsConst(moving)) {
            qint64 &to = target[iid];
            QSet<qint64> seen {iid};
            for (qint64 at = to; at != 0; at = target.value(at)) {
                if (seen.contains(at)) {
                    if (at == iid) {
                        to = currentParent(iid);
                        changed = true;
                    }
                    break;
                }
                seen.insert(at);
            }
        }
    }
    // Siblings of everything that changed here take the merged order.
    QSet<qint64> reorder;
    for (const QString &uuid : qAsConst(m_touched)) {
        if (here.contains(uuid))
            reorder.insert(target.value(here.value(uuid).iid));
    }
    QList<QPair<qint64, qint64>> moves;
    for (auto it = target.cbegin(); it != target.cend(); ++it) {
        if (here.value(uuidOfIid.value(it.key())).pid != it.value())
            moves.append({it.key(), it.value()});
    }
    std::sort(moves.begin(), moves.end());
    if (!writing) {
        if (!begin(error))
            return false;
        if (m_sql.scalar(QStringLiteral("PRAGMA data_version")).toLongLong() != version) {
            rollback();
            return settlePlaces(true, error);
        }
    }
    for (const qint64 pid : qAsConst(reorder)) {
        if (!m_sql.exec(QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?)"), {pid},
                error)) {
            rollback();
            return false;
        }
    }
    qsizetype next = 0;
    bool ok = true;
    for (;;) {
        QElapsedTimer timer;
        timer.start();
        while (ok && next < moves.size() && timer.elapsed() < batchMillis) {
            const auto [iid, pid] = moves.at(next++);
            const qint64 old = here.value(uuidOfIid.value(iid)).pid;
            ok = m_sql.exec(
                     QStringLiteral("UPDATE data_items SET pid = ?, sortid = (SELECT COALESCE(MAX("
                                    "sortid), 0) + 1 FROM data_items WHERE pid = ?) WHERE iid = ?"),
                     {pid, pid, iid}, error)
                && m_sql.exec(
                    QStringLiteral("INSERT OR IGNORE INTO sync_reorder(pid) VALUES (?), (?)"),
                    {old, pid}, error);
        }
        if (ok && next >= moves.size())
            ok = removeUnneeded(dead, target, uuidOfIid, kept, error)
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
bool SyncEngine::removeUnneeded(const QSet<QString> &dead, const QHash<qint64, qint64> &target,
    const QHash<qint64, QString> &uuidOfIid, const QSet<qint64> &kept, QString *error)
{
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
bool SyncEngine::renumber(qint64 pid, qint64 *moved, QString *error)
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
            ++*moved;
            update.bindValue(0, next);
            update.bindValue(1, child.iid);
            if (!update.exec()) {
                if (error)
                    *error = update.lastError().text();
                ok = false;
            }
        }
        if (ok && next == children.size())
            ok = m_sql.exec(QStringLiteral("DELETE FROM sync_reorder WHERE pid = ?"), {pid}, error);
        if (!ok || !commit(error)) {
            rollback();
            return false;
        }
    } while (next < children.size());
    return true;
}

} // namespace datasync
