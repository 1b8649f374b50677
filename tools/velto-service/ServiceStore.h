#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// The reference service's own SQLite database: accounts (salted PBKDF2-SHA256 passwords), access
// tokens (stored as SHA-256 hashes only), devices, events and feedback tickets.
class ServiceStore {
public:
    ServiceStore();
    ~ServiceStore();
    ServiceStore(const ServiceStore &) = delete;
    ServiceStore &operator=(const ServiceStore &) = delete;

    // Opens or creates "service.db" in `directory`.
    bool open(const QString &directory, QString *error);

    enum class Outcome { Ok, Refused, Failed };
    // A new account and its first token. Refused when the user name is taken.
    Outcome createAccount(const QString &username, const QString &password,
        const QString &displayName, QString *token);
    // A new token for a known user name and matching password; Refused otherwise.
    Outcome login(const QString &username, const QString &password, QString *token);
    // The account a token belongs to, 0 when unknown.
    qint64 accountForToken(const QString &token);

    bool saveDevice(const QJsonObject &device);
    // Stores the events (a repeated eventId is kept once); returns how many were new, -1 on error.
    int saveEvents(const QJsonArray &events, qint64 account);
    // Stores a feedback ticket and returns its number, empty on error.
    QString saveFeedback(const QJsonObject &feedback, qint64 account);

    static constexpr int passwordIterations = 100000;

private:
    QString connection;
    bool exec(const QString &sql, const QVariantList &values = {}, QVariant *firstValue = nullptr);
    QString issueToken(qint64 account);
};
