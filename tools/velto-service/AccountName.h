#pragma once

#include <QString>

// Account names as the service compares them, so that names which look alike cannot name two
// accounts ("bob", "bob ", "BOB", full-width "ｂｏｂ", "bob" with a zero-width space).

// The name as stored for a new account: compatibility-normalised (NFKC), invisible format and
// control characters removed, white space trimmed and runs of it collapsed to one space; case is
// kept. Empty when nothing visible remains.
QString normalisedAccountName(const QString &name);

// The key two names must not share: the normalised name, case-folded and normalised again.
QString accountNameKey(const QString &name);
