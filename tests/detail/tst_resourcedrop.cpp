#include "TestSupport.h"

#include "ItemDetailPanelTestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QUrl>

#include <functional>

using namespace paneltest;

namespace {

void clickCell(QTableWidget *list, int row)
{
    const QRect rect = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
}

std::unique_ptr<QMimeData> urlData(const QList<QUrl> &urls)
{
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(urls);
    return mime;
}

// Sends a drag-enter event to `target`; true when it was accepted. An accepted drag-enter makes
// the widget that took it the target of the drop that follows; leave() ends a drag that does
// not drop.
bool dragEnter(QWidget *target, const QMimeData *mime)
{
    QDragEnterEvent event(QPoint(5, 5), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
    return event.isAccepted();
}

void leave(QWidget *target)
{
    QDragLeaveEvent event;
    QCoreApplication::sendEvent(target, &event);
}

// A whole drag onto `target`: enter, and when that is accepted, drop `dropped` (the entered data
// unless given). True when the drop was accepted.
bool dragAndDrop(QWidget *target, const QMimeData *mime, const QMimeData *dropped = nullptr)
{
    if (!dragEnter(target, mime))
        return false;
    QDropEvent event(
        QPointF(5, 5), Qt::CopyAction, dropped ? dropped : mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(target, &event);
    return event.isAccepted();
}

// Test files: a folder, a 3 MB log, a small Markdown note, a small JSON file and a PNG.
struct DropFiles {
    QTemporaryDir dir;
    QString folder, log, markdown, json, png;

    DropFiles()
    {
        folder = dir.filePath(QStringLiteral("archive"));
        QDir().mkpath(folder);
        log = dir.filePath(QStringLiteral("server.log"));
        QByteArray line("2024-05-01 08:30:00 INFO request served in 12 ms\n");
        QByteArray big;
        while (big.size() < 3 * 1024 * 1024)
            big += line;
        writeFile(log, big);
        markdown = dir.filePath(QStringLiteral("notes.md"));
        writeFile(markdown, "# Plan\n\nSome **bold** words.\n\n- one\n- two\n");
        json = dir.filePath(QStringLiteral("config.json"));
        writeFile(json, "{\n  \"name\": \"velto\",\n  \"tags\": [\"a\", \"<b>\"]\n}\n");
        png = dir.filePath(QStringLiteral("chart.png"));
        QImage image(30, 120, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        image.save(png);
    }
};

} // namespace

class ResourceDropTest : public QObject {
    Q_OBJECT

private slots:
    void dropAddsResourcesInListOrder();
    void textFilesBecomeNotes();
    void dropOntoResourceInsertsAfterIt();
    void refusedDrops();
    void commandsInsertAfterSelection();
    void newNotesEndFullyInView();
};

void ResourceDropTest::dropAddsResourcesInListOrder()
{
    DropFiles files;
    QVERIFY(files.dir.isValid());
    PanelWindow w;
    QVERIFY(w.ready());
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);

    const auto mime = urlData({QUrl::fromLocalFile(files.folder), QUrl::fromLocalFile(files.log),
        QUrl::fromLocalFile(files.markdown)});
    QWidget *viewport = w.panel->resourceScrollArea()->viewport();
    QVERIFY(dragAndDrop(viewport, mime.get()));
    settle();

    // After the note that was selected: folder, file, formatted note, in the dragged order.
    QCOMPARE(w.count(), 4);
    QVERIFY(w.file(1) && w.file(1)->isFolder());
    QCOMPARE(w.file(1)->location(), files.folder);
    QVERIFY(w.file(2) && !w.file(2)->isFolder());
    QCOMPARE(w.file(2)->location(), files.log);
    TextAttachmentWidget *note = w.text(3);
    QVERIFY(note);
    const QTextDocument *doc = note->textEdit()->document();
    QCOMPARE(doc->firstBlock().text(), QStringLiteral("Plan"));
    QCOMPARE(doc->firstBlock().blockFormat().headingLevel(), 1);
    QVERIFY(note->plainText().contains(QStringLiteral("Some bold words.")));
    QVERIFY(!note->plainText().contains(QStringLiteral("**")));
    QCOMPARE(w.selectedIndex(), 3);
    QVERIFY(w.panel->resourceSelectionActive());
    QVERIFY(changed.count() >= 3);

    const QList<ContentBlock> saved = w.panel->contentBlocks();
    QCOMPARE(saved.size(), 4);
    QCOMPARE(saved.at(1).summary, QStringLiteral("folder"));
    QCOMPARE(saved.at(2).type, int(ContentBlock::LocalPath));
    QCOMPARE(saved.at(3).type, int(ContentBlock::Text));

    // The list names them after the files.
    QCOMPARE(w.panel->resourceTable()->item(1, 1)->text(), QStringLiteral("archive"));
    QCOMPARE(w.panel->resourceTable()->item(2, 1)->text(), QStringLiteral("server.log"));
}

void ResourceDropTest::textFilesBecomeNotes()
{
    DropFiles files;
    QVERIFY(files.dir.isValid());
    PanelWindow w;
    QVERIFY(w.ready());

    // JSON is read in as preformatted text, markup characters kept as text.
    const auto jsonDrop = urlData({QUrl::fromLocalFile(files.json)});
    QVERIFY(dragAndDrop(w.panel->resourceScrollArea()->viewport(), jsonDrop.get()));
    QCOMPARE(w.count(), 2);
    TextAttachmentWidget *note = w.text(1);
    QVERIFY(note);
    QFile json(files.json);
    QVERIFY(json.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(note->plainText() + QLatin1Char('\n'), QString::fromUtf8(json.readAll()));
    const QTextCharFormat format = note->textEdit()->document()->firstBlock().charFormat();
    QVERIFY(format.fontFixedPitch()
        || format.fontFamilies().toStringList().contains(QStringLiteral("monospace")));

    // A picture becomes a file resource showing the picture.
    const auto pngDrop = urlData({QUrl::fromLocalFile(files.png)});
    QVERIFY(dragAndDrop(w.panel->resourceScrollArea()->viewport(), pngDrop.get()));
    settle();
    QCOMPARE(w.count(), 3);
    FileAttachmentWidget *picture = w.file(2);
    QVERIFY(picture);
    QVERIFY(!picture->isFolder());
    QCOMPARE(picture->height(), 36 + 120);

    // A text file whose name says otherwise is still read by its content; a file that cannot be
    // read in is attached as a file.
    const QString odd = files.dir.filePath(QStringLiteral("readme.bin"));
    writeFile(odd, "just words\n");
    const QString locked = files.dir.filePath(QStringLiteral("locked.txt"));
    writeFile(locked, "secret\n");
    QFile::setPermissions(locked, QFileDevice::WriteOwner);
    const bool unreadable = !QFile(locked).open(QIODevice::ReadOnly);
    const auto mixed = urlData({QUrl::fromLocalFile(odd), QUrl::fromLocalFile(locked)});
    QVERIFY(dragAndDrop(w.panel->resourceScrollArea()->viewport(), mixed.get()));
    QCOMPARE(w.count(), 5);
    QVERIFY(w.text(3));
    QCOMPARE(w.text(3)->plainText(), QStringLiteral("just words"));
    if (unreadable) // running as root reads everything
        QVERIFY(w.file(4));
}

void ResourceDropTest::dropOntoResourceInsertsAfterIt()
{
    DropFiles files;
    QVERIFY(files.dir.isValid());
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({textBlock(QStringLiteral("a")), textBlock(QStringLiteral("b")),
        textBlock(QStringLiteral("c"))});
    settle();
    QCOMPARE(w.selectedIndex(), 2);

    // Onto the first note's editor: the new resource follows that note.
    const auto mime = urlData({QUrl::fromLocalFile(files.folder)});
    QWidget *target = w.text(0)->textEdit()->viewport();
    QVERIFY(dragAndDrop(target, mime.get()));
    QCOMPARE(w.count(), 4);
    QVERIFY(w.file(1));
    QCOMPARE(w.text(2)->plainText(), QStringLiteral("b"));
    QCOMPARE(w.selectedIndex(), 1);

    // Onto a file's location field.
    const auto second = urlData({QUrl::fromLocalFile(files.png)});
    QVERIFY(dragAndDrop(w.file(1)->findChild<QLineEdit *>(), second.get()));
    QCOMPARE(w.count(), 5);
    QCOMPARE(w.file(2)->location(), files.png);

    // The new resource is scrolled into view even at the end of a long workspace.
    QList<ContentBlock> many;
    for (int i = 0; i < 30; ++i)
        many << textBlock(QStringLiteral("n%1").arg(i));
    w.panel->setContentBlocks(many);
    settle();
    const auto third = urlData({QUrl::fromLocalFile(files.folder)});
    QVERIFY(dragAndDrop(w.panel->resourceScrollArea()->viewport(), third.get()));
    settle();
    QCOMPARE(w.count(), 31);
    QWidget *added = w.content(30);
    QScrollArea *area = w.panel->resourceScrollArea();
    QVERIFY(area->verticalScrollBar()->value() > 0);
    const QPoint top = added->mapTo(area->viewport(), QPoint(0, 0));
    QVERIFY(top.y() >= 0);
    QVERIFY(top.y() + added->height() <= area->viewport()->height());
}

void ResourceDropTest::refusedDrops()
{
    DropFiles files;
    QVERIFY(files.dir.isValid());
    PanelWindow w;
    QVERIFY(w.ready());
    QWidget *viewport = w.panel->resourceScrollArea()->viewport();
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);

    // A browser link is refused on the workspace, on a note and on the panel.
    const auto web = urlData({QUrl(QStringLiteral("https://example.invalid/page"))});
    QVERIFY(!dragEnter(viewport, web.get()));
    QVERIFY(!dragEnter(w.panel, web.get()));
    // So is a local path that does not exist.
    const auto missing = urlData({QUrl::fromLocalFile(files.dir.filePath(QStringLiteral("no")))});
    QVERIFY(!dragEnter(viewport, missing.get()));
    QVERIFY(!dragEnter(w.panel, missing.get()));
    // A drop that arrives anyway without a usable file is ignored.
    const auto local = urlData({QUrl::fromLocalFile(files.folder)});
    QVERIFY(!dragAndDrop(viewport, local.get(), web.get()));
    QVERIFY(!dragAndDrop(w.panel, local.get(), missing.get()));
    QCOMPARE(w.count(), 1);
    QCOMPARE(changed.count(), 0);

    // Mixed with an existing file, only the existing file is added.
    const auto mixed = urlData({QUrl(QStringLiteral("https://example.invalid/page")),
        QUrl::fromLocalFile(files.dir.filePath(QStringLiteral("no"))),
        QUrl::fromLocalFile(files.png)});
    QVERIFY(dragAndDrop(w.panel, mixed.get()));
    QCOMPARE(w.count(), 2);
    QCOMPARE(w.file(1)->location(), files.png);

    // While the workspace is read-only nothing is accepted, not even a drop already under way.
    QVERIFY(dragEnter(viewport, local.get()));
    w.panel->setContentEditable(false);
    QDropEvent late(QPointF(5, 5), Qt::CopyAction, local.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &late);
    QVERIFY(!late.isAccepted());
    QVERIFY(!dragEnter(viewport, local.get()));
    QVERIFY(!dragEnter(w.panel, local.get()));
    QVERIFY(!dragEnter(w.text(0)->textEdit()->viewport(), local.get()));
    QCOMPARE(w.count(), 2);
    leave(viewport);
}

void ResourceDropTest::commandsInsertAfterSelection()
{
    DropFiles files;
    QVERIFY(files.dir.isValid());
    PanelWindow w;
    QVERIFY(w.ready());
    w.panel->setContentBlocks({textBlock(QStringLiteral("a")), textBlock(QStringLiteral("b")),
        textBlock(QStringLiteral("c"))});
    settle();

    // With the second of three picked, a file goes third and becomes the picked one.
    clickCell(w.panel->resourceTable(), 1);
    QSignalSpy changed(w.panel, &ItemDetailPanel::detailChanged);
    w.panel->addPathAttachment(false, files.log);
    QCOMPARE(w.count(), 4);
    QCOMPARE(w.file(2)->location(), files.log);
    QCOMPARE(w.selectedIndex(), 2);
    QVERIFY(w.panel->resourceSelectionActive());
    QCOMPARE(w.panel->resourceTable()->currentRow(), 2);
    settle();
    // Once when added; showing the resource it already chose is no further change.
    QVERIFY(changed.count() >= 1);

    // A stamped note after the last resource: the time, then an empty line with the cursor.
    clickCell(w.panel->resourceTable(), 3);
    w.panel->addTimestampedTextAttachment();
    settle();
    QCOMPARE(w.count(), 5);
    TextAttachmentWidget *stamped = w.text(4);
    QVERIFY(stamped);
    const QStringList lines = stamped->plainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$"))
                .match(lines.at(0))
                .hasMatch());
    QCOMPARE(lines.at(1), QString());
    QCOMPARE(stamped->textEdit()->textCursor().blockNumber(), 1);
    QVERIFY(stamped->textEdit()->hasFocus());
    QCOMPARE(w.selectedIndex(), 4);

    // A link starts empty with the keyboard in its address field; empty, it is not saved.
    clickCell(w.panel->resourceTable(), 0);
    const int blocksBefore = int(w.panel->contentBlocks().size());
    w.panel->addUrlAttachment();
    settle();
    QVERIFY(w.link(1));
    QCOMPARE(w.selectedIndex(), 1);
    QCOMPARE(QApplication::focusWidget(), w.link(1)->findChild<QLineEdit *>());
    QCOMPARE(w.panel->contentBlocks().size(), blocksBefore);

    // A plain note after the picked one.
    w.panel->addTextAttachment();
    QVERIFY(w.text(2));
    QCOMPARE(w.selectedIndex(), 2);
    QCOMPARE(w.count(), 7);
}

// With the top of a long workspace in view, a note added after the last resource ends fully
// visible once every deferred layout has run, the cursor line of a stamped note included.
void ResourceDropTest::newNotesEndFullyInView()
{
    DropFiles files;
    QVERIFY(files.dir.isValid());
    PanelWindow w;
    QVERIFY(w.ready());
    QScrollArea *area = w.panel->resourceScrollArea();
    QList<ContentBlock> many;
    for (int i = 0; i < 30; ++i)
        many << textBlock(QStringLiteral("n%1").arg(i));
    const QList<std::function<void()>> adds {
        [&w] { w.panel->addTimestampedTextAttachment(); },
        [&] {
            const auto drop = urlData({QUrl::fromLocalFile(files.json)});
            QVERIFY(dragAndDrop(area->viewport(), drop.get()));
        },
        [&] {
            const auto drop = urlData({QUrl::fromLocalFile(files.markdown)});
            QVERIFY(dragAndDrop(area->viewport(), drop.get()));
        },
    };
    for (int i = 0; i < adds.size(); ++i) {
        w.panel->setContentBlocks(many);
        settle();
        area->verticalScrollBar()->setValue(0);
        adds.at(i)();
        QTest::qWait(50);
        settle();
        QCOMPARE(w.count(), 31);
        TextAttachmentWidget *note = w.text(30);
        QVERIFY2(note, qPrintable(QString::number(i)));
        const int viewport = area->viewport()->height();
        const int top = note->mapTo(area->viewport(), QPoint(0, 0)).y();
        QVERIFY2(top >= 0 && top + note->height() <= viewport,
            qPrintable(QStringLiteral("add %1: note at %2..%3, viewport %4")
                           .arg(i)
                           .arg(top)
                           .arg(top + note->height())
                           .arg(viewport)));
        if (note->textEdit()->hasFocus()) {
            const QRect cursor = note->textEdit()->cursorRect();
            const QPoint bottom
                = note->textEdit()->viewport()->mapTo(area->viewport(), cursor.bottomLeft());
            QVERIFY(bottom.y() < viewport);
        }
    }
}

VELTO_TEST_MAIN(ResourceDropTest)
#include "tst_resourcedrop.moc"
