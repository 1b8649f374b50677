#include "ServiceStore.h"

#include "AccountName.h"

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

qint64 nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
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
    // name_key is NULL only for an account made before names were normalised whose key another,
    // older account already had; it still signs in by its exact name.
    "CREATE TABLE IF NOT EXISTS accounts (id INTEGER PRIMARY KEY, username TEXT NOT NULL UNIQUE,"
    " display_name TEXT NOT NULL, salt BLOB NOT NULL, iterations INTEGER NOT NULL,"
    " password_key BLOB NOT NULL, created_at TEXT NOT NULL, name_key TEXT)",
    // expires_at: seconds since the epoch, UTC.
    "CREATE TABLE IF NOT EXISTS tokens (token_hash TEXT PRIMARY KEY, account_id INTEGER NOT NULL"
    " REFERENCES accounts(id), created_at TEXT NOT NULL, expires_at INTEGER)",
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
    ok = ok && upgrade();
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

bool ServiceStore::hasColumn(const QString &table, const QString &column)
{
    QVariant found;
    return exec(QStringLiteral("SELECT 1 FROM pragma_table_info(?) WHERE name = ?"),
               {table, column}, &found)
        && found.isValid();
}

// Databases written before tokens expired and names were normalised: a token gets the lifetime
// counted from its creation (so an old one is expired at once), an account the key of its name
// unless an older account already has that key.
bool ServiceStore::upgrade()
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.transaction())
        return false;
    bool ok = true;
    if (!hasColumn(QStringLiteral("tokens"), QStringLiteral("expires_at")))
        ok = exec(QStringLiteral("ALTER TABLE tokens ADD COLUMN expires_at INTEGER"));
    ok = ok
        && exec(
            QStringLiteral("UPDATE tokens SET expires_at = COALESCE(CAST(strftime('%s', created_at)"
                           " AS INTEGER), 0) + ? WHERE expires_at IS NULL"),
            {tokenLifetimeSeconds});
    if (ok && !hasColumn(QStringLiteral("accounts"), QStringLiteral("name_key")))
        ok = exec(QStringLiteral("ALTER TABLE accounts ADD COLUMN name_key TEXT"));
    QList<QPair<qint64, QString>> unkeyed;
    if (ok) {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        ok = query.exec(
            QStringLiteral("SELECT id, username FROM accounts WHERE name_key IS NULL ORDER BY id"));
        while (ok && query.next())
            unkeyed.append({query.value(0).toLongLong(), query.value(1).toString()});
    }
    for (const auto &[id, username] : unkeyed) {
        const QString key = accountNameKey(username);
        QVariant taken;
        ok = ok && exec(QStringLiteral("SELECT 1 FROM accounts WHERE name_key = ?"), {key}, &taken)
            && (key.isEmpty() || taken.isValid()
                || exec(
                    QStringLiteral("UPDATE accounts SET name_key = ? WHERE id = ?"), {key, id}));
    }
    ok = ok
        && exec(QStringLiteral(
            "CREATE UNIQUE INDEX IF NOT EXISTS accounts_name_key ON accounts(name_key)"))
        && exec(
            QStringLiteral("CREATE INDEX IF NOT EXISTS tokens_expires_at ON tokens(expires_at)"))
        && exec(QStringLiteral("DELETE FROM tokens WHERE expires_at <= ?"), {nowSeconds()});
    if (!ok) {
        db.rollback();
        return false;
    }
    return db.commit();
}

QString ServiceStore::issueToken(qint64 account)
{
    const QString token = QString::fromLatin1(
        randomBytes(32).toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    const qint64 issued = nowSeconds();
    // Expired rows go as new ones come; the index keeps this cheap.
    if (!exec(QStringLiteral("DELETE FROM tokens WHERE expires_at <= ?"), {issued})
        || !exec(QStringLiteral("INSERT INTO tokens (token_hash, account_id, created_at,"
                                " expires_at) VALUES (?, ?, ?, ?)"),
            {tokenHash(token), account, now(), issued + tokenLifetimeSeconds}))
        return {};
    return token;
}

ServiceStore::Outcome ServiceStore::createAccount(
    const QString &username, const QString &password, const QString &displayName, QString *token)
{
    const QString name = normalisedAccountName(username);
    const QString key = accountNameKey(username);
    if (key.isEmpty())
        return Outcome::Refused;
    QVariant existing;
    if (!exec(QStringLiteral("SELECT id FROM accounts WHERE name_key = ? OR username = ?"),
            {key, name}, &existing))
        return Outcome::Failed;
    if (existing.isValid())
        return Outcome::Refused;
    const QByteArray salt = randomBytes(16);
    QVariant id;
    if (!exec(QStringLiteral("INSERT INTO accounts (username, display_name, salt, iterations,"
                             " password_key, created_at, name_key) VALUES (?, ?, ?, ?, ?, ?, ?)"
                             " RETURNING id"),
            {name, displayName, salt, passwordIterations,
                derive(password, salt, passwordIterations), now(), key},
            &id))
        return Outcome::Failed;
    *token = issueToken(id.toLongLong());
    return token->isEmpty() ? Outcome::Failed : Outcome::Ok;
}

ServiceStore::Outcome ServiceStore::login(
    const QString &username, const QString &password, QString *token)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    // The exact name first: an older account whose name shares its key with another's.
    query.prepare(
        QStringLiteral("SELECT id, salt, iterations, password_key FROM accounts WHERE username = ?"
                       " OR name_key = ? ORDER BY username = ? DESC LIMIT 1"));
    query.addBindValue(username);
    query.addBindValue(accountNameKey(username));
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
    if (token.isEmpty())
        return 0;
    const QString hash = tokenHash(token);
    QSqlQuery query(QSqlDatabase::database(connection, false));
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT account_id, expires_at FROM tokens WHERE token_hash = ?"));
    query.addBindValue(hash);
    if (!query.exec() || !query.next())
        return 0;
    const qint64 account = query.value(0).toLongLong();
    const bool expired = query.value(1).isNull() || query.value(1).toLongLong() <= nowSeconds();
    query.finish();
    if (expired) {
        exec(QStringLiteral("DELETE FROM tokens WHERE token_hash = ?"), {hash});
        return 0;
    }
    return account;
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
