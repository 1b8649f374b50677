#pragma once

#include <QByteArray>
#include <QString>

// End-to-end encryption of what sync writes to the server: a key derived from the passphrase with
// Argon2id, files sealed with XChaCha20-Poly1305 secretstream (libsodium).
namespace datasync::crypto {

constexpr int keyBytes = 32;

// A new random salt for a library's first encrypted file.
QByteArray newSalt();
// The key for passphrase and salt; empty with a message when libsodium cannot run.
QByteArray deriveKey(const QString &passphrase, const QByteArray &salt, QString *error);

// Seals data; opens what seal made. open fails (false) for a wrong key or changed bytes, never
// returning garbage.
QByteArray seal(const QByteArray &data, const QByteArray &key);
bool open(const QByteArray &sealed, const QByteArray &key, QByteArray *data);
bool isSealed(const QByteArray &data);

} // namespace datasync::crypto
