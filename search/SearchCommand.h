#pragma once

#include <QString>

class QTextStream;

// `velto --search TEXT`: opens the database under the storage root (rootOverride when not empty,
// else VELTO_STORAGE_ROOT, else the program's own), builds the full-text index first if it is not
// complete, and prints one line per matching item: iid, name and snippet separated by tabs. Name
// matches come first (as the search page lists them, newest first, at most limit), then the items
// whose other text matches, best first, at most limit. Returns 0 when something was found, 1 when
// nothing was, 2 when the database could not be opened (the reason goes to err).
int runSearchCommand(const QString &text, QTextStream &out, QTextStream &err,
    const QString &rootOverride = QString(), int limit = 100);
