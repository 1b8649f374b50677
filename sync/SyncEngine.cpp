#include "SyncEngine.h"

#include "ChangeObserver.h"
#include "Database.h"
#include "LogWriteOut.h"
#include "SyncCrypto.h"
#include "SyncEngineSupport.h"
#include "SyncJournal.h"
#include "SyncLocal.h"
#include "WritePriority.h"

#include <QAtomicInteger>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <ctime>

namespace datasync {

using namespace detail;

namespace {

const QByteArray keyCheckText = QByteArrayLiteral("velto-sync-key-check");

// Everything a record says, for telling two records of the same name apart.
QByteArray fingerprint(const ContentRecord &record)
{
    return QStringList({record.vid, record.uuid, QString::number(record.ts),
                           record.deleted ? QStringLiteral("d") : QStringLiteral("l"),
                           record.bases.join(QLatin1Char(','))})
               .join(QLatin1Char('\n'))
               .toUtf8()
        + '\n' + record.body.canonical();
}

QByteArray fingerprint(const PlaceRecord &record)
{
    return QStringList({record.vid, record.uuid, QString::number(record.ts), record.parent,
                           record.key, record.from})
        .join(QLatin1Char('\n'))
        .toUtf8();
}

} // namespace

SyncEngine::SyncEngine(const QString &databaseFile, SyncTransport *transport)
    : m_file(databaseFile)
    , m_transport(transport)
{
    static QAtomicInteger<int> counter;
    m_connection = QStringLiteral("velto-sync-%1").arg(counter.fetchAndAddRelaxed(1));
}

SyncEngine::~SyncEngine()
{
    m_sql.clear();
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

void SyncEngine::setHeldItems(const QSet<qint64> &iids)
{
    setHeld(iids);
}

QString SyncEngine::conflictName(const QString &name)
{
    return name + QStringLiteral("（冲突副本）");
}

SyncReport SyncEngine::run()
{
    m_report = SyncReport();
    m_placesChanged = false;
    m_touched.clear();
    QString error;
    // VELTO_SYNC_PROFILE=1: the time of every step on standard error.
    m_profile = qEnvironmentVariableIsSet("VELTO_SYNC_PROFILE");
    QElapsedTimer timer;
    timer.start();
    // With the processor time of this thread, which a busy machine leaves as it is.
    const auto threadMillis = [] {
        timespec now {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    };
    qint64 cpu = threadMillis();
    const auto step = [&](const char *name, bool done) {
        if (m_profile) {
            const qint64 cpuNow = threadMillis();
            qInfo("sync %s: %lld ms (processor %lld ms)", name, timer.restart(), cpuNow - cpu);
            cpu = cpuNow;
        }
        return done;
    };
    const auto exchange = [&] {
        return step("server", prepareServer(&error)) && step("list", listRemote(&error))
            && step("samples", dropUntouchedSamples(&error))
            && step("snapshot", loadSnapshot(&error)) && step("collect", collect(&error))
            && step("upload", upload(&error)) && step("fetch", fetch(&error))
            && step("apply", apply(&error)) && step("upload", upload(&error));
    };
    m_identityTaken = false;
    bool ok = step("open", open(&error)) && exchange();
    if (!ok && m_identityTaken) {
        // Another database (a copy of this file, or the one this was restored from) goes on
        // under this identity: this one rejoins as a new device, once.
        rollback();
        error.clear();
        m_identityTaken = false;
        ok = step("new identity", takeNewIdentity(&error)) && exchange();
        if (!ok && m_identityTaken)
            error = identityTakenMessage();
    }
    // A snapshot that cannot be written now is written by a later sync.
    if (ok) {
        QString ignored;
        step("write snapshot", writeSnapshot(&ignored));
    }
    if (ok)
        m_sql.setState(QStringLiteral("sync_synced_once"), QStringLiteral("1"), nullptr);
    else
        rollback();
    m_report.ok = ok;
    m_report.error = error;
    return m_report;
}

bool SyncEngine::open(QString *error)
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(m_file);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
    if (!m_db.open()) {
        if (error)
            *error = m_db.lastError().text();
        return false;
    }
    m_sql.setConnection(m_db);
    if (!local::exec(m_db, QStringLiteral("PRAGMA foreign_keys = ON"), error))
        return false;
    // A commit waits for no disk write: what a crash takes back, the next sync does again; the
    // records are made durable before anything of them leaves for the server (see upload).
    local::exec(m_db, QStringLiteral("PRAGMA synchronous = NORMAL"), nullptr);
    // The tables sync reads are keyed by random identities: a cache that holds their indexes
    // keeps a big library from being read from the file page by page.
    local::exec(m_db, QStringLiteral("PRAGMA cache_size = -65536"), nullptr);
    timeCheckpoints();
    m_logWriteOut = std::make_unique<LogWriteOut>(m_file);
    if (!m_sql
             .scalar(QStringLiteral(
                 "SELECT 1 FROM pragma_table_info('data_items') WHERE name = 'uuid'"))
             .isValid()) {
        if (error)
            *error = QStringLiteral("数据库还没有升级，请先启动一次 Velto。");
        return false;
    }
    // The other observers (the full-text index) prepare this connection too.
    changeobservers::connectionOpened(m_db);
    if (!SyncJournal::prepare(m_db, error))
        return false;
    m_device = m_sql.state(QStringLiteral("sync_device"));
    if (m_device.isEmpty()) {
        m_device = randomHex(8);
        if (!m_sql.setState(QStringLiteral("sync_device"), m_device, error))
            return false;
    }
    m_clock = m_sql.state(QStringLiteral("sync_clock"), QStringLiteral("0")).toLongLong();
    m_nextVid = m_sql.state(QStringLiteral("sync_next_vid"), QStringLiteral("1")).toLongLong();
    return true;
}

QString SyncEngine::nextVid()
{
    return m_device + QLatin1Char(':') + QString::number(m_nextVid++);
}

qint64 SyncEngine::tick()
{
    m_clock = qMax(m_clock + 1, QDateTime::currentMSecsSinceEpoch());
    return m_clock;
}

void SyncEngine::observe(qint64 ts)
{
    m_clock = qMax(m_clock, ts);
}

bool SyncEngine::prepareServer(QString *error)
{
    using Result = SyncTransport::Result;
    // The library's folder as its parent lists it: the ETags of devices/ and snapshots/.
    m_top.sent = QDateTime::currentMSecsSinceEpoch();
    const Result top = m_transport->list(QStringLiteral("velto"), &m_topEntries, error);
    m_top.answered = QDateTime::currentMSecsSinceEpoch();
    if (top == Result::Failed
        || (top == Result::Missing
            && m_transport->makeFolder(QStringLiteral("velto"), error) != Result::Ok))
        return false;
    // The library's format file, written once by the first device: whether it is encrypted and
    // with which salt, and a sealed check text that tells a wrong passphrase at once.
    const QString formatPath = QStringLiteral("velto/format.json");
    QByteArray format;
    Result got = m_transport->get(formatPath, &format, error);
    if (got == Result::Missing) {
        QJsonObject mine {{QStringLiteral("format"), QStringLiteral("velto-sync-1")}};
        if (!m_passphrase.isEmpty()) {
            const QByteArray salt = crypto::newSalt();
            m_key = crypto::deriveKey(m_passphrase, salt, error);
            if (m_key.isEmpty())
                return false;
            mine.insert(QStringLiteral("encryption"),
                QStringLiteral("argon2id+xchacha20poly1305-secretstream"));
            mine.insert(QStringLiteral("salt"), QString::fromLatin1(salt.toBase64()));
            mine.insert(QStringLiteral("check"),
                QString::fromLatin1(crypto::seal(keyCheckText, m_key).toBase64()));
        }
        const Result put = m_transport->putNew(formatPath, QJsonDocument(mine).toJson(), error);
        if (put == Result::Failed)
            return false;
        got = m_transport->get(formatPath, &format, error);
    }
    if (got != Result::Ok) {
        if (got == Result::Missing && error)
            *error = QStringLiteral("服务器没有保存写入同步文件夹的文件。");
        return false;
    }
    const QJsonObject object = QJsonDocument::fromJson(format).object();
    if (object.value(QStringLiteral("format")).toString() != QLatin1String("velto-sync-1")) {
        if (error)
            *error = QStringLiteral("服务器上的 velto 文件夹不是这个版本的 Velto 写的同步数据。");
        return false;
    }
    const bool encrypted = object.contains(QStringLiteral("encryption"));
    if (encrypted && m_passphrase.isEmpty()) {
        if (error)
            *error = QStringLiteral("服务器上的同步数据已加密：请填写加密口令。");
        return false;
    }
    if (!encrypted && !m_passphrase.isEmpty()) {
        if (error)
            *error = QStringLiteral("服务器上的同步数据没有加密，不能使用加密口令：请清空加密口令，"
                                    "或换一个新的服务器文件夹。");
        return false;
    }
    if (encrypted) {
        const QByteArray salt
            = QByteArray::fromBase64(object.value(QStringLiteral("salt")).toString().toLatin1());
        m_key = crypto::deriveKey(m_passphrase, salt, error);
        if (m_key.isEmpty())
            return false;
        QByteArray check;
        if (!crypto::open(
                QByteArray::fromBase64(object.value(QStringLiteral("check")).toString().toLatin1()),
                m_key, &check)
            || check != keyCheckText) {
            m_key.clear();
            if (error)
                *error = QStringLiteral("加密口令不对：无法解开服务器上的同步数据。");
            return false;
        }
    }
    // This device's own folder is made once the listing of devices/ shows it missing.
    return topEntry(QStringLiteral("devices"))
        || m_transport->makeFolder(QStringLiteral("velto/devices"), error) == Result::Ok;
}

// A computer joining a library already on the server, whose database holds nothing but the
// sample items of its first start, takes the server's tree instead of adding its samples to it.
bool SyncEngine::dropUntouchedSamples(QString *error)
{
    if (!m_serverHasOthers || m_ownOnServer
        || !m_sql.state(QStringLiteral("sync_synced_once")).isEmpty()
        || m_sql.scalar(QStringLiteral("SELECT COUNT(*) FROM sync_cursors"), {}, 1).toLongLong()
            != 0
        || m_sql.scalar(QStringLiteral("SELECT COUNT(*) FROM content_blocks"), {}, 1).toLongLong()
            != 0)
        return true;
    const QList<DataItem> samples = Database::sampleItems();
    QList<DataItem> stored;
    {
        QSqlQuery query(m_db);
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT iid, pid, sortid, here, cont, remark, favorite, "
                                       "\"desc\" FROM data_items ORDER BY iid LIMIT 100")))
            return true;
        while (query.next()) {
            if (!query.value(5).toString().isEmpty() || query.value(6).toBool()
                || !query.value(7).toString().isEmpty())
                return true;
            DataItem item;
            item.iid = query.value(0).toLongLong();
            item.pid = query.value(1).toLongLong();
            item.sortid = query.value(2).toLongLong();
            item.here = query.value(3).toString();
            item.cont = query.value(4).toString();
            stored.append(item);
        }
    }
    if (stored.size() != samples.size())
        return true;
    for (qsizetype i = 0; i < samples.size(); ++i) {
        const DataItem &a = samples.at(i);
        const DataItem &b = stored.at(i);
        if (a.iid != b.iid || a.pid != b.pid || a.sortid != b.sortid || a.here != b.here
            || a.cont != b.cont)
            return true;
    }
    if (!begin(error))
        return false;
    bool ok = true;
    for (const DataItem &item : stored) {
        ok = ok
            && m_sql.exec(QStringLiteral("DELETE FROM data_items WHERE iid = ?"), {item.iid}, error)
            && changeobservers::itemChanged(m_db, item.iid, ChangeObserver::Removed, error);
    }
    // Nothing of this device is on the server yet: its sync state starts afresh.
    for (const char *table : {"sync_dirty", "sync_dirty_parents", "sync_tombstones", "sync_items",
             "sync_versions", "sync_places", "sync_pending", "sync_outbox"})
        ok = ok && local::exec(m_db, QStringLiteral("DELETE FROM ") + QLatin1String(table), error);
    ok = ok && FolderTags::forget(m_sql, error);
    ok = ok && m_sql.setState(QStringLiteral("sync_upload_seq"), QStringLiteral("1"), error);
    if (!ok || !commit(error)) {
        rollback();
        return false;
    }
    m_report.tookServerTree = true;
    return true;
}

