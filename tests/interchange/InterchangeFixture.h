#pragma once

#include "StorageFixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlRecord>

// Tests of the import's logic need no durability: without syncing, hundreds of imports take a
// second.
inline void fastWrites(StorageFixture &fx)
{
    fx.sql(QStringLiteral("PRAGMA synchronous = OFF"));
}

// Every row of every table as text: equal snapshots mean an unchanged database.
inline QString snapshot(StorageFixture &fx)
{
    QString out;
    for (const char *table :
        {"data_items", "attachments", "content_blocks", "recent_items", "app_state"}) {
        QSqlQuery query
            = fx.sql(QStringLiteral("SELECT * FROM %1 ORDER BY 1").arg(QLatin1String(table)));
        while (query.next()) {
            for (int c = 0; c < query.record().count(); ++c)
                out += query.value(c).toString() + QLatin1Char('|');
            out += QLatin1Char('\n');
        }
    }
    return out;
}

// An export entry with every key present.
inline QJsonObject entry(const QJsonValue &id, const QJsonValue &parentId, const QString &name,
    const QJsonArray &blocks = {})
{
    QJsonObject object;
    object.insert(QStringLiteral("id"), id);
    object.insert(QStringLiteral("parentId"), parentId);
    object.insert(QStringLiteral("name"), name);
    object.insert(QStringLiteral("content"), QString(name + QStringLiteral(" c")));
    object.insert(QStringLiteral("remark"), QStringLiteral(""));
    object.insert(QStringLiteral("favorite"), false);
    object.insert(QStringLiteral("description"), QStringLiteral(""));
    object.insert(QStringLiteral("blocks"), blocks);
    return object;
}

inline QByteArray exportFile(const QJsonArray &items)
{
    return QJsonDocument(QJsonObject {{QStringLiteral("format"), QStringLiteral("velto-export-v1")},
                             {QStringLiteral("items"), items}})
        .toJson();
}
