#pragma once

#include <QObject>
#include <QString>

class AccountClient;
class FeedbackClient;
class NavigationPanel;
class QNetworkAccessManager;
class TelemetryClient;
class VersionChecker;

// The window's online clients and their wiring to the sidebar: telemetry and the version check
// on the window's network manager; the login and registration forms and the feedback form on the
// sidebar's own manager, answering the sidebar's requests and reporting through its
// authCompleted. Every client talks to one base address (veltoApiBase() unless set).
class OnlineServices : public QObject {
    Q_OBJECT
public:
    OnlineServices(QNetworkAccessManager *windowNetwork, NavigationPanel *panel, QObject *parent);

    TelemetryClient *telemetry() const { return telemetryClient; }
    VersionChecker *versionChecker() const { return checker; }
    AccountClient *accountClient(bool registration) const
    {
        return registration ? registrationClient : loginClient;
    }
    FeedbackClient *feedbackClient() const { return feedback; }

    // Points every client at another service (a developer's own service, tests).
    void setApiBase(const QString &base);

private:
    void submitAccountForm(QWidget *formPage, bool registration);
    void connectAccountClient(AccountClient *client, QWidget *formPage);

    NavigationPanel *panel;
    TelemetryClient *telemetryClient = nullptr;
    VersionChecker *checker = nullptr;
    AccountClient *loginClient = nullptr;
    AccountClient *registrationClient = nullptr;
    FeedbackClient *feedback = nullptr;
};
