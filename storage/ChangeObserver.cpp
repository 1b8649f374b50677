#include "ChangeObserver.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>

ChangeObserver::~ChangeObserver() = default;

namespace {

QMutex &registryLock()
{
    static QMutex lock;
    return lock;
}

QList<ChangeObserver *> &registry()
{
    static QList<ChangeObserver *> observers;
    return observers;
}

// A copy taken under the lock: observers are registered at start and never while writes run, but
// the writes run on several threads.
QList<ChangeObserver *> observers()
{
    QMutexLocker locker(&registryLock());
    return registry();
}

} // namespace

namespace changeobservers {

void add(ChangeObserver *observer)
{
    QMutexLocker locker(&registryLock());
    if (!registry().contains(observer))
        registry().append(observer);
}

void remove(ChangeObserver *observer)
{
    QMutexLocker locker(&registryLock());
    registry().removeAll(observer);
}

void connectionOpened(QSqlDatabase db)
{
    for (ChangeObserver *observer : observers())
        observer->connectionOpened(db);
}

bool itemChanged(QSqlDatabase db, qint64 iid, ChangeObserver::Aspects what, QString *error)
{
    for (ChangeObserver *observer : observers()) {
        if (!observer->itemChanged(db, iid, what, error))
            return false;
    }
    return true;
}

bool childrenReordered(QSqlDatabase db, qint64 parent, QString *error)
{
    for (ChangeObserver *observer : observers()) {
        if (!observer->childrenReordered(db, parent, error))
            return false;
    }
    return true;
}

bool itemsAppended(QSqlDatabase db, qint64 firstIid, qint64 lastIid, QString *error)
{
    for (ChangeObserver *observer : observers()) {
        if (!observer->itemsAppended(db, firstIid, lastIid, error))
            return false;
    }
    return true;
}

} // namespace changeobservers
