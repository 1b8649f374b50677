// Item commands, the level stack, jumps from the sidebar, search and the resource commands.
#include "MainWindow.h"

#include "CompactActionButton.h"
#include "ItemDetailPanel.h"
#include "ItemTable.h"
#include "NavigationPanel.h"
#include "NavigationTreeSync.h"
#include "SearchController.h"
#include "WindowActions.h"

#include <QAction>

#include <QLabel>
#include <QMessageBox>

void MainWindow::addItem()
{
    if (dirty || currentItem.iid == 0 || items.isEmpty())
        return;
    const int n = int(items.size());
    int position = minRow();
    if (!itemTable->selectedRanges().isEmpty()) {
        position = itemTable->currentRow();
        if (position < minRow() || position >= n)
            position = minRow();
    }
    insertDraftAt(position, currentParentId);
    statusLabelWidget->setText(QStringLiteral("已添加新业务，请填写后保存"));
}

void MainWindow::addChild()
{
    if (dirty || currentItem.iid == 0 || selectedItemId == 0)
        return;
    const qint64 sel = selectedItemId;
    enterItem(sel);
    insertDraftAt(1, sel);
    statusLabelWidget->setText(QStringLiteral("已添加业务分支，请填写后保存"));
}

bool MainWindow::canMoveSelected(int delta) const
{
    const int target = currentRow + delta;
    return !dirty && selectedItemId != 0 && (delta == -1 || delta == 1) && currentRow >= minRow()
        && target >= minRow() && target <= int(items.size()) - 1;
}

void MainWindow::moveSelected(int delta)
{
    if (!canMoveSelected(delta))
        return;
    QString error;
    if (!m_service.move(selectedItemId, delta, &error)) {
        showStorageError(QStringLiteral("移动失败"), error);
        return;
    }
    treeSync->branchChanged(currentItem.pid);
    refresh(selectedItemId, currentRow + delta);
    showStatusMessage(
        delta < 0 ? QStringLiteral("已上移当前业务") : QStringLiteral("已下移当前业务"), 2000);
}

void MainWindow::moveUpOrDown(int delta)
{
    if (detailPanelWidget->resourceSelectionActive()) {
        if (detailPanelWidget->moveSelectedResource(delta))
            showStatusMessage(
                delta < 0 ? QStringLiteral("已上移当前事项") : QStringLiteral("已下移当前事项"),
                2000);
        return;
    }
    moveSelected(delta);
}

void MainWindow::toggleFavorite()
{
    if (dirty || isParentRow(currentRow) || selectedItemId == 0)
        return;
    QString error;
    if (!m_service.setFavorite(selectedItemId, !currentItem.favorite, &error)) {
        showStorageError(QStringLiteral("设置常用失败"), error);
        return;
    }
    currentItem.favorite = !currentItem.favorite;
    if (currentRow >= 0 && currentRow < items.size())
        items[currentRow].favorite = currentItem.favorite;
    refreshFavorites();
    updateEditingState();
    showStatusMessage(
        currentItem.favorite ? QStringLiteral("已设为常用业务") : QStringLiteral("已取消常用业务"),
        2000);
}

void MainWindow::deleteSelected()
{
    if (dirty || selectedItemId == 0)
        return;
    if (detailPanelWidget->removeSelectedResource()) {
        showStatusMessage(QStringLiteral("已移除当前资源"), 2000);
        return;
    }
    if (QMessageBox::question(this, QStringLiteral("删除"),
            QStringLiteral("确定删除选中的数据项吗？"), QMessageBox::Yes | QMessageBox::No,
            QMessageBox::No)
        != QMessageBox::Yes)
        return;
    const qint64 iid = selectedItemId;
    const qint64 pid = currentItem.pid;
    QString error;
    if (!m_service.erase(iid, &error)) {
        showStorageError(QStringLiteral("删除失败"), error);
        return;
    }
    treeSync->branchChanged(pid);
    detailPanelWidget->clearWorkspace(iid);
    refresh(0, -1);
    showStatusMessage(QStringLiteral("已删除当前业务"), 3000);
}

void MainWindow::cutSelected()
{
    if (dirty || isParentRow(currentRow) || selectedItemId == 0) {
        actions->cut->setChecked(cutItemId != 0);
        return;
    }
    cutItemId = selectedItemId;
    statusLabelWidget->setText(QStringLiteral("已转移，可进入目标分支后移入"));
    updateEditingState();
}

