#pragma once

#include "ChangeObserver.h"

// Keeps the full-text index in step with the items: registers the search functions and prepares
// the index on every connection Database opens, and rewrites an item's row inside the transaction
// that changed its indexed text.
class SearchIndexObserver : public ChangeObserver {
public:
    // Registers the one observer of the process (idempotent). Every program and test that writes
    // items and reads the index calls it before opening a Database.
    static void install();

    void connectionOpened(QSqlDatabase db) override;
    bool itemChanged(QSqlDatabase db, qint64 iid, Aspects what, QString *error) override;
};
