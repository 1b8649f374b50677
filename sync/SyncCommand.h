#pragma once

#include <QString>

class QTextStream;

// `velto --sync`: one sync of the database under the usual storage root with the server in the
// settings, or urlOverride (a WebDAV address, or file:///folder for a local folder). The
// environment's VELTO_SYNC_USER, VELTO_SYNC_PASSWORD and VELTO_SYNC_PASSPHRASE override the
// stored account and secrets for this run. Prints what was sent and received; returns the exit
// code (0 done, 1 failed).
int runSyncCommand(const QString &urlOverride, QTextStream &out, QTextStream &err);
