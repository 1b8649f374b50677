#include "TextAttachmentWidget.h"

#include "TextColumnPreview.h"
#include "UiMetrics.h"

#include <QAbstractTextDocumentLayout>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMimeData>
#include <QResizeEvent>
#include <QScrollArea>
#include <QScrollBar>
#include <QStackedLayout>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// Keeps pasted HTML as it is and reads pasted plain text as Markdown, so that text copied from a
// Markdown source arrives formatted.
class RichTextEditor : public QTextEdit {
public:
    using QTextEdit::QTextEdit;

protected:
    void insertFromMimeData(const QMimeData *source) override
    {
        if (!source)
            return;
        if (source->hasHtml()) {
            QTextEdit::insertFromMimeData(source);
            return;
        }
        if (!source->hasText())
            return;
        QTextDocument markdown;
        markdown.setMarkdown(source->text(), QTextDocument::MarkdownDialectGitHub);
        QTextCursor cursor = textCursor();
        cursor.insertFragment(QTextDocumentFragment(&markdown));
        setTextCursor(cursor);
        ensureCursorVisible();
    }
};

// The smallest height of a note: one line of text in the editor's frame.
int minimumNoteHeight()
{
    return UiMetrics::px(36);
}

} // namespace

int TextAttachmentWidget::maximumNoteHeight()
{
    return UiMetrics::px(240);
}

TextAttachmentWidget::TextAttachmentWidget(QWidget *parent)
    : ResourceWindow(parent)
{
    auto *outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto *container = new QWidget(this);
    outer->addWidget(container, 1);
    pages = new QStackedLayout(container);
    pages->setContentsMargins(0, 0, 0, 0);

    editor = new RichTextEditor(container);
    editor->setFocusPolicy(Qt::ClickFocus);
    editor->setPlaceholderText(QStringLiteral("在这里输入文字"));
    editor->setAccessibleName(QStringLiteral("文本内容"));
    editor->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    editor->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    editor->setStyleSheet(
        QStringLiteral("QTextEdit { background:#ffffff; color:#202124; border:1px solid #b8c0cc; "
                       "font-size:%1px; padding:%2px %3px; selection-background-color:#316ac5; "
                       "selection-color:#ffffff; }")
            .arg(UiMetrics::px(14))
            .arg(UiMetrics::px(4))
            .arg(UiMetrics::px(6)));

    previewScrollArea = new QScrollArea(container);
    previewScrollArea->setFrameShape(QFrame::NoFrame);
    previewScrollArea->setWidgetResizable(false);
    previewScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    previewScrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    preview = new TextColumnPreview;
    previewScrollArea->setWidget(preview);
    preview->editAtHandler = [this](int position) { editAt(position); };

    pages->addWidget(editor);
    pages->addWidget(previewScrollArea);

    editor->installEventFilter(this);
    editor->viewport()->installEventFilter(this);

    QTextDocument *document = editor->document();
    // The editor forwards contentsChanged as textChanged through a connection made before ours, so
    // listeners of contentChanged() may ask for the HTML before contentsChanged reaches us:
    // invalidate in both places.
    const auto invalidate = [this] {
        cachedHtmlValid = false;
        ++contentRevision;
    };
    connect(document, &QTextDocument::contentsChanged, this, invalidate);
    connect(editor, &QTextEdit::textChanged, this, [this, invalidate] {
        invalidate();
        scheduleLayout();
        emit contentChanged();
    });
    connect(document->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
        [this] { scheduleLayout(); });

    // Apply the style sheet's font now: it becomes the document's default font, which is part of
    // the note's HTML, so the note reads the same before and after it is first shown.
    editor->ensurePolished();
    setFixedHeight(minimumNoteHeight());
    scheduleLayout();
}

QString TextAttachmentWidget::html() const
{
    const QTextDocument *document = editor->document();
    if (!cachedHtmlValid || cachedHtmlFont != document->defaultFont()) {
        cachedHtml = document->toHtml();
        cachedHtmlFont = document->defaultFont();
        cachedHtmlValid = true;
    }
    return cachedHtml;
}

QString TextAttachmentWidget::plainText() const
{
    return editor->toPlainText();
}

void TextAttachmentWidget::setHtml(const QString &html)
{
    editor->setHtml(html);
    scheduleLayout();
}

