#pragma once

#include "SyncRecords.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// Reading and writing the local tables of sync on one connection.
namespace datasync::local {

bool exec(QSqlDatabase db, const QString &sql, QString *error);
// The first column of the first row of sql with the values bound, or def.
QVariant scalar(QSqlDatabase db, const QString &sql, const QVariantList &values = {},
    const QVariant &def = QVariant());
bool execBound(QSqlDatabase db, const QString &sql, const QVariantList &values, QString *error);

// The item iid as it is stored: its identity, parent iid and body. False when it does not exist.
bool readItem(QSqlDatabase db, qint64 iid, QString *uuid, qint64 *pid, ItemBody *body);
qint64 iidOf(QSqlDatabase db, const QString &uuid);
QString uuidOf(QSqlDatabase db, qint64 iid);

QString state(QSqlDatabase db, const QString &key, const QString &def = QString());
bool setState(QSqlDatabase db, const QString &key, const QString &value, QString *error);

QString joinList(const QStringList &list);
QStringList splitList(const QString &text);

} // namespace datasync::local
