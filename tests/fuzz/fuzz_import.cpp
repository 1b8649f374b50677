// Import reader: bytes as an export file, imported into a temporary database.
#include "Database.h"
#include "FuzzSupport.h"
#include "ImportTransaction.h"

#include <QCoreApplication>
#include <QSqlQuery>
#include <QTemporaryDir>

namespace {
Database *database = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir root;
    static Database db(QStringLiteral("fuzz-import"));
    db.setRootOverride(root.path());
    QString error;
    if (!db.open(&error))
        qFatal("cannot open the fuzz database: %s", qPrintable(error));
    QSqlQuery(db.connection()).exec(QStringLiteral("PRAGMA synchronous = OFF"));
    database = &db;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ImportTransaction import(database);
    QString error;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (import.loadBytes(bytes, &error) && import.run(&error)) {
        // Back to the eight samples, so every input meets the same database.
        QSqlQuery(database->connection())
            .exec(QStringLiteral("DELETE FROM data_items WHERE iid > 8"));
    }
    return 0;
}
