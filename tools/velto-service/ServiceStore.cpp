#include "ServiceStore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace {
QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes;
}

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(
        QCryptographicHash::Sha256, password.toUtf8(), salt, iterations, 32);
}

QString tokenHash(const QString &token)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(token.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

// Compares without stopping at the first difference.
bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= char(a[i] ^ b[i]);
    return difference == 0;
}

const char *const schema[] = {
    "CREATE TABLE IF NOT EXISTS accounts (id INTEGER PRIMARY KEY, username TEXT NOT NULL UNIQUE,"
    " display_name TEXT NOT NULL, salt BLOB NOT NULL, iterations INTEGER NOT NULL,"
    " password_key BLOB NOT NULL, created_at TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS tokens (token_hash TEXT PRIMARY KEY, account_id INTEGER NOT NULL"
    " REFERENCES accounts(id), created_at TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS devices (install_id TEXT PRIMARY KEY, hardware_hash TEXT,"
    " platform TEXT, app_version TEXT, os_version TEXT, device_name TEXT,"
    " first_seen TEXT NOT NULL, last_seen TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS events (event_id TEXT PRIMARY KEY, install_id TEXT,"
    " event_name TEXT NOT NULL, app_version TEXT, occurred_at TEXT, properties TEXT,"
    " account_id INTEGER, received_at TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS feedback (id INTEGER PRIMARY KEY, ticket_no TEXT UNIQUE,"
    " install_id TEXT, category TEXT, title TEXT, content TEXT NOT NULL, app_version TEXT,"
    " account_id INTEGER, created_at TEXT NOT NULL)",
};
} // namespace

ServiceStore::ServiceStore()
    : connection(QStringLiteral("velto-service-%1").arg(QUuid::createUuid().toString()))
{
}

ServiceStore::~ServiceStore()
{
    QSqlDatabase::database(connection, false).close();
    QSqlDatabase::removeDatabase(connection);
}

bool ServiceStore::open(const QString &directory, QString *error)
{
    if (!QDir().mkpath(directory)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(directory);
        return false;
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
    db.setDatabaseName(QDir(directory).filePath(QStringLiteral("service.db")));
    if (!db.open()) {
        if (error)
            *error = db.lastError().text();
        return false;
    }
    // WAL with NORMAL sync: a crash may lose the last events, never corrupt the file.
    bool ok = exec(QStringLiteral("PRAGMA journal_mode=WAL"))
        && exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
    for (const char *statement : schema)
        ok = ok && exec(QString::fromLatin1(statement));
    if (!ok && error)
        *error = db.lastError().text();
    return ok;
}

bool ServiceStore::exec(const QString &sql, const QVariantList &values, QVariant *firstValue)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec())
        return false;
    if (firstValue)
        *firstValue = query.next() ? query.value(0) : QVariant();
    return true;
}

QString ServiceStore::issueToken(qint64 account)
{
    const QString token = QString::fromLatin1(
        randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    if (!exec(QStringLiteral(
                  "INSERT INTO tokens (token_hash, account_id, created_at) VALUES (?, ?, ?)"),
            {tokenHash(token), account, now()}))
        return {};
    return token;
}

ServiceStore::Outcome ServiceStore::createAccount(
    const QString &username, const QString &password, const QString &displayName, QString *token)
{
    QVariant existing;
    if (!exec(QStringLiteral("SELECT id FROM accounts WHERE username = ?"), {username}, &existing))
        return Outcome::Failed;
    if (existing.isValid())
        return Outcome::Refused;
    const QByteArray salt = randomBytes(16);
    QVariant id;
    if (!exec(QStringLiteral("INSERT INTO accounts (username, display_name, salt, iterations,"
                             " password_key, created_at) VALUES (?, ?, ?, ?, ?, ?) RETURNING id"),
            {username, displayName, salt, passwordIterations,
                derive(password, salt, passwordIterations), now()},
            &id))
        return Outcome::Failed;
    *token = issueToken(id.toLongLong());
    return token->isEmpty() ? Outcome::Failed : Outcome::Ok;
}

ServiceStore::Outcome ServiceStore::login(
    const QString &username, const QString &password, QString *token)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.prepare(QStringLiteral(
        "SELECT id, salt, iterations, password_key FROM accounts WHERE username = ?"));
    query.addBindValue(username);
    if (!query.exec())
        return Outcome::Failed;
    if (!query.next()) {
        // Spend the same time as for a known name.
        derive(password, randomBytes(16), passwordIterations);
        return Outcome::Refused;
    }
    const qint64 id = query.value(0).toLongLong();
    const QByteArray key = derive(password, query.value(1).toByteArray(), query.value(2).toInt());
    if (!sameBytes(key, query.value(3).toByteArray()))
        return Outcome::Refused;
    query.finish();
    *token = issueToken(id);
    return token->isEmpty() ? Outcome::Failed : Outcome::Ok;
}

