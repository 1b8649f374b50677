#pragma once

#include "SyncLocal.h"

#include <QHash>
#include <QString>

namespace datasync {

// What this computer last found in each folder of the server, remembered with the ETag the folder
// had in its parent's listing then: a folder whose ETag has not changed since is not listed again.
// Trusted only as far as the server has shown it deserves (see sync/DESIGN.md): strong ETags, on a
// server seen to change a folder's ETag when its files changed, never to keep it when they did,
// once the ETag has stood long enough that a later change cannot share it; and at least once an
// hour every folder is listed all the same.
class FolderTags {
public:
    // When a parent listing was sent and when its answer came (local wall clock, ms).
    struct Listing {
        qint64 sent = 0;
        qint64 answered = 0;
    };

    // Reads what is remembered; now: the time this sync started.
    void load(local::Statements &sql, qint64 now);
    // Writes what changed since load, in one transaction.
    bool save(local::Statements &sql, QString *error);
    // Forgets everything (the sync state starts afresh), inside the caller's transaction.
    static bool forget(local::Statements &sql, QString *error);

    // The summary of the last listing of path, when etag (the folder's ETag in its parent's
    // listing now) shows that nothing changed there since; otherwise false and it must be listed.
    bool unchanged(const QString &path, const QString &etag, QString *summary) const;
    // Notes what a listing of path found, made after parent showed the folder with etag. An empty
    // summary is never used to skip a listing.
    void listed(
        const QString &path, const QString &etag, const Listing &parent, const QString &summary);

    // An ETag a listing may be skipped on: given and strong. (A server marks an ETag weak when it
    // may stay the same across a change, e.g. within the second of the folder's last change.)
    static bool usable(const QString &etag);

    // How long an ETag must have stood before a listing under it may be relied on: longer than
    // the time resolution of any ETag made from a modification time.
    void setSettleMs(qint64 ms) { m_settleMs = ms; }

    // The server's folder ETags: not yet seen to change with the files, seen to, or seen not to.
    enum class Verdict { Unknown, Follows, Stuck };
    Verdict verdict() const { return m_verdict; }

private:
    struct Folder {
        QString etag;
        qint64 since = 0; // when a parent listing first showed this etag (its answer)
        bool settled = false; // summary read under etag after it had stood m_settleMs
        QString summary;
        bool changed = false;
        bool gone = false;
    };
    void judge(Verdict verdict);

    QHash<QString, Folder> m_folders;
    Verdict m_verdict = Verdict::Unknown;
    bool m_verdictChanged = false;
    bool m_listAll = true; // the hourly listing of every folder is due
    qint64 m_now = 0;
    qint64 m_settleMs = 3000;
};

} // namespace datasync
