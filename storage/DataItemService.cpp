#include "DataItemService.h"

#include "AttachmentRepository.h"
#include "ChangeObserver.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "Database.h"
#include "SqlSupport.h"

#include <QFileInfo>
#include <QSet>
#include <QSqlDatabase>
#include <QUrl>

using sqlsupport::fail;

namespace {

const QString requiredFieldsMessage()
{
    return QStringLiteral("“这里”和“内容”都不能为空。");
}

const QString noValidItemMessage()
{
    return QStringLiteral("没有选中有效的数据项。");
}

// Trims the three user-typed fields; returns false when a required one ends up empty.
bool trimFields(DataItem &item)
{
    item.here = item.here.trimmed();
    item.cont = item.cont.trimmed();
    item.remark = item.remark.trimmed();
    return !item.here.isEmpty() && !item.cont.isEmpty();
}

// The item's writes of one service operation run in one transaction (a full disk fails any of
// them), begun immediate because the operation reads before it writes while another connection
// (the index build, sync) may write. The observers (the full-text index, the sync journal) record
// the change before the commit, so nothing derived disagrees with the item after a crash.
bool finishItemWrite(sqlsupport::Transaction &transaction, const QSqlDatabase &db, qint64 iid,
    ChangeObserver::Aspects what, QString *error)
{
    return changeobservers::itemChanged(db, iid, what, error) && transaction.commit(error);
}

} // namespace

DataItemService::DataItemService(
    DataItemRepository *items, AttachmentRepository *attachments, ContentBlockRepository *blocks)
    : m_items(items)
    , m_attachments(attachments)
    , m_blocks(blocks)
{
}

qint64 DataItemService::create(DataItem item, QString *error)
{
    if (!trimFields(item)) {
        fail(error, requiredFieldsMessage());
        return 0;
    }
    if (item.pid < 0) {
        fail(error, QStringLiteral("上级数据项无效。"));
        return 0;
    }
    // Room, insert and renumbering stand or fall together (a full disk fails any of them).
    const QSqlDatabase db = m_items->database()->connection();
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return 0;
    if (item.sortid < 1)
        item.sortid = m_items->nextSortId(item.pid);
    else if (!m_items->makeSortRoom(item.pid, item.sortid, error))
        return 0;
    const qint64 iid = m_items->insert(item, error);
    if (iid == 0 || !m_items->normalizeSortIds(item.pid, error))
        return 0;
    return finishItemWrite(transaction, db, iid,
               ChangeObserver::Created | ChangeObserver::Fields | ChangeObserver::Placement, error)
        ? iid
        : 0;
}

bool DataItemService::save(DataItem item, QString *error)
{
    const bool filled = trimFields(item);
    if (item.iid < 1)
        return fail(error, QStringLiteral("要保存的数据项没有有效 ID。"));
    if (!filled)
        return fail(error, requiredFieldsMessage());
    if (item.iid == item.pid)
        return fail(error, QStringLiteral("数据项不能成为自己的上级。"));
    const QSqlDatabase db = m_items->database()->connection();
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    if (item.sortid < 1)
        item.sortid = m_items->nextSortId(item.pid);
    if (!m_items->update(item, error) || !m_items->normalizeSortIds(item.pid, error))
        return false;
    return finishItemWrite(transaction, db, item.iid,
        ChangeObserver::Fields | ChangeObserver::Placement | ChangeObserver::Favorite, error);
}

bool DataItemService::erase(qint64 iid, QString *error)
{
    const DataItem item = iid < 1 ? DataItem() : m_items->get(iid);
    if (item.iid == 0)
        return fail(error, noValidItemMessage());
    if (m_items->hasChildren(iid))
        return fail(error, QStringLiteral("这个数据项还有子项，暂时不能删除。"));
    const QSqlDatabase db = m_items->database()->connection();
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    if (!changeobservers::itemChanged(db, iid, ChangeObserver::Removing, error)
        || !m_items->remove(iid, error) || !m_items->normalizeSortIds(item.pid, error))
        return false;
    return finishItemWrite(transaction, db, iid, ChangeObserver::Removed, error);
}

