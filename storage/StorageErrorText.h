#pragma once

#include <QString>

// The text shown for a failed storage operation: the action and, for the database's own
// (English) error text, a Chinese explanation followed by that text in parentheses, e.g.
// "保存失败：数据库正忙 (database is locked Unable to commit transaction)". A text that is
// already the program's own Chinese message is returned unchanged.
QString storageErrorText(const QString &action, const QString &error);
