#pragma once

#include "ContentState.h"
#include "PendingSlot.h"
#include "Records.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class FileAttachmentWidget;
class QKeyEvent;
class QMimeData;
class QScrollArea;
class QSplitter;
class QTableWidget;
class QTimer;
class QUrl;
class QVBoxLayout;
class ResourceFrame;
class TextAttachmentWidget;
class UrlAttachmentWidget;

// The workspace of the selected item: its resources (notes, files, folders, links) as a stack of
// selectable frames, with a numbered resource list beside it. Each item visited keeps its own
// frames in a cache, so switching between items keeps unsaved text, cursor and undo history.
// A loaded resource's frame and widget are built only when it comes into (or near) the view, or
// when someone asks for it; until then it is an empty layout item of about its height and the
// resource is kept as its block, which the content signature and the saved blocks read as the
// widget would give it.
// The panel never touches storage: it shows the blocks it is given and reports through
// detailChanged().
class ItemDetailPanel : public QWidget {
    Q_OBJECT

public:
    explicit ItemDetailPanel(QWidget *parent = nullptr);
    ~ItemDetailPanel() override;

    // Separator of the notes in detail().
    static QString editorBreak();

    // Per-item workspaces.
    void activateWorkspace(qint64 itemId, const QList<ContentBlock> &blocks);
    void clearWorkspace(qint64 itemId);

    // Resources as content blocks.
    void setContentBlocks(const QList<ContentBlock> &blocks);
    QList<ContentBlock> contentBlocks() const;
    // The current blocks as compact JSON text: equal for workspaces that would save the same
    // blocks.
    QString contentSignature() const;
    // The same, with the text of resources not built yet written out only when needed: cheap to
    // take when an item is shown and to compare with after a change.
    ContentState contentState() const;
    QString detail() const;
    void setDetail(const QString &text);

    // Selection and the commands that act on the selected resource.
    bool resourceSelectionActive() const;
    void setResourceSelectionActive(bool active);
    bool removeSelectedResource();
    bool canMoveSelectedResource(int delta) const;
    bool moveSelectedResource(int delta);
    bool canRevealSelectedResource() const;
    bool revealSelectedResource();

    void setContentEditable(bool editable);
    bool isContentEditable() const { return contentEditable; }
    void setAttachmentActionsEnabled(bool enabled);
    void setResourceListVisible(bool visible);
    bool isResourceListVisible() const;
    // Resources reach the panel only as content blocks; this accepts a list and ignores it.
    void setAttachments(const QList<Attachment> &attachments);

    // Adding resources.
    void addTimestampedTextAttachment();
    void addFileAttachment();
    void addFolderAttachment();
    void addUrlAttachment();
    void addTextAttachment();
    void addImageAttachment();
    void addPathAttachment(bool folder, const QString &path);
    void addTextFileAttachment(const QString &path);

    // What is on screen.
    qint64 currentWorkspace() const { return currentWorkspaceId; }
    // Every resource's frame, in order; null for a resource not built yet.
    QList<ResourceFrame *> resourceFrames() const { return frames; }
    // The widget of the resource at a position of the list, built when it is not yet.
    QWidget *resourceContent(int index);
    int builtResourceCount() const;
    // Idle work is still to come: frames built ahead of the view, blocks of unbuilt notes.
    bool isPreparing() const;
    QWidget *selectedResource() const { return selectedWidget; }
    QTableWidget *resourceTable() const { return resourceList; }
    QScrollArea *resourceScrollArea() const { return scrollArea; }
    bool hasCachedWorkspace(qint64 itemId) const { return workspaceCache.contains(itemId); }

signals:
    void detailChanged();
    void fileAttachmentRequested(const QString &filePath);
    void urlAttachmentRequested(const QString &url);
    void attachmentRemovalRequested(qint64 attachmentId);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool focusNextPrevChild(bool next) override;

private:
    // A resource of a workspace kept in the cache: its hidden frame, or its block when it was
    // never built.
    struct CachedResource {
        ResourceFrame *frame = nullptr;
        PendingResource pending;
    };

    struct SignatureFragment {
        int type = 0;
        QString value;
        QString summary;
        QString json;
    };

    void buildResourceList();
    // A resource widget with its connections and drop filter, as a child of parent.
    TextAttachmentWidget *newTextWidget(QWidget *parent);
    FileAttachmentWidget *newFileWidget(QWidget *parent, const Attachment &attachment, bool folder);
    UrlAttachmentWidget *newUrlWidget(QWidget *parent, const Attachment &attachment);
    TextAttachmentWidget *insertTextAttachment(int layoutIndex);
    FileAttachmentWidget *insertFileWidget(
        const Attachment &attachment, bool folder, int index, const QString &title);
    UrlAttachmentWidget *insertUrlWidget(
        const Attachment &attachment, int index, const QString &title);
    ResourceFrame *insertFrame(QWidget *content, int layoutIndex, const QString &title);
    ResourceFrame *frameForContent(QWidget *content) const;

