#pragma once

#include "Records.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

// Rewrites rows of the full-text index from the tables, with its statements prepared once: used
// for one item by SearchIndex::syncItem and for every item by the background build.
class SearchIndexWriter {
public:
    explicit SearchIndexWriter(QSqlDatabase db);

    // The prepared writer kept for the connection db (prepared again with afresh), or none when
    // its statements do not prepare. It lives as long as the connection: changes rewrite the rows
    // of one item at a time, and preparing the statements would cost more than running them.
    static SearchIndexWriter *of(QSqlDatabase db, bool afresh = false);

    bool prepare(QString *error);
    // The six indexed texts of iid (name, content, remark, notes, links, files), or none when
    // the item does not exist.
    bool read(qint64 iid, QStringList *columns, QString *error);
    // Removes iid's row and, when the item exists, writes it again from the item and its blocks.
    bool write(qint64 iid, QString *error);
    // The six texts of an item with these fields and blocks (in their order).
    static QStringList columnsOf(const QString &name, const QString &cont, const QString &remark,
        const QList<ContentBlock> &blocks);
    // The one text the index stores for the six texts read() gives.
    static QString indexedText(const QStringList &columns);

private:
    QSqlQuery m_remove;
    QSqlQuery m_item;
    QSqlQuery m_blocks;
    QSqlQuery m_insert;
};