bool SyncEngine::storeContent(const ContentRecord &record, const QString &hash, bool keepBody,
    QString *error, const QByteArray &canonical)
{
    const QVariant known = m_sql.scalar(
        QStringLiteral("SELECT known FROM sync_versions WHERE vid = ?"), {record.vid});
    if (known.isValid() && known.toBool())
        return true;
    // A version some other version already names as its base is not a head.
    const bool head = !known.isValid();
    const QVariant body = !keepBody || !head ? QVariant()
        : canonical.isEmpty()                ? QVariant(bodyText(record.body))
                                             : QVariant(QString::fromUtf8(canonical));
    if (!m_sql.exec(
            QStringLiteral("INSERT OR REPLACE INTO sync_versions(vid, uuid, ts, hash, bases, head, "
                           "deleted, known, body) VALUES (?, ?, ?, ?, ?, ?, ?, 1, ?)"),
            {record.vid, record.uuid, record.ts, hash, local::joinList(record.bases), head ? 1 : 0,
                record.deleted ? 1 : 0, body},
            error))
        return false;
    for (const QString &base : record.bases) {
        int updated = 0;
        if (!m_sql.exec(
                QStringLiteral("UPDATE sync_versions SET head = 0, body = NULL WHERE vid = ?"),
                {base}, error, &updated))
            return false;
        if (updated == 0
            && !m_sql.exec(
                QStringLiteral("INSERT INTO sync_versions(vid, uuid, known) VALUES (?, ?, 0)"),
                {base, record.uuid}, error))
            return false;
    }
    return true;
}

