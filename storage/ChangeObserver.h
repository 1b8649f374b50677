#pragma once

#include <QFlags>
#include <QSqlDatabase>
#include <QString>
#include <QtGlobal>

// The one seam through which storage tells the capabilities above it (the full-text index, the
// sync journal) that items changed. Observers are told inside the writing transaction, on the
// writing connection, so whatever they record commits or rolls back with the change itself.
class ChangeObserver {
public:
    enum Aspect {
        Created = 0x01, // a new item (its fields, blocks and place are all new)
        Fields = 0x02, // name, content line, remark, favourite or description
        Blocks = 0x04, // the ordered resources, as a whole
        Placement = 0x08, // parent or position among its siblings
        Removed = 0x10, // the item is gone (its row no longer exists)
        Favorite = 0x20, // the favourite flag alone
        Removing = 0x40, // the item is about to be removed (its row and blocks still exist)
    };
    Q_DECLARE_FLAGS(Aspects, Aspect)

    virtual ~ChangeObserver();

    // A connection of Database was opened and its schema brought up to date. Never fails the
    // open: an observer keeps its own tables usable or leaves them for later.
    virtual void connectionOpened(QSqlDatabase db) { Q_UNUSED(db) }

    // One item changed. A false return (with *error set) fails the whole change.
    virtual bool itemChanged(QSqlDatabase db, qint64 iid, Aspects what, QString *error) = 0;

    // The order of parent's children changed without any of them changing parent.
    virtual bool childrenReordered(QSqlDatabase db, qint64 parent, QString *error)
    {
        Q_UNUSED(db)
        Q_UNUSED(parent)
        Q_UNUSED(error)
        return true;
    }

    // Items firstIid..lastIid (with their blocks) were appended in bulk by the import, which keeps
    // the full-text index itself.
    virtual bool itemsAppended(QSqlDatabase db, qint64 firstIid, qint64 lastIid, QString *error)
    {
        Q_UNUSED(db)
        Q_UNUSED(firstIid)
        Q_UNUSED(lastIid)
        Q_UNUSED(error)
        return true;
    }
};

Q_DECLARE_OPERATORS_FOR_FLAGS(ChangeObserver::Aspects)

// The observers of this process. Register once at start (a capability's install function does);
// notifications go to every registered observer in registration order, and stop at the first
// failure.
namespace changeobservers {

void add(ChangeObserver *observer);
void remove(ChangeObserver *observer);

void connectionOpened(QSqlDatabase db);
bool itemChanged(QSqlDatabase db, qint64 iid, ChangeObserver::Aspects what, QString *error);
bool childrenReordered(QSqlDatabase db, qint64 parent, QString *error);
bool itemsAppended(QSqlDatabase db, qint64 firstIid, qint64 lastIid, QString *error);

} // namespace changeobservers
