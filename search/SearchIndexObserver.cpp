#include "SearchIndexObserver.h"

#include "SearchIndex.h"
#include "SearchMatch.h"

void SearchIndexObserver::install()
{
    static SearchIndexObserver observer;
    changeobservers::add(&observer);
}

void SearchIndexObserver::connectionOpened(QSqlDatabase db)
{
    registerSearchFunctions(db);
    // The index is a cache: whatever state it is in never keeps the data from opening.
    SearchIndex::prepare(db);
}

bool SearchIndexObserver::itemChanged(QSqlDatabase db, qint64 iid, Aspects what, QString *error)
{
    // The place and the favourite flag are not indexed.
    if (!(what & (Created | Fields | Blocks | Removed)))
        return true;
    return SearchIndex::syncItem(db, iid, error);
}
