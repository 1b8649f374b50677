#include "OnlineServices.h"

#include "AccountClient.h"
#include "FeedbackClient.h"
#include "NavigationPanel.h"
#include "TelemetryClient.h"
#include "VersionCheck.h"

#include <QLineEdit>

namespace {

QString editorText(QWidget *formPage, const char *property)
{
    auto *edit = qobject_cast<QLineEdit *>(formPage->property(property).value<QObject *>());
    return edit ? edit->text() : QString();
}

} // namespace

OnlineServices::OnlineServices(
    QNetworkAccessManager *windowNetwork, NavigationPanel *panel, QObject *parent)
    : QObject(parent)
    , panel(panel)
    , telemetryClient(new TelemetryClient(windowNetwork, this))
    , checker(new VersionChecker(windowNetwork, this))
{
    if (!panel)
        return;
    loginClient = new AccountClient(false, panel->networkManager(), panel->loginFormPage());
    registrationClient
        = new AccountClient(true, panel->networkManager(), panel->registrationFormPage());
    connectAccountClient(loginClient, panel->loginFormPage());
    connectAccountClient(registrationClient, panel->registrationFormPage());
    connect(
        panel, &NavigationPanel::accountSubmitRequested, this, &OnlineServices::submitAccountForm);

    feedback = new FeedbackClient(panel->networkManager(), panel);
    connect(panel, &NavigationPanel::feedbackSendRequested, feedback,
        [this] { feedback->send(this->panel->feedbackText()); });
    connect(feedback, &FeedbackClient::statusChanged, panel, [this](FeedbackClient::Status s) {
        this->panel->setFeedbackStatus(
            FeedbackClient::statusText(s), s == FeedbackClient::Status::Accepted);
    });
    connect(feedback, &FeedbackClient::busyChanged, panel,
        [this](bool busy) { this->panel->setFeedbackSendEnabled(!busy); });
    connect(feedback, &FeedbackClient::accepted, panel, [this] {
        this->panel->clearFeedbackText();
        this->panel->reportAuthCompleted(true, FeedbackClient::acceptedSignal());
    });
}

void OnlineServices::connectAccountClient(AccountClient *client, QWidget *formPage)
{
    connect(client, &AccountClient::messageChanged, formPage,
        [this, formPage](const QString &text) { panel->setAccountMessage(formPage, text); });
    connect(client, &AccountClient::busyChanged, formPage,
        [this, formPage](bool busy) { panel->setAccountSubmitEnabled(formPage, !busy); });
    connect(client, &AccountClient::authCompleted, panel, &NavigationPanel::reportAuthCompleted);
}

void OnlineServices::submitAccountForm(QWidget *formPage, bool registration)
{
    AccountClient *client = accountClient(registration);
    if (!client || !formPage)
        return;
    client->submit(editorText(formPage, "usernameEditor"), editorText(formPage, "passwordEditor"),
        registration ? editorText(formPage, "displayEditor") : QString());
}

void OnlineServices::setApiBase(const QString &base)
{
    telemetryClient->setApiBase(base);
    checker->setApiBase(base);
    for (AccountClient *client : {loginClient, registrationClient}) {
        if (client)
            client->setApiBase(base);
    }
    if (feedback)
        feedback->setApiBase(base);
}