    // Resources kept as data (ItemDetailPanelPending.cpp).
    void insertPendingResource(const ContentBlock &block, int layoutIndex);
    // The unbuilt resource at a layout index, or null.
    PendingSlot *pendingSlot(int layoutIndex) const;
    bool hasPendingResources() const;
    // Builds the frame of the resource at a layout index when it is not yet; its widget.
    QWidget *buildFrame(int layoutIndex);
    QList<int> pendingNearView(int above, int below) const;
    int buildFrames(const QList<int> &indexes, const QElapsedTimer &clock, qint64 deadline);
    void buildFramesInView();
    void scheduleFramesInView();
    QString pendingSummary(const PendingResource &pending) const;
    QString resourceTitle(int row) const;
    QFont noteFont() const;
    // While the window is idle, a few at a time: builds the frames of the next pages, so that
    // scrolling finds them ready, then makes the blocks the unbuilt notes of the item on screen
    // would give, so that a save or a change finds them ready.
    void prepareSnapshots();
    void schedulePreparation();
    int layoutIndexOf(QWidget *content) const;
    int insertionIndex() const;
    bool isShown(QWidget *content) const;

    void selectResource(QWidget *content);
    void scrollToResource(QWidget *content);
    // A new resource's final height arrives through deferred layouts (a note grows once its text
    // is laid out); it stays in view, cursor line included, until those have settled or the user
    // scrolls.
    void revealNewResource(QWidget *content);
    void revealNow();
    void followReveal();
    void rebuildResourceList();
    void rebuildWidgetCollections();
    void removeContentWidget(QWidget *content);
    QString resourceSummary(QWidget *content) const;
    void installDropFilter(QWidget *widget);
    void clearContent();
    // Takes every resource out of the content layout, frames hidden, in order.
    QList<CachedResource> takeResources();
    void discardFrame(ResourceFrame *frame);
    void releaseFocusInside();
    void cacheCurrentWorkspace();
    void restoreCachedWorkspace(const QList<CachedResource> &list);

    void onCurrentCellChanged(int row);
    void onCellClicked(int row, int column);
    void onTitleEdited(int row, int column);

    // The keyboard in the resources (ItemDetailPanelKeyboard.cpp): the selected resource's frame
    // is the one Tab stop of the resources; its arrows choose another, Enter goes into it.
    void watchFrame(ResourceFrame *frame);
    void updateFrameTabStops();
    bool frameKeyPressed(ResourceFrame *frame, QKeyEvent *key);
    bool resourceListKeyPressed(QKeyEvent *key);
    void focusResource(int row);
    void enterResource(ResourceFrame *frame);
    void leaveNote(TextAttachmentWidget *text, int step);
    // Selects and scrolls to a resource, kept in view while frames built around it settle.
    void showResource(QWidget *content);

    bool acceptsDrop(const QMimeData *mime) const;
    void handleDroppedUrls(QObject *target, const QList<QUrl> &urls);

    QVBoxLayout *contentLayout = nullptr;
    QScrollArea *scrollArea = nullptr;
    QWidget *contentWidget = nullptr;
    QSplitter *splitter = nullptr;
    QTableWidget *resourceList = nullptr;
    // One entry per resource in layout order: its frame, or null while it is not built.
    QList<ResourceFrame *> frames;
    QList<TextAttachmentWidget *> textWidgets;
    QList<QWidget *> attachmentWidgets;
    QPointer<QWidget> selectedWidget;
    bool contentEditable = true;
    bool updatingResourceList = false;
    bool selectionActive = false;
    bool titleRefillPending = false;
    qint64 currentWorkspaceId = 0;
    QPointer<QWidget> revealTarget;
    QElapsedTimer revealClock;
    bool revealQueued = false;
    // The resources of other items, hidden; the item on screen has an empty entry.
    QHash<qint64, QList<CachedResource>> workspaceCache;
    bool framesInViewQueued = false;
    bool buildingBatch = false;
    // A hidden note that gives the HTML a note's widget makes of a pending note's block.
    mutable QPointer<TextAttachmentWidget> noteTemplate;
    QTimer *preparationTimer = nullptr;

    // Escaped JSON of each resource's block, reused while the block is unchanged: a long note
    // would otherwise be escaped again on every keystroke anywhere in the window.
    mutable QHash<const QWidget *, SignatureFragment> signatureFragments;
};
