#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkRequest;
class QObject;

// How one exchange with the service ended.
struct ServiceReply {
    // True for connection failures, HTTP error statuses and time-outs.
    bool networkError = false;
    // The network layer's description of the error, or timeOutText after a time-out.
    QString errorString;
    int httpStatus = 0;
    // The reply's top-level JSON object; empty when the body is not one, or was cut off.
    QJsonObject object;
    // The body passed the size cap and was not read further.
    bool tooLarge = false;
};

// Sends requests to the service with the limits every call needs: no byte for the transfer
// time-out, or the whole exchange longer than the overall time-out, ends it as a network error;
// a reply body is read up to maxReplyBytes and then abandoned as unreadable.
namespace ServiceCall {

inline constexpr qint64 maxReplyBytes = 1 << 20;
// Shown in place of the network layer's text when a request timed out.
extern const char timeOutText[];

struct Limits {
    int transferTimeoutMs = 30000;
    int overallTimeoutMs = 60000;
};
// Login, registration, feedback and the version check.
inline constexpr Limits interactiveLimits {30000, 60000};
// Device registration and telemetry.
inline constexpr Limits backgroundLimits {10000, 20000};

using Handler = std::function<void(const ServiceReply &)>;

// Starts the request (GET when `body` is null, POST otherwise) and calls `handler` exactly once,
// on the thread of `manager`, unless `context` is destroyed first. The reply is released.
void send(QNetworkAccessManager *manager, QNetworkRequest request, const QByteArray *body,
    Limits limits, QObject *context, Handler handler);

} // namespace ServiceCall
