#pragma once

// Damage that only a read of every page finds, planted in a closed database file.

#include <QCryptographicHash>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace velto::test {

inline QByteArray fileHash(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// Adds a table "padding" spanning several pages to the closed database file, then overwrites the
// type byte of its root page. Nothing the program reads touches that table, the file's header,
// length and schema stay intact, and PRAGMA quick_check reports the page. False on failure.
inline bool plantHiddenDamage(const QString &file)
{
    qint64 root = 0;
    qint64 pageSize = 0;
    {
        QSqlDatabase db
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("damage"));
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec(QStringLiteral("CREATE TABLE padding (x BLOB)"));
            for (int i = 0; i < 40; ++i)
                query.exec(QStringLiteral("INSERT INTO padding VALUES (zeroblob(1500))"));
            if (query.exec(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name = "
                                          "'padding'"))
                && query.next())
                root = query.value(0).toLongLong();
            if (query.exec(QStringLiteral("PRAGMA page_size")) && query.next())
                pageSize = query.value(0).toLongLong();
            query.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
            query.finish();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("damage"));
    QFile out(file);
    if (root < 2 || pageSize < 512 || !out.open(QIODevice::ReadWrite)
        || !out.seek((root - 1) * pageSize))
        return false;
    return out.write("\x00", 1) == 1;
}

} // namespace velto::test
