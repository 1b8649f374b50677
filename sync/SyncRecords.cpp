#include "SyncRecords.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>

namespace datasync {

namespace {

const QByteArray segmentMagic = QByteArrayLiteral("VELTO-SEGMENT-1\n");

QJsonArray blocksToJson(const QList<ContentBlock> &blocks)
{
    QJsonArray array;
    for (const ContentBlock &block : blocks)
        array.append(QJsonArray {block.type, block.value, block.summary});
    return array;
}

QList<ContentBlock> blocksFromJson(const QJsonArray &array)
{
    QList<ContentBlock> blocks;
    for (const QJsonValue &value : array) {
        const QJsonArray fields = value.toArray();
        ContentBlock block;
        block.type = fields.at(0).toInt();
        block.value = fields.at(1).toString();
        block.summary = fields.at(2).toString();
        block.sortid = blocks.size() + 1;
        blocks.append(block);
    }
    return blocks;
}

QJsonObject placeToJson(const PlaceRecord &record)
{
    return {{QStringLiteral("u"), record.uuid}, {QStringLiteral("v"), record.vid},
        {QStringLiteral("t"), record.ts}, {QStringLiteral("p"), record.parent},
        {QStringLiteral("k"), record.key}, {QStringLiteral("o"), record.from}};
}

PlaceRecord placeFromJson(const QJsonObject &object)
{
    PlaceRecord record;
    record.uuid = object.value(QStringLiteral("u")).toString();
    record.vid = object.value(QStringLiteral("v")).toString();
    record.ts = object.value(QStringLiteral("t")).toInteger();
    record.parent = object.value(QStringLiteral("p")).toString();
    record.key = object.value(QStringLiteral("k")).toString();
    record.from = object.value(QStringLiteral("o")).toString();
    return record;
}

const QString digits = QStringLiteral("0123456789abcdefghijklmnopqrstuvwxyz");
constexpr int base = 36;

int digitOf(QChar c)
{
    return int(digits.indexOf(c));
}

} // namespace

QJsonObject ItemBody::toJson() const
{
    return {{QStringLiteral("h"), here}, {QStringLiteral("c"), cont}, {QStringLiteral("r"), remark},
        {QStringLiteral("d"), desc}, {QStringLiteral("s"), favorite ? 1 : 0},
        {QStringLiteral("k"), blocksToJson(blocks)}};
}

ItemBody ItemBody::fromJson(const QJsonObject &object)
{
    ItemBody body;
    body.here = object.value(QStringLiteral("h")).toString();
    body.cont = object.value(QStringLiteral("c")).toString();
    body.remark = object.value(QStringLiteral("r")).toString();
    body.desc = object.value(QStringLiteral("d")).toString();
    body.favorite = object.value(QStringLiteral("s")).toInt() != 0;
    body.blocks = blocksFromJson(object.value(QStringLiteral("k")).toArray());
    return body;
}

QString ItemBody::hash() const
{
    return hashOf(canonical());
}

QByteArray ItemBody::canonical() const
{
    // QJsonObject keeps its keys sorted: the compact form is canonical.
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

QString ItemBody::hashOf(const QByteArray &canonical)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(canonical, QCryptographicHash::Sha256).left(16).toHex());
}

bool later(qint64 ts, const QString &vid, qint64 otherTs, const QString &otherVid)
{
    return ts != otherTs ? ts > otherTs : vid > otherVid;
}

QJsonObject contentToJson(const ContentRecord &record)
{
    QJsonObject object {{QStringLiteral("u"), record.uuid}, {QStringLiteral("v"), record.vid},
        {QStringLiteral("b"), QJsonArray::fromStringList(record.bases)},
        {QStringLiteral("t"), record.ts}, {QStringLiteral("f"), record.body.toJson()}};
    if (record.deleted)
        object.insert(QStringLiteral("x"), 1);
    return object;
}

ContentRecord contentFromJson(const QJsonObject &object)
{
    ContentRecord record;
    record.uuid = object.value(QStringLiteral("u")).toString();
    record.vid = object.value(QStringLiteral("v")).toString();
    for (const QJsonValue &base : object.value(QStringLiteral("b")).toArray())
        record.bases.append(base.toString());
    record.ts = object.value(QStringLiteral("t")).toInteger();
    record.deleted = object.value(QStringLiteral("x")).toInt() != 0;
    record.body = ItemBody::fromJson(object.value(QStringLiteral("f")).toObject());
    return record;
}

QByteArray Segment::encode() const
{
    QJsonArray contentArray;
    for (const ContentRecord &record : contents)
        contentArray.append(contentToJson(record));
    QJsonArray placeArray;
    for (const PlaceRecord &record : places)
        placeArray.append(placeToJson(record));
    const QJsonObject object {{QStringLiteral("device"), device}, {QStringLiteral("seq"), seq},
        {QStringLiteral("c"), contentArray}, {QStringLiteral("p"), placeArray}};
    return segmentMagic + qCompress(QJsonDocument(object).toJson(QJsonDocument::Compact), 6);
}

bool Segment::decode(const QByteArray &bytes, Segment *segment, QString *error)
{
    const auto refuse = [error] {
        if (error)
            *error = QStringLiteral("服务器上的同步数据无法读取（格式不对或已损坏）。");
        return false;
    };
    if (!bytes.startsWith(segmentMagic))
        return refuse();
    const QByteArray json = qUncompress(bytes.mid(segmentMagic.size()));
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (json.isEmpty() || parseError.error != QJsonParseError::NoError || !document.isObject())
        return refuse();
    const QJsonObject object = document.object();
    segment->device = object.value(QStringLiteral("device")).toString();
    segment->seq = object.value(QStringLiteral("seq")).toInteger();
    segment->contents.clear();
    segment->places.clear();
    for (const QJsonValue &value : object.value(QStringLiteral("c")).toArray())
        segment->contents.append(contentFromJson(value.toObject()));
    for (const QJsonValue &value : object.value(QStringLiteral("p")).toArray())
        segment->places.append(placeFromJson(value.toObject()));
    for (const ContentRecord &record : segment->contents) {
        if (record.uuid.isEmpty() || record.vid.isEmpty())
            return refuse();
    }
    for (const PlaceRecord &record : segment->places) {
        if (record.uuid.isEmpty() || record.vid.isEmpty())
            return refuse();
    }
    return !segment->device.isEmpty() || refuse();
}

namespace poskey {

QString between(const QString &a, const QString &b)
{
    if (!b.isEmpty()) {
        qsizetype n = 0;
        while (n < b.size() && (n < a.size() ? a.at(n) : QLatin1Char('0')) == b.at(n))
            ++n;
        if (n > 0)
            return b.left(n) + between(a.mid(n), b.mid(n));
    }
    const int low = a.isEmpty() ? 0 : digitOf(a.at(0));
    const int high = b.isEmpty() ? base : digitOf(b.at(0));
    if (high - low > 1)
        return QString(digits.at((low + high) / 2));
    // Neighbouring digits: b's first digit alone lies between when b goes on after it.
    if (b.size() > 1)
        return b.left(1);
    return QString(digits.at(low)) + between(a.isEmpty() ? QString() : a.mid(1), QString());
}

QStringList spread(const QString &a, const QString &b, qsizetype n)
{
    if (n <= 0)
        return {};
    const QString middle = between(a, b);
    const qsizetype before = (n - 1) / 2;
    QStringList keys = spread(a, middle, before);
    keys.append(middle);
    keys.append(spread(middle, b, n - 1 - before));
    return keys;
}

} // namespace poskey

} // namespace datasync
