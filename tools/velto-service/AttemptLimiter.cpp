#include "AttemptLimiter.h"

#include "ConnectionGuard.h"

AttemptLimiter::AttemptLimiter(int attempts, int windowMs)
    : attempts(attempts)
    , windowMs(windowMs)
{
    clock.start();
}

int AttemptLimiter::attempt(const QHostAddress &address)
{
    if (attempts <= 0)
        return 0;
    const qint64 now = clock.elapsed();
    if (now >= nextSweep) {
        // Forget the addresses that have been quiet for a whole window.
        for (auto it = recent.begin(); it != recent.end();) {
            if (it->back() <= now - windowMs)
                it = recent.erase(it);
            else
                ++it;
        }
        nextSweep = now + windowMs;
    }
    std::deque<qint64> &times = recent[clientAddressKey(address)];
    while (!times.empty() && times.front() <= now - windowMs)
        times.pop_front();
    const bool allowed = int(times.size()) < attempts;
    times.push_back(now);
    // Only the newest `attempts` matter for the next decision.
    while (int(times.size()) > attempts)
        times.pop_front();
    if (allowed)
        return 0;
    return int(qMax<qint64>(1, (times.front() + windowMs - now + 999) / 1000));
}
