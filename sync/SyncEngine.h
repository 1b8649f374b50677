#pragma once

#include "FolderTags.h"
#include "SyncLocal.h"
#include "SyncRecords.h"
#include "SyncTransport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class LogWriteOut;

namespace datasync {

// What one sync did, for the command line, the status bar and the tests.
struct SyncReport {
    bool ok = false;
    QString error;
    qint64 sent = 0; // item changes sent (new, changed, moved or removed items)
    qint64 received = 0; // item changes received from other devices
    qint64 conflicts = 0; // conflict copies made here
    qint64 applied = 0; // items written here from the merge
    bool tookServerTree = false; // the sample items were dropped for the server's tree
    qint64 longestWriteMs = 0; // the longest time sync held the write lock
    bool fromSnapshot = false; // this computer started from a snapshot of the server
    bool wroteSnapshot = false;
    // Another database synced under this one's device identity (a copy of the file, or a backup
    // restored here): this one went on under a new identity.
    bool tookNewIdentity = false;
};

// How many items a unit of work takes: adjusted after each from the measured time of its writes.
class BatchSize {
public:
    void setLimit(int limit)
    {
        m_limit = qMax(1, limit);
        m_size = qMin(m_size, m_limit);
    }
    int size() const { return m_size; }
    void measured(qint64 nanos);

private:
    int m_limit = 1000;
    int m_size = 16;
};

// One sync of the database file with the server: local changes become records in new segments,
// other devices' new segments are read and merged, the merged state is written here, the new
// segments are uploaded. Runs on the calling thread with its own connection; every step commits
// in short transactions that leave the database consistent, so a sync cut off at any point is
// finished by the next one.
class SyncEngine {
public:
    SyncEngine(const QString &databaseFile, SyncTransport *transport);
    ~SyncEngine();

    SyncReport run();

    // Items the window is editing: incoming changes to them wait for the next sync.
    static void setHeldItems(const QSet<qint64> &iids);

    // Set from another thread to end the sync at the next unit of work (what is done stays done).
    void setStopFlag(const std::atomic_bool *stop) { m_stop = stop; }

    // Called with a phase name ("upload", "apply") after each unit of work; tests stop there.
    std::function<void(const QString &)> checkpoint;

    // With a passphrase everything written to the server is encrypted and everything read must
    // be; empty: plain.
    void setPassphrase(const QString &passphrase) { m_passphrase = passphrase; }
    // At most this many items per transaction and records per segment (tests cut syncs short).
    void setBatchLimit(int items)
    {
        m_batchLimit = qMax(1, items);
        m_uploadRecords = m_batchLimit;
    }

    // A snapshot of the merged state is written once this many segments were written since the
    // newest one (0: never). A computer that has read nothing yet starts from the newest one,
    // unless useSnapshots is false.
    void setSnapshotEvery(int segments) { m_snapshotEvery = segments; }
    void setUseSnapshots(bool use) { m_useSnapshots = use; }
    // How long a server folder's ETag must have stood before the listing read under it spares
    // later syncs listing the folder again (tests shorten it).
    void setFolderSettleMs(qint64 ms) { m_tags.setSettleMs(ms); }

    // Time spent in a checkpoint during the current commit (the write lock is free by then).
    void checkpointed(qint64 nanos) { m_checkpointNanos += nanos; }

    // The name of the conflict copy made of name.
    static QString conflictName(const QString &name);
    // Told the person after a sync that took a new identity (SyncReport::tookNewIdentity).
    static QString newIdentityNote();

private:
    bool open(QString *error);
    bool prepareServer(QString *error);
    bool listRemote(QString *error);
    bool listDevices(QString *error);
    // The entry of velto/ named name as the listing at the start gave it, or null.
    const RemoteEntry *topEntry(const QString &name) const;
    bool dropUntouchedSamples(QString *error);
    bool takeNewIdentity(QString *error);
    static QString identityTakenMessage();
    bool collect(QString *error);
    bool collectItems(QString *error);
    bool collectParents(QString *error);
    bool upload(QString *error);
    bool fetch(QString *error);
    bool ingest(const Segment &segment, qsizetype from, qsizetype to, QString *error);
    bool apply(QString *error);
    bool pendingInOrder(const QSet<QString> &skipped, QStringList *queue, QString *error);
    bool applyOne(const QString &uuid, bool *skipped, QString *error);
    bool removeUnneeded(const QSet<QString> &dead, const QHash<qint64, qint64> &target,
        const QHash<qint64, QString> &uuidOfIid, const QSet<qint64> &kept, QString *error);
    bool settlePlaces(bool lockFirst, QString *error);
    bool findSnapshot(QString *error);
    bool loadSnapshot(QString *error);
    bool writeSnapshot(QString *error);
    bool writeSnapshotNow(QString *error);
    QByteArray sealed(const QByteArray &plain) const;
    bool unsealed(
        const QByteArray &data, const QString &path, QByteArray *plain, QString *error) const;
    // *moved counts the children whose position changed.
    bool renumber(qint64 pid, qint64 *moved, QString *error);

