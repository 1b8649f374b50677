#include "InterchangeController.h"

#include "NavigationTreeSync.h"

#include "DatabaseBackup.h"
#include "DatabaseGuard.h"
#include "ExportDocument.h"
#include "ImportTransaction.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "MainWindow.h"
#include "RecoveryDraftStore.h"
#include "SearchController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>

#include <memory>

InterchangeController::InterchangeController(MainWindow *window)
    : QObject(window)
    , m_window(window)
{
    if (!window->m_database.rootPath.isEmpty()) {
        m_backup = new DatabaseBackup(window->m_database.rootPath, this);
        // Shown once: the next attempt is tomorrow's start.
        connect(m_backup, &DatabaseBackup::failed, this, [this](const QString &error) {
            m_window->showStatusMessage(backupFailedMessage(error), 5000);
        });
    }
    window->installEventFilter(this);
}

InterchangeController::~InterchangeController() = default;

bool InterchangeController::eventFilter(QObject *watched, QEvent *event)
{
    // The daily backup starts a little after the window first appears, off the GUI thread.
    if (watched == m_window && event->type() == QEvent::Show && m_backup && !m_backupScheduled) {
        m_backupScheduled = true;
        QTimer::singleShot(backupDelayMs, this, &InterchangeController::startDailyBackup);
    }
    return QObject::eventFilter(watched, event);
}

void InterchangeController::startDailyBackup()
{
    // Only a file that passed its check is copied: a copy of a damaged one would push the good
    // backups out of the seven kept.
    DatabaseGuard *guard = m_window->databaseGuard();
    if (!guard || guard->state() == DatabaseGuard::State::Sound)
        m_backup->startDaily();
    else if (guard->state() == DatabaseGuard::State::Checking)
        connect(guard, &DatabaseGuard::sound, m_backup, &DatabaseBackup::startDaily,
            Qt::SingleShotConnection);
}

interchange::Progress InterchangeController::progressFor(const QString &label)
{
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    return [this, clock, label](qint64 done, qint64 total) {
        if (m_window->isStopping())
            return false; // a stop request cancels the work (an import is rolled back)
        if (!m_progress) {
            if (clock->elapsed() < progressDelayMs)
                return true;
            m_progress
                = new QProgressDialog(label, QStringLiteral("取消"), 0, 1000, m_window, Qt::Dialog);
            m_progress->setWindowTitle(QStringLiteral("Velto"));
            m_progress->setWindowModality(Qt::WindowModal);
            m_progress->setAutoClose(false);
            m_progress->setAutoReset(false);
            m_progress->setMinimumDuration(0);
            m_progress->show();
        }
        m_progress->setValue(total > 0 ? int(qMin<qint64>(1000, done * 1000 / total)) : 0);
        // The dialog is modal: only it takes input meanwhile, so its Cancel can be clicked.
        QCoreApplication::processEvents();
        return m_progress && !m_progress->wasCanceled() && !m_window->isStopping();
    };
}

void InterchangeController::endProgress()
{
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
    }
    m_progress = nullptr;
}

void InterchangeController::exportItems()
{
    if (m_window->dirty || m_busy)
        return;
    const QString path = QFileDialog::getSaveFileName(m_window, interchange::exportDialogTitle(),
        interchange::exportDefaultFileName(), interchange::exportFilters());
    if (path.isEmpty())
        return;
    m_busy = true;
    const ExportDocument::Result result = ExportDocument::write(
        &m_window->m_database, path, progressFor(QStringLiteral("正在导出…")));
    endProgress();
    m_busy = false;
    if (result.cancelled)
        m_window->showStatusMessage(interchange::cancelledMessage(), 3000);
    else if (!result.ok)
        m_window->showStorageError(QStringLiteral("导出失败"), result.error);
    else
        m_window->showStatusMessage(interchange::exportedMessage(result.count), 3000);
}

