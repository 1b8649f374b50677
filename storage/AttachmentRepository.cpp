#include "AttachmentRepository.h"

#include "Database.h"
#include "SqlSupport.h"
#include "SqlText.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

using sqlsupport::fail;
using sqlsupport::run;

AttachmentRepository::AttachmentRepository(Database *database)
    : m_database(database)
{
}

QList<Attachment> AttachmentRepository::byItem(qint64 itemIid) const
{
    QList<Attachment> list;
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT id, item_iid, sortid, type, location, display_name "
                                      "FROM attachments WHERE item_iid = ? ORDER BY sortid, id")))
        return list;
    query.addBindValue(itemIid);
    if (!query.exec())
        return list;
    while (query.next()) {
        Attachment attachment;
        attachment.id = query.value(0).toLongLong();
        attachment.itemIid = query.value(1).toLongLong();
        attachment.sortid = query.value(2).toLongLong();
        attachment.type = static_cast<AttachmentType>(query.value(3).toInt());
        attachment.location = query.value(4).toString();
        attachment.displayName = query.value(5).toString();
        list.append(attachment);
    }
    return list;
}

qint64 AttachmentRepository::insert(const Attachment &attachment, QString *error)
{
    QSqlQuery query(m_database->connection());
    if (!query.prepare(QStringLiteral("INSERT INTO attachments(item_iid, sortid, type, location, "
                                      "display_name) VALUES (?, ?, ?, ?, ?)"))) {
        fail(error, query.lastError().text());
        return 0;
    }
    query.addBindValue(attachment.itemIid);
    query.addBindValue(attachment.sortid);
    query.addBindValue(static_cast<int>(attachment.type));
    query.addBindValue(sqlText(attachment.location));
    query.addBindValue(sqlText(attachment.displayName));
    if (!run(query, error))
        return 0;
    return query.lastInsertId().toLongLong();
}

bool AttachmentRepository::remove(qint64 id, QString *error)
{
    QSqlQuery query(m_database->connection());
    if (!query.prepare(QStringLiteral("DELETE FROM attachments WHERE id = ?")))
        return fail(error, query.lastError().text());
    query.addBindValue(id);
    return run(query, error);
}