void MainWindow::pasteCutItem()
{
    if (dirty || cutItemId == 0)
        return;
    const qint64 oldParent = m_items.get(cutItemId).pid;
    QString error;
    if (!m_service.moveToParent(cutItemId, currentParentId, &error)) {
        showStorageError(QStringLiteral("移入失败"), error);
        return;
    }
    treeSync->branchChanged(oldParent);
    treeSync->branchChanged(currentParentId);
    const qint64 id = cutItemId;
    cutItemId = 0;
    refresh(id, -1);
    showStatusMessage(QStringLiteral("已移入当前层级"), 3000);
}

void MainWindow::activateRow(int row)
{
    if (row < 0 || row >= items.size())
        return;
    if (isParentRow(row)) {
        if (!dirty || (draftRow >= 0 && !currentValuesChanged()))
            returnToParent();
        return;
    }
    if (dirty)
        return;
    const qint64 iid = items.at(row).iid;
    if (iid != 0 && m_items.hasChildren(iid))
        enterItem(iid);
}

void MainWindow::enterItem(qint64 iid)
{
    if (iid == 0)
        return;
    navigationStack.append({currentParentId, selectedItemId, currentRow});
    currentParentId = iid;
    refresh(iid, 0);
    showStatusMessage(QStringLiteral("已进入业务分支"), 2000);
}

void MainWindow::returnToParent()
{
    if (currentParentId == 0)
        return;
    if (draftRow >= 0) {
        if (draftRow < items.size())
            items.removeAt(draftRow);
        draftRow = -1;
        dirty = false;
        clearRecoveryDraft();
        detailPanelWidget->clearWorkspace(0);
    }
    if (!navigationStack.isEmpty()) {
        const NavigationState state = navigationStack.takeLast();
        currentParentId = state.parentId;
        refresh(state.selectedItemId, state.row);
    } else {
        const DataItem branch = m_items.get(currentParentId);
        currentParentId = branch.iid != 0 ? branch.pid : 0;
        refresh(branch.iid, -1);
    }
    showStatusMessage(QStringLiteral("已返回上级业务"), 2000);
}

void MainWindow::enterSelectedBranch()
{
    if (!isParentRow(currentRow))
        activateRow(currentRow);
}

void MainWindow::leaveBranch()
{
    if (isParentRow(0))
        activateRow(0);
}

void MainWindow::stepRow(int delta, int column)
{
    if (dirty || !itemTable || (delta != -1 && delta != 1))
        return;
    const int target = currentRow + delta;
    if (target < 0 || target >= rowCount())
        return;
    selectRow(target);
    itemTable->focusCell(target, column);
}

void MainWindow::cutTreeItem(qint64 iid)
{
    if (dirty)
        return;
    navigateToTreeItem(iid);
    if (selectedItemId == iid)
        cutSelected();
}

void MainWindow::deleteTreeItem(qint64 iid)
{
    if (dirty)
        return;
    navigateToTreeItem(iid);
    if (selectedItemId == iid)
        deleteSelected();
}

bool MainWindow::canMoveItemTo(qint64 iid, qint64 newParent) const
{
    if (dirty || iid == 0 || iid == newParent || m_items.get(iid).iid == 0)
        return false;
    // Never below itself: walk up from the new parent (a loop in damaged data ends the walk).
    QSet<qint64> seen;
    for (qint64 up = newParent; up != 0 && !seen.contains(up);) {
        seen.insert(up);
        const DataItem ancestor = m_items.get(up);
        if (ancestor.iid == 0 || ancestor.iid == iid)
            return false;
        up = ancestor.pid;
    }
    return true;
}

void MainWindow::moveItemTo(qint64 iid, qint64 newParent)
{
    if (!canMoveItemTo(iid, newParent))
        return;
    const qint64 oldParent = m_items.get(iid).pid;
    QString error;
    if (!m_service.moveToParent(iid, newParent, &error)) {
        showError(error);
        return;
    }
    treeSync->branchChanged(oldParent);
    treeSync->branchChanged(newParent);
    if (cutItemId == iid)
        cutItemId = 0;
    jumpToItem(iid, false,
        newParent != 0 ? QStringLiteral("已移入所选分支") : QStringLiteral("已移到顶层"));
}

void MainWindow::navigateToQuickAccess(qint64 iid, bool fromSearchResults)
{
    jumpToItem(iid, fromSearchResults, QStringLiteral("已打开快捷业务"));
}

