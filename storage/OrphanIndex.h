#pragma once

#include <QSqlDatabase>
#include <QString>

// Keeps the items whose parent does not exist (or that are their own parent) in the table
// orphan_items, maintained by triggers on data_items, so that the top level of the tree finds
// them without comparing every item with every other. The triggers live in the file: whoever
// writes data_items keeps the table right.
namespace OrphanIndex {

// Creates the table and its triggers when any of them is missing and fills the table once from
// data_items (a full scan). Fails only on a write error; the table is then simply not used.
bool prepare(QSqlDatabase db, QString *error);

// True when the table and all its triggers are present on db.
bool isPresent(QSqlDatabase db);

// The orphans as found by comparing every item's parent with the items: what the table must hold.
QString scanSql();

} // namespace OrphanIndex
