#pragma once

#include <QByteArray>
#include <QJsonObject>

// Parses an export file's JSON. When "items" is the root's last member, as the export writes it,
// the array is cut between two of its objects and the halves parsed on two threads, each by
// QJsonDocument like the rest of the file: the result is the object a whole parse gives, in about
// half the time. Other files, and files over 64 MiB (the halves are copies), are parsed whole.
namespace exportfile {

// The file's root object; ok is false when the bytes are not a JSON object. Files smaller than
// splitFrom bytes are parsed on one thread.
QJsonObject parse(const QByteArray &bytes, bool *ok, qsizetype splitFrom = qsizetype(1) << 20);

} // namespace exportfile
