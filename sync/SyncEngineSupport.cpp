#include "SyncEngineSupport.h"

#include "SyncLocal.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSqlQuery>

namespace datasync::detail {

namespace {

QMutex &heldLock()
{
    static QMutex lock;
    return lock;
}

QSet<qint64> &held()
{
    static QSet<qint64> iids;
    return iids;
}

} // namespace

void setHeld(const QSet<qint64> &iids)
{
    QMutexLocker locker(&heldLock());
    held() = iids;
}

bool isHeld(qint64 iid)
{
    QMutexLocker locker(&heldLock());
    return held().contains(iid);
}

QString randomHex(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(
        reinterpret_cast<quint32 *>(data.data()), bytes / int(sizeof(quint32)));
    return QString::fromLatin1(data.toHex());
}

QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QStringLiteral("")) : QVariant(value);
}

QString segmentName(qint64 seq)
{
    return QStringLiteral("%1.seg").arg(seq, 10, 10, QLatin1Char('0'));
}

QString bodyText(const ItemBody &body)
{
    return QString::fromUtf8(QJsonDocument(body.toJson()).toJson(QJsonDocument::Compact));
}

ItemBody bodyFromText(const QString &text)
{
    return ItemBody::fromJson(QJsonDocument::fromJson(text.toUtf8()).object());
}

QString copyUuid(const QString &uuid, const QString &vid)
{
    return QString::fromLatin1(QCryptographicHash::hash(
        (uuid + QLatin1Char('/') + vid).toUtf8(), QCryptographicHash::Sha256)
                                   .left(16)
                                   .toHex());
}

Place placeOf(local::Statements &sql, const QString &uuid)
{
    Place place;
    QSqlQuery *query = sql.prepared(QStringLiteral(
        "SELECT vid, ts, parent, poskey, from_parent FROM sync_places WHERE uuid = ?"));
    if (!query)
        return place;
    query->bindValue(0, uuid);
    if (query->exec() && query->next()) {
        place.vid = query->value(0).toString();
        place.ts = query->value(1).toLongLong();
        place.parent = query->value(2).toString();
        place.key = query->value(3).toString();
        place.from = query->value(4).toString();
        place.valid = true;
    }
    query->finish();
    return place;
}

QList<Head> headsOf(local::Statements &sql, const QString &uuid)
{
    QList<Head> heads;
    QSqlQuery *query = sql.prepared(QStringLiteral("SELECT vid, ts, hash, deleted, body FROM "
                                                   "sync_versions WHERE uuid = ? AND head = 1 "
                                                   "ORDER BY vid"));
    if (!query)
        return heads;
    query->bindValue(0, uuid);
    if (query->exec()) {
        while (query->next()) {
            heads.append({query->value(0).toString(), query->value(1).toLongLong(),
                query->value(2).toString(), query->value(3).toBool(), query->value(4).toString()});
        }
    }
    query->finish();
    return heads;
}

QSet<QString> ancestorHashes(local::Statements &sql, const QString &vid)
{
    QSet<QString> hashes;
    QSet<QString> seen;
    QStringList queue {vid};
    while (!queue.isEmpty() && seen.size() < 10000) {
        const QString next = queue.takeLast();
        if (seen.contains(next))
            continue;
        seen.insert(next);
        QSqlQuery *query
            = sql.prepared(QStringLiteral("SELECT hash, bases FROM sync_versions WHERE vid = ?"));
        if (!query)
            break;
        query->bindValue(0, next);
        if (!query->exec() || !query->next())
            continue;
        if (!query->value(0).isNull())
            hashes.insert(query->value(0).toString());
        queue.append(local::splitList(query->value(1).toString()));
        query->finish();
    }
    return hashes;
}

bool readItem(local::Statements &sql, qint64 iid, QString *uuid, qint64 *pid, ItemBody *body)
{
    QSqlQuery *query
        = sql.prepared(QStringLiteral("SELECT uuid, pid, here, cont, remark, "
                                      "favorite, \"desc\" FROM data_items WHERE iid = ?"));
    if (!query)
        return false;
    query->bindValue(0, iid);
    if (!query->exec() || !query->next())
        return false;
    *uuid = query->value(0).toString();
    *pid = query->value(1).toLongLong();
    body->here = query->value(2).toString();
    body->cont = query->value(3).toString();
    body->remark = query->value(4).toString();
    body->favorite = query->value(5).toBool();
    body->desc = query->value(6).toString();
    query->finish();
    body->blocks.clear();
    QSqlQuery *blocks = sql.prepared(QStringLiteral("SELECT type, value, summary FROM "
                                                    "content_blocks WHERE item_iid = ? ORDER BY "
                                                    "sortid, id"));
    if (!blocks)
        return false;
    blocks->bindValue(0, iid);
    if (!blocks->exec())
        return false;
    while (blocks->next()) {
        ContentBlock block;
        block.itemIid = iid;
        block.sortid = body->blocks.size() + 1;
        block.type = blocks->value(0).toInt();
        block.value = blocks->value(1).toString();
        block.summary = blocks->value(2).toString();
        body->blocks.append(block);
    }
    blocks->finish();
    return true;
}

qint64 iidOf(local::Statements &sql, const QString &uuid)
{
    return sql.scalar(QStringLiteral("SELECT iid FROM data_items WHERE uuid = ?"), {uuid}, 0)
        .toLongLong();
}

QString uuidOf(local::Statements &sql, qint64 iid)
{
    return sql.scalar(QStringLiteral("SELECT uuid FROM data_items WHERE iid = ?"), {iid})
        .toString();
}

} // namespace datasync::detail
