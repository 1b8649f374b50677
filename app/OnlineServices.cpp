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
    // The connections hold the panel and the clients only: they all live and die with the panel.
    FeedbackClient *client = feedback;
    connect(panel, &NavigationPanel::feedbackSendRequested, client,
        [panel, client] { client->send(panel->feedbackText()); });
    connect(client, &FeedbackClient::statusChanged, panel, [panel](FeedbackClient::Status s) {
        panel->setFeedbackStatus(
            FeedbackClient::statusText(s), s == FeedbackClient::Status::Accepted);
    });
    connect(client, &FeedbackClient::busyChanged, panel,
        [panel](bool busy) { panel->setFeedbackSendEnabled(!busy); });
    connect(client, &FeedbackClient::accepted, panel, [panel] {
        panel->clearFeedbackText();
        panel->reportAuthCompleted(true, FeedbackClient::acceptedSignal());
    });
}

void OnlineServices::connectAccountClient(AccountClient *client, QWidget *formPage)
{
    NavigationPanel *panel = this->panel;
    connect(client, &AccountClient::messageChanged, formPage,
        [panel, formPage](const QString &text) { panel->setAccountMessage(formPage, text); });
    connect(client, &AccountClient::busyChanged, formPage,
        [panel, formPage](bool busy) { panel->setAccountSubmitEnabled(formPage, !busy); });
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
