// Import reader: bytes as an export file, imported into a temporary database.
#include "Database.h"
#include "ExportFileReader.h"
#include "FuzzSupport.h"
#include "ImportTransaction.h"

#include <QCoreApplication>
#include <QJsonDocument>
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
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    // The reader that parses the items on two threads, made to cut every input it can, must give
    // what one parse of the whole gives.
    bool cutOk = false;
    const QJsonObject cut = exportfile::parse(bytes, &cutOk, 0);
    QJsonParseError parseError;
    const QJsonDocument whole = QJsonDocument::fromJson(bytes, &parseError);
    const bool wholeOk = parseError.error == QJsonParseError::NoError && whole.isObject();
    if (cutOk != wholeOk || cut != whole.object())
        qFatal("the two-thread reader disagrees with the whole parse");

    ImportTransaction import(database);
    QString error;
    if (import.loadBytes(bytes, &error) && import.run(&error)) {
        // Back to the eight samples, so every input meets the same database.
        QSqlQuery(database->connection())
            .exec(QStringLiteral("DELETE FROM data_items WHERE iid > 8"));
    }
    return 0;
}
