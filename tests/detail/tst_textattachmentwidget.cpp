#include "TestSupport.h"

#include "TextAttachmentWidget.h"
#include "TextColumnPreview.h"

#include <QClipboard>
#include <QMimeData>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

QString paragraphs(int count)
{
    QStringList lines;
    for (int i = 1; i <= count; ++i)
        lines << QStringLiteral("line %1").arg(i);
    return lines.join(QLatin1Char('\n'));
}

// A shown, active window holding one note plus a button that can take the focus away.
struct NoteWindow {
    QWidget window;
    TextAttachmentWidget *note = nullptr;
    QPushButton *other = nullptr;

    explicit NoteWindow(int width = 600)
    {
        auto *layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        note = new TextAttachmentWidget(&window);
        layout->addWidget(note);
        other = new QPushButton(QStringLiteral("other"), &window);
        layout->addWidget(other);
        layout->addStretch(1);
        window.resize(width, 700);
        window.show();
        window.activateWindow();
    }

    bool ready() { return QTest::qWaitForWindowActive(&window); }

    void blur()
    {
        other->setFocus();
        settle();
    }

    static void settle()
    {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    }
};

} // namespace

class TextAttachmentWidgetTest : public QObject {
    Q_OBJECT

private slots:
    void previewOnlyForLongUnfocusedNotes();
    void clickOnPreviewEditsAtClickedCharacter();
    void heightGrowsShrinksAndIsCapped();
    void widthChangeRelayoutsPreview();
    void pasteReadsMarkdownKeepsHtml();
    void timestampStartsNewLine();
    void htmlIsCurrentWhenChangeIsAnnounced();
};

void TextAttachmentWidgetTest::previewOnlyForLongUnfocusedNotes()
{
    NoteWindow w;
    QVERIFY(w.ready());
    w.note->textEdit()->setPlainText(paragraphs(7));
    w.blur();
    QVERIFY(!w.note->isPreviewShown());

    w.note->textEdit()->setPlainText(paragraphs(8));
    w.settle();
    QVERIFY(w.note->isPreviewShown());

    // Focus in shows the editor, focus out the preview again; activateResource gives the focus up.
    QSignalSpy focused(w.note, &TextAttachmentWidget::focused);
    w.note->editAt(0);
    w.settle();
    QCOMPARE(focused.count(), 1);
    QVERIFY(!w.note->isPreviewShown());
    QVERIFY(w.note->textEdit()->hasFocus());
    w.note->activateResource();
    w.settle();
    QVERIFY(!w.note->textEdit()->hasFocus());
    QVERIFY(w.note->isPreviewShown());
}

void TextAttachmentWidgetTest::clickOnPreviewEditsAtClickedCharacter()
{
    NoteWindow w(1100);
    QVERIFY(w.ready());
    w.note->textEdit()->setPlainText(paragraphs(40));
    w.blur();
    QVERIFY(w.note->isPreviewShown());
    TextColumnPreview *preview = w.note->columnPreview();
    QCOMPARE(preview->columnCount(), 3);

    // Click into the first line of the second column, a few characters in: "line 8".
    const int columnX = 8 + preview->columnWidth() + 20;
    const QFontMetrics metrics(w.note->textEdit()->document()->defaultFont());
    const int xInLine = 4 + metrics.horizontalAdvance(QStringLiteral("li")) + 1;
    QTest::mouseClick(preview, Qt::LeftButton, {}, QPoint(columnX + xInLine, 6 + 8));
    w.settle();

    QTextEdit *editor = w.note->textEdit();
    QVERIFY(!w.note->isPreviewShown());
    QVERIFY(editor->hasFocus());
    const QTextCursor cursor = editor->textCursor();
    QCOMPARE(cursor.block().text(), QStringLiteral("line 8"));
    QVERIFY(cursor.positionInBlock() >= 1 && cursor.positionInBlock() <= 3);

    // Typing goes in at that place.
    QTest::keyClicks(editor, QStringLiteral("X"));
    QCOMPARE(editor->document()->findBlockByNumber(7).text().count(QLatin1Char('X')), 1);
    QVERIFY(w.note->plainText().contains(QStringLiteral("X")));
}

void TextAttachmentWidgetTest::heightGrowsShrinksAndIsCapped()
{
    NoteWindow w;
    QVERIFY(w.ready());
    w.note->editAt(0);
    w.settle();
    const int empty = w.note->height();
    QVERIFY(empty > 0);
    QVERIFY(empty <= 60);

    QTest::keyClicks(w.note->textEdit(), QStringLiteral("a"));
    for (int i = 0; i < 4; ++i)
        QTest::keyClick(w.note->textEdit(), Qt::Key_Return);
    w.settle();
    const int fiveLines = w.note->height();
    QVERIFY(fiveLines > empty);

    // Far more text than fits: capped, and the editor scrolls.
    w.note->textEdit()->setPlainText(paragraphs(200));
    w.settle();
    QCOMPARE(w.note->height(), TextAttachmentWidget::maximumNoteHeight());
    QVERIFY(w.note->textEdit()->verticalScrollBar()->maximum() > 0);

    // The preview of a long note is capped as well.
    w.blur();
    QVERIFY(w.note->isPreviewShown());
    QVERIFY(w.note->height() <= TextAttachmentWidget::maximumNoteHeight());

    // Deleting the text lets the note shrink back to one line.
    w.note->editAt(0);
    w.settle();
    w.note->textEdit()->selectAll();
    QTest::keyClick(w.note->textEdit(), Qt::Key_Delete);
    w.settle();
    QCOMPARE(w.note->height(), empty);
}

