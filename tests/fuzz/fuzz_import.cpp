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
    // The streamed reader, reading a few bytes at a time so that every input spans many reads,
    // must give what one parse of the whole gives; the import below reads the same way.
    exportfile::setReadSize(1 + qint64(size % 7));
    bool streamedOk = false;
    const QJsonObject streamed = exportfile::parse(bytes, &streamedOk);
    QJsonParseError parseError;
    const QJsonDocument whole = QJsonDocument::fromJson(bytes, &parseError);
    const bool wholeOk = parseError.error == QJsonParseError::NoError && whole.isObject();
    if (streamedOk != wholeOk || streamed != whole.object())
        qFatal("the streamed reader disagrees with the whole parse");

    ImportTransaction import(database);
    QString error;
    if (import.loadBytes(bytes, &error) && import.run(&error)) {
        // Back to the eight samples, so every input meets the same database.
        QSqlQuery(database->connection())
            .exec(QStringLiteral("DELETE FROM data_items WHERE iid > 8"));
    }
    return 0;
}
