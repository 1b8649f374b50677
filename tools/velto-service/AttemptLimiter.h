#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

#include <deque>

// A sliding window of attempts per client address (see clientAddressKey): at most `attempts` in
// any `windowMs`. Attempts that were refused count too, so a client that keeps trying stays
// refused until it pauses.
class AttemptLimiter {
public:
    // `attempts` <= 0 allows everything.
    AttemptLimiter(int attempts, int windowMs);

    // Records an attempt from `address` now. 0 when it is allowed, otherwise the seconds until
    // the client may try again (at least 1).
    int attempt(const QHostAddress &address);

private:
    int attempts;
    qint64 windowMs;
    QElapsedTimer clock;
    QHash<QByteArray, std::deque<qint64>> recent; // times of the last attempts, oldest first
    qint64 nextSweep = 0;
};
