#include "SyncEngine.h"

#include "SyncCrypto.h"
#include "SyncEngineSupport.h"
#include "SyncLocal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

// Snapshots: the merged state one device had, so that a computer joining the library reads it and
// only the segments written after it, instead of every segment ever written.
namespace datasync {

using namespace detail;

namespace {

const QByteArray partMagic = QByteArrayLiteral("VELTO-SNAPSHOT-1\n");
const QString snapshotsFolder = QStringLiteral("velto/snapshots");
const QString manifestName = QStringLiteral("manifest.json");
constexpr int rowsPerPart = 2000;

QString partName(int part)
{
    return QStringLiteral("%1.part").arg(part, 6, 10, QLatin1Char('0'));
}

QJsonValue nullable(const QVariant &value)
{
    return value.isNull() ? QJsonValue() : QJsonValue(value.toString());
}

QVariant fromNullable(const QJsonValue &value)
{
    return value.isNull() ? QVariant() : QVariant(value.toString());
}

} // namespace

// A part: some rows of sync_versions and sync_places, zlib-compressed JSON.
struct SnapshotPart {
    QJsonArray versions; // [uuid, vid, ts, hash, bases, head, deleted, known, body]
    QJsonArray places; // [uuid, vid, ts, parent, poskey, from]

    qsizetype size() const { return versions.size() + places.size(); }
    QByteArray encode() const
    {
        const QJsonObject object {{QStringLiteral("v"), versions}, {QStringLiteral("p"), places}};
        return partMagic + qCompress(QJsonDocument(object).toJson(QJsonDocument::Compact), 6);
    }
    static bool decode(const QByteArray &bytes, SnapshotPart *part)
    {
        if (!bytes.startsWith(partMagic))
            return false;
        const QJsonDocument document
            = QJsonDocument::fromJson(qUncompress(bytes.mid(partMagic.size())));
        if (!document.isObject())
            return false;
        part->versions = document.object().value(QStringLiteral("v")).toArray();
        part->places = document.object().value(QStringLiteral("p")).toArray();
        return true;
    }
};

QByteArray SyncEngine::sealed(const QByteArray &plain) const
{
    return m_key.isEmpty() ? plain : crypto::seal(plain, m_key);
}

bool SyncEngine::unsealed(
    const QByteArray &data, const QString &path, QByteArray *plain, QString *error) const
{
    if (m_key.isEmpty()) {
        *plain = data;
        return true;
    }
    if (crypto::open(data, m_key, plain))
        return true;
    if (error)
        *error = QStringLiteral("无法解开服务器上的同步文件 ") + path
            + QStringLiteral("：加密口令不对或文件已损坏。");
    return false;
}

// The newest complete snapshot on the server: the folder whose manifest (written last) is there.
// Remembered while snapshots/ keeps its ETag and the newest folder was complete: a new snapshot
// is a new folder there.
bool SyncEngine::findSnapshot(QString *error)
{
    using Result = SyncTransport::Result;
    m_snapshot = Snapshot();
    const RemoteEntry *top = topEntry(snapshotsFolder.section(QLatin1Char('/'), -1));
    if (!top) {
        m_tags.listed(snapshotsFolder, QString(), m_top, QString());
        return true;
    }
    const auto take = [this](const QString &path, const QJsonObject &manifest) {
        m_snapshot.folder = path;
        m_snapshot.parts = manifest.value(QStringLiteral("parts")).toInt();
        m_snapshot.bytes = manifest.value(QStringLiteral("bytes")).toInteger();
        const QJsonObject cursors = manifest.value(QStringLiteral("cursors")).toObject();
        for (auto it = cursors.begin(); it != cursors.end(); ++it)
            m_snapshot.cursors.insert(it.key(), it.value().toInteger());
    };
    QString summary;
    if (m_tags.unchanged(snapshotsFolder, top->etag, &summary)) {
        const QJsonObject known = QJsonDocument::fromJson(summary.toUtf8()).object();
        if (known.contains(QStringLiteral("folder"))) {
            const QString path = known.value(QStringLiteral("folder")).toString();
            if (!path.isEmpty())
                take(path, known.value(QStringLiteral("manifest")).toObject());
            return true;
        }
    }
    QList<RemoteEntry> entries;
    const Result listed = m_transport->list(snapshotsFolder, &entries, error);
    if (listed == Result::Missing) {
        m_tags.listed(snapshotsFolder, QString(), m_top, QString());
        return true;
    }
    if (listed != Result::Ok)
        return false;
    QStringList names;
    for (const RemoteEntry &entry : qAsConst(entries)) {
        if (entry.folder)
            names.append(entry.name);
    }
    std::sort(names.begin(), names.end(), std::greater<QString>());
    QJsonObject found {{QStringLiteral("folder"), QString()}};
    for (const QString &name : qAsConst(names)) {
        const QString path = snapshotsFolder + QLatin1Char('/') + name + QLatin1Char('/');
        QByteArray data;
        const Result got = m_transport->get(path + manifestName, &data, error);
        if (got == Result::Missing)
            continue; // still being written, or cut off: an older one serves
        QByteArray plain;
        if (got != Result::Ok || !unsealed(data, path + manifestName, &plain, error))
            return false;
        const QJsonObject manifest = QJsonDocument::fromJson(plain).object();
        if (manifest.value(QStringLiteral("format")).toString()
            != QLatin1String("velto-snapshot-1"))
            continue;
        take(path, manifest);
        found = {{QStringLiteral("folder"), path}, {QStringLiteral("manifest"), manifest}};
        break;
    }
    // A newer folder without its manifest yet may get it without snapshots/ changing: listed
    // again until it has one.
    const bool newestComplete = names.isEmpty()
        || m_snapshot.folder
            == snapshotsFolder + QLatin1Char('/') + names.first() + QLatin1Char('/');
    m_tags.listed(snapshotsFolder, top->etag, m_top,
        newestComplete ? QString::fromUtf8(QJsonDocument(found).toJson(QJsonDocument::Compact))
                       : QString());
    return true;
}

// A computer that has never read anything from the server starts from the newest snapshot. Every
// part goes into the tables in short units, the cursors last: a load cut off leaves versions and
// places that the segments, read from the start next time, give again.
bool SyncEngine::loadSnapshot(QString *error)
{
    if (m_snapshot.folder.isEmpty() || !m_useSnapshots
        || m_sql.scalar(QStringLiteral("SELECT (SELECT COUNT(*) FROM sync_versions) + (SELECT "
                                       "COUNT(*) FROM sync_places) + (SELECT COUNT(*) FROM "
                                       "sync_cursors)"),
                    {}, 1)
                .toLongLong()
            != 0)
        return true;
    for (int number = 1; number <= m_snapshot.parts; ++number) {
        const QString path = m_snapshot.folder + partName(number);
        QByteArray data;
        QByteArray plain;
        SnapshotPart part;
        if (m_transport->get(path, &data, error) != SyncTransport::Result::Ok) {
            if (error && error->isEmpty())
                *error = QStringLiteral("服务器上缺少同步文件 ") + path;
            return false;
        }
        if (!unsealed(data, path, &plain, error))
            return false;
        data.clear();
        if (!SnapshotPart::decode(plain, &part)) {
            if (error)
                *error = QStringLiteral("服务器上的同步数据无法读取（格式不对或已损坏）。");
            return false;
        }
        plain.clear();
        const bool last = number == m_snapshot.parts;
        const qsizetype total = part.size();
        qsizetype next = 0;
        qsizetype reached = 0;
        const Unit unit = [&](int size, bool *more, QString *error) {
            writing();
            reached = qMin(total, next + qsizetype(size) * 4);
            const qsizetype versions = part.versions.size();
            for (qsizetype i = next; i < qMin(reached, versions); ++i) {
                const QJsonArray row = part.versions.at(i).toArray();
                observe(row.at(2).toInteger());
                if (!m_sql.exec(QStringLiteral("INSERT OR IGNORE INTO sync_versions(uuid, vid, ts, "
                                               "hash, bases, head, deleted, known, body) VALUES "
                                               "(?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                        {row.at(0).toString(), row.at(1).toString(), row.at(2).toInteger(),
                            fromNullable(row.at(3)), row.at(4).toString(), row.at(5).toInt(),
                            row.at(6).toInt(), row.at(7).toInt(), fromNullable(row.at(8))},
                        error)
                    || !m_sql.exec(
                        QStringLiteral("INSERT OR IGNORE INTO sync_pending(uuid) VALUES (?)"),
                        {row.at(0).toString()}, error))
                    return false;
            }
            for (qsizetype i = qMax(next, versions); i < reached; ++i) {
                const QJsonArray row = part.places.at(i - versions).toArray();
                PlaceRecord record;
                record.uuid = row.at(0).toString();
                record.vid = row.at(1).toString();
                record.ts = row.at(2).toInteger();
                record.parent = row.at(3).toString();
                record.key = row.at(4).toString();
                record.from = row.at(5).toString();
                observe(record.ts);
                bool won = false;
                if (!storePlace(record, &won, error)
                    || !m_sql.exec(
                        QStringLiteral("INSERT OR IGNORE INTO sync_pending(uuid) VALUES (?)"),
                        {record.uuid}, error))
                    return false;
            }
            *more = reached < total;
            if (*more || !last)
                return true;
            for (auto it = m_snapshot.cursors.cbegin(); it != m_snapshot.cursors.cend(); ++it) {
                if (it.key() != m_device
                    && !m_sql.exec(QStringLiteral("INSERT OR REPLACE INTO sync_cursors(device, "
                                                  "seq) VALUES (?, ?)"),
                        {it.key(), it.value()}, error))
                    return false;
            }
            return true;
        };
        if (!inTransactions(
                QStringLiteral("snapshot"), unit, [&] { next = reached; }, error))
            return false;
    }
    m_placesChanged = true;
    m_report.fromSnapshot = true;
    return true;
}

// Writes a snapshot of the merged state here when the segments written since the newest one are
// many, and only when that state is settled: nothing waits to be collected, applied, placed or
// uploaded, so that every live item here holds its winning version. Its parts are immutable files
// of a new folder, its manifest comes last; a snapshot cut off has no manifest and is never read.
bool SyncEngine::writeSnapshot(QString *error)
{
    if (m_snapshotEvery <= 0)
        return true;
    qint64 uncovered = 0;
    for (auto it = m_remoteSeqs.cbegin(); it != m_remoteSeqs.cend(); ++it)
        uncovered += qMax<qint64>(0, it.value() - m_snapshot.cursors.value(it.key(), 0));
    if (uncovered < m_snapshotEvery)
        return true;
    if (!local::exec(m_db, QStringLiteral("BEGIN"), error))
        return false;
    const bool ok = writeSnapshotNow(error);
    local::exec(m_db, QStringLiteral("ROLLBACK"), nullptr);
    return ok;
}

bool SyncEngine::writeSnapshotNow(QString *error)
{
    using Result = SyncTransport::Result;
    // All inside one read transaction: one consistent state.
    if (m_sql
            .scalar(QStringLiteral("SELECT (SELECT COUNT(*) FROM sync_dirty) + (SELECT COUNT(*) "
                                   "FROM sync_dirty_parents) + (SELECT COUNT(*) FROM "
                                   "sync_pending) + (SELECT COUNT(*) FROM sync_outbox) + (SELECT "
                                   "COUNT(*) FROM sync_reorder) + (SELECT COUNT(*) FROM app_state "
                                   "WHERE key = 'sync_settle')"),
                {}, 1)
            .toLongLong()
        != 0)
        return true;
    QJsonObject cursors;
    qint64 covered = 0;
    if (!m_sql.select(
            QStringLiteral("SELECT device, seq FROM sync_cursors"), {},
            [&](const QSqlQuery &row) {
                cursors.insert(row.value(0).toString(), row.value(1).toLongLong());
                covered += row.value(1).toLongLong();
            },
            error))
        return false;
    const qint64 own
        = m_sql.state(QStringLiteral("sync_upload_seq"), QStringLiteral("1")).toLongLong() - 1;
    if (own > 0) {
        cursors.insert(m_device, own);
        covered += own;
    }
    const QString id = QStringLiteral("%1-%2").arg(covered, 12, 10, QLatin1Char('0')).arg(m_device);
    const QString folder = snapshotsFolder + QLatin1Char('/') + id;
    if (folder + QLatin1Char('/') == m_snapshot.folder)
        return true; // the newest snapshot is this state already
    if (m_transport->makeFolder(snapshotsFolder, error) != Result::Ok
        || m_transport->makeFolder(folder, error) != Result::Ok)
        return false;

    int parts = 0;
    qint64 bytes = 0;
    bool consistent = true;
    SnapshotPart part;
    const auto flush = [&]() {
        if (part.size() == 0)
            return true;
        const QByteArray data = sealed(part.encode());
        part = SnapshotPart();
        const Result put
            = m_transport->putNew(folder + QLatin1Char('/') + partName(++parts), data, error);
        bytes += data.size();
        // A part already there was written by a run cut off before its manifest: this snapshot
        // is left without one, and a later state gets a snapshot of its own.
        if (put == Result::Exists)
            consistent = false;
        return put == Result::Ok && !stopped(error);
    };

    // Versions, one item at a time: the winner's body comes from the item here, which holds it.
    struct Row {
        QString uuid, vid;
        qint64 ts;
        QVariant hash;
        QString bases;
        bool head, deleted, known;
        QVariant body;
    };
    QList<Row> item;
    qint64 itemIid = 0;
    QString itemHash;
    const auto finishItem = [&]() {
        const Row *winner = nullptr;
        for (const Row &row : qAsConst(item)) {
            if (row.head && !row.deleted
                && (!winner || later(row.ts, row.vid, winner->ts, winner->vid)))
                winner = &row;
        }
        QVariant winnerBody;
        if (winner && winner->body.isNull()) {
            QString uuid;
            qint64 pid = 0;
            ItemBody body;
            if (itemIid == 0 || itemHash != winner->hash.toString()
                || !readItem(m_sql, itemIid, &uuid, &pid, &body)
                || body.hash() != winner->hash.toString()) {
                consistent = false;
                return;
            }
            winnerBody = bodyText(body);
        }
        for (const Row &row : qAsConst(item)) {
            const QVariant body = &row == winner && row.body.isNull() ? winnerBody : row.body;
            part.versions.append(
                QJsonArray {row.uuid, row.vid, row.ts, nullable(row.hash), row.bases,
                    row.head ? 1 : 0, row.deleted ? 1 : 0, row.known ? 1 : 0, nullable(body)});
        }
        item.clear();
    };
    QSqlQuery versions(m_db);
    versions.setForwardOnly(true);
    if (!versions.exec(QStringLiteral(
            "SELECT v.uuid, v.vid, v.ts, v.hash, v.bases, v.head, v.deleted, v.known, v.body, "
            "s.iid, s.hash FROM sync_versions v LEFT JOIN sync_items s ON s.uuid = v.uuid AND "
            "s.deleted = 0 ORDER BY v.uuid, v.vid"))) {
        if (error)
            *error = versions.lastError().text();
        return false;
    }
    while (consistent && versions.next()) {
        const QString uuid = versions.value(0).toString();
        if (!item.isEmpty() && item.first().uuid != uuid) {
            finishItem();
            if (part.size() >= rowsPerPart && !flush())
                return !consistent;
        }
        item.append({uuid, versions.value(1).toString(), versions.value(2).toLongLong(),
            versions.value(3), versions.value(4).toString(), versions.value(5).toBool(),
            versions.value(6).toBool(), versions.value(7).toBool(), versions.value(8)});
        itemIid = versions.value(9).toLongLong();
        itemHash = versions.value(10).toString();
    }
    versions.finish();
    if (consistent && !item.isEmpty())
        finishItem();
    if (!consistent)
        return true; // an item here is not its winner: a later sync writes the snapshot
    QSqlQuery places(m_db);
    places.setForwardOnly(true);
    if (!places.exec(QStringLiteral(
            "SELECT uuid, vid, ts, parent, poskey, from_parent FROM sync_places ORDER BY uuid"))) {
        if (error)
            *error = places.lastError().text();
        return false;
    }
    while (places.next()) {
        part.places.append(QJsonArray {places.value(0).toString(), places.value(1).toString(),
            places.value(2).toLongLong(), places.value(3).toString(), places.value(4).toString(),
            places.value(5).toString()});
        if (part.size() >= rowsPerPart && !flush())
            return !consistent;
    }
    places.finish();
    if (!flush())
        return !consistent;
    const QJsonObject manifest {{QStringLiteral("format"), QStringLiteral("velto-snapshot-1")},
        {QStringLiteral("device"), m_device}, {QStringLiteral("parts"), parts},
        {QStringLiteral("bytes"), bytes}, {QStringLiteral("cursors"), cursors}};
    const Result put = m_transport->putNew(folder + QLatin1Char('/') + manifestName,
        sealed(QJsonDocument(manifest).toJson(QJsonDocument::Compact)), error);
    if (put == Result::Failed)
        return false;
    m_report.wroteSnapshot = true;
    return true;
}

} // namespace datasync
