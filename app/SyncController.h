#pragma once

#include "SyncEngine.h"
#include "SyncSettings.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <atomic>

class Database;
class QLabel;
class QStatusBar;
class QThread;
class QTimer;

// The window's side of sync: runs SyncEngine on a thread of its own (its own connection) at start,
// every five minutes, when asked and when the window closes; shows progress and failures in the
// status bar and the last result in the settings page; keeps the password and the passphrase in
// the system keychain, or for the session only when there is none.
class SyncController : public QObject {
    Q_OBJECT
public:
    SyncController(Database *database, QStatusBar *statusBar, QObject *parent);
    ~SyncController() override;

    static constexpr int intervalMs = 5 * 60 * 1000;
    static constexpr int closeLimitMs = 10 * 1000;

    // Loads the settings and the secrets, then syncs once and every five minutes (when set up).
    void start();
    // The person's sync settings; remembered (secrets in the keychain) and used from now on.
    void setSettings(const datasync::SyncSettings &settings);
    const datasync::SyncSettings &settings() const { return m_settings; }
    // A sync now, unless one runs (then nothing: its result will be reported).
    void syncNow();
    // For the close: one last sync, waiting at most closeLimitMs in all; a sync still running
    // then is stopped between two units of work (what it did stays done).
    void finishBeforeClose();
    bool isRunning() const;

    // The item the window is editing (0 none): incoming changes to it wait.
    void setEditedItem(qint64 iid);

    // The last result, as the settings page shows it.
    QString statusText() const { return m_statusText; }

signals:
    // A sync wrote items here: the window reads its lists again.
    void itemsChanged();
    void statusChanged(const QString &text);
    void settingsLoaded(const datasync::SyncSettings &settings);

private:
    void launch(bool loadSecrets);
    void finished(const datasync::SyncReport &report, const QString &secretNote);
    void setStatus(const QString &text, bool failure);

    Database *m_database;
    QLabel *m_label;
    QTimer *m_timer;
    datasync::SyncSettings m_settings;
    bool m_secretsLoaded = false;
    QThread *m_thread = nullptr;
    std::atomic_bool m_stop {false};
    bool m_again = false;
    QString m_statusText;
};