bool SyncEngine::storePlace(const PlaceRecord &record, bool *won, QString *error)
{
    const Place current = placeOf(m_sql, record.uuid);
    *won = !current.valid || later(record.ts, record.vid, current.ts, current.vid);
    if (!*won)
        return true;
    return m_sql.exec(
        QStringLiteral("INSERT OR REPLACE INTO sync_places(uuid, vid, ts, parent, poskey, "
                       "from_parent) VALUES (?, ?, ?, ?, ?, ?)"),
        {record.uuid, record.vid, record.ts, text(record.parent), text(record.key),
            text(record.from)},
        error);
}

bool SyncEngine::addLocalContent(
    ContentRecord record, qint64 iid, QString *error, const QString &knownHash)
{
    stampLocal(record);
    return storeLocal(record, iid, knownHash.isEmpty() ? record.body.hash() : knownHash, error);
}

void SyncEngine::stampLocal(ContentRecord &record)
{
    record.vid = nextVid();
    record.ts = tick();
    m_open.contents.append(record);
    ++m_report.sent;
}

bool SyncEngine::storeLocal(
    const ContentRecord &record, qint64 iid, const QString &hash, QString *error)
{
    // A conflict copy (iid 0) is written here by the apply, which needs its body until then.
    const bool copy = iid == 0 && !record.deleted;
    if (!storeContent(record, hash, record.deleted || copy, error))
        return false;
    if (copy)
        return m_sql.exec(QStringLiteral("INSERT OR IGNORE INTO sync_pending(uuid) VALUES (?)"),
            {record.uuid}, error);
    return m_sql.exec(QStringLiteral("INSERT OR REPLACE INTO sync_items(uuid, iid, hash, bases, "
                                     "deleted) VALUES (?, ?, ?, ?, ?)"),
        {record.uuid, record.deleted ? QVariant(0) : QVariant(iid), hash, record.vid,
            record.deleted ? 1 : 0},
        error);
}

