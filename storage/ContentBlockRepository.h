#pragma once

#include "Records.h"

#include <QList>
#include <QString>

class Database;

// An item's content blocks, read in display order and replaced as a whole.
class ContentBlockRepository {
public:
    explicit ContentBlockRepository(Database *database);

    QList<ContentBlock> byItem(qint64 itemIid) const;
    // All-or-nothing: on failure the item's previous blocks stay as they were.
    bool replace(qint64 itemIid, const QList<ContentBlock> &blocks, QString *error);

private:
    Database *m_database;
};
