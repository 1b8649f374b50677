#pragma once

#include "Records.h"

#include <QList>
#include <QSet>
#include <QString>

class Database;
class QSqlQuery;

// Reads and writes data_items and recent_items. No validation here: the tree rules live in
// DataItemService. Reading methods never report errors; they return an empty list or a default
// record.
class DataItemRepository {
public:
    explicit DataItemRepository(Database *database);

    // The database the rows live in (for a transaction around several writes).
    Database *database() const { return m_database; }

    QList<DataItem> byParent(qint64 pid) const;
    QList<DataItem> allItems() const;
    // Items that no existing parent holds: their parent does not exist, or they are their own
    // parent. Ordered by pid, sortid, iid; a tree shows them at the top level after pid 0.
    QList<DataItem> orphans() const;
    QList<DataItem> favorites() const;
    QList<DataItem> recentItems(int limit) const;
    QList<DataItem> searchByName(const QString &text, int limit) const;
    DataItem get(qint64 iid) const;
    bool hasChildren(qint64 pid) const;
    // Which children of pid have children of their own: one query for a whole level.
    QSet<qint64> childrenWithChildren(qint64 pid) const;
    qint64 nextSortId(qint64 pid) const;

    qint64 insert(DataItem item, QString *error);
    bool update(const DataItem &item, QString *error);
    bool remove(qint64 iid, QString *error);
    bool setFavorite(qint64 iid, bool favorite, QString *error);
    bool recordRecent(qint64 iid, QString *error);
    bool makeSortRoom(qint64 pid, qint64 firstPosition, QString *error);
    bool normalizeSortIds(qint64 pid, QString *error);
    bool reorder(qint64 pid, const QList<qint64> &iids, QString *error);

    // The LIKE pattern searchByName binds: blanks trimmed, \ % _ escaped, wrapped in %.
    static QString searchPattern(const QString &text);

    static constexpr int recentLimit = 20;

private:
    QList<DataItem> readList(QSqlQuery &query, qint64 expected = 0) const;
    qint64 countAll() const;

    Database *m_database;
};