bool SyncEngine::addLocalPlace(PlaceRecord record, QString *error)
{
    record.vid = nextVid();
    record.ts = tick();
    bool won = false;
    if (!storePlace(record, &won, error))
        return false;
    m_open.places.append(record);
    ++m_report.sent;
    return true;
}

// Uploads the outbox, oldest first, joined into segments of up to uploadRecords records. A
// segment already on the server under the next number was uploaded by a sync cut off before it
// could note it: the outbox rows it holds are done.
bool SyncEngine::upload(QString *error)
{
    using Result = SyncTransport::Result;
    if (!m_sql.scalar(QStringLiteral("SELECT 1 FROM sync_outbox LIMIT 1")).isValid())
        return true;
    if (!makeDurable(error))
        return false;
    for (;;) {
        if (stopped(error))
            return false;
        QList<qint64> rows;
        QList<QList<QByteArray>> rowPrints;
        Segment joined;
        joined.device = m_device;
        {
            QSqlQuery query(m_db);
            query.setForwardOnly(true);
            if (!query.exec(QStringLiteral("SELECT seq, data FROM sync_outbox ORDER BY seq"))) {
                if (error)
                    *error = query.lastError().text();
                return false;
            }
            while (
                query.next() && joined.contents.size() + joined.places.size() < m_uploadRecords) {
                Segment part;
                if (!Segment::decode(query.value(1).toByteArray(), &part, error))
                    return false;
                QList<QByteArray> prints;
                for (const ContentRecord &record : qAsConst(part.contents))
                    prints << fingerprint(record);
                for (const PlaceRecord &record : qAsConst(part.places))
                    prints << fingerprint(record);
                rows << query.value(0).toLongLong();
                rowPrints << prints;
                joined.contents += part.contents;
                joined.places += part.places;
            }
        }
        if (rows.isEmpty())
            return true;
        const qint64 seq
            = m_sql.state(QStringLiteral("sync_upload_seq"), QStringLiteral("1")).toLongLong();
        joined.seq = seq;
        const QByteArray data = joined.encode();
        const QString path
            = QStringLiteral("velto/devices/") + m_device + QLatin1Char('/') + segmentName(seq);
        const Result put
            = m_transport->putNew(path, m_key.isEmpty() ? data : crypto::seal(data, m_key), error);
        if (put == Result::Failed)
            return false;
        qsizetype done = rows.size();
        if (put == Result::Exists) {
            QByteArray there;
            if (m_transport->get(path, &there, error) != Result::Ok)
                return false;
            QByteArray plain = there;
            Segment theirs;
            if ((!m_key.isEmpty() && !crypto::open(there, m_key, &plain))
                || !Segment::decode(plain, &theirs, error) || theirs.device != m_device)
                theirs = Segment();
            // Whole records are compared, not their names: another database under this identity
            // names its own, different records the same way.
            QSet<QByteArray> uploaded;
            for (const ContentRecord &record : qAsConst(theirs.contents))
                uploaded.insert(fingerprint(record));
            for (const PlaceRecord &record : qAsConst(theirs.places))
                uploaded.insert(fingerprint(record));
            done = 0;
            while (done < rows.size()) {
                bool all = true;
                for (const QByteArray &print : rowPrints.at(done))
                    all = all && uploaded.contains(print);
                if (!all)
                    break;
                ++done;
            }
            if (done == 0) {
                m_identityTaken = true;
                if (error)
                    *error = identityTakenMessage();
                return false;
            }
        }
        if (!local::exec(m_db, QStringLiteral("BEGIN IMMEDIATE"), error))
            return false;
        bool ok
            = m_sql.setState(QStringLiteral("sync_upload_seq"), QString::number(seq + 1), error);
        for (qsizetype i = 0; ok && i < done; ++i)
            ok = m_sql.exec(
                QStringLiteral("DELETE FROM sync_outbox WHERE seq = ?"), {rows.at(i)}, error);
        if (!ok || !local::exec(m_db, QStringLiteral("COMMIT"), error)) {
            rollback();
            return false;
        }
        yieldToForeground();
        if (checkpoint)
            checkpoint(QStringLiteral("upload"));
    }
}

