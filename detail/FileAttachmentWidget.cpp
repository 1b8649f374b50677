#include "FileAttachmentWidget.h"

#include "ResourceRow.h"

#include "HostOperations.h"
#include "ResourceLocation.h"
#include "UiMetrics.h"

#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

constexpr int maxWidgetHeight = 240;
// The allocation limit newer Qt versions use by default; Qt 6.4 stops at 128 MB.
constexpr int imageAllocationLimitMb = 256;

bool readableImage(const QString &path, QPixmap *pixmap)
{
    QImageReader reader(path);
    reader.setAllocationLimit(imageAllocationLimitMb);
    if (!reader.canRead())
        return false;
    if (pixmap) {
        const QImage image = reader.read();
        if (image.isNull())
            return false;
        *pixmap = QPixmap::fromImage(image);
    }
    return true;
}

} // namespace

void openWithSystem(const QString &path)
{
    HostOperations::current().openWithSystem(path);
}

QString actionButtonStyle()
{
    return QStringLiteral(
        "QPushButton { color:#1d2939; background:#f8fafc; border:1px solid #b8c0cc; "
        "border-radius:4px; padding:1px %1px; font-size:%2px; font-weight:600;}"
        "QPushButton:hover { background:#e8eef6; border-color:#8fa1b6; }"
        "QPushButton:pressed { background:#dbe6f2; }"
        "QPushButton:disabled { color:#667085; background:#f2f4f7; border-color:#d0d5dd; }")
        .arg(QString::number(UiMetrics::px(7)), QString::number(UiMetrics::px(14)));
}

FileAttachmentWidget::FileAttachmentWidget(
    const Attachment &attachment, QWidget *parent, bool folder)
    : ResourceWindow(parent)
    , attachment(attachment)
    , folder(folder)
{
    QHBoxLayout *rowLayout = buildResourceRow(this);
    QWidget *row = rowLayout->parentWidget();

    locationEdit = new QLineEdit(attachment.location, row);
    locationEdit->setPlaceholderText(
        folder ? QStringLiteral("文件夹路径") : QStringLiteral("文件路径"));
    locationEdit->setFixedHeight(UiMetrics::px(resourceRowHeight));
    locationEdit->setStyleSheet(
        QStringLiteral("QLineEdit { background:#ffffff; color:#202124; border:1px solid #b8c0cc; "
                       "font-size:%1px; padding:%2px %3px; selection-background-color:#316ac5; "
                       "selection-color:#ffffff; }")
            .arg(QString::number(UiMetrics::px(14)), QString::number(UiMetrics::px(4)),
                QString::number(UiMetrics::px(6))));
    locationEdit->installEventFilter(this);
    rowLayout->addWidget(locationEdit, 1);

    browseButton = new QPushButton(QStringLiteral("浏览"), row);
    openButton = new QPushButton(QStringLiteral("打开"), row);
    revealButton = new QPushButton(QStringLiteral("转到"), row);
    for (QPushButton *button : {browseButton, openButton, revealButton}) {
        button->setMinimumWidth(UiMetrics::px(52));
        button->setFixedHeight(UiMetrics::px(30));
        button->setStyleSheet(actionButtonStyle());
        button->hide();
        rowLayout->addWidget(button);
    }
    if (folder)
        connect(browseButton, &QPushButton::clicked, this, &FileAttachmentWidget::chooseFolder);
    else
        connect(browseButton, &QPushButton::clicked, this, &FileAttachmentWidget::chooseFile);
    connect(openButton, &QPushButton::clicked, this, &FileAttachmentWidget::openLocation);
    connect(revealButton, &QPushButton::clicked, this, &FileAttachmentWidget::revealLocation);

    previewArea = new QScrollArea(this);
    previewArea->setFrameShape(QFrame::NoFrame);
    previewArea->setWidgetResizable(false);
    previewArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    previewArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    previewArea->setStyleSheet(QStringLiteral("QScrollArea { border:0; background:#ffffff; }"));
    previewLabel = new QLabel(previewArea);
    previewLabel->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    previewLabel->setStyleSheet(QStringLiteral("border:0; background:#ffffff;"));
    previewArea->setWidget(previewLabel);
    previewLabel->installEventFilter(this);
    previewArea->viewport()->installEventFilter(this);
    previewArea->hide();
    layout()->addWidget(previewArea);

    connect(locationEdit, &QLineEdit::editingFinished, this, &FileAttachmentWidget::locationEdited);
    updateAppearance();
}

QString FileAttachmentWidget::location() const
{
    return locationEdit->text().trimmed();
}

bool FileAttachmentWidget::isFolder() const
{
    return folder;
}

