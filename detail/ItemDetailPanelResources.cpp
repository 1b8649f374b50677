// Adding resources to the detail workspace: the commands, the file dialogs and drag-and-drop.

#include "ItemDetailPanel.h"

#include "FileAttachmentWidget.h"
#include "ResourceFrame.h"
#include "TextAttachmentWidget.h"
#include "UrlAttachmentWidget.h"

#include <QDateTime>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMimeData>
#include <QMimeDatabase>
#include <QScrollArea>
#include <QTableWidget>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Larger files are always attached as files, never read in as notes.
constexpr qint64 maxTextFileBytes = 2 * 1024 * 1024;

const QString fileFilter
    = QStringLiteral("所有文件 (*.*);;图片文件 (*.png *.jpg *.jpeg *.bmp *.gif *.webp *.svg)");
const QString imageFilter
    = QStringLiteral("图片文件 (*.png *.jpg *.jpeg *.bmp *.gif *.webp *.svg);;所有文件 (*.*)");

const QStringList &textMimeTypes()
{
    static const QStringList types = {
        QStringLiteral("application/json"),
        QStringLiteral("application/xml"),
        QStringLiteral("application/javascript"),
        QStringLiteral("application/x-yaml"),
    };
    return types;
}

// Whether the file's content reads as text (judged by content, not by its name).
bool isTextFile(const QFileInfo &file)
{
    static const QMimeDatabase database;
    const QString name = database.mimeTypeForFile(file, QMimeDatabase::MatchContent).name();
    return name.startsWith(QLatin1String("text/")) || textMimeTypes().contains(name);
}

// Whether a drag carries at least one local file or folder that exists.
bool hasLocalDrop(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls())
        return false;
    const QList<QUrl> urls = mime->urls();
    return std::any_of(urls.cbegin(), urls.cend(),
        [](const QUrl &url) { return url.isLocalFile() && QFileInfo::exists(url.toLocalFile()); });
}

bool isMarkdownSuffix(const QFileInfo &file)
{
    const QString suffix = file.suffix().toLower();
    return suffix == QLatin1String("md") || suffix == QLatin1String("markdown");
}

} // namespace

// ---- Building resources ---------------------------------------------------------------------

ResourceFrame *ItemDetailPanel::insertFrame(QWidget *content, int layoutIndex, const QString &title)
{
    auto *frame = new ResourceFrame(content, contentWidget);
    frame->title = title;
    watchFrame(frame);
    contentLayout->insertWidget(layoutIndex, frame);
    if (!contentEditable) {
        if (auto *resource = qobject_cast<ResourceWindow *>(content))
            resource->setEditingEnabled(false);
    }
    return frame;
}

int ItemDetailPanel::insertionIndex() const
{
    if (selectedWidget) {
        const int index = layoutIndexOf(selectedWidget);
        return index >= 0 ? index + 1 : 0;
    }
    return contentLayout->count() - 1; // just above the stretch
}

TextAttachmentWidget *ItemDetailPanel::newTextWidget(QWidget *parent)
{
    auto *text = new TextAttachmentWidget(parent);
    installDropFilter(text);
    connect(text, &TextAttachmentWidget::contentChanged, this, &ItemDetailPanel::detailChanged);
    connect(text, &TextAttachmentWidget::focused, this, [this, text] { selectResource(text); });
    connect(text, &TextAttachmentWidget::leaveRequested, this,
        [this, text](int step) { leaveNote(text, step); });
    return text;
}

FileAttachmentWidget *ItemDetailPanel::newFileWidget(
    QWidget *parent, const Attachment &attachment, bool folder)
{
    auto *file = new FileAttachmentWidget(attachment, parent, folder);
    installDropFilter(file);
    connect(file, &FileAttachmentWidget::removeRequested, this,
        [this, file] { removeContentWidget(file); });
    connect(file, &FileAttachmentWidget::activated, this, [this, file] { selectResource(file); });
    connect(file, &FileAttachmentWidget::locationChanged, this, &ItemDetailPanel::detailChanged);
    return file;
}

