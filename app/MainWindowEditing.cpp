// Levels, row selection, the dirty state with the editing lock, drafts, save and cancel.
#include "MainWindow.h"

#include "DisplayText.h"

#include "CommandStates.h"
#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "NavigationPanel.h"
#include "NavigationTreeSync.h"
#include "SyncController.h"
#include "WindowActions.h"

#include <QApplication>
#include <QDateTime>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTimer>

namespace {
// How long the user pauses before the resources are compared with the stored ones again.
constexpr int contentCheckDelayMs = 250;
QString detailEditMessage()
{
    return QStringLiteral("事项内容已修改，完成后请保存");
}

const QString stampFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
// The blank note an empty workspace shows is no resource of its own: such an item is saved with
// the time-stamp note like one without any resource.
bool onlyAnEmptyNote(const QList<ContentBlock> &blocks)
{
    if (blocks.size() != 1 || blocks.first().type != ContentBlock::Text)
        return false;
    const QString &html = blocks.first().value;
    return html.size() < 16 * 1024
        && QTextDocumentFragment::fromHtml(html).toPlainText().trimmed().isEmpty();
}

} // namespace

bool MainWindow::editorHasFocus() const
{
    QWidget *focus = QApplication::focusWidget();
    return focus && focus != itemTable && itemTable->isAncestorOf(focus);
}

int MainWindow::rowCount() const
{
    return int(items.size()) + (draftRow < 0 ? 1 : 0);
}

void MainWindow::refresh(qint64 key, int row)
{
    if (!itemTable)
        return;
    selectionPending = true;
    draftRow = -1;
    items.clear();
    if (currentParentId != 0) {
        const DataItem parent = m_items.get(currentParentId);
        if (parent.iid != 0) {
            items.append(parent);
            items.append(m_items.byParent(currentParentId));
        } else {
            currentParentId = 0;
        }
    }
    if (currentParentId == 0)
        items = m_items.byParent(0);

    rendering = true;
    dirty = false;
    contentChanged = false;
    renderTable();
    rendering = false;
    refreshFavorites();
    refreshNavigationTree();

    const int n = int(items.size());
    int target = row < 0 ? 0 : qMax(0, qMin(n, row));
    if (key != 0) {
        for (int i = 0; i < n; ++i) {
            if (items.at(i).iid == key) {
                target = i;
                break;
            }
        }
    }
    selectRow(target);
    itemTable->setFocus(Qt::OtherFocusReason);

    const qint64 generation = itemTable->generation();
    QTimer::singleShot(0, this, [this, generation, target] {
        if (generation != itemTable->generation())
            return;
        // The user got there first (a click into a cell, a key typed into it): leave the row
        // and the focus where they are, or the next key would go astray.
        if (currentRow != target || editorHasFocus()) {
            selectionPending = false;
            updateEditingState(); // an edit made meanwhile gets its recovery draft now
            return;
        }
        if (target >= 0 && target < itemTable->rowCount()) {
            currentRow = target;
            itemTable->setCurrentCell(target, 0);
            itemTable->selectRow(target);
            detailPanelWidget->setResourceSelectionActive(false);
            itemTable->setFocus(Qt::OtherFocusReason);
            updateRowStyles();
            selectionPending = false;
            dirty = false;
            updateEditingState();
        } else {
            selectionPending = false;
        }
    });
}

void MainWindow::renderTable()
{
    // One query tells which items of the level can be entered.
    itemTable->render(
        items, draftRow, currentParentId, m_items.childrenWithChildren(currentParentId));
}

DataItem MainWindow::itemForRow(int row) const
{
    if (row >= 0 && row < items.size())
        return items.at(row);
    DataItem empty;
    empty.pid = currentParentId;
    return empty;
}

bool MainWindow::rowIsDraft(int row) const
{
    return row == items.size() || row == draftRow;
}

void MainWindow::updateRowStyles()
{
    itemTable->setSelectedRow(currentRow);
    itemTable->updateRowStyles();
}

