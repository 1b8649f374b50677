#pragma once

#include <QString>

namespace datasync {

// The sync password and passphrase in the system keychain (QtKeychain: Secret Service, KWallet,
// the macOS and Windows keychains). Never written in plain text anywhere: without a keychain
// service the caller keeps them for the session only. Calls block in a local event loop; use them
// off the GUI thread.
class SecretStore {
public:
    enum class Status { Ok, NotFound, NoKeychain, Failed };

    static constexpr const char *passwordKey = "sync-password";
    static constexpr const char *passphraseKey = "sync-passphrase";

    static Status read(const QString &key, QString *value, QString *error);
    // An empty value removes the entry.
    static Status write(const QString &key, const QString &value, QString *error);

    // What to tell the person when there is no keychain.
    static QString noKeychainMessage();
};

} // namespace datasync
