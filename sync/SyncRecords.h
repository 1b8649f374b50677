#pragma once

#include "Records.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The values sync writes to the server and keeps locally. An item's state is two registers: its
// content (fields and blocks as a whole, or its deletion) and its place (parent and position).
namespace datasync {

// Everything of an item but its place.
struct ItemBody {
    QString here;
    QString cont;
    QString remark;
    QString desc;
    bool favorite = false;
    QList<ContentBlock> blocks;

    // A short digest of the canonical form: equal bodies, equal hashes.
    QString hash() const;
    // The canonical form (compact JSON) and the digest of a canonical form.
    QByteArray canonical() const;
    static QString hashOf(const QByteArray &canonical);
    QJsonObject toJson() const;
    static ItemBody fromJson(const QJsonObject &object);
};

// A new version of an item's content. bases names the versions it replaces (none for a new item);
// a version no other version names is a head. deleted: the item was removed (body is what it held,
// so that a concurrent child can bring it back).
struct ContentRecord {
    QString uuid;
    QString vid; // "<device>:<n>", unique everywhere
    QStringList bases;
    qint64 ts = 0; // hybrid clock: later changes have larger values
    bool deleted = false;
    ItemBody body;
};

// A new place of an item; the latest (ts, vid) wins. from is the parent before the move, where the
// item stays when the move would make a loop.
struct PlaceRecord {
    QString uuid;
    QString vid;
    qint64 ts = 0;
    QString parent; // uuid, empty for the top level
    QString key; // position among the siblings (see between)
    QString from;
};

// True when version (ts, vid) is later than (otherTs, otherVid): the order every device uses.
bool later(qint64 ts, const QString &vid, qint64 otherTs, const QString &otherVid);

// One immutable file on the server: a batch of one device's records.
struct Segment {
    QString device;
    qint64 seq = 0;
    QList<ContentRecord> contents;
    QList<PlaceRecord> places;

    QByteArray encode() const;
    // False with a message when bytes are not a segment this version reads.
    static bool decode(const QByteArray &bytes, Segment *segment, QString *error);
};

QJsonObject contentToJson(const ContentRecord &record);
ContentRecord contentFromJson(const QJsonObject &object);

// Position keys: strings over 0-9a-z compared as plain strings, never ending in '0', so that
// between two different keys there is always another.
namespace poskey {
// A key after a and before b (a empty: no lower bound; b empty: no upper bound). a < b.
QString between(const QString &a, const QString &b);
// n increasing keys between a and b, short and evenly spread.
QStringList spread(const QString &a, const QString &b, qsizetype n);
} // namespace poskey

} // namespace datasync
