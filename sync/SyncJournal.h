#pragma once

#include "ChangeObserver.h"

// Records, inside each writing transaction, which items changed and how (sync_dirty,
// sync_dirty_parents) and what a removed item held (sync_tombstones). The next sync turns these
// marks into change records. Writes made by sync itself (connections named "velto-sync…") are
// not marked: they are the server's changes arriving.
class SyncJournal : public ChangeObserver {
public:
    // Registers the one journal of the process (idempotent).
    static void install();

    // Creates the sync tables; the first time, every item present is marked new.
    static bool prepare(QSqlDatabase db, QString *error);

    void connectionOpened(QSqlDatabase db) override;
    bool itemChanged(QSqlDatabase db, qint64 iid, Aspects what, QString *error) override;
    bool childrenReordered(QSqlDatabase db, qint64 parent, QString *error) override;
    bool itemsAppended(QSqlDatabase db, qint64 firstIid, qint64 lastIid, QString *error) override;
};
