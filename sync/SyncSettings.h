#pragma once

#include <QString>

#include <memory>

namespace datasync {

class SyncTransport;

// Where and as whom to sync. The address and the account are kept in the program's settings;
// the password and the passphrase never in plain text on disk (see SecretStore).
struct SyncSettings {
    QString url;
    QString user;
    QString password;
    QString passphrase;

    bool isConfigured() const { return !url.trimmed().isEmpty(); }

    // The stored address and account (secrets not included).
    static SyncSettings load();
    void saveAddress() const;
    // VELTO_SYNC_USER, VELTO_SYNC_PASSWORD, VELTO_SYNC_PASSPHRASE replace what is set, when set.
    void applyEnvironment();

    // The transport for url: WebDAV for http(s), a local folder for file:. Null with a message
    // for anything else.
    std::unique_ptr<SyncTransport> transport(QString *error) const;
};

} // namespace datasync