bool DataItemService::move(qint64 iid, int direction, QString *error)
{
    if (iid < 1 || (direction != -1 && direction != 1))
        return fail(error, QStringLiteral("移动目标无效。"));
    const DataItem item = m_items->get(iid);
    if (item.iid == 0)
        return fail(error, noValidItemMessage());
    QList<qint64> order;
    for (const DataItem &sibling : m_items->byParent(item.pid))
        order.append(sibling.iid);
    const qsizetype index = order.indexOf(iid);
    const qsizetype target = index + direction;
    if (index < 0 || target < 0 || target >= order.size())
        return fail(error, QStringLiteral("已经到达该层级的边界。"));
    order.swapItemsAt(index, target);
    const QSqlDatabase db = m_items->database()->connection();
    sqlsupport::Transaction transaction(db);
    return transaction.beginImmediate(error) && m_items->reorder(item.pid, order, error)
        && changeobservers::childrenReordered(db, item.pid, error) && transaction.commit(error);
}

bool DataItemService::moveToParent(qint64 iid, qint64 newParent, QString *error)
{
    DataItem item = m_items->get(iid);
    if (item.iid == 0)
        return fail(error, noValidItemMessage());
    if (newParent == iid)
        return fail(error, QStringLiteral("不能移动到自身下面。"));
    // Walk up from the new parent: every ancestor must exist and none may be the moved item.
    // A chain that comes back to an ancestor already seen (a looping file written by hand) has no
    // top level either, and is refused the same way as a missing one.
    qint64 ancestor = newParent;
    QSet<qint64> seen;
    while (ancestor != 0) {
        const DataItem current = m_items->get(ancestor);
        if (current.iid == 0 || seen.contains(ancestor))
            return fail(error, QStringLiteral("目标层级不存在。"));
        seen.insert(ancestor);
        if (current.iid == iid)
            return fail(error, QStringLiteral("不能移动到自己的分支下面。"));
        ancestor = current.pid;
    }
    const QSqlDatabase db = m_items->database()->connection();
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    const qint64 oldParent = item.pid;
    item.pid = newParent;
    item.sortid = m_items->nextSortId(newParent);
    if (!m_items->update(item, error) || !m_items->normalizeSortIds(oldParent, error))
        return false;
    if (newParent != oldParent && !m_items->normalizeSortIds(newParent, error))
        return false;
    return finishItemWrite(transaction, db, iid, ChangeObserver::Placement, error);
}

bool DataItemService::setFavorite(qint64 iid, bool favorite, QString *error)
{
    if (iid < 1)
        return fail(error, noValidItemMessage());
    const QSqlDatabase db = m_items->database()->connection();
    sqlsupport::Transaction transaction(db);
    return transaction.beginImmediate(error) && m_items->setFavorite(iid, favorite, error)
        && finishItemWrite(transaction, db, iid, ChangeObserver::Favorite, error);
}

bool DataItemService::recordRecent(qint64 iid, QString *error)
{
    if (iid <= 0)
        return false;
    return m_items->recordRecent(iid, error);
}

QList<Attachment> DataItemService::attachments(qint64 itemIid) const
{
    return m_attachments->byItem(itemIid);
}

bool DataItemService::addAttachment(
    qint64 itemIid, AttachmentType type, const QString &location, QString *error)
{
    if (itemIid < 1 || location.trimmed().isEmpty())
        return fail(error, QStringLiteral("附件信息无效。"));
    Attachment attachment;
    attachment.itemIid = itemIid;
    attachment.type = type;
    attachment.location = location;
    attachment.sortid = m_attachments->byItem(itemIid).size() + 1;
    attachment.displayName = type == AttachmentType::File
        ? QFileInfo(location).fileName()
        : QUrl(location, QUrl::TolerantMode).host(QUrl::FullyDecoded);
    if (attachment.displayName.isEmpty())
        attachment.displayName = location;
    return m_attachments->insert(attachment, error) != 0;
}

bool DataItemService::removeAttachment(qint64 id, QString *error)
{
    if (id < 1)
        return fail(error, QStringLiteral("没有选中有效附件。"));
    return m_attachments->remove(id, error);
}

QList<ContentBlock> DataItemService::contentBlocks(qint64 itemIid) const
{
    return m_blocks->byItem(itemIid);
}

bool DataItemService::replaceContentBlocks(
    qint64 itemIid, const QList<ContentBlock> &blocks, QString *error)
{
    return m_blocks->replace(itemIid, blocks, error);
}
