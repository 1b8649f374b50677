#include "ExportDocument.h"

#include "DataItemRepository.h"
#include "Database.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSqlQuery>

namespace {

// Every stored block in one query, grouped by item; the same blocks in the same order as reading
// each item's blocks on its own, without 100,000 round trips.
QHash<qint64, QJsonArray> allBlocks(Database *database)
{
    QHash<qint64, QJsonArray> byItem;
    QSqlQuery query(database->connection());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT item_iid, type, value, summary FROM content_blocks "
                                   "ORDER BY item_iid, sortid, id")))
        return byItem;
    while (query.next()) {
        ContentBlock block;
        block.type = query.value(1).toInt();
        block.value = query.value(2).toString();
        block.summary = query.value(3).toString();
        byItem[query.value(0).toLongLong()].append(contentBlockObject(block));
    }
    return byItem;
}

QJsonObject itemFields(const DataItem &item, const QJsonArray &blocks)
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), double(item.iid));
    object.insert(QStringLiteral("parentId"), double(item.pid));
    object.insert(QStringLiteral("name"), item.here);
    object.insert(QStringLiteral("content"), item.cont);
    object.insert(QStringLiteral("remark"), item.remark);
    object.insert(QStringLiteral("favorite"), item.favorite);
    object.insert(QStringLiteral("description"), item.desc);
    object.insert(QStringLiteral("blocks"), blocks);
    return object;
}

constexpr qint64 progressStep = 1000;

} // namespace

QJsonObject ExportDocument::itemObject(const DataItem &item, const QList<ContentBlock> &blocks)
{
    QJsonArray array;
    for (const ContentBlock &block : blocks)
        array.append(contentBlockObject(block));
    return itemFields(item, array);
}

QByteArray ExportDocument::build(
    Database *database, qint64 *count, const interchange::Progress &progress)
{
    const QList<DataItem> items = DataItemRepository(database).allItems();
    QHash<qint64, QJsonArray> blocks = allBlocks(database);
    const qint64 total = items.size();
    QJsonArray array;
    qint64 done = 0;
    for (const DataItem &item : items) {
        array.append(itemFields(item, blocks.take(item.iid)));
        if (progress && ++done % progressStep == 0 && !progress(done, total))
            return {};
    }
    QJsonObject root;
    root.insert(QStringLiteral("format"), QLatin1String(interchange::exportFormatTag()));
    root.insert(QStringLiteral("exportedAt"), QDateTime::currentDateTime().toString(Qt::ISODate));
    root.insert(QStringLiteral("items"), array);
    if (count)
        *count = total;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

ExportDocument::Result ExportDocument::write(
    Database *database, const QString &path, const interchange::Progress &progress)
{
    Result result;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        result.error = file.errorString();
        return result;
    }
    bool cancelled = false;
    // Building counts as the first half of the work, writing as the second.
    const interchange::Progress halfProgress = [&](qint64 done, qint64 total) {
        if (!progress(done, 2 * total)) {
            cancelled = true;
            return false;
        }
        return true;
    };
    const QByteArray bytes = build(database, &result.count, progress ? halfProgress : progress);
    if (!cancelled) {
        constexpr qint64 chunk = 4 << 20;
        for (qint64 offset = 0; offset < bytes.size(); offset += chunk) {
            const qint64 length = qMin(chunk, bytes.size() - offset);
            if (file.write(bytes.constData() + offset, length) != length) {
                result.error = file.errorString();
                file.cancelWriting();
                return result;
            }
            if (progress && offset + length < bytes.size()) {
                const qint64 total = qMax<qint64>(result.count, 1);
                if (!progress(total + total * (offset + length) / bytes.size(), 2 * total)) {
                    cancelled = true;
                    break;
                }
            }
        }
    }
    if (cancelled) {
        file.cancelWriting();
        file.commit();
        result.cancelled = true;
        result.count = 0;
        return result;
    }
    if (!file.commit()) {
        result.error = file.errorString();
        return result;
    }
    result.ok = true;
    return result;
}
