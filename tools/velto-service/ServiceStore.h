#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The reference service's own SQLite database: accounts (salted PBKDF2-SHA256 passwords, names
// unique by their normalised key), access tokens (stored as SHA-256 hashes only, each with an
// expiry), devices, events and feedback tickets.
class ServiceStore {
public:
    ServiceStore();
    ~ServiceStore();
    ServiceStore(const ServiceStore &) = delete;
    ServiceStore &operator=(const ServiceStore &) = delete;

    // Opens or creates "service.db" in `directory`, bringing an older database up to date.
    bool open(const QString &directory, QString *error);

    enum class Outcome { Ok, Refused, Failed };
    // A new account and its first token. Refused when an account's name has the same key
    // (see AccountName.h); the name is stored normalised.
    Outcome createAccount(const QString &username, const QString &password,
        const QString &displayName, QString *token);
    // A new token for a known user name and matching password; Refused otherwise. The name is
    // looked up as given first (accounts made before names were normalised), then by its key.
    Outcome login(const QString &username, const QString &password, QString *token);
    // The account a token belongs to, 0 when unknown or expired (an expired row is deleted).
    qint64 accountForToken(const QString &token);

    bool saveDevice(const QJsonObject &device);
    // Stores the events (a repeated eventId is kept once); returns how many were new, -1 on error.
    int saveEvents(const QJsonArray &events, qint64 account);
    // Stores a feedback ticket and returns its number, empty on error.
    QString saveFeedback(const QJsonObject &feedback, qint64 account);

    static constexpr int passwordIterations = 100000;
    // Every login or registration issues a new token valid for this long.
    static constexpr qint64 tokenLifetimeSeconds = 30 * 24 * 3600;

private:
    QString connection;
    bool exec(const QString &sql, const QVariantList &values = {}, QVariant *firstValue = nullptr);
    bool upgrade();
    bool hasColumn(const QString &table, const QString &column);
    QString issueToken(qint64 account);
};
