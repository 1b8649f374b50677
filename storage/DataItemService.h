#pragma once

#include "Records.h"

#include <QList>
#include <QString>

class AttachmentRepository;
class ContentBlockRepository;
class DataItemRepository;

// Enforces the rules of the item tree before anything is written, and keeps sibling order dense.
// Failures return false (or 0) with a fixed message or the database's text in *error.
class DataItemService {
public:
    DataItemService(DataItemRepository *items, AttachmentRepository *attachments,
        ContentBlockRepository *blocks);

    qint64 create(DataItem item, QString *error);
    bool save(DataItem item, QString *error);
    bool erase(qint64 iid, QString *error);
    bool move(qint64 iid, int direction, QString *error);
    bool moveToParent(qint64 iid, qint64 newParent, QString *error);
    bool setFavorite(qint64 iid, bool favorite, QString *error);
    bool recordRecent(qint64 iid, QString *error);

    QList<Attachment> attachments(qint64 itemIid) const;
    bool addAttachment(
        qint64 itemIid, AttachmentType type, const QString &location, QString *error);
    bool removeAttachment(qint64 id, QString *error);

    QList<ContentBlock> contentBlocks(qint64 itemIid) const;
    bool replaceContentBlocks(qint64 itemIid, const QList<ContentBlock> &blocks, QString *error);

private:
    DataItemRepository *m_items;
    AttachmentRepository *m_attachments;
    ContentBlockRepository *m_blocks;
};