void MainWindow::navigateToTreeItem(qint64 iid)
{
    jumpToItem(iid, false, QStringLiteral("已从业务树打开业务"));
}

// Shows iid's level with iid selected, leaving the level stack behind.
void MainWindow::jumpToItem(qint64 iid, bool fromSearchResults, const QString &message)
{
    if (dirty || !itemTable)
        return;
    const DataItem item = m_items.get(iid);
    if (item.iid == 0)
        return;
    navigationStack.clear();
    currentParentId = item.pid;
    selectionFromSearch = fromSearchResults;
    refresh(iid, -1);
    selectionFromSearch = false;
    showStatusMessage(message, 2000);
}

void MainWindow::searchByName(const QString &text)
{
    if (!itemTable)
        return;
    searchResults = m_items.searchByName(text, 100);
    const QList<SearchHit> contentHits = searchController->searchContent(text, searchResults);
    navigationPanel->setContentSearchHits(contentHits);
    showSearchPage = true;
    refreshFavorites();
    showSearchPage = false;
    if (text.trimmed().isEmpty()) {
        showStatusMessage(QStringLiteral("已清除搜索结果"), 3000);
        return;
    }
    QString message = QStringLiteral("找到 %1 个业务").arg(searchResults.size());
    if (!contentHits.isEmpty())
        message += QStringLiteral("，另有 %1 个业务的内容匹配").arg(contentHits.size());
    if (!searchController->isIndexComplete())
        message += QStringLiteral("（全文索引尚在建立，内容匹配可能不全）");
    showStatusMessage(message, 3000);
}

void MainWindow::refreshFavorites()
{
    if (!navigationPanel)
        return;
    navigationPanel->setQuickAccess(m_items.favorites(),
        m_items.recentItems(DataItemRepository::recentLimit), searchResults, showSearchPage);
    navigationPanel->setSelectedQuickAccess(selectedItemId, selectionFromSearch);
}

void MainWindow::refreshNavigationTree()
{
    // Only what the commands changed is read again; a level change or a selection changes no
    // row (the selection marks the tree by itself).
    if (treeSync)
        treeSync->apply();
}

void MainWindow::addFileAttachment(const QString &filePath)
{
    addAttachmentRecord(AttachmentType::File, filePath, QStringLiteral("已添加文件事项"));
}

void MainWindow::addUrlAttachment(const QString &url)
{
    addAttachmentRecord(AttachmentType::Url, url, QStringLiteral("已添加链接事项"));
}

void MainWindow::addAttachmentRecord(
    AttachmentType type, const QString &location, const QString &message)
{
    if (dirty || selectedItemId == 0)
        return;
    QString error;
    if (!m_service.addAttachment(selectedItemId, type, location, &error)) {
        showStorageError(QStringLiteral("添加资源失败"), error);
        return;
    }
    refreshAttachments();
    showStatusMessage(message, 2000);
}

void MainWindow::removeAttachment(qint64 attachmentId)
{
    if (dirty || selectedItemId == 0)
        return;
    QString error;
    if (!m_service.removeAttachment(attachmentId, &error)) {
        showStorageError(QStringLiteral("移除资源失败"), error);
        return;
    }
    refreshAttachments();
}

void MainWindow::refreshAttachments()
{
    detailPanelWidget->setAttachments({});
}

void MainWindow::runResourceCommand(int which)
{
    ItemDetailPanel *panel = detailPanelWidget;
    switch (which) {
    case 0:
        panel->addTimestampedTextAttachment();
        showStatusMessage(QStringLiteral("已添加文本事项"), 2000);
        break;
    case 1:
        statusLabelWidget->setText(QStringLiteral("请选择要添加的文件"));
        panel->addFileAttachment();
        break;
    case 2:
        panel->addFolderAttachment();
        showStatusMessage(QStringLiteral("已添加目录事项"), 2000);
        break;
    case 3:
        panel->addUrlAttachment();
        showStatusMessage(QStringLiteral("已添加链接事项"), 2000);
        break;
    case 4:
        panel->revealSelectedResource();
        showStatusMessage(QStringLiteral("已转到当前事项的位置"), 2000);
        break;
    case 5:
        if (panel->removeSelectedResource())
            showStatusMessage(QStringLiteral("已移除当前事项"), 2000);
        break;
    default:
        break;
    }
    updateEditingState();
}
