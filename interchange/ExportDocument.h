#pragma once

#include "InterchangeTexts.h"
#include "Records.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

class Database;
class QIODevice;

// The whole item tree with every item's content blocks as one "velto-export-v1" JSON document.
class ExportDocument {
public:
    struct Result {
        bool ok = false;
        bool cancelled = false;
        qint64 count = 0; // items written
        QString error; // the file's or the database's error text
    };

    // One item object: "id", "parentId", "name", "content", "remark", "favorite", "description",
    // "blocks".
    static QJsonObject itemObject(const DataItem &item, const QList<ContentBlock> &blocks);

    // The indented document of every item (in pid, sortid, iid order) with its blocks, exactly as
    // QJsonDocument would write it from itemObject()s. Empty when cancelled.
    static QByteArray build(
        Database *database, qint64 *count = nullptr, const interchange::Progress &progress = {});

    // Builds the document and writes it through QSaveFile: the old file stays as it was when
    // anything fails or the work is cancelled. A path that exists and is not a regular file (a
    // folder, a device such as /dev/null, a pipe) is refused and left alone.
    static Result write(
        Database *database, const QString &path, const interchange::Progress &progress = {});
    // Writes the document to an open device as it is built (standard output).
    static Result writeTo(
        Database *database, QIODevice *device, const interchange::Progress &progress = {});
};
