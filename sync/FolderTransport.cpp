#include "FolderTransport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace datasync {

namespace {

SyncTransport::Result failed(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return SyncTransport::Result::Failed;
}

} // namespace

FolderTransport::FolderTransport(const QString &root)
    : m_root(root)
{
}

SyncTransport::Result FolderTransport::list(
    const QString &folder, QList<RemoteEntry> *entries, QString *error)
{
    Q_UNUSED(error)
    entries->clear();
    const QDir dir(QDir(m_root).filePath(folder));
    if (!dir.exists())
        return Result::Missing;
    const QFileInfoList infos
        = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : infos) {
        RemoteEntry entry;
        entry.name = info.fileName();
        entry.folder = info.isDir();
        entry.size = info.size();
        // Folders get none: listing a local folder costs next to nothing, and the modification
        // time of a folder on a share may lag behind its files, so sync lists every one.
        if (!entry.folder)
            entry.etag = QString::number(info.lastModified().toMSecsSinceEpoch()) + QLatin1Char('-')
                + QString::number(info.size());
        entries->append(entry);
    }
    return Result::Ok;
}

SyncTransport::Result FolderTransport::makeFolder(const QString &folder, QString *error)
{
    if (QDir(m_root).mkpath(folder))
        return Result::Ok;
    return failed(error, QStringLiteral("无法创建同步文件夹 ") + folder);
}

SyncTransport::Result FolderTransport::get(const QString &path, QByteArray *data, QString *error)
{
    QFile file(QDir(m_root).filePath(path));
    if (!file.exists())
        return Result::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return failed(error, file.errorString());
    *data = file.readAll();
    return Result::Ok;
}

SyncTransport::Result FolderTransport::putNew(
    const QString &path, const QByteArray &data, QString *error)
{
    const QString target = QDir(m_root).filePath(path);
    if (QFileInfo::exists(target))
        return Result::Exists;
    const QString temporary = target + QStringLiteral(".part");
    {
        QFile file(temporary);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(data) != data.size() || !file.flush())
            return failed(error, file.errorString());
    }
    // QFile::rename never replaces an existing file.
    if (QFile::rename(temporary, target))
        return Result::Ok;
    QFile::remove(temporary);
    if (QFileInfo::exists(target))
        return Result::Exists;
    return failed(error, QStringLiteral("无法写入 ") + path);
}

} // namespace datasync