void MainWindow::selectRow(int row)
{
    if (!itemTable || row < 0 || row >= itemTable->rowCount())
        return;
    if (dirty) {
        // The user cannot leave a row with unsaved edits; coming back into the edited row (a
        // click, an editor taking focus) must not take its unsaved state as the stored one.
        if (currentRow >= 0 && currentRow < itemTable->rowCount()) {
            itemTable->setCurrentCell(currentRow, 1);
            itemTable->selectRow(currentRow);
        }
        return;
    }
    currentRow = row;
    currentItem = itemForRow(row);
    selectedItemId = currentItem.iid;
    const bool visit = !selectionPending && !rendering && selectedItemId != 0
        && !currentItem.favorite && !isParentRow(row);

    itemTable->setCurrentCell(row, 1);
    itemTable->selectRow(row);

    const bool wasRendering = rendering;
    rendering = true;
    detailPanelWidget->activateWorkspace(selectedItemId, m_service.contentBlocks(selectedItemId));
    rendering = wasRendering;
    loadedContentState = detailPanelWidget->contentState();
    contentChanged = false;
    contentCheckTimer->stop();

    detailPanelWidget->setResourceSelectionActive(false);
    dirty = false;
    itemTable->setSelectedRow(currentRow);
    updateEditingState();
    updateRowStyles();

    if (visit) {
        m_service.recordRecent(selectedItemId, nullptr);
        refreshFavorites();
    }
    navigationPanel->setSelectedQuickAccess(selectedItemId, selectionFromSearch);
    navigationPanel->setSelectedTree(selectedItemId);
    if (!selectionPending && !rendering) {
        const QString name = DisplayText::oneLine(currentItem.here).trimmed();
        statusLabelWidget->setText(name.isEmpty() ? QStringLiteral("已选择新业务")
                                                  : QStringLiteral("已选择业务：") + name);
    }
}

void MainWindow::insertDraftAt(int row, qint64 parentId)
{
    const int d = qMax(0, qMin(int(items.size()), row));
    DataItem draft;
    draft.pid = parentId;
    if (d < items.size() && items.at(d).pid == parentId)
        draft.sortid = items.at(d).sortid;
    items.insert(d, draft);
    draftRow = d;
    rendering = true;
    renderTable();
    rendering = false;
    selectRow(d);
    updateEditingState();
    if (QLineEdit *editor = itemTable->nameEditor(d))
        editor->setFocus(Qt::OtherFocusReason);
}

DataItem MainWindow::editedItem() const
{
    DataItem e = currentItem;
    if (itemTable && currentRow >= 0 && currentRow < itemTable->rowCount()) {
        e.here = ItemTable::fieldText(itemTable->nameEditor(currentRow));
        e.cont = ItemTable::fieldText(itemTable->contentEditor(currentRow));
        e.remark = ItemTable::fieldText(itemTable->remarkEditor(currentRow));
        e.desc = detailPanelWidget->contentSignature();
    }
    if (e.iid == 0)
        e.pid = currentParentId;
    return e;
}

bool MainWindow::currentValuesChanged() const
{
    if (currentRow < 0 || !itemTable || currentRow >= itemTable->rowCount())
        return false;
    // Only the selected row's editors are read; the resources use the state confirmed by
    // confirmContentState (set at once by any change, cleared when it matches again).
    ItemTable *table = itemTable;
    if (table->isMaterialized(currentRow)) {
        if (ItemTable::fieldText(table->nameEditor(currentRow)) != currentItem.here
            || ItemTable::fieldText(table->contentEditor(currentRow)) != currentItem.cont
            || ItemTable::fieldText(table->remarkEditor(currentRow)) != currentItem.remark)
            return true;
    }
    return contentChanged;
}

void MainWindow::confirmContentState()
{
    if (!detailPanelWidget || rendering)
        return;
    const bool changed = detailPanelWidget->contentState() != loadedContentState;
    if (changed == contentChanged)
        return;
    contentChanged = changed;
    updateEditingState();
    if (!dirty) {
        // Back to the stored state: nothing to keep for recovery, nothing being edited.
        recoveryScheduled = false;
        if (statusLabelWidget->text() == detailEditMessage())
            statusLabelWidget->clear();
    }
}

void MainWindow::rowTextChanged(int row)
{
    if (rendering)
        return;
    if (row != currentRow)
        selectRow(row);
    const bool wasDirty = dirty;
    updateEditingState();
    if (!wasDirty && dirty)
        statusLabelWidget->setText(QStringLiteral("正在编辑业务，完成后请保存"));
}

