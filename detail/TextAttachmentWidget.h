#pragma once

#include "ResourceWindow.h"

#include <QFont>
#include <QString>

class QScrollArea;
class QStackedLayout;
class QTextEdit;
class TextColumnPreview;

// A rich-text note of the detail workspace. While the note is being edited, or when it is short,
// it shows its editor; otherwise a column preview that flows the text into seven-line segments.
// Clicking the preview opens the editor at the clicked character.
class TextAttachmentWidget : public ResourceWindow {
    Q_OBJECT

public:
    explicit TextAttachmentWidget(QWidget *parent);

    QString html() const;
    QString plainText() const;
    void setHtml(const QString &html);
    void setReadOnly(bool readOnly);

    ContentBlock snapshot() const override;
    void restore(const ContentBlock &block) override;
    void setEditingEnabled(bool enabled) override;
    void activateResource() override;

    // Ends the note with `text` on a line of its own and an empty line under it, ready for typing.
    void insertTimestampAndFocus(const QString &text);
    // Shows the editor with the cursor at a document position and the keyboard focus in it.
    void editAt(int position);
    // The keyboard's way in: the editor with the cursor where it was last left.
    void startEditing();

    void scheduleLayout();
    void updateLayout();

    QTextEdit *textEdit() const { return editor; }
    TextColumnPreview *columnPreview() const { return preview; }
    bool isPreviewShown() const;

    // Height cap of a note; taller content scrolls.
    static int maximumNoteHeight();

signals:
    void contentChanged();
    void focused();
    // Escape (when there is nothing to cancel) or Ctrl+Tab / Ctrl+Shift+Tab in the editor: the
    // keyboard leaves the note; `step` is 0 to stay on the note, +1 / -1 to move on from it.
    void leaveRequested(int step);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    bool previewAvailable(int width);

    QTextEdit *editor = nullptr;
    TextColumnPreview *preview = nullptr;
    QScrollArea *previewScrollArea = nullptr;
    QStackedLayout *pages = nullptr;
    bool layoutPending = false;
    bool revealCursorPending = false;

    // toHtml() of a long note is slow; the result is kept until the document or its font changes.
    mutable QString cachedHtml;
    mutable QFont cachedHtmlFont;
    mutable bool cachedHtmlValid = false;

    // The preview is laid out again only when the text, the font or the width changed.
    quint64 contentRevision = 0;
    quint64 previewRevision = ~quint64(0);
    int previewWidth = -1;
    QFont previewFont;
    bool previewResult = false;
};
