#pragma once

#include "ServiceCall.h"

#include <QObject>
#include <QString>

class QNetworkAccessManager;

// The send routine of the feedback form, without the widgets. The settings page owns one,
// connects statusChanged to its status label (text and style), busyChanged to disabling the send
// button, and accepted to clearing the text field and emitting authCompleted(true, acceptedSignal).
class FeedbackClient : public QObject {
    Q_OBJECT
public:
    enum class Status { Idle, Sending, Accepted, Refused };

    // Feedback needs at least this many distinct non-space characters.
    static constexpr int minimumDistinctCharacters = 10;

    explicit FeedbackClient(QNetworkAccessManager *manager, QObject *parent = nullptr);

    void setApiBase(const QString &base) { apiBase = base; }
    void setLimits(ServiceCall::Limits limits) { this->limits = limits; }

    Status status() const { return current; }
    bool isBusy() const { return current == Status::Sending; }

    // Sends the trimmed text, or refuses it without a request when it is too short. Ignored while
    // a request is open.
    void send(const QString &text);

    static int distinctNonSpaceCharacters(const QString &text);
    // The status label's text and style sheet (with %1 for the font's pixel size, 12).
    static QString statusText(Status status);
    static QString statusStyleSheet(Status status);
    // The message of authCompleted after accepted feedback.
    static QString acceptedSignal() { return QStringLiteral("意见已发送"); }

signals:
    void statusChanged(FeedbackClient::Status status);
    void busyChanged(bool busy);
    // The service accepted the feedback: clear the field.
    void accepted();

private:
    QNetworkAccessManager *manager;
    QString apiBase;
    ServiceCall::Limits limits = ServiceCall::interactiveLimits;
    Status current = Status::Idle;

    void setStatus(Status status);
};