bool SyncEngine::fetch(QString *error)
{
    QHash<QString, qint64> cursors;
    for (const Fetch &item : qAsConst(m_toFetch)) {
        auto cursor = cursors.find(item.device);
        if (cursor == cursors.end())
            cursor = cursors.insert(item.device,
                m_sql
                    .scalar(QStringLiteral("SELECT seq FROM sync_cursors WHERE device = ?"),
                        {item.device}, 0)
                    .toLongLong());
        // Segments are read in order without gaps; a missing one stops that device here.
        if (item.seq != cursor.value() + 1)
            continue;
        QByteArray data;
        if (m_transport->get(item.path, &data, error) != SyncTransport::Result::Ok) {
            if (error && error->isEmpty())
                *error = QStringLiteral("服务器上缺少同步文件 ") + item.path;
            return false;
        }
        if (!m_key.isEmpty()) {
            QByteArray plain;
            if (!crypto::open(data, m_key, &plain)) {
                if (error)
                    *error = QStringLiteral("无法解开服务器上的同步文件 ") + item.path
                        + QStringLiteral("：加密口令不对或文件已损坏。");
                return false;
            }
            data = plain;
        }
        Segment segment;
        if (!Segment::decode(data, &segment, error))
            return false;
        data.clear();
        // In parts: records stored twice (after a cut) are stored once, so the cursor moves with
        // the last part.
        const qsizetype total = segment.contents.size() + segment.places.size();
        qsizetype next = 0;
        qsizetype reached = 0;
        const Unit unit = [&](int size, bool *more, QString *error) {
            writing();
            reached = qMin(total, next + qsizetype(size) * 4);
            if (!ingest(segment, next, reached, error))
                return false;
            *more = reached < total;
            return *more
                || m_sql.exec(QStringLiteral(
                                  "INSERT OR REPLACE INTO sync_cursors(device, seq) VALUES (?, ?)"),
                    {item.device, item.seq}, error);
        };
        if (!inTransactions(
                QString(), unit, [&] { next = reached; }, error))
            return false;
        cursor.value() = item.seq;
        if (checkpoint)
            checkpoint(QStringLiteral("fetch"));
    }
    return true;
}

