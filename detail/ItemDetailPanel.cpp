#include "ItemDetailPanel.h"

#include "DisplayText.h"
#include "FileAttachmentWidget.h"
#include "ResourceFrame.h"
#include "TextAttachmentWidget.h"
#include "UiMetrics.h"
#include "UrlAttachmentWidget.h"

#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTableWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace {
QString resourceKind(const QWidget *content)
{
    if (qobject_cast<const TextAttachmentWidget *>(content))
        return QStringLiteral("文本");
    if (auto *file = qobject_cast<const FileAttachmentWidget *>(content))
        return file->isFolder() ? QStringLiteral("文件夹") : QStringLiteral("文件");
    return QStringLiteral("链接");
}

constexpr int listColumnNumber = 0;
constexpr int listColumnName = 1;
// How long a new resource is kept in view while deferred layouts settle its height.
constexpr qint64 revealSettleMs = 1500;
} // namespace

ItemDetailPanel::ItemDetailPanel(QWidget *parent)
    : QWidget(parent)
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(true);
    splitter->setHandleWidth(0);
    splitter->setStyleSheet(QStringLiteral("QSplitter { border:1px solid #d9dee7; }"));
    outer->addWidget(splitter, 1);

    buildResourceList();

    scrollArea = new QScrollArea(splitter);
    scrollArea->setWidgetResizable(true);
    // The resources are reached through the selected one's frame, not through the area.
    scrollArea->setFocusPolicy(Qt::NoFocus);
    scrollArea->setStyleSheet(QStringLiteral("QScrollArea { background:#ffffff; border:0; }"));
    contentWidget = new QWidget;
    contentLayout = new QVBoxLayout(contentWidget);
    contentLayout->setContentsMargins(0, 0, 0, 0);
    contentLayout->setSpacing(0);
    contentLayout->addStretch(1);
    scrollArea->setWidget(contentWidget);
    QScrollBar *vertical = scrollArea->verticalScrollBar();
    connect(vertical, &QScrollBar::rangeChanged, this, &ItemDetailPanel::followReveal);
    connect(vertical, &QScrollBar::actionTriggered, this, [this] { revealTarget = nullptr; });
    // Resources are built as they come into view: at once when scrolled to, so that they are
    // there for the frame that shows them; after a change of the range, once it has settled.
    connect(vertical, &QScrollBar::valueChanged, this, &ItemDetailPanel::buildFramesInView);
    connect(vertical, &QScrollBar::rangeChanged, this, &ItemDetailPanel::scheduleFramesInView);

    splitter->addWidget(resourceList);
    splitter->addWidget(scrollArea);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({UiMetrics::px(270), UiMetrics::px(700)});

    setAcceptDrops(true);
    installDropFilter(scrollArea->viewport());
    installDropFilter(contentWidget);

    addTextAttachment();
}

ItemDetailPanel::~ItemDetailPanel() = default;