void MainWindow::detailChanged()
{
    if (rendering || selectionPending)
        return;
    // Typing into a note marks the row at once and compares with the stored resources when the
    // user pauses (the signature of a long note is too slow for every keystroke); other changes
    // (selection, moves, removals, titles) are compared right away.
    QWidget *focus = QApplication::focusWidget();
    const bool typingInNote = focus && detailPanelWidget->isAncestorOf(focus)
        && (qobject_cast<QTextEdit *>(focus) || qobject_cast<QTextEdit *>(focus->parentWidget()));
    if (typingInNote) {
        contentChanged = true;
        contentCheckTimer->start(contentCheckDelayMs);
    } else {
        contentCheckTimer->stop();
        contentChanged = detailPanelWidget->contentState() != loadedContentState;
    }
    const bool wasDirty = dirty;
    updateEditingState();
    if (!wasDirty && dirty)
        statusLabelWidget->setText(detailEditMessage());
}

void MainWindow::setOtherRowsEnabled(bool enabled)
{
    itemTable->setSelectedRow(currentRow);
    itemTable->setOtherRowsEnabled(enabled);
}

void MainWindow::updateEditingState()
{
    if (!itemTable)
        return;
    const bool changed = currentValuesChanged();
    dirty = (currentRow == draftRow && draftRow >= 0) || changed;
    // Sync leaves the item being edited alone until it is saved or discarded.
    if (syncController)
        syncController->setEditedItem(
            dirty && currentRow >= 0 && currentRow < items.size() ? items.at(currentRow).iid : 0);

    EditingSnapshot snapshot;
    snapshot.currentRow = currentRow;
    snapshot.draftRow = draftRow;
    snapshot.itemCount = int(items.size());
    snapshot.minRow = minRow();
    snapshot.parentRow = isParentRow(currentRow);
    snapshot.dirty = dirty;
    snapshot.selectedItemId = selectedItemId;
    snapshot.currentItemId = currentItem.iid;
    snapshot.favorite = currentItem.favorite;
    snapshot.resourceSelectionActive = detailPanelWidget->resourceSelectionActive();
    if (snapshot.resourceSelectionActive) {
        snapshot.canMoveResourceUp = detailPanelWidget->canMoveSelectedResource(-1);
        snapshot.canMoveResourceDown = detailPanelWidget->canMoveSelectedResource(1);
    }
    snapshot.canRevealResource = detailPanelWidget->canRevealSelectedResource();
    snapshot.cutMarked = cutItemId != 0;
    if (cutItemId != 0 && !snapshot.resourceSelectionActive && !dirty) {
        const DataItem cut = m_items.get(cutItemId);
        snapshot.cutPastable = cut.iid != 0 && cut.pid != currentParentId;
    }
    snapshot.inBranch = currentParentId != 0 && !items.isEmpty();
    snapshot.selectedHasChildren = itemTable->rowHasChildren(currentRow);
    snapshot.untouchedDraft = draftRow >= 0 && !changed;
    const CommandStates states = CommandStates::compute(snapshot);

    setOtherRowsEnabled(states.otherRowsEnabled);
    states.applyTo(*actions);
    detailPanelWidget->setAttachmentActionsEnabled(states.attachmentActions);
    detailPanelWidget->setContentEditable(states.contentEditable);

    if (dirty && !rendering && !selectionPending && !recoveryScheduled)
        scheduleRecoveryDraft();
}

