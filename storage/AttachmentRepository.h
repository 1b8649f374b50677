#pragma once

#include "Records.h"

#include <QList>
#include <QString>

class Database;

// Single-row reads and writes of the attachments table.
class AttachmentRepository {
public:
    explicit AttachmentRepository(Database *database);

    QList<Attachment> byItem(qint64 itemIid) const;
    // Returns the new row id, or 0 on failure. The record's own id is ignored.
    qint64 insert(const Attachment &attachment, QString *error);
    bool remove(qint64 id, QString *error);

private:
    Database *m_database;
};
