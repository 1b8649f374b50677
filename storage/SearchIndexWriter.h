#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// Rewrites rows of the full-text index from the tables, with its statements prepared once: used
// for one item by SearchIndex::syncItem and for every item by the background build.
class SearchIndexWriter {
public:
    explicit SearchIndexWriter(QSqlDatabase db);

    bool prepare(QString *error);
    // Removes iid's row and, when the item exists, writes it again from the item and its blocks.
    bool write(qint64 iid, QString *error);

private:
    QSqlQuery m_remove;
    QSqlQuery m_item;
    QSqlQuery m_blocks;
    QSqlQuery m_insert;
};
