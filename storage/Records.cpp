#include "Records.h"

#include <QJsonValue>

#include <cmath>

namespace {
// A missing, non-numeric or non-integral "type" reads as 0.
int blockType(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number)
        return 0;
    if (number < -1.0 || number > 1000.0)
        return -1; // out of every known range; rejected by the caller
    return static_cast<int>(number);
}

QString stringOrNull(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}
} // namespace

QJsonObject contentBlockObject(const ContentBlock &block)
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), block.type);
    object.insert(QStringLiteral("value"), block.value);
    object.insert(QStringLiteral("summary"), block.summary);
    return object;
}

QList<ContentBlock> contentBlocksFromJson(const QJsonArray &array)
{
    QList<ContentBlock> blocks;
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            continue;
        const QJsonObject object = element.toObject();
        const int type = blockType(object.value(QStringLiteral("type")));
        if (type < ContentBlock::Text || type > ContentBlock::WebLink)
            continue;
        ContentBlock block;
        block.type = type;
        block.value = stringOrNull(object.value(QStringLiteral("value")));
        block.summary = stringOrNull(object.value(QStringLiteral("summary")));
        blocks.append(block);
    }
    return blocks;
}
