#include "SyncEngine.h"

#include "SyncEngineSupport.h"

#include <QDateTime>

// Listing the server: which segments of which device are new. A folder whose ETag in its parent's
// listing shows it unchanged since its last listing is not listed again (FolderTags).
namespace datasync {

using namespace detail;

namespace {

const QString devicesFolder = QStringLiteral("velto/devices");

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

const RemoteEntry *SyncEngine::topEntry(const QString &name) const
{
    for (const RemoteEntry &entry : m_topEntries) {
        if (entry.folder && entry.name == name)
            return &entry;
    }
    return nullptr;
}

bool SyncEngine::listRemote(QString *error)
{
    m_tags.load(m_sql, m_top.sent);
    if (!listDevices(error) || !findSnapshot(error))
        return false;
    // What is remembered stays true of the server when it cannot be updated now.
    QString ignored;
    m_tags.save(m_sql, &ignored);
    return true;
}

bool SyncEngine::listDevices(QString *error)
{
    using Result = SyncTransport::Result;
    m_toFetch.clear();
    m_remoteSeqs.clear();
    m_serverHasOthers = false;
    m_ownOnServer = false;
    QList<RemoteEntry> devices;
    FolderTags::Listing parent;
    parent.sent = now();
    if (m_transport->list(devicesFolder, &devices, error) != Result::Ok)
        return false;
    parent.answered = now();
    const qint64 nextSeq
        = m_sql.state(QStringLiteral("sync_upload_seq"), QStringLiteral("1")).toLongLong();
    bool ownFolder = false;
    for (const RemoteEntry &device : qAsConst(devices)) {
        if (!device.folder)
            continue;
        const bool own = device.name == m_device;
        ownFolder = ownFolder || own;
        const QString folder = devicesFolder + QLatin1Char('/') + device.name;
        const qint64 cursor = own
            ? nextSeq
            : m_sql
                  .scalar(QStringLiteral("SELECT seq FROM sync_cursors WHERE device = ?"),
                      {device.name}, 0)
                  .toLongLong();
        // Unchanged since its last listing and every segment read: nothing to list. (Segments
        // left to read after a sync cut off are listed again.)
        QString summary;
        bool skip = m_tags.unchanged(folder, device.etag, &summary);
        qint64 last = skip ? summary.toLongLong() : 0;
        skip = skip && last <= cursor;
        if (!skip) {
            QList<RemoteEntry> files;
            const Result listed = m_transport->list(folder, &files, error);
            if (listed == Result::Missing) {
                m_tags.listed(folder, QString(), parent, QString());
                continue;
            }
            if (listed != Result::Ok)
                return false;
            last = 0;
            for (const RemoteEntry &file : qAsConst(files)) {
                if (file.folder || !file.name.endsWith(QLatin1String(".seg")))
                    continue;
                bool number = false;
                const qint64 seq = file.name.chopped(4).toLongLong(&number);
                if (!number)
                    continue;
                // Segments of this device that it never wrote: another database (a copy of this
                // file, or the one it was restored from) uses the same identity, and its records
                // would collide with these; this one goes on under a new identity. (The next one
                // may be there: an upload cut off before it was noted here.)
                if (own && seq > nextSeq) {
                    m_identityTaken = true;
                    if (error)
                        *error = identityTakenMessage();
                    return false;
                }
                last = qMax(last, seq);
                if (!own && seq > cursor)
                    m_toFetch.append({device.name, seq, folder + QLatin1Char('/') + file.name});
            }
            m_tags.listed(folder, device.etag, parent, QString::number(last));
        }
        if (last > 0) {
            m_remoteSeqs[device.name] = last;
            (own ? m_ownOnServer : m_serverHasOthers) = true;
        }
    }
    if (!ownFolder
        && m_transport->makeFolder(devicesFolder + QLatin1Char('/') + m_device, error)
            != Result::Ok)
        return false;
    std::sort(m_toFetch.begin(), m_toFetch.end(), [](const Fetch &a, const Fetch &b) {
        return a.device != b.device ? a.device < b.device : a.seq < b.seq;
    });
    return true;
}

} // namespace datasync