void ItemDetailPanel::buildResourceList()
{
    resourceList = new QTableWidget(0, 2, splitter);
    resourceList->setHorizontalHeaderLabels({QStringLiteral("序号"), QStringLiteral("资源")});
    resourceList->setAccessibleName(QStringLiteral("资源列表"));
    // Tab leaves the list for the selected resource; the arrows move inside it.
    resourceList->setTabKeyNavigation(false);
    resourceList->installEventFilter(this);
    resourceList->horizontalHeader()->hide();
    resourceList->verticalHeader()->hide();
    resourceList->setSelectionBehavior(QAbstractItemView::SelectRows);
    resourceList->setSelectionMode(QAbstractItemView::SingleSelection);
    resourceList->setEditTriggers(
        QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    resourceList->verticalHeader()->setDefaultSectionSize(UiMetrics::px(36));
    resourceList->horizontalHeader()->setSectionResizeMode(listColumnNumber, QHeaderView::Fixed);
    resourceList->horizontalHeader()->resizeSection(listColumnNumber, UiMetrics::px(52));
    resourceList->horizontalHeader()->setSectionResizeMode(listColumnName, QHeaderView::Stretch);
    resourceList->setMinimumWidth(UiMetrics::px(220));
    resourceList->setStyleSheet(
        QStringLiteral(
            "QTableWidget { background:#ffffff; font-size:%1px; border:0; }"
            "QHeaderView::section { background:#f1f3f5; font-size:%1px; "
            "font-weight:600; padding:%2px; border:0; border-bottom:1px solid #c5cbd5; }")
            .arg(QString::number(UiMetrics::px(14)), QString::number(UiMetrics::px(6))));

    connect(resourceList, &QTableWidget::currentCellChanged, this,
        [this](int row, int, int, int) { onCurrentCellChanged(row); });
    connect(resourceList, &QTableWidget::cellClicked, this, &ItemDetailPanel::onCellClicked);
    connect(resourceList, &QTableWidget::cellChanged, this, &ItemDetailPanel::onTitleEdited);
}

// ---- Frames and the resource list ---------------------------------------------------------

ResourceFrame *ItemDetailPanel::frameForContent(QWidget *content) const
{
    if (!content)
        return nullptr;
    auto *frame = qobject_cast<ResourceFrame *>(content->parentWidget());
    return frame && frame->content == content ? frame : nullptr;
}

int ItemDetailPanel::layoutIndexOf(QWidget *content) const
{
    ResourceFrame *frame = frameForContent(content);
    return frame ? contentLayout->indexOf(frame) : -1;
}

bool ItemDetailPanel::isShown(QWidget *content) const
{
    return layoutIndexOf(content) >= 0;
}

QString ItemDetailPanel::resourceSummary(QWidget *content) const
{
    if (qobject_cast<TextAttachmentWidget *>(content))
        return QStringLiteral("文本");
    if (auto *file = qobject_cast<FileAttachmentWidget *>(content)) {
        const QString name = QFileInfo(file->location()).fileName();
        if (!name.isEmpty())
            return name;
        return file->isFolder() ? QStringLiteral("文件夹") : QStringLiteral("文件");
    }
    if (qobject_cast<UrlAttachmentWidget *>(content))
        return QStringLiteral("链接");
    return QString();
}

QString ItemDetailPanel::resourceTitle(int row) const
{
    if (const ResourceFrame *frame = frames.value(row))
        return frame->title;
    const PendingSlot *slot = pendingSlot(row);
    return slot ? slot->resource.title : QString();
}

void ItemDetailPanel::rebuildResourceList()
{
    if (!resourceList)
        return;
    rebuildWidgetCollections();
    for (int i = 0; i < frames.size(); ++i) {
        ResourceFrame *frame = frames.at(i);
        if (!frame)
            continue;
        frame->setSelected(frame->content == selectedWidget);
        // Assistive technology tells the frames apart by kind and place: "文本资源 1".
        const QString name = resourceKind(frame->content) + QStringLiteral("资源 %1").arg(i + 1);
        if (frame->accessibleName() != name)
            frame->setAccessibleName(name);
    }

    const bool wasBlocked = resourceList->blockSignals(true);
    updatingResourceList = true;
    resourceList->setRowCount(int(frames.size()));
    int selectedRow = -1;
    for (int row = 0; row < frames.size(); ++row) {
        const ResourceFrame *frame = frames.at(row);
        const PendingSlot *slot = frame ? nullptr : pendingSlot(row);
        QTableWidgetItem *number = resourceList->item(row, listColumnNumber);
        if (!number) {
            number = new QTableWidgetItem;
            number->setTextAlignment(Qt::AlignCenter);
            number->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
            resourceList->setItem(row, listColumnNumber, number);
        }
        number->setText(QString::number(row + 1));
        QTableWidgetItem *name = resourceList->item(row, listColumnName);
        if (!name) {
            name = new QTableWidgetItem;
            resourceList->setItem(row, listColumnName, name);
        }
        const QString title = frame ? frame->title : slot->resource.title;
        name->setText(DisplayText::oneLine(!title.trimmed().isEmpty() ? title
                : frame ? resourceSummary(frame->content)
                        : pendingSummary(slot->resource)));
        if (frame && frame->content == selectedWidget)
            selectedRow = row;
    }
    if (selectedRow >= 0) {
        resourceList->setCurrentCell(selectedRow, listColumnName);
        for (ResourceFrame *frame : std::as_const(frames)) {
            if (frame)
                frame->setSelected(frame->content == selectedWidget);
        }
    }
    updateFrameTabStops();
    updatingResourceList = false;
    resourceList->blockSignals(wasBlocked);
}

void ItemDetailPanel::rebuildWidgetCollections()
{
    frames.clear();
    textWidgets.clear();
    attachmentWidgets.clear();
    const int resources = contentLayout->count() - 1; // the stretch is last
    frames.reserve(resources);
    for (int i = 0; i < resources; ++i) {
        auto *frame = qobject_cast<ResourceFrame *>(contentLayout->itemAt(i)->widget());
        frames.append(frame); // null: a resource not built yet
        if (!frame)
            continue;
        if (auto *text = qobject_cast<TextAttachmentWidget *>(frame->content))
            textWidgets.append(text);
        else
            attachmentWidgets.append(frame->content);
    }
}

void ItemDetailPanel::onCurrentCellChanged(int row)
{
    if (updatingResourceList || !contentEditable)
        return;
    if (row < 0 || row >= frames.size())
        return;
    showResource(resourceContent(row));
}

void ItemDetailPanel::onCellClicked(int row, int column)
{
    if (updatingResourceList || row < 0)
        return;
    if (row < frames.size() && contentEditable)
        selectResource(resourceContent(row));
    if (column == listColumnName && contentEditable && row < resourceList->rowCount()) {
        if (QTableWidgetItem *item = resourceList->item(row, listColumnName))
            resourceList->editItem(item); // a single click renames
    }
}

void ItemDetailPanel::onTitleEdited(int row, int column)
{
    if (updatingResourceList || column != listColumnName || row < 0 || row >= frames.size())
        return;
    const QTableWidgetItem *item = resourceList->item(row, column);
    const QString title = item ? item->text().trimmed() : QString();
    if (ResourceFrame *frame = frames.at(row))
        frame->title = title;
    else if (PendingSlot *slot = pendingSlot(row))
        slot->resource.title = title;
    if (title.isEmpty() && !titleRefillPending) {
        // A blank name shows the default name again; refill once the editor has closed.
        titleRefillPending = true;
        QTimer::singleShot(0, this, [this] {
            titleRefillPending = false;
            rebuildResourceList();
        });
    }
    emit detailChanged();
}

// ---- Selection and the commands on the selected resource ----------------------------------

void ItemDetailPanel::selectResource(QWidget *content)
{
    // Widgets of a cached workspace, or on their way out, cannot be selected.
    if (!isShown(content))
        return;
    if (content != revealTarget)
        revealTarget = nullptr;
    // Focusing the resource that is already chosen (a click or Enter into its note) changes
    // nothing, and must not read as an edit.
    if (content == selectedWidget && selectionActive)
        return;
    selectionActive = true;
    selectedWidget = content;
    rebuildResourceList();
    emit detailChanged();
}

void ItemDetailPanel::scrollToResource(QWidget *content)
{
    if (!isShown(content))
        return;
    // The new frame's height reaches the scroll range through posted layout requests (the
    // content widget's, then the scroll area's); run them now so the range covers the frame.
    for (int pass = 0; pass < 2; ++pass) {
        contentLayout->activate();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    }
    scrollArea->ensureWidgetVisible(content, 0, UiMetrics::px(8));
}

void ItemDetailPanel::revealNewResource(QWidget *content)
{
    revealTarget = content;
    revealClock.start();
    revealNow();
}

void ItemDetailPanel::revealNow()
{
    if (!revealTarget || !isShown(revealTarget))
        return;
    scrollToResource(revealTarget);
    // A note taller than the view shows its top; the line being typed on matters more.
    auto *text = qobject_cast<TextAttachmentWidget *>(revealTarget.data());
    if (text && text->textEdit()->hasFocus()) {
        QTextEdit *editor = text->textEdit();
        const QRect cursor = editor->cursorRect();
        const QPoint center = editor->viewport()->mapTo(contentWidget, cursor.center());
        scrollArea->ensureVisible(
            center.x(), center.y(), 0, cursor.height() / 2 + UiMetrics::px(8));
    }
}

void ItemDetailPanel::followReveal()
{
    if (!revealTarget || revealQueued)
        return;
    if (revealClock.elapsed() > revealSettleMs) {
        revealTarget = nullptr;
        return;
    }
    revealQueued = true;
    QTimer::singleShot(0, this, [this] {
        revealQueued = false;
        revealNow();
    });
}

bool ItemDetailPanel::resourceSelectionActive() const
{
    return selectedWidget && selectionActive;
}

void ItemDetailPanel::setResourceSelectionActive(bool active)
{
    selectionActive = active;
}

void ItemDetailPanel::discardFrame(ResourceFrame *frame)
{
    signatureFragments.remove(frame);
    if (frame->content) {
        signatureFragments.remove(frame->content);
        frame->content->disconnect(this);
    }
    QWidget *focus = QApplication::focusWidget();
    if (focus && frame->isAncestorOf(focus))
        focus->clearFocus();
    frame->hide();
    frame->deleteLater();
}

void ItemDetailPanel::removeContentWidget(QWidget *content)
{
    ResourceFrame *frame = frameForContent(content);
    const int index = frame ? contentLayout->indexOf(frame) : -1;
    if (index < 0)
        return;
    contentLayout->removeWidget(frame);
    if (auto *text = qobject_cast<TextAttachmentWidget *>(content))
        textWidgets.removeAll(text);
    attachmentWidgets.removeAll(content);

    if (selectedWidget == content) {
        selectedWidget = nullptr;
        // The resource that moved into the removed position, else the one above it.
        for (int i = std::min(index, contentLayout->count() - 2); i >= 0; --i) {
            if (QWidget *next = buildFrame(i)) {
                selectedWidget = next;
                break;
            }
        }
    }
    discardFrame(frame);
    rebuildResourceList();
    if (frames.isEmpty())
        workspaceCache.remove(currentWorkspaceId);
    emit detailChanged();
}

bool ItemDetailPanel::removeSelectedResource()
{
    if (!selectionActive || !selectedWidget)
        return false;
    removeContentWidget(selectedWidget);
    return true;
}

bool ItemDetailPanel::canMoveSelectedResource(int delta) const
{
    if (!selectionActive || !selectedWidget || (delta != 1 && delta != -1))
        return false;
    const int index = layoutIndexOf(selectedWidget);
    if (index < 0)
        return false;
    const int target = index + delta;
    return target >= 0 && target <= contentLayout->count() - 2;
}

bool ItemDetailPanel::moveSelectedResource(int delta)
{
    if (!canMoveSelectedResource(delta))
        return false;
    ResourceFrame *frame = frameForContent(selectedWidget);
    const int index = contentLayout->indexOf(frame);
    contentLayout->removeWidget(frame);
    contentLayout->insertWidget(index + delta, frame);
    rebuildWidgetCollections(); // keeps the notes in on-screen order
    rebuildResourceList();
    emit detailChanged();
    return true;
}

bool ItemDetailPanel::canRevealSelectedResource() const
{
    return qobject_cast<FileAttachmentWidget *>(selectedWidget.data()) != nullptr;
}

bool ItemDetailPanel::revealSelectedResource()
{
    auto *file = qobject_cast<FileAttachmentWidget *>(selectedWidget.data());
    if (!file || file->location().isEmpty() || !QFileInfo::exists(file->location()))
        return false;
    file->revealResource();
    return true;
}

void ItemDetailPanel::setContentEditable(bool editable)
{
    contentEditable = editable;
    // Disabling the widget that holds the keyboard focus moves the focus on, possibly into another
    // resource, which selects it and rebuilds `frames`: walk a copy, and clear the selection after.
    const QList<QPointer<ResourceFrame>> walk(frames.cbegin(), frames.cend());
    for (const QPointer<ResourceFrame> &frame : walk) {
        if (!frame)
            continue;
        if (auto *resource = qobject_cast<ResourceWindow *>(frame->content))
            resource->setEditingEnabled(editable);
    }
    if (editable) {
        resourceList->setEditTriggers(
            QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    } else {
        resourceList->setEditTriggers(QAbstractItemView::NoEditTriggers);
        updatingResourceList = true;
        resourceList->clearSelection();
        resourceList->setCurrentCell(-1, -1);
        updatingResourceList = false;
        selectionActive = false;
    }
}

void ItemDetailPanel::setAttachmentActionsEnabled(bool enabled)
{
    for (QWidget *widget : std::as_const(attachmentWidgets))
        widget->setEnabled(enabled);
    for (int i = 0; i < frames.size(); ++i) {
        if (PendingSlot *slot = frames.at(i) ? nullptr : pendingSlot(i))
            slot->resource.enabled = enabled;
    }
}

void ItemDetailPanel::setResourceListVisible(bool visible)
{
    resourceList->setVisible(visible);
}

bool ItemDetailPanel::isResourceListVisible() const
{
    return !resourceList->isHidden();
}

void ItemDetailPanel::setAttachments(const QList<Attachment> &)
{
}

// ---- Per-item workspaces ------------------------------------------------------------------

void ItemDetailPanel::releaseFocusInside()
{
    // Lets a location field that is being edited commit while its workspace is still whole.
    QWidget *focus = QApplication::focusWidget();
    if (focus && contentWidget->isAncestorOf(focus))
        focus->clearFocus();
}

QList<ItemDetailPanel::CachedResource> ItemDetailPanel::takeResources()
{
    QList<CachedResource> taken;
    taken.reserve(contentLayout->count());
    contentLayout->setEnabled(false);
    // From the end, so that each item is taken without moving the ones before it.
    for (int i = contentLayout->count() - 2; i >= 0; --i) {
        QLayoutItem *item = contentLayout->takeAt(i);
        CachedResource resource;
        if (auto *frame = qobject_cast<ResourceFrame *>(item->widget())) {
            frame->hide();
            resource.frame = frame;
        } else if (auto *slot = dynamic_cast<PendingSlot *>(item)) {
            resource.pending = slot->resource;
        }
        delete item;
        if (resource.frame || resource.pending.source)
            taken.append(resource);
    }
    contentLayout->setEnabled(true);
    std::reverse(taken.begin(), taken.end());
    return taken;
}

void ItemDetailPanel::clearContent()
{
    const QList<CachedResource> shown = takeResources();
    for (const CachedResource &resource : shown) {
        if (resource.frame)
            discardFrame(resource.frame);
    }
    attachmentWidgets.clear();
    textWidgets.clear();
    selectedWidget = nullptr;
    selectionActive = false;
    if (currentWorkspaceId != 0)
        workspaceCache.remove(currentWorkspaceId);
    rebuildResourceList();
}

void ItemDetailPanel::cacheCurrentWorkspace()
{
    if (currentWorkspaceId == 0) {
        clearContent(); // a draft's resources are never kept
        return;
    }
    rebuildWidgetCollections();
    if (frames.isEmpty()) {
        workspaceCache.remove(currentWorkspaceId);
        return;
    }
    releaseFocusInside();
    workspaceCache.insert(currentWorkspaceId, takeResources());
    frames.clear();
    textWidgets.clear();
    attachmentWidgets.clear();
    selectedWidget = nullptr;
    rebuildResourceList();
}

void ItemDetailPanel::restoreCachedWorkspace(const QList<CachedResource> &list)
{
    // Showing a frame would lay out the whole list at once, each time: the layout waits until all
    // are back, and then runs once, on its posted request.
    contentLayout->setEnabled(false);
    for (const CachedResource &resource : list) {
        if (resource.frame) {
            contentLayout->insertWidget(contentLayout->count() - 1, resource.frame);
            resource.frame->show();
        } else {
            contentLayout->insertItem(
                contentLayout->count() - 1, new PendingSlot(resource.pending));
        }
    }
    contentLayout->setEnabled(true);
    rebuildWidgetCollections();
    for (ResourceFrame *frame : std::as_const(frames)) {
        if (auto *resource = frame ? qobject_cast<ResourceWindow *>(frame->content) : nullptr)
            resource->setEditingEnabled(contentEditable);
    }
    selectedWidget = list.isEmpty() ? nullptr : buildFrame(0);
    selectionActive = !list.isEmpty();
    rebuildResourceList();
    buildFramesInView();
    if (hasPendingResources())
        schedulePreparation();
}

void ItemDetailPanel::activateWorkspace(qint64 itemId, const QList<ContentBlock> &blocks)
{
    if (itemId == currentWorkspaceId)
        return; // the widgets on screen, with any unsaved edits, stay
    cacheCurrentWorkspace();
    currentWorkspaceId = itemId;
    const QList<CachedResource> cached = workspaceCache.value(itemId);
    if (!cached.isEmpty()) {
        // The entry of the item on screen is empty: its resources are in the layout.
        workspaceCache.insert(itemId, {});
        restoreCachedWorkspace(cached);
        return;
    }
    setContentBlocks(blocks);
    if (itemId != 0)
        workspaceCache.insert(itemId, {});
}

void ItemDetailPanel::clearWorkspace(qint64 itemId)
{
    if (itemId == currentWorkspaceId) {
        clearContent();
        currentWorkspaceId = 0;
    }
    const QList<CachedResource> cached = workspaceCache.take(itemId);
    for (const CachedResource &resource : cached) {
        if (resource.frame)
            discardFrame(resource.frame);
    }
}
