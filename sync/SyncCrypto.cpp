#include "SyncCrypto.h"

#include <sodium.h>

namespace datasync::crypto {

namespace {

const QByteArray sealedMagic = QByteArrayLiteral("VELTO-SEALED-1\n");
constexpr qsizetype chunk = 64 * 1024;

bool ready()
{
    static const bool initialised = sodium_init() >= 0;
    return initialised;
}

} // namespace

QByteArray newSalt()
{
    QByteArray salt(crypto_pwhash_SALTBYTES, Qt::Uninitialized);
    if (ready())
        randombytes_buf(salt.data(), size_t(salt.size()));
    return salt;
}

QByteArray deriveKey(const QString &passphrase, const QByteArray &salt, QString *error)
{
    const QByteArray secret = passphrase.toUtf8();
    QByteArray key(keyBytes, Qt::Uninitialized);
    if (!ready() || salt.size() != crypto_pwhash_SALTBYTES
        || crypto_pwhash(reinterpret_cast<unsigned char *>(key.data()), size_t(key.size()),
               secret.constData(), size_t(secret.size()),
               reinterpret_cast<const unsigned char *>(salt.constData()),
               crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
               crypto_pwhash_ALG_ARGON2ID13)
            != 0) {
        if (error)
            *error = QStringLiteral("无法由加密口令生成密钥（内存不足？）。");
        return {};
    }
    return key;
}

bool isSealed(const QByteArray &data)
{
    return data.startsWith(sealedMagic);
}

QByteArray seal(const QByteArray &data, const QByteArray &key)
{
    if (!ready() || key.size() != keyBytes)
        return {};
    crypto_secretstream_xchacha20poly1305_state state;
    QByteArray out = sealedMagic;
    QByteArray header(crypto_secretstream_xchacha20poly1305_HEADERBYTES, Qt::Uninitialized);
    crypto_secretstream_xchacha20poly1305_init_push(&state,
        reinterpret_cast<unsigned char *>(header.data()),
        reinterpret_cast<const unsigned char *>(key.constData()));
    out += header;
    qsizetype at = 0;
    do {
        const qsizetype length = qMin(chunk, data.size() - at);
        const bool last = at + length >= data.size();
        QByteArray cipher(length + crypto_secretstream_xchacha20poly1305_ABYTES, Qt::Uninitialized);
        crypto_secretstream_xchacha20poly1305_push(&state,
            reinterpret_cast<unsigned char *>(cipher.data()), nullptr,
            reinterpret_cast<const unsigned char *>(data.constData() + at),
            static_cast<unsigned long long>(length), nullptr, 0,
            last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL : 0);
        out += cipher;
        at += length;
    } while (at < data.size());
    return out;
}

bool open(const QByteArray &sealed, const QByteArray &key, QByteArray *data)
{
    data->clear();
    const qsizetype headerBytes = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
    if (!ready() || key.size() != keyBytes || !isSealed(sealed)
        || sealed.size() < sealedMagic.size() + headerBytes)
        return false;
    crypto_secretstream_xchacha20poly1305_state state;
    if (crypto_secretstream_xchacha20poly1305_init_pull(&state,
            reinterpret_cast<const unsigned char *>(sealed.constData() + sealedMagic.size()),
            reinterpret_cast<const unsigned char *>(key.constData()))
        != 0)
        return false;
    qsizetype at = sealedMagic.size() + headerBytes;
    const qsizetype cipherChunk = chunk + crypto_secretstream_xchacha20poly1305_ABYTES;
    bool final = false;
    while (!final) {
        const qsizetype length = qMin(cipherChunk, sealed.size() - at);
        if (length < qsizetype(crypto_secretstream_xchacha20poly1305_ABYTES))
            return false;
        QByteArray plain(length - crypto_secretstream_xchacha20poly1305_ABYTES, Qt::Uninitialized);
        unsigned char tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(&state,
                reinterpret_cast<unsigned char *>(plain.data()), nullptr, &tag,
                reinterpret_cast<const unsigned char *>(sealed.constData() + at),
                static_cast<unsigned long long>(length), nullptr, 0)
            != 0)
            return false;
        data->append(plain);
        at += length;
        final = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
        if (!final && at >= sealed.size())
            return false; // cut short
    }
    if (at != sealed.size()) {
        data->clear();
        return false;
    }
    return true;
}

} // namespace datasync::crypto