qint64 ServiceStore::accountForToken(const QString &token)
{
    QVariant id;
    if (token.isEmpty()
        || !exec(QStringLiteral("SELECT account_id FROM tokens WHERE token_hash = ?"),
            {tokenHash(token)}, &id))
        return 0;
    return id.toLongLong();
}

bool ServiceStore::saveDevice(const QJsonObject &device)
{
    auto text = [&device](const char *key) { return device.value(QLatin1String(key)).toString(); };
    return exec(
        QStringLiteral(
            "INSERT INTO devices (install_id, hardware_hash, platform, app_version,"
            " os_version, device_name, first_seen, last_seen) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
            " ON CONFLICT(install_id) DO UPDATE SET hardware_hash = excluded.hardware_hash,"
            " platform = excluded.platform, app_version = excluded.app_version,"
            " os_version = excluded.os_version, device_name = excluded.device_name,"
            " last_seen = excluded.last_seen"),
        {text("installId"), text("hardwareHash"), text("platform"), text("appVersion"),
            text("osVersion"), text("deviceName"), now(), now()});
}

int ServiceStore::saveEvents(const QJsonArray &events, qint64 account)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    db.transaction();
    int added = 0;
    for (const QJsonValue &value : events) {
        const QJsonObject event = value.toObject();
        QSqlQuery query(db);
        query.prepare(QStringLiteral(
            "INSERT OR IGNORE INTO events (event_id, install_id, event_name, app_version,"
            " occurred_at, properties, account_id, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
        for (const char *key : {"eventId", "installId", "eventName", "appVersion", "occurredAt"})
            query.addBindValue(event.value(QLatin1String(key)).toString());
        query.addBindValue(
            QString::fromUtf8(QJsonDocument(event.value(QStringLiteral("properties")).toObject())
                                  .toJson(QJsonDocument::Compact)));
        query.addBindValue(account ? QVariant(account) : QVariant());
        query.addBindValue(now());
        if (!query.exec()) {
            db.rollback();
            return -1;
        }
        added += query.numRowsAffected() > 0 ? 1 : 0;
    }
    return db.commit() ? added : -1;
}

QString ServiceStore::saveFeedback(const QJsonObject &feedback, qint64 account)
{
    auto text
        = [&feedback](const char *key) { return feedback.value(QLatin1String(key)).toString(); };
    QVariant id;
    if (!exec(QStringLiteral("INSERT INTO feedback (install_id, category, title, content,"
                             " app_version, account_id, created_at) VALUES (?, ?, ?, ?, ?, ?, ?)"
                             " RETURNING id"),
            {text("installId"), text("category"), text("title"), text("content"),
                text("appVersion"), account ? QVariant(account) : QVariant(), now()},
            &id)
        || !id.isValid())
        return {};
    const QString ticket
        = QStringLiteral("FB-%1-%2")
              .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")),
                  QString::number(id.toLongLong()).rightJustified(6, QLatin1Char('0')));
    if (!exec(QStringLiteral("UPDATE feedback SET ticket_no = ? WHERE id = ?"), {ticket, id}))
        return {};
    return ticket;
}