void FileAttachmentWidget::setImagePreviewEnabled(bool enabled)
{
    imagePreviewEnabled = enabled;
    updateAppearance();
}

void FileAttachmentWidget::revealResource()
{
    revealLocation();
}

ContentBlock FileAttachmentWidget::snapshot() const
{
    ContentBlock block;
    block.type = ContentBlock::LocalPath;
    block.value = location();
    if (folder)
        block.summary = QStringLiteral("folder");
    return block;
}

void FileAttachmentWidget::restore(const ContentBlock &block)
{
    locationEdit->setText(block.value);
    locationEdited();
}

void FileAttachmentWidget::setEditingEnabled(bool enabled)
{
    setEnabled(enabled);
}

void FileAttachmentWidget::activateResource()
{
    locationEdit->setFocus(Qt::OtherFocusReason);
}

void FileAttachmentWidget::chooseFile()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("选择文件"),
        locationEdit->text(),
        QStringLiteral("所有文件 (*.*);;图片文件 (*.png *.jpg *.jpeg *.bmp *.gif *.webp *.svg)"));
    if (path.isEmpty())
        return;
    locationEdit->setText(path);
    locationEdited();
}

void FileAttachmentWidget::chooseFolder()
{
    const QString path = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择文件夹"), locationEdit->text(), QFileDialog::ShowDirsOnly);
    if (path.isEmpty())
        return;
    locationEdit->setText(path);
    locationEdited();
}

void FileAttachmentWidget::openLocation()
{
    openWithSystem(locationEdit->text());
}

void FileAttachmentWidget::revealLocation()
{
    const QFileInfo info(locationEdit->text());
    if (!info.exists())
        return;
    if (info.isDir())
        openWithSystem(info.absoluteFilePath());
    else
        HostOperations::current().revealInFileManager(info.absoluteFilePath());
}

void FileAttachmentWidget::locationEdited()
{
    const QString typed = locationEdit->text().trimmed();
    QString t = typed;
    // A file keeps no comment: whatever follows the first space of the last path component goes,
    // unless the whole text names something that exists.
    const int cut = resourcePathCommentPosition(t);
    if (cut >= 0)
        t = t.left(cut).trimmed();
    if (t != typed)
        locationEdit->setText(t);
    attachment.location = t;
    updateAppearance();
    emit locationChanged(t);
}

void FileAttachmentWidget::updateAppearance()
{
    const QFileInfo info(attachment.location);
    const bool exists = !attachment.location.isEmpty() && info.exists();
    const bool regularFile = exists && info.isFile();
    if (!imagePreviewEnabled && !folder && regularFile
        && readableImage(attachment.location, nullptr))
        imagePreviewEnabled = true;

    browseButton->hide();
    openButton->hide();
    revealButton->hide();
    openButton->setEnabled(exists);
    revealButton->setEnabled(!folder && regularFile);

    previewPixmap = QPixmap();
    if (imagePreviewEnabled && !folder && !attachment.location.isEmpty())
        readableImage(attachment.location, &previewPixmap);
    updateImagePreview();
}

void FileAttachmentWidget::updateImagePreview()
{
    const int row = UiMetrics::px(resourceRowHeight);
    if (imagePreviewEnabled && !previewPixmap.isNull()) {
        if (previewLabel->pixmap().cacheKey() != previewPixmap.cacheKey()) {
            previewLabel->setPixmap(previewPixmap);
            previewLabel->resize(previewPixmap.size());
        }
        const int areaHeight
            = qMax(1, qMin(previewPixmap.height(), UiMetrics::px(maxWidgetHeight) - row));
        previewArea->setFixedHeight(areaHeight);
        previewArea->show();
        setFixedHeight(areaHeight + row);
    } else {
        if (!previewLabel->pixmap().isNull())
            previewLabel->clear();
        previewArea->hide();
        setFixedHeight(row);
    }
}

bool FileAttachmentWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == locationEdit && event->type() == QEvent::FocusIn)
        emit activated();
    else if (watched == previewLabel && event->type() == QEvent::MouseButtonPress)
        emit activated();
    else if (watched == previewArea->viewport() && event->type() == QEvent::MouseButtonPress) {
        // A press on the picture reaches the viewport too once the label lets it pass.
        const QPoint pos = static_cast<QMouseEvent *>(event)->position().toPoint();
        if (!previewLabel->geometry().contains(pos))
            emit activated();
    }
    return ResourceWindow::eventFilter(watched, event);
}

void FileAttachmentWidget::resizeEvent(QResizeEvent *event)
{
    ResourceWindow::resizeEvent(event);
    updateImagePreview();
}