void TextAttachmentWidget::setReadOnly(bool readOnly)
{
    editor->setReadOnly(readOnly);
    scheduleLayout();
}

ContentBlock TextAttachmentWidget::snapshot() const
{
    ContentBlock block;
    block.type = ContentBlock::Text;
    block.value = html();
    return block;
}

void TextAttachmentWidget::restore(const ContentBlock &block)
{
    setHtml(block.value);
}

void TextAttachmentWidget::setEditingEnabled(bool enabled)
{
    editor->setReadOnly(!enabled);
    scheduleLayout();
}

void TextAttachmentWidget::activateResource()
{
    editor->clearFocus();
    scheduleLayout();
}

void TextAttachmentWidget::insertTimestampAndFocus(const QString &text)
{
    pages->setCurrentWidget(editor);
    QTextCursor cursor(editor->document());
    cursor.movePosition(QTextCursor::End);
    if (!editor->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    cursor.insertBlock();
    editor->setTextCursor(cursor);
    editor->setFocus();
    revealCursorPending = true;
    scheduleLayout();
}

void TextAttachmentWidget::editAt(int position)
{
    pages->setCurrentWidget(editor);
    QTextCursor cursor = editor->textCursor();
    const int last = std::max(0, editor->document()->characterCount() - 1);
    cursor.setPosition(std::clamp(position, 0, last));
    editor->setTextCursor(cursor);
    editor->setFocus(Qt::MouseFocusReason);
    revealCursorPending = true;
    scheduleLayout();
}

void TextAttachmentWidget::startEditing()
{
    editAt(editor->textCursor().position());
}

bool TextAttachmentWidget::isPreviewShown() const
{
    return pages->currentWidget() == previewScrollArea;
}

void TextAttachmentWidget::scheduleLayout()
{
    if (layoutPending)
        return;
    layoutPending = true;
    QTimer::singleShot(0, this, [this] {
        layoutPending = false;
        updateLayout();
    });
}

bool TextAttachmentWidget::previewAvailable(int width)
{
    const QFont font = editor->document()->defaultFont();
    if (previewRevision != contentRevision || previewWidth != width || previewFont != font) {
        previewResult = preview->prepare(editor->document(), width);
        previewRevision = contentRevision;
        previewWidth = width;
        previewFont = font;
    }
    return previewResult;
}

void TextAttachmentWidget::updateLayout()
{
    const int w = width();
    if (w < 1)
        return;
    const int cap = maximumNoteHeight();
    if (!editor->hasFocus() && previewAvailable(w)) {
        const int contentHeight = preview->contentHeight();
        preview->resize(w, contentHeight);
        pages->setCurrentWidget(previewScrollArea);
        setFixedHeight(std::max(std::min(cap, contentHeight), minimumNoteHeight()));
        return;
    }
    pages->setCurrentWidget(editor);
    int chrome = editor->height() - editor->viewport()->height();
    if (chrome < 1)
        chrome = 0;
    const double documentHeight = editor->document()->size().height();
    const int wanted = chrome + int(std::ceil(documentHeight));
    setFixedHeight(std::max(std::min(cap, wanted), minimumNoteHeight()));
    if (revealCursorPending) {
        revealCursorPending = false;
        editor->ensureCursorVisible();
    }
}

bool TextAttachmentWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == editor) {
        if (event->type() == QEvent::FocusIn) {
            scheduleLayout();
            emit focused();
        } else if (event->type() == QEvent::FocusOut) {
            scheduleLayout();
        } else if (event->type() == QEvent::KeyPress) {
            // Tab stays text (and indents lists); Ctrl+Tab leaves, as in other multi-line
            // editors. Escape arrives here only when the window has nothing to cancel.
            const auto *key = static_cast<QKeyEvent *>(event);
            const bool ctrl = key->modifiers() & Qt::ControlModifier;
            if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
                emit leaveRequested(0);
                return true;
            }
            if (ctrl && (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)) {
                const bool back
                    = key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier);
                emit leaveRequested(back ? -1 : 1);
                return true;
            }
        }
    } else if (watched == editor->viewport() && event->type() == QEvent::Resize) {
        scheduleLayout();
    }
    return ResourceWindow::eventFilter(watched, event);
}

void TextAttachmentWidget::resizeEvent(QResizeEvent *event)
{
    ResourceWindow::resizeEvent(event);
    if (event->size().width() != event->oldSize().width())
        scheduleLayout();
}
