#include "ContentBlockRepository.h"

#include "ChangeObserver.h"
#include "Database.h"
#include "SqlSupport.h"
#include "SqlText.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

ContentBlockRepository::ContentBlockRepository(Database *database)
    : m_database(database)
{
}

QList<ContentBlock> ContentBlockRepository::byItem(qint64 itemIid) const
{
    QList<ContentBlock> blocks;
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    if (!query.prepare(
            QStringLiteral("SELECT id, item_iid, sortid, type, value, summary "
                           "FROM content_blocks WHERE item_iid = ? ORDER BY sortid, id")))
        return blocks;
    query.addBindValue(itemIid);
    if (!query.exec())
        return blocks;
    while (query.next()) {
        ContentBlock block;
        block.id = query.value(0).toLongLong();
        block.itemIid = query.value(1).toLongLong();
        block.sortid = query.value(2).toLongLong();
        block.type = query.value(3).toInt();
        block.value = query.value(4).toString();
        block.summary = query.value(5).toString();
        blocks.append(block);
    }
    return blocks;
}

bool ContentBlockRepository::replace(
    qint64 itemIid, const QList<ContentBlock> &blocks, QString *error)
{
    const QSqlDatabase db = m_database->connection();
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    QSqlQuery remove(db);
    if (!remove.prepare(QStringLiteral("DELETE FROM content_blocks WHERE item_iid = ?")))
        return transaction.abort(remove, error);
    remove.addBindValue(itemIid);
    if (!remove.exec())
        return transaction.abort(remove, error);

    QSqlQuery insert(db);
    if (!insert.prepare(QStringLiteral("INSERT INTO content_blocks(item_iid, sortid, type, value, "
                                       "summary) VALUES (?, ?, ?, ?, ?)")))
        return transaction.abort(insert, error);
    for (int i = 0; i < blocks.size(); ++i) {
        const ContentBlock &block = blocks.at(i);
        insert.bindValue(0, itemIid);
        insert.bindValue(1, i + 1);
        insert.bindValue(2, block.type);
        insert.bindValue(3, sqlText(block.value));
        insert.bindValue(4, sqlText(block.summary));
        if (!insert.exec())
            return transaction.abort(insert, error);
    }
    if (!changeobservers::itemChanged(db, itemIid, ChangeObserver::Blocks, error))
        return false;
    return transaction.commit(error);
}
