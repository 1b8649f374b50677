// A database that finds its device identity used by another database on the server (a copy of
// the file, or a backup restored here) goes on under a new identity.

#include "SyncEngine.h"
#include "SyncEngineSupport.h"

#include <QSqlQuery>

namespace datasync {

using namespace detail;

QString SyncEngine::newIdentityNote()
{
    return QStringLiteral("另一份数据库（例如恢复前的原件或它的复制）也在用这台电脑的同步身份，"
                          "这台电脑已改用新的同步身份；两边的修改都已保留。");
}

QString SyncEngine::identityTakenMessage()
{
    return QStringLiteral("服务器上已有这台电脑不知道的同步数据，它们用了同一个设备身份（这个数据库"
                          "可能是从另一台电脑复制或从备份恢复的）。为避免覆盖，同步已停止。");
}

// Both databases share their history up to the moment they parted, and everything of it that
// this one sent is on the server as it knows it. What it made since and has not sent (the
// outbox) carries version names the other database also used, for other records: those records
// are renamed under a new identity, wherever they are named, and the old identity's segments are
// read from then on as another device's (its later ones, written by the other database, are new
// here). The merge then treats both sides' changes as concurrent: nothing of either is lost.
bool SyncEngine::takeNewIdentity(QString *error)
{
    m_report = SyncReport();
    m_placesChanged = false;
    m_touched.clear();
    if (!begin(error))
        return false;
    writing();
    const QString device = randomHex(8);
    QHash<QString, QString> renamed;
    const auto rename = [&renamed](const QString &vid) { return renamed.value(vid, vid); };
    const auto renameList = [&](const QString &text) {
        QStringList list = local::splitList(text);
        for (QString &vid : list)
            vid = rename(vid);
        return local::joinList(list);
    };
    QList<QPair<qint64, QByteArray>> rows;
    bool ok = m_sql.select(
        QStringLiteral("SELECT seq, data FROM sync_outbox ORDER BY seq"), {},
        [&](const QSqlQuery &row) {
            rows.append({row.value(0).toLongLong(), row.value(1).toByteArray()});
        },
        error);
    QList<QPair<qint64, Segment>> outbox;
    for (const auto &[seq, data] : qAsConst(rows)) {
        Segment segment;
        ok = ok && Segment::decode(data, &segment, error);
        outbox.append({seq, segment});
    }
    qint64 next = 1;
    for (auto &[seq, segment] : outbox) {
        for (ContentRecord &record : segment.contents)
            renamed.insert(record.vid, device + QLatin1Char(':') + QString::number(next++));
        for (PlaceRecord &record : segment.places)
            renamed.insert(record.vid, device + QLatin1Char(':') + QString::number(next++));
    }
    for (auto &[seq, segment] : outbox) {
        segment.device = device;
        for (ContentRecord &record : segment.contents) {
            record.vid = rename(record.vid);
            for (QString &base : record.bases)
                base = rename(base);
        }
        for (PlaceRecord &record : segment.places)
            record.vid = rename(record.vid);
        ok = ok
            && m_sql.exec(QStringLiteral("UPDATE sync_outbox SET data = ? WHERE seq = ?"),
                {segment.encode(), seq}, error);
    }
    // Versions, the bases of versions and items, and winning places that name a renamed record.
    const auto renameIn = [&](const QString &table, const QString &key, bool keyIsVid) {
        QList<QPair<QString, QString>> rows; // key, bases
        ok = ok
            && m_sql.select(
                QStringLiteral("SELECT %1, bases FROM %2").arg(key, table), {},
                [&](const QSqlQuery &row) {
                    rows.append({row.value(0).toString(), row.value(1).toString()});
                },
                error);
        for (const auto &[id, bases] : qAsConst(rows)) {
            const QString newId = keyIsVid ? rename(id) : id;
            const QString newBases = renameList(bases);
            if (ok && (newId != id || newBases != bases))
                ok = m_sql.exec(
                    QStringLiteral("UPDATE %1 SET %2 = ?, bases = ? WHERE %2 = ?").arg(table, key),
                    {newId, newBases, id}, error);
        }
    };
    renameIn(QStringLiteral("sync_versions"), QStringLiteral("vid"), true);
    renameIn(QStringLiteral("sync_items"), QStringLiteral("uuid"), false);
    for (auto it = renamed.cbegin(); ok && it != renamed.cend(); ++it)
        ok = m_sql.exec(QStringLiteral("UPDATE sync_places SET vid = ? WHERE vid = ?"),
            {it.value(), it.key()}, error);
    // What this database sent under the old identity it has; the rest is another device's.
    const qint64 sent
        = m_sql.state(QStringLiteral("sync_upload_seq"), QStringLiteral("1")).toLongLong() - 1;
    ok = ok
        && m_sql.exec(
            QStringLiteral("INSERT OR REPLACE INTO sync_cursors(device, seq) VALUES (?, ?)"),
            {m_device, sent}, error)
        && m_sql.setState(QStringLiteral("sync_device"), device, error)
        && m_sql.setState(QStringLiteral("sync_upload_seq"), QStringLiteral("1"), error);
    const qint64 previousNextVid = m_nextVid;
    m_nextVid = next;
    if (!ok || !commit(error)) {
        m_nextVid = previousNextVid;
        rollback();
        return false;
    }
    m_device = device;
    m_report.tookNewIdentity = true;
    return true;
}

} // namespace datasync