void MainWindow::saveCurrent()
{
    if (currentRow < 0 || !itemTable || currentRow >= itemTable->rowCount())
        return;
    for (QLineEdit *editor : {itemTable->nameEditor(currentRow),
             itemTable->contentEditor(currentRow), itemTable->remarkEditor(currentRow)})
        editor->clearFocus();

    DataItem e = editedItem();
    const QDateTime now = QDateTime::currentDateTime();
    const bool hereEmpty = e.here.trimmed().isEmpty();
    const bool contEmpty = e.cont.trimmed().isEmpty();
    if (hereEmpty && contEmpty) {
        e.here = now.toString(QStringLiteral("yyyy-MM-dd"));
        e.cont = now.toString(QStringLiteral("HH:mm:ss"));
    } else if (hereEmpty) {
        e.here = now.toString(stampFormat);
    } else if (contEmpty) {
        e.cont = now.toString(stampFormat);
    }
    const bool autoContent = !e.here.trimmed().isEmpty() && currentItem.cont.trimmed().isEmpty()
        && e.cont == now.toString(stampFormat);
    if (e.desc.trimmed().isEmpty())
        e.desc = QDateTime::currentDateTime().toString(stampFormat);

    QString error;
    const bool created = e.iid == 0;
    qint64 iid = e.iid;
    if (created) {
        iid = m_service.create(e, &error);
        if (iid == 0) {
            showStorageError(QStringLiteral("保存失败"), error);
            return;
        }
    } else if (!m_service.save(e, &error)) {
        showStorageError(QStringLiteral("保存失败"), error);
        return;
    }

    QList<ContentBlock> blocks = detailPanelWidget->contentBlocks();
    if (blocks.isEmpty() || onlyAnEmptyNote(blocks)) {
        blocks.clear();
        ContentBlock stamp;
        stamp.type = ContentBlock::Text;
        stamp.value = QDateTime::currentDateTime().toString(stampFormat);
        blocks.append(stamp);
    }
    if (!m_service.replaceContentBlocks(iid, blocks, &error)) {
        // No item may remain without its resources.
        if (created)
            m_service.erase(iid, nullptr);
        showStorageError(QStringLiteral("保存失败"), error);
        return;
    }

    draftRow = -1;
    clearRecoveryDraft();
    if (created) {
        detailPanelWidget->clearWorkspace(0); // the next new item starts empty
        treeSync->branchChanged(e.pid);
    } else {
        treeSync->itemChanged(iid);
    }
    refresh(iid, currentRow);
    detailPanelWidget->setResourceSelectionActive(false);
    dirty = false;
    if (autoContent)
        showStatusMessage(QStringLiteral("已保存业务标题，内容已自动记录当前时间"), 3000);
    else if (!created)
        showStatusMessage(QStringLiteral("已保存业务"), 3000);
    else
        showStatusMessage(QStringLiteral("已新建并保存业务"), 3000);
}

void MainWindow::cancelCurrent()
{
    if (!itemTable || currentRow < 0 || currentRow >= itemTable->rowCount())
        return;
    if (!dirty && currentRow != draftRow)
        return;

    if (currentRow == draftRow) {
        const int oldRow = currentRow;
        const bool emptyBranch
            = currentParentId != 0 && m_items.byParent(currentParentId).isEmpty();
        items.removeAt(draftRow);
        draftRow = -1;
        dirty = false;
        contentChanged = false;
        clearRecoveryDraft();
        detailPanelWidget->clearWorkspace(0); // the draft's resources go with it
        if (emptyBranch) {
            returnToParent();
            return;
        }
        rendering = true;
        renderTable();
        rendering = false;
        selectRow(qMin(oldRow, int(items.size())));
        showStatusMessage(QStringLiteral("已取消新建业务"), 2000);
        return;
    }

    rendering = true;
    ItemTable::setFieldText(itemTable->nameEditor(currentRow), currentItem.here);
    ItemTable::setFieldText(itemTable->contentEditor(currentRow), currentItem.cont);
    ItemTable::setFieldText(itemTable->remarkEditor(currentRow), currentItem.remark);
    detailPanelWidget->setContentBlocks(m_service.contentBlocks(selectedItemId));
    rendering = false;
    contentCheckTimer->stop();
    loadedContentState = detailPanelWidget->contentState();
    contentChanged = false;
    clearRecoveryDraft();
    updateEditingState();
    itemTable->setCurrentCell(currentRow, 1);
    itemTable->setFocus(Qt::OtherFocusReason);
    showStatusMessage(QStringLiteral("已取消修改并恢复原内容"), 2000);
    const qint64 generation = itemTable->generation();
    const int row = currentRow;
    QTimer::singleShot(0, this, [this, generation, row] {
        if (generation != itemTable->generation() || row >= itemTable->rowCount()
            || editorHasFocus())
            return;
        itemTable->setCurrentCell(row, 1);
        itemTable->setFocus(Qt::OtherFocusReason);
        updateRowStyles();
    });
}
