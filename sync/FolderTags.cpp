#include "FolderTags.h"

#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace datasync {

namespace {

const QString verdictKey = QStringLiteral("sync_folder_etags");
const QString listedAllKey = QStringLiteral("sync_folders_listed");
constexpr qint64 listAllEveryMs = 3600 * 1000;

} // namespace

void FolderTags::load(local::Statements &sql, qint64 now)
{
    m_folders.clear();
    m_now = now;
    m_verdictChanged = false;
    const QString verdict = sql.state(verdictKey);
    m_verdict = verdict == QLatin1String("follows") ? Verdict::Follows
        : verdict == QLatin1String("stuck")         ? Verdict::Stuck
                                                    : Verdict::Unknown;
    bool known = false;
    const qint64 listedAll = sql.state(listedAllKey).toLongLong(&known);
    // A clock set back counts as due too.
    m_listAll = !known || now - listedAll >= listAllEveryMs || listedAll > now;
    sql.select(
        QStringLiteral("SELECT path, etag, since, settled, summary FROM sync_folder_tags"), {},
        [this](const QSqlQuery &row) {
            Folder folder;
            folder.etag = row.value(1).toString();
            folder.since = row.value(2).toLongLong();
            folder.settled = row.value(3).toBool();
            folder.summary = row.value(4).toString();
            m_folders.insert(row.value(0).toString(), folder);
        },
        nullptr);
}

bool FolderTags::save(local::Statements &sql, QString *error)
{
    const bool any = m_verdictChanged || m_listAll
        || std::any_of(m_folders.cbegin(), m_folders.cend(),
            [](const Folder &folder) { return folder.changed || folder.gone; });
    if (!any)
        return true;
    if (!local::exec(sql.connection(), QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    bool ok = true;
    for (auto it = m_folders.begin(); ok && it != m_folders.end(); ++it) {
        if (it->gone)
            ok = sql.exec(
                QStringLiteral("DELETE FROM sync_folder_tags WHERE path = ?"), {it.key()}, error);
        else if (it->changed)
            ok = sql.exec(QStringLiteral("INSERT OR REPLACE INTO sync_folder_tags(path, etag, "
                                         "since, settled, summary) VALUES (?, ?, ?, ?, ?)"),
                {it.key(), it->etag, it->since, it->settled ? 1 : 0, it->summary}, error);
    }
    if (ok && m_verdictChanged)
        ok = sql.setState(verdictKey,
            m_verdict == Verdict::Stuck ? QStringLiteral("stuck") : QStringLiteral("follows"),
            error);
    if (ok && m_listAll)
        ok = sql.setState(listedAllKey, QString::number(m_now), error);
    if (!ok || !local::exec(sql.connection(), QStringLiteral("COMMIT"), error)) {
        local::exec(sql.connection(), QStringLiteral("ROLLBACK"), nullptr);
        return false;
    }
    for (auto it = m_folders.begin(); it != m_folders.end();) {
        if (it->gone) {
            it = m_folders.erase(it);
        } else {
            it->changed = false;
            ++it;
        }
    }
    m_verdictChanged = false;
    m_listAll = false;
    return true;
}

bool FolderTags::forget(local::Statements &sql, QString *error)
{
    return sql.exec(QStringLiteral("DELETE FROM sync_folder_tags"), {}, error)
        && sql.exec(QStringLiteral("DELETE FROM app_state WHERE key IN (?, ?)"),
            {verdictKey, listedAllKey}, error);
}

bool FolderTags::usable(const QString &etag)
{
    return !etag.isEmpty() && !etag.startsWith(QLatin1String("W/"));
}

bool FolderTags::unchanged(const QString &path, const QString &etag, QString *summary) const
{
    if (m_verdict != Verdict::Follows || m_listAll || !usable(etag))
        return false;
    const auto found = m_folders.constFind(path);
    if (found == m_folders.constEnd() || found->gone || !found->settled || found->etag != etag
        || found->summary.isEmpty())
        return false;
    *summary = found->summary;
    return true;
}

void FolderTags::listed(
    const QString &path, const QString &etag, const Listing &parent, const QString &summary)
{
    auto found = m_folders.find(path);
    if (!usable(etag)) {
        if (found != m_folders.end())
            found->gone = true;
        return;
    }
    if (found == m_folders.end() || found->gone || found->etag != etag) {
        // A new ETag over different files: this server's folder ETags follow their files.
        if (found != m_folders.end() && !found->gone && found->summary != summary)
            judge(Verdict::Follows);
        Folder folder;
        folder.etag = etag;
        folder.since = parent.answered;
        folder.summary = summary;
        folder.changed = true;
        m_folders.insert(path, folder);
        return;
    }
    // The same ETag over different files, read when it had stood long enough that no change could
    // share it: this server keeps a folder's ETag when its files change.
    if (found->settled && found->summary != summary)
        judge(Verdict::Stuck);
    // Files that changed while the ETag was young may share it: settled only by a listing made
    // once it had stood settleMs.
    found->settled = found->settled || parent.sent - found->since >= m_settleMs;
    found->summary = summary;
    found->changed = true;
}

void FolderTags::judge(Verdict verdict)
{
    if (m_verdict == Verdict::Stuck || m_verdict == verdict)
        return;
    m_verdict = verdict;
    m_verdictChanged = true;
}

} // namespace datasync
