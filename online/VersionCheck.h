#pragma once

#include "ServiceCall.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// -1 when version a is older than b, 1 when newer, 0 when equal. Parts are dot-separated decimal
// numbers; a missing, empty or non-numeric part counts as 0.
int compareVersions(const QString &a, const QString &b);

// What the reply of "app/latest-version" asks of the running version.
struct VersionVerdict {
    enum Kind { Nothing, UpgradeAvailable, UpgradeRequired };
    Kind kind = Nothing;
    // For UpgradeAvailable: the status-bar text; for UpgradeRequired: the box's text.
    QString message;
    // Opened by the upgrade buttons; may be empty (then they open nothing).
    QUrl downloadUrl;

    // Texts of the forced-upgrade box.
    static QString requiredTitle() { return QStringLiteral("需要升级"); }
    static QString requiredButton() { return QStringLiteral("前往升级"); }
};

VersionVerdict evaluateLatestVersion(const QJsonObject &reply, const QString &runningVersion);

// The check the main window runs once, 300 ms after start-up. Failures are silent: a failed or
// unreadable reply emits nothing.
//
// On upgradeRequired the window shows the box (VersionVerdict's title and button, the verdict's
// message), opens the address when the button was clicked, and then ends the run through its
// own close path, so that an unsaved edit is kept, before quitting.
class VersionChecker : public QObject {
    Q_OBJECT
public:
    explicit VersionChecker(QNetworkAccessManager *manager, QObject *parent = nullptr);

    void setApiBase(const QString &base) { apiBase = base; }
    void setLimits(ServiceCall::Limits limits) { this->limits = limits; }

    void checkVersion();

signals:
    // A newer version exists: show `message` in "upgradeMessage" and let "upgradeButton" open
    // `downloadUrl`.
    void upgradeAvailable(const QString &message, const QUrl &downloadUrl);
    // The running version may no longer run.
    void upgradeRequired(const QString &message, const QUrl &downloadUrl);
    // Emitted after every finished check, whatever the outcome.
    void checked();

private:
    QNetworkAccessManager *manager;
    QString apiBase;
    ServiceCall::Limits limits = ServiceCall::interactiveLimits;
};
