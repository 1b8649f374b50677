#pragma once

#include "SyncTransport.h"

namespace datasync {

// A local folder playing the server (tests, and a folder a file-sync program already shares).
class FolderTransport : public SyncTransport {
public:
    explicit FolderTransport(const QString &root);

    Result list(const QString &folder, QList<RemoteEntry> *entries, QString *error) override;
    Result makeFolder(const QString &folder, QString *error) override;
    Result get(const QString &path, QByteArray *data, QString *error) override;
    Result putNew(const QString &path, const QByteArray &data, QString *error) override;

private:
    QString m_root;
};

} // namespace datasync