UrlAttachmentWidget *ItemDetailPanel::newUrlWidget(QWidget *parent, const Attachment &attachment)
{
    auto *link = new UrlAttachmentWidget(attachment, parent);
    installDropFilter(link);
    connect(link, &UrlAttachmentWidget::removeRequested, this,
        [this, link] { removeContentWidget(link); });
    connect(link, &UrlAttachmentWidget::activated, this, [this, link] { selectResource(link); });
    connect(link, &UrlAttachmentWidget::locationChanged, this, &ItemDetailPanel::detailChanged);
    connect(link, &UrlAttachmentWidget::summaryChanged, this, &ItemDetailPanel::detailChanged);
    return link;
}

TextAttachmentWidget *ItemDetailPanel::insertTextAttachment(int layoutIndex)
{
    TextAttachmentWidget *text = newTextWidget(contentWidget);
    insertFrame(text, layoutIndex, QString());
    // Keeps the notes in on-screen order: count the notes above the new one.
    qsizetype position = 0;
    for (int i = 0; i < layoutIndex && i < contentLayout->count(); ++i) {
        const auto *frame = qobject_cast<ResourceFrame *>(contentLayout->itemAt(i)->widget());
        if (frame && qobject_cast<TextAttachmentWidget *>(frame->content))
            ++position;
    }
    textWidgets.insert(position, text);
    return text;
}

FileAttachmentWidget *ItemDetailPanel::insertFileWidget(
    const Attachment &attachment, bool folder, int index, const QString &title)
{
    FileAttachmentWidget *file = newFileWidget(contentWidget, attachment, folder);
    insertFrame(file, index, title);
    attachmentWidgets.append(file);
    return file;
}

UrlAttachmentWidget *ItemDetailPanel::insertUrlWidget(
    const Attachment &attachment, int index, const QString &summary)
{
    UrlAttachmentWidget *link = newUrlWidget(contentWidget, attachment);
    link->setSummary(summary);
    insertFrame(link, index, summary);
    attachmentWidgets.append(link);
    return link;
}

// ---- The adding commands --------------------------------------------------------------------

void ItemDetailPanel::addTextAttachment()
{
    TextAttachmentWidget *text = insertTextAttachment(insertionIndex());
    selectedWidget = text;
    selectionActive = true;
    rebuildResourceList();
    QTimer::singleShot(0, text, [this, text] { revealNewResource(text); });
    emit detailChanged();
}

void ItemDetailPanel::addTimestampedTextAttachment()
{
    TextAttachmentWidget *text = insertTextAttachment(insertionIndex());
    selectedWidget = text;
    selectionActive = true;
    text->insertTimestampAndFocus(
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    rebuildResourceList();
    QTimer::singleShot(0, text, [this, text] { revealNewResource(text); });
    emit detailChanged();
}

void ItemDetailPanel::addFileAttachment()
{
    const QString file
        = QFileDialog::getOpenFileName(this, QStringLiteral("选择文件"), QString(), fileFilter);
    if (!file.isEmpty())
        addPathAttachment(false, file);
}

void ItemDetailPanel::addImageAttachment()
{
    const QString file
        = QFileDialog::getOpenFileName(this, QStringLiteral("选择图片"), QString(), imageFilter);
    if (file.isEmpty())
        return;
    addPathAttachment(false, file);
    if (auto *image = qobject_cast<FileAttachmentWidget *>(selectedWidget.data()))
        image->setImagePreviewEnabled(true);
}

void ItemDetailPanel::addFolderAttachment()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择文件夹"), QString(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        addPathAttachment(true, folder);
}

void ItemDetailPanel::addPathAttachment(bool folder, const QString &path)
{
    Attachment attachment;
    attachment.type = AttachmentType::File;
    attachment.location = path;
    FileAttachmentWidget *file = insertFileWidget(attachment, folder, insertionIndex(), QString());
    selectedWidget = file;
    selectionActive = true;
    QTimer::singleShot(0, file, [this, file] {
        // Several files dropped at once each queue this; only the last one added, which is
        // still the selected one, is scrolled to and picked again.
        if (selectedWidget != file)
            return;
        revealNewResource(file);
        selectResource(file);
    });
    rebuildResourceList();
    emit detailChanged();
}

void ItemDetailPanel::addUrlAttachment()
{
    Attachment attachment;
    attachment.type = AttachmentType::Url;
    UrlAttachmentWidget *link = insertUrlWidget(attachment, insertionIndex(), QString());
    selectedWidget = link;
    selectionActive = true;
    rebuildResourceList();
    QTimer::singleShot(0, link, [this, link] {
        if (!isShown(link))
            return;
        link->activateResource();
        revealNewResource(link);
    });
    emit detailChanged();
}

