#pragma once

#include "SyncRecords.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

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

// The statements of one connection, each prepared once and reused: sync runs the same few
// statements hundreds of thousands of times, and preparing them is most of their cost. Clear it
// before the connection closes.
class Statements {
public:
    void setConnection(QSqlDatabase db);
    void clear();
    QSqlDatabase connection() const { return m_db; }

    // The prepared statement for sql (bound values and results of its last use dropped), or an
    // invalid one when sql does not compile.
    QSqlQuery *prepared(const QString &sql, QString *error = nullptr);
    // Runs sql with the values bound; with rowsAffected, the number of rows it changed.
    bool exec(const QString &sql, const QVariantList &values, QString *error,
        int *rowsAffected = nullptr);
    // Calls row for every row sql gives with the values bound.
    bool select(const QString &sql, const QVariantList &values,
        const std::function<void(const QSqlQuery &)> &row, QString *error);
    // The first column of the first row, or def.
    QVariant scalar(const QString &sql, const QVariantList &values = {}, const QVariant &def = {});
    QString state(const QString &key, const QString &def = QString());
    bool setState(const QString &key, const QString &value, QString *error);
    // The last statement that failed found the database locked by another connection.
    bool lastFailureWasBusy() const { return m_busy; }
    void forgetFailure() { m_busy = false; }

private:
    bool failed(const QSqlQuery &query, QString *error);
    // prepared(sql) with the values bound in order.
    QSqlQuery *bound(const QString &sql, const QVariantList &values, QString *error = nullptr);
    bool m_busy = false;
    QSqlDatabase m_db;
    QHash<QString, std::shared_ptr<QSqlQuery>> m_queries;
};
QStringList splitList(const QString &text);

} // namespace datasync::local
