#include "MainWindow.h"

#include "DatabaseBackup.h"
#include "DatabaseGuard.h"
#include "FocusOrder.h"
#include "HostOperations.h"
#include "InterchangeController.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "NavigationPanel.h"
#include "NavigationTreeSync.h"
#include "OnlineServices.h"
#include "SearchController.h"
#include "SearchIndexObserver.h"
#include "StatusLine.h"
#include "StorageErrorText.h"
#include "SyncController.h"
#include "SyncJournal.h"
#include "TelemetryClient.h"
#include "UiMetrics.h"
#include "VersionCheck.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_database(QStringLiteral("velto-main"))
    , m_items(&m_database)
    , m_attachments(&m_database)
    , m_blocks(&m_database)
    , m_service(&m_items, &m_attachments, &m_blocks)
    , quitApplication([] { QCoreApplication::quit(); })
{
    setWindowTitle(QStringLiteral("Velto - 日常及业务助手"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/velto.svg")));
    resize(UiMetrics::px(1040), UiMetrics::px(680));

    SearchIndexObserver::install();
    SyncJournal::install();
    // Tests and portable set-ups can keep the data elsewhere than beside the executable.
    const QString rootOverride = qEnvironmentVariable("VELTO_STORAGE_ROOT");
    if (!rootOverride.isEmpty())
        m_database.setRootOverride(rootOverride);

    // Every page of the file is read on another thread while the window is already up.
    m_database.setCheckInBackground(true);
    QString error;
    if (!m_database.open(&error)) {
        QMessageBox::critical(this, QStringLiteral("Velto"),
            storageErrorText(QStringLiteral("无法打开数据库"), error), QMessageBox::Ok);
        return;
    }
    buildUi();
    searchController = new SearchController(&m_database, statusBar(), this);

    interchangeController = new InterchangeController(this);
    guard = new DatabaseGuard(&m_database, this);
    // The index of an older or damaged file is built off the GUI thread, once the file is known
    // to be sound (the daily backup waits for that too).
    connect(guard, &DatabaseGuard::sound, searchController, &SearchController::startIndexBuild);
    connect(guard, &DatabaseGuard::damaged, this, &MainWindow::showDatabaseDamage);
    wireSync();
    m_workspaceReady = true;
    refresh(0, -1);
    registerDevice();
    QTimer::singleShot(300, this, &MainWindow::checkVersion);
    QTimer::singleShot(0, this, &MainWindow::restoreRecoveryDraft);
    // After the window is shown.
    QTimer::singleShot(0, guard, &DatabaseGuard::start);
    // Sync at start, once the window is up and the file is known to be sound, then every five
    // minutes (when it is set up).
    connect(guard, &DatabaseGuard::sound, syncController,
        [this] { QTimer::singleShot(3000, syncController, &SyncController::start); });
}

// The sync section of the settings page drives the controller; what a sync wrote is read again
// unless the person is editing (then the next refresh shows it).
void MainWindow::wireSync()
{
    syncController = new SyncController(&m_database, statusBar(), this);
    if (navigationPanel) {
        connect(navigationPanel, &NavigationPanel::syncSettingsEdited, syncController,
            [this](const QString &url, const QString &user, const QString &password,
                const QString &passphrase) {
                datasync::SyncSettings settings;
                settings.url = url;
                settings.user = user;
                settings.password = password;
                settings.passphrase = passphrase;
                syncController->setSettings(settings);
            });
        connect(navigationPanel, &NavigationPanel::syncNowRequested, syncController,
            &SyncController::syncNow);
        connect(syncController, &SyncController::statusChanged, navigationPanel,
            &NavigationPanel::setSyncStatus);
        connect(syncController, &SyncController::settingsLoaded, navigationPanel,
            [this](const datasync::SyncSettings &settings) {
                navigationPanel->setSyncSettings(
                    settings.url, settings.user, settings.password, settings.passphrase);
            });
    }
    connect(syncController, &SyncController::itemsChanged, this, [this] {
        if (dirty) {
            showStatusMessage(
                QStringLiteral("同步收到了其他电脑的更改，保存当前记录后刷新即可看到。"), 5000);
            return;
        }
        const qint64 selected
            = currentRow >= 0 && currentRow < items.size() ? items.at(currentRow).iid : 0;
        if (NavigationTreeSync *tree = navigationTree())
            tree->resetAll();
        refresh(selected, -1);
    });
}

MainWindow::~MainWindow()
{
    if (guard) {
        // The connections of the background work end first; then the main connection closes,
        // which moves the log into a sound file and removes it.
        delete searchController;
        searchController = nullptr;
        if (interchangeController && interchangeController->backup())
            interchangeController->backup()->wait();
        guard->finish();
        // A file not found sound keeps its connection (which will never fold the log into it)
        // rather than risk a plain one opened again later.
        if (guard->state() == DatabaseGuard::State::Sound)
            m_database.closeConnection();
    }
    // The panel outlives this object's members: it must not read the tree through them any more.
    if (navigationPanel)
        navigationPanel->setTreeItems({});
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    decideClose(event);
    // A last sync when the window really closes, bounded (see SyncController).
    finishSyncBeforeClose(event);
}

void MainWindow::decideClose(QCloseEvent *event)
{
    if (interchangeController && interchangeController->isBusy()) {
        event->ignore(); // an export or import is running; its dialog can cancel it
        return;
    }
    sendTelemetry(QStringLiteral("app_close"), QJsonObject());
    if (stopping) {
        // An unsaved edit went to the recovery draft; a draft still on offer stays for next time.
        event->accept();
        return;
    }
    if (!m_workspaceReady || !dirty) {
        clearRecoveryDraft();
        event->accept();
        return;
    }
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("未保存的修改"));
    box.setText(QStringLiteral("当前记录尚未保存。"));
    QPushButton *save = box.addButton(QStringLiteral("保存"), QMessageBox::AcceptRole);
    QPushButton *discard = box.addButton(QStringLiteral("放弃"), QMessageBox::DestructiveRole);
    box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    box.exec();
    if (stopping) {
        event->accept(); // the box was dismissed by a stop request, not by "取消"
        return;
    }
    if (box.clickedButton() == save) {
        saveCurrent();
        if (dirty)
            event->ignore();
        else
            event->accept();
    } else if (box.clickedButton() == discard) {
        clearRecoveryDraft();
        event->accept();
    } else {
        event->ignore();
    }
}

bool MainWindow::focusNextPrevChild(bool next)
{
    if (!m_workspaceReady)
        return QMainWindow::focusNextPrevChild(next);
    QWidget *bar = commandBar();
    const bool barLeft = bar && bar->x() < itemTable->mapTo(bar->parentWidget(), QPoint()).x();
    QList<QWidget *> sections {navigationPanel, itemTable, detailPanelWidget, bar, statusBar()};
    if (barLeft)
        sections = {navigationPanel, bar, itemTable, detailPanelWidget, statusBar()};
    QWidget *target
        = FocusOrder::neighbour(sections, {itemTable}, QApplication::focusWidget(), next);
    if (!target)
        return QMainWindow::focusNextPrevChild(next);
    target->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void MainWindow::beginStop()
{
    if (stopping)
        return;
    stopping = true;
    if (m_workspaceReady && dirty) {
        recoveryScheduled = false;
        saveRecoveryDraft();
    }
}

void MainWindow::finishSyncBeforeClose(QCloseEvent *event)
{
    if (event->isAccepted() && syncController)
        syncController->finishBeforeClose();
}

void MainWindow::showStatusMessage(const QString &text, int milliseconds)
{
    if (statusLine)
        statusLine->showMessage(text, milliseconds);
}

void MainWindow::showError(const QString &text)
{
    if (statusLine)
        statusLine->showError(text);
    else
        QMessageBox::warning(this, QStringLiteral("Velto"), text, QMessageBox::Ok);
}

void MainWindow::showStorageError(const QString &action, const QString &error)
{
    showError(storageErrorText(action, error));
}

void MainWindow::showDatabaseDamage(const QString &message)
{
    const QString notice = QStringLiteral("数据库文件已损坏，Velto 已切换为只读，修改不会再被保存");
    if (statusLabelWidget)
        statusLabelWidget->setText(notice);
    showError(QStringLiteral("检查数据库文件时发现损坏。为免损坏扩大，Velto 已切换为只读："
                             "可以查看和导出，但不能再保存修改。本次启动以来保存的修改留在"
                             "数据库旁的 velto.db-wal 文件中，没有写入已损坏的文件。\n\n"
                             "请关闭 Velto，按说明从 data/backups 中的备份恢复（连同 velto.db-wal "
                             "和 velto.db-shm 一起移开）。\n\n")
        + message);
}

void MainWindow::authCompleted(bool success, const QString &message)
{
    if (onlineServices)
        onlineServices->telemetry()->reportAuthCompleted(success, message);
    showStatusMessage(message, success ? 3000 : 5000);
}

QString MainWindow::recoveryDraftPath() const
{
    return QDir(m_database.rootPath).filePath(QStringLiteral("data/recovery-draft.json"));
}

void MainWindow::scheduleRecoveryDraft()
{
    if (recoveryScheduled)
        return;
    recoveryScheduled = true;
    QTimer::singleShot(400, this, [this] {
        if (!recoveryScheduled)
            return; // saved, cancelled or discarded meanwhile
        recoveryScheduled = false;
        saveRecoveryDraft();
    });
}

void MainWindow::saveRecoveryDraft()
{
    if (interchangeController)
        interchangeController->saveRecoveryDraft();
}

void MainWindow::clearRecoveryDraft()
{
    recoveryScheduled = false;
    if (!m_database.rootPath.isEmpty())
        QFile::remove(recoveryDraftPath()); // a missing file is fine
}

void MainWindow::restoreRecoveryDraft()
{
    if (interchangeController)
        interchangeController->restoreRecoveryDraft();
}

void MainWindow::exportItems()
{
    if (interchangeController)
        interchangeController->exportItems();
}

void MainWindow::importItems()
{
    if (interchangeController)
        interchangeController->importItems();
}

void MainWindow::sendTelemetry(const QString &event, const QJsonObject &payload)
{
    if (onlineServices)
        onlineServices->telemetry()->sendTelemetry(event, payload);
}

void MainWindow::registerDevice()
{
    if (onlineServices)
        onlineServices->telemetry()->registerCurrentDevice();
}

void MainWindow::checkVersion()
{
    if (onlineServices)
        onlineServices->versionChecker()->checkVersion();
}

void MainWindow::showUpgradeNotice(const QString &message, const QUrl &downloadUrl)
{
    if (!upgradeMessage || !upgradeButton)
        return;
    upgradeMessage->setText(message);
    upgradeMessage->show();
    upgradeButton->show();
    disconnect(upgradeButton, nullptr, this, nullptr);
    connect(upgradeButton, &QToolButton::clicked, this, [downloadUrl] {
        if (!downloadUrl.isEmpty())
            HostOperations::current().openUrl(downloadUrl);
    });
}

void MainWindow::forceUpgrade(const QString &message, const QUrl &downloadUrl)
{
    if (upgradeForced)
        return; // the run is already ending
    upgradeForced = true;
    QMessageBox box(this);
    box.setWindowTitle(VersionVerdict::requiredTitle());
    box.setText(message);
    QPushButton *go = box.addButton(VersionVerdict::requiredButton(), QMessageBox::AcceptRole);
    box.exec();
    if (!stopping && box.clickedButton() == go && !downloadUrl.isEmpty())
        HostOperations::current().openUrl(downloadUrl);
    // The run ends, but an unsaved edit must survive it: the recovery draft is written now, and
    // the ordinary close asks whether to save it. Whatever the answer, the program then quits;
    // an edit the user neither saved nor discarded stays in the draft for the next start.
    if (dirty)
        saveRecoveryDraft();
    close();
    quitApplication();
}