void ItemDetailPanel::addTextFileAttachment(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        addPathAttachment(false, path);
        return;
    }
    const QString content = QString::fromUtf8(file.readAll());
    TextAttachmentWidget *text = insertTextAttachment(insertionIndex());
    if (isMarkdownSuffix(QFileInfo(path))) {
        QTextDocument markdown;
        markdown.setMarkdown(content, QTextDocument::MarkdownDialectGitHub);
        text->setHtml(markdown.toHtml());
    } else {
        text->setHtml(QStringLiteral("<pre>") + content.toHtmlEscaped() + QStringLiteral("</pre>"));
    }
    selectedWidget = text;
    selectionActive = true;
    rebuildResourceList();
    QTimer::singleShot(0, text, [this, text] { revealNewResource(text); });
    emit detailChanged();
}

// ---- Drag-and-drop --------------------------------------------------------------------------

void ItemDetailPanel::installDropFilter(QWidget *widget)
{
    if (!widget)
        return;
    widget->setAcceptDrops(true);
    widget->installEventFilter(this);
    const QList<QWidget *> descendants = widget->findChildren<QWidget *>();
    for (QWidget *child : descendants) {
        child->setAcceptDrops(true);
        child->installEventFilter(this);
    }
}

bool ItemDetailPanel::acceptsDrop(const QMimeData *mime) const
{
    return contentEditable && hasLocalDrop(mime);
}

void ItemDetailPanel::dragEnterEvent(QDragEnterEvent *event)
{
    if (acceptsDrop(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ItemDetailPanel::dragMoveEvent(QDragMoveEvent *event)
{
    if (acceptsDrop(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ItemDetailPanel::dropEvent(QDropEvent *event)
{
    if (!acceptsDrop(event->mimeData())) {
        event->ignore();
        return;
    }
    handleDroppedUrls(this, event->mimeData()->urls());
    event->acceptProposedAction();
}

bool ItemDetailPanel::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *drag = static_cast<QDragMoveEvent *>(event);
        if (!acceptsDrop(drag->mimeData()))
            break;
        drag->acceptProposedAction();
        return true;
    }
    case QEvent::Wheel:
        revealTarget = nullptr; // the user scrolls now
        break;
    case QEvent::KeyPress: {
        auto *key = static_cast<QKeyEvent *>(event);
        if (watched == resourceList && resourceListKeyPressed(key))
            return true;
        if (auto *frame = qobject_cast<ResourceFrame *>(watched);
            frame && frameKeyPressed(frame, key))
            return true;
        break;
    }
    case QEvent::FocusIn:
        // A frame reached by the keyboard is the selected resource, in view.
        if (auto *frame = qobject_cast<ResourceFrame *>(watched); frame && frame->content)
            showResource(frame->content);
        break;
    case QEvent::Resize:
        if (watched == scrollArea->viewport())
            scheduleFramesInView(); // a taller view shows more resources
        break;
    case QEvent::Drop: {
        auto *drop = static_cast<QDropEvent *>(event);
        if (!acceptsDrop(drop->mimeData()))
            break;
        const QList<QUrl> urls = drop->mimeData()->urls();
        drop->acceptProposedAction();
        handleDroppedUrls(watched, urls);
        return true;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void ItemDetailPanel::handleDroppedUrls(QObject *target, const QList<QUrl> &urls)
{
    // Dropping onto a resource inserts after that resource.
    for (auto *widget = qobject_cast<QWidget *>(target); widget && widget != contentWidget;
         widget = widget->parentWidget()) {
        if (auto *frame = qobject_cast<ResourceFrame *>(widget)) {
            if (isShown(frame->content))
                selectedWidget = frame->content;
            break;
        }
    }
    for (const QUrl &url : urls) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if (!info.exists())
            continue;
        const QString path = info.absoluteFilePath();
        if (info.isDir())
            addPathAttachment(true, path);
        else if (info.size() > maxTextFileBytes)
            addPathAttachment(false, path);
        else if (isTextFile(info))
            addTextFileAttachment(path);
        else
            addPathAttachment(false, path);
    }
}
