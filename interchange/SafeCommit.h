#pragma once

#include <QString>
#include <QtGlobal>

class QSaveFile;

namespace interchange {

// Commits a save file only when every one of `written` bytes reached it. QSaveFile::commit() in
// Qt 6.4 ignores a failed flush of its buffer: on a full disk it renames a short or empty file
// over the old one and reports success. Here the buffer is flushed and the file's size compared
// first; on any failure the writing is cancelled, the old file stays, and *error (if given) gets
// the file's error text.
bool commitChecked(QSaveFile &file, qint64 written, QString *error);

} // namespace interchange