void TextAttachmentWidgetTest::widthChangeRelayoutsPreview()
{
    NoteWindow w(1100);
    QVERIFY(w.ready());
    w.note->textEdit()->setPlainText(paragraphs(20));
    w.blur();
    QCOMPARE(w.note->columnPreview()->columnCount(), 3);
    QCOMPARE(w.note->columnPreview()->rowCount(), 1);
    const int wide = w.note->height();

    w.window.resize(500, 700);
    w.settle();
    QVERIFY(w.note->isPreviewShown());
    QCOMPARE(w.note->columnPreview()->columnCount(), 1);
    QCOMPARE(w.note->columnPreview()->width(), w.note->width());
    QVERIFY(w.note->height() > wide);
}

void TextAttachmentWidgetTest::pasteReadsMarkdownKeepsHtml()
{
    NoteWindow w;
    QVERIFY(w.ready());
    QTextEdit *editor = w.note->textEdit();
    w.note->editAt(0);
    w.settle();

    QApplication::clipboard()->setText(QStringLiteral("a **strong** word"));
    QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(w.note->plainText(), QStringLiteral("a strong word"));
    QTextCursor probe(editor->document());
    probe.setPosition(4); // inside "strong"
    QCOMPARE(probe.charFormat().fontWeight(), int(QFont::Bold));
    probe.setPosition(1);
    QVERIFY(probe.charFormat().fontWeight() != int(QFont::Bold));

    // HTML wins over the plain-text form of the same data, and keeps its formatting.
    editor->clear();
    auto *mime = new QMimeData;
    mime->setHtml(QStringLiteral("<i>slanted</i> **not markdown**"));
    mime->setText(QStringLiteral("plain"));
    QApplication::clipboard()->setMimeData(mime);
    QTest::keyClick(editor, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(w.note->plainText(), QStringLiteral("slanted **not markdown**"));
    probe.setPosition(3);
    QVERIFY(probe.charFormat().fontItalic());
}

void TextAttachmentWidgetTest::timestampStartsNewLine()
{
    NoteWindow w;
    QVERIFY(w.ready());
    const QString stamp = QStringLiteral("2024-05-01 08:30:00");
    w.note->insertTimestampAndFocus(stamp);
    w.settle();
    QTextEdit *editor = w.note->textEdit();
    QCOMPARE(w.note->plainText(), stamp + QLatin1Char('\n'));
    QCOMPARE(editor->textCursor().blockNumber(), 1);
    QVERIFY(editor->hasFocus());
    QTest::keyClicks(editor, QStringLiteral("todo"));
    QCOMPARE(w.note->plainText(), stamp + QStringLiteral("\ntodo"));

    // A second stamp starts below the existing text.
    w.note->insertTimestampAndFocus(stamp);
    QCOMPARE(w.note->plainText(), stamp + QStringLiteral("\ntodo\n") + stamp + QLatin1Char('\n'));
    QCOMPARE(editor->textCursor().blockNumber(), 3);
}

void TextAttachmentWidgetTest::htmlIsCurrentWhenChangeIsAnnounced()
{
    NoteWindow w;
    QVERIFY(w.ready());
    const QString before = w.note->html();
    QStringList seen;
    connect(w.note, &TextAttachmentWidget::contentChanged, this,
        [&] { seen << w.note->snapshot().value; });
    w.note->editAt(0);
    QTest::keyClicks(w.note->textEdit(), QStringLiteral("ab"));
    QCOMPARE(seen.size(), 2);
    QVERIFY(seen.at(0).contains(QStringLiteral(">a<")));
    QVERIFY(seen.at(1).contains(QStringLiteral(">ab<")));

    // Undo brings back exactly the HTML of the empty note.
    QTest::keyClick(w.note->textEdit(), Qt::Key_Z, Qt::ControlModifier);
    QTest::keyClick(w.note->textEdit(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(w.note->html(), before);

    // A note built and read before it is ever shown reads the same once shown and styled.
    QWidget parent;
    auto *fresh = new TextAttachmentWidget(&parent);
    fresh->setHtml(QStringLiteral("<p>hello</p>"));
    const QString unshown = fresh->html();
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    w.settle();
    QCOMPARE(fresh->html(), unshown);
}

VELTO_TEST_MAIN(TextAttachmentWidgetTest)
#include "tst_textattachmentwidget.moc"
