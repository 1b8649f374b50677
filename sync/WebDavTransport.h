#pragma once

#include "SyncTransport.h"

#include <QNetworkAccessManager>
#include <QUrl>

#include <atomic>

class QNetworkReply;
class QNetworkRequest;

namespace datasync {

// The server through WebDAV (Nextcloud, ownCloud, NAS boxes, rclone): PROPFIND to list, MKCOL,
// GET, and PUT to a temporary name followed by MOVE with "Overwrite: F" for every new file. Blocks
// in a local event loop: use it on the thread that made it, never on the GUI thread.
class WebDavTransport : public SyncTransport {
public:
    // base: the folder the person gave (its trailing slash optional); user empty: no account.
    WebDavTransport(const QUrl &base, const QString &user, const QString &password);

    Result list(const QString &folder, QList<RemoteEntry> *entries, QString *error) override;
    Result makeFolder(const QString &folder, QString *error) override;
    Result get(const QString &path, QByteArray *data, QString *error) override;
    Result putNew(const QString &path, const QByteArray &data, QString *error) override;

    // Seconds a request may go without progress before it is given up.
    void setTimeout(int seconds) { m_timeoutMs = seconds * 1000; }
    // Requests in flight are aborted soon after *stop becomes true.
    void setStopFlag(const std::atomic_bool *stop) { m_stop = stop; }

private:
    struct Reply {
        int status = 0;
        QByteArray body;
        QString networkError; // empty when the server answered
    };
    QUrl urlOf(const QString &path) const;
    QNetworkRequest request(const QUrl &url) const;
    Reply send(const QByteArray &verb, const QNetworkRequest &request, const QByteArray &body);
    // The message for a failed reply, naming what was being done.
    static QString describe(const Reply &reply, const QString &what);

    QUrl m_base;
    QByteArray m_authorization;
    QNetworkAccessManager m_network;
    int m_timeoutMs = 60000;
    const std::atomic_bool *m_stop = nullptr;
};

} // namespace datasync
