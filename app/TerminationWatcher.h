#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a call on the event loop, so a stop request from the session or the
// shell goes through the normal close path instead of killing the process mid-write; a second
// signal of the same kind ends the process at once. Does nothing on platforms without POSIX
// signals.
class TerminationWatcher : public QObject {
public:
    explicit TerminationWatcher(std::function<void()> onRequest, QObject *parent = nullptr);
    ~TerminationWatcher() override;

private:
    std::function<void()> m_onRequest;
    QSocketNotifier *m_notifier = nullptr;
};
