#pragma once

#include "ServiceCall.h"

#include <QObject>
#include <QString>

class QNetworkAccessManager;

// The submit routine of one account form (login or registration), without the widgets. The form
// owns one, connects messageChanged to its message label, busyChanged to disabling its submit
// button, and forwards authCompleted; the two forms are independent and may wait at once.
class AccountClient : public QObject {
    Q_OBJECT
public:
    AccountClient(bool registration, QNetworkAccessManager *manager, QObject *parent = nullptr);

    void setApiBase(const QString &base) { apiBase = base; }
    void setLimits(ServiceCall::Limits limits) { this->limits = limits; }

    bool isRegistration() const { return registration; }
    bool isBusy() const { return busy; }
    QString message() const { return text; }

    // Checks the input and sends it. The password is sent exactly as typed; the display name
    // only for registration. Ignored while a request of this form is open.
    void submit(const QString &username, const QString &password, const QString &displayName = {});

signals:
    // The message label's new text.
    void messageChanged(const QString &text);
    // True while the request is open: the submit button is disabled meanwhile.
    void busyChanged(bool busy);
    // Once per finished request, with the label's text; a success has stored the access token.
    void authCompleted(bool success, const QString &message);

private:
    bool registration;
    QNetworkAccessManager *manager;
    QString apiBase;
    ServiceCall::Limits limits = ServiceCall::interactiveLimits;
    bool busy = false;
    QString text;

    void setMessage(const QString &message);
    void setBusy(bool value);
    void finish(const ServiceReply &reply);
};