// Stores records from..to of segment (its contents, then its places).
bool SyncEngine::ingest(const Segment &segment, qsizetype from, qsizetype to, QString *error)
{
    // Made pending by this call already (a place usually follows its item's content).
    QSet<QString> pended;
    const auto pend = [&](const QString &uuid) {
        if (pended.contains(uuid))
            return true;
        pended.insert(uuid);
        return m_sql.exec(
            QStringLiteral("INSERT OR IGNORE INTO sync_pending(uuid) VALUES (?)"), {uuid}, error);
    };
    const qsizetype contents = segment.contents.size();
    for (qsizetype i = from; i < qMin(to, contents); ++i) {
        const ContentRecord &record = segment.contents.at(i);
        observe(record.ts);
        const QByteArray canonical = record.body.canonical();
        if (!storeContent(record, ItemBody::hashOf(canonical), true, error, canonical)
            || !pend(record.uuid))
            return false;
        ++m_report.received;
    }
    bool placed = false;
    for (qsizetype i = qMax(from, contents); i < to; ++i) {
        const PlaceRecord &record = segment.places.at(i - contents);
        observe(record.ts);
        bool won = false;
        if (!storePlace(record, &won, error) || (won && !pend(record.uuid)))
            return false;
        placed = placed || won;
        ++m_report.received;
    }
    return !placed || m_sql.setState(QStringLiteral("sync_settle"), QStringLiteral("1"), error);
}

} // namespace datasync
