#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace datasync {

// One file of a folder on the server.
struct RemoteEntry {
    QString name;
    bool folder = false;
    QString etag;
    qint64 size = 0;
};

// The server as sync sees it: folders and immutable files under one root, addressed by relative
// paths ("devices/ab12/0000000001.seg"). Calls block (sync runs on its own thread) and report
// failures with a message the person can act on. Implementations never overwrite a file.
class SyncTransport {
public:
    enum class Result { Ok, Missing, Exists, Failed };

    virtual ~SyncTransport() = default;

    // The entries of folder (files and subfolders, not recursing); Missing when it does not exist.
    virtual Result list(const QString &folder, QList<RemoteEntry> *entries, QString *error) = 0;
    // Creates folder (its parent exists); Ok when it already existed.
    virtual Result makeFolder(const QString &folder, QString *error) = 0;
    // Reads a whole file.
    virtual Result get(const QString &path, QByteArray *data, QString *error) = 0;
    // Writes a new file atomically: to a temporary name, then renamed without overwriting. Exists
    // when path is already there (its content is left alone).
    virtual Result putNew(const QString &path, const QByteArray &data, QString *error) = 0;
};

} // namespace datasync