    // Records made here: stored as versions and places, and queued in the open segment.
    bool addLocalContent(
        ContentRecord record, qint64 iid, QString *error, const QString &hash = QString());
    bool addLocalPlace(PlaceRecord record, QString *error);
    // addLocalContent in two steps, so that a unit of work can encode its segment before it
    // writes: the version and time, queued in the open segment; then the local tables.
    void stampLocal(ContentRecord &record);
    bool storeLocal(const ContentRecord &record, qint64 iid, const QString &hash, QString *error);
    // Encodes the open segment now (outside the write lock); closeSegment uses it.
    void sealSegment();
    // canonical: the body's canonical form when known (it is stored for heads).
    bool storeContent(const ContentRecord &record, const QString &hash, bool keepBody,
        QString *error, const QByteArray &canonical = QByteArray());
    bool storePlace(const PlaceRecord &record, bool *won, QString *error);
    bool closeSegment(QString *error);
    QString nextVid();
    qint64 tick();
    void observe(qint64 ts);

    bool makeDurable(QString *error);
    // One unit of work: reads what it needs, then writes (noting writing() first); up to size
    // items; *more when items are left.
    using Unit = std::function<bool(int size, bool *more, QString *error)>;
    bool inTransactions(const QString &phase, const Unit &unit,
        const std::function<void()> &committed, QString *error);
    void writing() { m_writing.start(); }
    bool begin(QString *error);
    void yieldToForeground() const;
    bool commit(QString *error);
    void rollback();

    const std::atomic_bool *m_stop = nullptr;
    bool stopped(QString *error) const;
    QString m_passphrase;
    QByteArray m_key; // derived from the passphrase; empty: plain
    int m_batchLimit = 1000;
    int m_uploadRecords = 4000; // records per uploaded segment at most
    QString m_file;
    SyncTransport *m_transport;
    QString m_connection;
    QSqlDatabase m_db;
    local::Statements m_sql;
    std::unique_ptr<LogWriteOut> m_logWriteOut; // what the units' commits left in the log
    QElapsedTimer m_began; // the transaction
    QElapsedTimer m_writing; // its writes
    qint64 m_lastWriteNanos = 0;
    qint64 m_checkpointNanos = 0;
    void timeCheckpoints();
    QString m_device;
    qint64 m_clock = 0;
    qint64 m_nextVid = 1;
    Segment m_open; // records of the current transaction, written to the outbox at its commit
    QByteArray m_sealed; // m_open encoded, when sealSegment ran
    qsizetype m_sealedRecords = -1;
    struct Fetch {
        QString device;
        qint64 seq;
        QString path;
    };
    QList<Fetch> m_toFetch;
    QHash<QString, qint64> m_remoteSeqs; // the last segment of every device on the server
    QList<RemoteEntry> m_topEntries; // velto/, listed at the start
    FolderTags::Listing m_top;
    FolderTags m_tags;
    struct Snapshot {
        QString folder; // empty: none
        int parts = 0;
        qint64 bytes = 0;
        QHash<QString, qint64> cursors;
    };
    Snapshot m_snapshot;
    int m_snapshotEvery = 200;
    bool m_useSnapshots = true;
    bool m_profile = false; // VELTO_SYNC_PROFILE: step times on standard error
    bool m_serverHasOthers = false;
    bool m_ownOnServer = false;
    bool m_identityTaken = false; // the server holds records of this identity not made here
    bool m_placesChanged = false; // the merged places must be settled again
    QSet<QString> m_touched; // items whose merged state was written here in this sync
    QHash<QString, qint64> m_sortHints; // pending item -> its place among its siblings when new
    SyncReport m_report;
};

} // namespace datasync
