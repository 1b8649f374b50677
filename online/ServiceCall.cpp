#include "ServiceCall.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace ServiceCall {

const char timeOutText[] = "连接超时，请稍后再试";

namespace {
struct Progress {
    QByteArray body;
    bool tooLarge = false;
    bool timedOut = false;
};

// Takes what has arrived; gives up on the reply once it passes the cap.
void take(QNetworkReply *reply, Progress &progress)
{
    if (progress.tooLarge)
        return;
    const qint64 room = maxReplyBytes - progress.body.size();
    progress.body += reply->read(room + 1);
    if (progress.body.size() > maxReplyBytes) {
        progress.tooLarge = true;
        progress.body.clear();
        reply->abort();
    }
}

ServiceReply outcome(QNetworkReply *reply, const Progress &progress)
{
    ServiceReply result;
    result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.tooLarge = progress.tooLarge;
    if (progress.tooLarge)
        return result;
    // Qt reports its own transfer time-out as a cancelled operation; nothing else cancels here.
    if (progress.timedOut || reply->error() == QNetworkReply::OperationCanceledError) {
        result.networkError = true;
        result.errorString = QString::fromUtf8(timeOutText);
        return result;
    }
    if (reply->error() != QNetworkReply::NoError) {
        result.networkError = true;
        result.errorString = reply->errorString();
    }
    result.object = QJsonDocument::fromJson(progress.body).object();
    return result;
}
} // namespace

void send(QNetworkAccessManager *manager, QNetworkRequest request, const QByteArray *body,
    Limits limits, QObject *context, Handler handler)
{
    request.setTransferTimeout(limits.transferTimeoutMs);
    QNetworkReply *reply = body ? manager->post(request, *body) : manager->get(request);
    auto progress = std::make_shared<Progress>();

    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply, progress]() {
        progress->timedOut = true;
        reply->abort();
    });
    deadline->start(limits.overallTimeoutMs);

    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, progress]() {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > maxReplyBytes && !progress->tooLarge) {
            progress->tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(
        reply, &QNetworkReply::readyRead, reply, [reply, progress]() { take(reply, *progress); });
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    QPointer<QObject> guard(context);
    const bool bound = context != nullptr;
    QObject::connect(reply, &QNetworkReply::finished, reply,
        [reply, progress, guard, bound, handler = std::move(handler)]() {
            if (reply->isOpen())
                take(reply, *progress);
            if ((guard || !bound) && handler)
                handler(outcome(reply, *progress));
        });
}

} // namespace ServiceCall
