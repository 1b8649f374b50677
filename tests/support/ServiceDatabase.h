#pragma once

// Reads the reference service's database from a test (the service keeps it in WAL mode, so a
// reader does not disturb it).

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace velto::test {

// The first column of the first row of `sql`, or an invalid value.
inline QVariant serviceScalar(
    const QString &databasePath, const QString &sql, const QVariantList &values = {})
{
    const QString name = QUuid::createUuid().toString();
    QVariant result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(sql);
            for (const QVariant &value : values)
                query.addBindValue(value);
            if (query.exec() && query.next())
                result = query.value(0);
        }
    }
    QSqlDatabase::removeDatabase(name);
    return result;
}

// Runs `sql` on the database beside the running service (which waits for the lock); false on
// an error.
inline bool serviceExec(
    const QString &databasePath, const QString &sql, const QVariantList &values = {})
{
    const QString name = QUuid::createUuid().toString();
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(databasePath);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000"));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(sql);
            for (const QVariant &value : values)
                query.addBindValue(value);
            ok = query.exec();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace velto::test
