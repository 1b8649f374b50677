#pragma once

#include "SyncLocal.h"
#include "SyncRecords.h"

#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QVariant>

// What the parts of SyncEngine share (not for use outside sync/).
namespace datasync::detail {

// A unit of work commits after this long, so the window's own writes never wait for long.
constexpr qint64 batchMillis = 15;

bool isHeld(qint64 iid);
void setHeld(const QSet<qint64> &iids);
QString randomHex(int bytes);
// Text bound as an SQL value: never NULL, which compares equal to nothing.
QVariant text(const QString &value);
QString segmentName(qint64 seq);
QString bodyText(const ItemBody &body);
ItemBody bodyFromText(const QString &text);
// The identity of the conflict copy of version vid of item uuid: the same on every device.
QString copyUuid(const QString &uuid, const QString &vid);

struct Head {
    QString vid;
    qint64 ts = 0;
    QString hash;
    bool deleted = false;
    QString body;
};

struct Place {
    QString vid;
    qint64 ts = 0;
    QString parent;
    QString key;
    QString from;
    bool valid = false;
};

Place placeOf(local::Statements &sql, const QString &uuid);
QList<Head> headsOf(local::Statements &sql, const QString &uuid);
// The digests of every version vid descends from (itself included), a bounded walk.
QSet<QString> ancestorHashes(local::Statements &sql, const QString &vid);

// The item iid as it is stored: its identity, parent iid and body. False when it does not exist.
bool readItem(local::Statements &sql, qint64 iid, QString *uuid, qint64 *pid, ItemBody *body);
qint64 iidOf(local::Statements &sql, const QString &uuid);
QString uuidOf(local::Statements &sql, qint64 iid);

} // namespace datasync::detail