void InterchangeController::importItems()
{
    if (m_window->dirty || m_busy)
        return;
    const QString path = QFileDialog::getOpenFileName(
        m_window, interchange::importDialogTitle(), QString(), interchange::importFilter());
    if (path.isEmpty())
        return;
    ImportTransaction import(&m_window->m_database);
    QString error;
    if (!import.load(path, &error)) {
        m_window->showStorageError(QStringLiteral("导入失败"), error);
        return;
    }
    if (QMessageBox::question(m_window, interchange::importQuestionTitle(),
            interchange::importQuestion(import.entryCount()), QMessageBox::Yes | QMessageBox::No,
            QMessageBox::Yes)
        != QMessageBox::Yes)
        return;
    m_busy = true;
    const bool ok = import.run(&error, progressFor(QStringLiteral("正在导入…")));
    endProgress();
    m_busy = false;
    if (import.wasCancelled()) {
        m_window->showStatusMessage(interchange::cancelledMessage(), 3000);
        return;
    }
    if (!ok) {
        m_window->showStorageError(QStringLiteral("导入失败"), error);
        return;
    }
    // The import wrote behind the window's commands: the sidebar's tree is read again, and
    // refresh() hands the sidebar its fresh lists.
    if (NavigationTreeSync *tree = m_window->navigationTree())
        tree->resetAll();
    m_window->currentParentId = 0;
    m_window->navigationStack.clear();
    m_window->refresh(import.selectedIid(), -1);
    m_window->showStatusMessage(interchange::importedMessage(import.importedCount()), 3000);
    if (import.leftIndexToBuild() && m_window->search())
        m_window->search()->startIndexBuild();
}

void InterchangeController::saveRecoveryDraft()
{
    MainWindow *w = m_window;
    if (!w->dirty || w->currentRow < 0 || !w->itemTable
        || w->currentRow >= w->itemTable->rowCount())
        return;
    ItemTable *table = w->itemTable;
    RecoveryDraft draft;
    draft.itemId = w->currentItem.iid;
    draft.parentId = draft.itemId == 0 ? w->currentParentId : w->currentItem.pid;
    draft.name = ItemTable::fieldText(table->nameEditor(w->currentRow));
    draft.content = ItemTable::fieldText(table->contentEditor(w->currentRow));
    draft.remark = ItemTable::fieldText(table->remarkEditor(w->currentRow));
    draft.blocks = w->detailPanelWidget->contentBlocks();
    // Failures are silent: the previous draft stays.
    RecoveryDraftStore(w->m_database.rootPath).write(draft);
}

void InterchangeController::restoreRecoveryDraft()
{
    MainWindow *w = m_window;
    if (!w->m_workspaceReady)
        return;
    if (w->selectionPending) {
        QTimer::singleShot(0, this, &InterchangeController::restoreRecoveryDraft);
        return;
    }
    RecoveryDraftStore store(w->m_database.rootPath);
    const RecoveryDraftStore::Verdict verdict
        = store.inspect(RecoveryDraftStore::dismissedSignature());
    if (verdict != RecoveryDraftStore::Verdict::Offer) {
        if (verdict == RecoveryDraftStore::Verdict::Discarded)
            w->recoveryScheduled = false;
        return;
    }
    if (QMessageBox::question(w, interchange::restoreQuestionTitle(),
            interchange::restoreQuestion(), QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes)
        != QMessageBox::Yes) {
        if (w->isStopping())
            return; // dismissed by a stop request: the draft is offered again next time
        RecoveryDraftStore::setDismissedSignature(store.foundSignature());
        w->clearRecoveryDraft();
        return;
    }
    const RecoveryDraft draft = store.foundDraft();
    const RecoveryDraftStore::Placement place = RecoveryDraftStore::placement(draft, w->m_items);
    if (!place.restore) {
        w->clearRecoveryDraft();
        return;
    }
    if (w->dirty)
        return; // an edit began meanwhile; the draft stays for the next start
    w->currentParentId = place.level;
    w->navigationStack.clear();
    w->refresh(draft.itemId, -1);
    QTimer::singleShot(0, this, [this, draft] {
        applyRestoredDraft(draft.itemId, draft.name, draft.content, draft.remark, draft.blocks);
    });
}

void InterchangeController::applyRestoredDraft(qint64 itemId, const QString &name,
    const QString &content, const QString &remark, const QList<ContentBlock> &blocks)
{
    MainWindow *w = m_window;
    if (w->selectionPending) {
        QTimer::singleShot(
            0, this, [=] { applyRestoredDraft(itemId, name, content, remark, blocks); });
        return;
    }
    if (itemId == 0)
        w->insertDraftAt(int(w->items.size()), w->currentParentId);
    const int row = w->currentRow;
    if (row < 0 || row >= w->itemTable->rowCount() || w->isParentRow(row))
        return;
    w->rendering = true;
    ItemTable::setFieldText(w->itemTable->nameEditor(row), name);
    ItemTable::setFieldText(w->itemTable->contentEditor(row), content);
    ItemTable::setFieldText(w->itemTable->remarkEditor(row), remark);
    w->detailPanelWidget->setContentBlocks(blocks);
    w->rendering = false;
    // The restored resources count as changed whenever they differ from the stored ones.
    w->confirmContentState();
    w->updateEditingState();
    w->updateRowStyles();
}
