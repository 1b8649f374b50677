#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QtGlobal>

// One row of data_items. A record read from the database has id == iid; iid 0 means "never stored".
struct DataItem {
    qint64 id = 0;
    qint64 iid = 0;
    qint64 pid = 0;
    qint64 sortid = 0;
    QString here;
    QString cont;
    QString remark;
    bool favorite = false;
    QString desc;
};

enum class AttachmentType : int { File = 0, Url = 1 };

// One row of attachments.
struct Attachment {
    qint64 id = 0;
    qint64 itemIid = 0;
    qint64 sortid = 0;
    AttachmentType type = AttachmentType::File;
    QString location;
    QString displayName;
};

// One resource of an item's detail workspace; one row of content_blocks.
struct ContentBlock {
    enum Type : int { Text = 0, LocalPath = 1, WebLink = 2 };

    qint64 id = 0;
    qint64 itemIid = 0;
    qint64 sortid = 0;
    int type = 0;
    QString value;
    QString summary;
};

// Plain values of Qt types: lists may move them with memmove when they grow.
Q_DECLARE_TYPEINFO(DataItem, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(Attachment, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(ContentBlock, Q_RELOCATABLE_TYPE);

// {"type", "value", "summary"}: the form shared by the content signature, exports and recovery
// drafts.
QJsonObject contentBlockObject(const ContentBlock &block);

// Reads blocks back from that form; elements that are not objects or carry an unknown type are
// skipped.
QList<ContentBlock> contentBlocksFromJson(const QJsonArray &array);
