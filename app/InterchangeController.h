#pragma once

#include "InterchangeTexts.h"
#include "Records.h"

#include <QObject>
#include <QPointer>
#include <QString>

class DatabaseBackup;
class MainWindow;
class QProgressDialog;

// The window's side of export, import, the recovery draft and the daily backup: the file
// dialogs, the import question, the progress dialog of long work, the restore prompt at start-up
// and the backup's status message. MainWindow's hooks forward here; the reading and writing
// itself lives in the interchange library.
class InterchangeController : public QObject {
    Q_OBJECT
public:
    explicit InterchangeController(MainWindow *window);
    ~InterchangeController() override;

    void exportItems();
    void importItems();
    void saveRecoveryDraft();
    void restoreRecoveryDraft();

    // True while an export or import runs (its progress dialog may be processing events).
    bool isBusy() const { return m_busy; }
    DatabaseBackup *backup() const { return m_backup; }

    // How long an export or import runs before its progress dialog appears; backups start this
    // long after the window is first shown. Tests shorten them.
    int progressDelayMs = 500;
    int backupDelayMs = 2000;

    static QString backupFailedMessage(const QString &error)
    {
        return QStringLiteral("自动备份失败：") + error;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    interchange::Progress progressFor(const QString &label);
    void endProgress();
    void startDailyBackup();
    void applyRestoredDraft(qint64 itemId, const QString &name, const QString &content,
        const QString &remark, const QList<ContentBlock> &blocks);

    MainWindow *m_window;
    DatabaseBackup *m_backup = nullptr;
    QPointer<QProgressDialog> m_progress;
    bool m_busy = false;
    bool m_backupScheduled = false;
};
