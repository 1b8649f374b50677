// Timings of the detail workspace: loading many resources, the content signature that the main
// window reads on every keystroke, and the column preview of a long note.
//
// Run from a release build with QT_QPA_PLATFORM=offscreen.

#include "ItemDetailPanel.h"
#include "ResourceFrame.h"
#include "TextAttachmentWidget.h"
#include "TextColumnPreview.h"

#include "BenchTiming.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

using bench::measure;

void settle()
{
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

QString lines(int count, const QString &prefix)
{
    QStringList list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list << QStringLiteral("%1 %2: planning notes, 会议记录 and a few more words to wrap")
                    .arg(prefix)
                    .arg(i);
    return list.join(QLatin1Char('\n'));
}

QString htmlOf(const QString &plain)
{
    QTextDocument doc;
    doc.setPlainText(plain);
    return doc.toHtml();
}

QList<ContentBlock> manyBlocks(int count)
{
    QList<ContentBlock> blocks;
    for (int i = 0; i < count; ++i) {
        ContentBlock block;
        switch (i % 4) {
        case 0:
        case 1:
            block.type = ContentBlock::Text;
            block.value = htmlOf(lines(3 + i % 10, QStringLiteral("note %1").arg(i)));
            break;
        case 2:
            block.type = ContentBlock::LocalPath;
            block.value = QStringLiteral("/nonexistent/velto-bench/file-%1.pdf").arg(i);
            break;
        default:
            block.type = ContentBlock::WebLink;
            block.value = QStringLiteral("https://example.invalid/page/%1").arg(i);
            block.summary = QStringLiteral("Page %1").arg(i);
            break;
        }
        blocks.append(block);
    }
    return blocks;
}

struct Window {
    QWidget window;
    ItemDetailPanel *panel = nullptr;
    Window()
    {
        auto *layout = new QVBoxLayout(&window);
        panel = new ItemDetailPanel(&window);
        layout->addWidget(panel);
        window.resize(1400, 800);
        window.show();
        settle();
    }
};

// What selecting an item does: its workspace, its content state taken as the clean one, and the
// events until it is on screen; id is the last item id used and moves on with each run.
void measureSelecting(
    Window &w, const QList<ContentBlock> &blocks, const QByteArray &name, int runs, qint64 &id)
{
    measure(
        name.constData(), runs,
        [&] {
            w.panel->clearWorkspace(id);
            ++id;
            settle();
        },
        [&] {
            w.panel->activateWorkspace(id, blocks);
            w.panel->contentState();
            settle();
        });
    std::printf("  resources built after selecting: %d of %d\n", w.panel->builtResourceCount(),
        int(w.panel->resourceFrames().size()));
}

// Scrolling through a thousand resources a page at a time: each step until painted.
void benchScrolling(Window &w)
{
    const qint64 scrolled = 7000;
    w.panel->activateWorkspace(scrolled, manyBlocks(1000));
    settle();
    QScrollBar *bar = w.panel->resourceScrollArea()->verticalScrollBar();
    const int pages = bar->maximum() / qMax(1, bar->pageStep()) + 1;
    // The median alone flatters a step that builds ahead for the next ones: the mean, too.
    const double cpuBefore = bench::threadCpuMs();
    QElapsedTimer whole;
    whole.start();
    measure("scrolling a page down through 1000 blocks (per step)", pages, nullptr, [&] {
        bar->setValue(bar->value() + bar->pageStep());
        settle();
    });
    std::printf("  mean per step: %.3f ms (cpu %.3f ms)\n", whole.nsecsElapsed() / 1e6 / pages,
        (bench::threadCpuMs() - cpuBefore) / pages);
    std::printf(
        "  resources built after scrolling to the end: %d\n", w.panel->builtResourceCount());
    // Leaving that item for a small one and coming back: every built frame is put back.
    const QList<ContentBlock> small = manyBlocks(3);
    measure("switching away from and back to it (1000 frames built)", 7, settle, [&] {
        w.panel->activateWorkspace(scrolled + 1000, small);
        w.panel->activateWorkspace(scrolled, {});
    });
    // A person paging down: a moment of idle time between the steps, in which the next pages are
    // built ahead (not timed).
    const auto idle = [](int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    w.panel->activateWorkspace(scrolled + 2, manyBlocks(1000));
    settle();
    bar->setValue(0);
    idle(400);
    std::printf("  (from %d of %d, a page %d)\n", bar->value(), bar->maximum(), bar->pageStep());
    measure(
        "paging down with 400 ms between the steps (per step)", pages, [&] { idle(400); },
        [&] {
            bar->setValue(bar->value() + bar->pageStep());
            settle();
        });
    // The wheel: three lines a notch, a notch every 16 ms, no idle time.
    w.panel->activateWorkspace(scrolled + 3, manyBlocks(1000));
    settle();
    bar->setValue(0);
    idle(400);
    const int notch = 3 * bar->singleStep();
    measure("turning the wheel, a notch a frame (per notch)", qMin(400, bar->maximum() / notch),
        nullptr, [&] {
            bar->setValue(bar->value() + notch);
            settle();
        });
}

void benchLoading()
{
    Window w;
    for (const int count : {200, 1000}) {
        const QList<ContentBlock> blocks = manyBlocks(count);
        const auto name = [count](const char *what) {
            return QStringLiteral("%1, %2 blocks").arg(QLatin1String(what)).arg(count).toUtf8();
        };
        measure(name("setContentBlocks (call only)").constData(), 7, settle,
            [&] { w.panel->setContentBlocks(blocks); });
        measure(name("setContentBlocks, until shown and laid out").constData(), 7, settle, [&] {
            w.panel->setContentBlocks(blocks);
            settle();
        });
        qint64 id = 100;
        measureSelecting(
            w, blocks, name("selecting a new item: activateWorkspace, signature, shown"), 7, id);
        // What a save right after selecting pays: the exact signature, every unbuilt note's HTML
        // made then (the idle preparation has not started yet).
        measure(
            name("signature text right after selecting (a save at once)").constData(), 5,
            [&] {
                w.panel->clearWorkspace(id);
                ++id;
                w.panel->activateWorkspace(id, blocks);
                settle();
            },
            [&] { w.panel->contentSignature(); });
        measure(
            name("signature text once the idle preparation is done").constData(), 5,
            [&] {
                w.panel->clearWorkspace(id);
                ++id;
                w.panel->activateWorkspace(id, blocks);
                QElapsedTimer idle;
                idle.start();
                while (idle.elapsed() < 2000)
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            },
            [&] { w.panel->contentSignature(); });
    }
    const QList<ContentBlock> blocks = manyBlocks(200);
    measure("activateWorkspace, switching between two cached items", 15, nullptr, [&] {
        static qint64 id = 1;
        w.panel->activateWorkspace(id, blocks);
        id = id == 1 ? 2 : 1;
    });

    benchScrolling(w);
}

// Only the selection of an item with a thousand resources, many times: the figure to profile.
void benchSelecting()
{
    Window w;
    const QList<ContentBlock> blocks = manyBlocks(1000);
    qint64 id = 100;
    measureSelecting(w, blocks, "selecting a new item, 1000 blocks (repeated)", 31, id);
}

// The first item shown in a process: styles, fonts and the note template are made then. Run this
// section alone (`bench_detail first`), or the figure is not the first one.
void benchFirstSelection()
{
    Window w;
    const QList<ContentBlock> blocks = manyBlocks(1000);
    measure("first selection in the process, 1000 blocks, until shown", 1, nullptr, [&] {
        w.panel->activateWorkspace(1, blocks);
        w.panel->contentState();
        settle();
    });
}

void benchSignature()
{
    Window w;
    QString plain;
    int line = 0;
    while (plain.size() < 1000000)
        plain += QStringLiteral("Line %1 of the long note, some words here and there 中文内容\n")
                     .arg(line++);
    ContentBlock big;
    big.type = ContentBlock::Text;
    big.value = htmlOf(plain);
    ContentBlock small;
    small.type = ContentBlock::Text;
    small.value = htmlOf(QStringLiteral("short note"));
    w.panel->setContentBlocks({big, small});
    settle();
    auto *bigNote = qobject_cast<TextAttachmentWidget *>(w.panel->resourceFrames().at(0)->content);
    auto *smallNote
        = qobject_cast<TextAttachmentWidget *>(w.panel->resourceFrames().at(1)->content);
    std::printf("1 MB note: %d lines, %lld characters of text, %lld of HTML\n", line,
        qlonglong(plain.size()), qlonglong(bigNote->html().size()));

    const auto typeInto = [](TextAttachmentWidget *note) {
        QTextCursor cursor = note->textEdit()->textCursor();
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(QStringLiteral("x"));
    };
    measure("contentSignature, 1 MB note unchanged (every keystroke elsewhere)", 21, nullptr,
        [&] { w.panel->contentSignature(); });
    measure(
        "contentSignature after a keystroke in the small note", 21, [&] { typeInto(smallNote); },
        [&] { w.panel->contentSignature(); });
    measure(
        "contentSignature after a keystroke in the 1 MB note", 7, [&] { typeInto(bigNote); },
        [&] { w.panel->contentSignature(); });
    measure("  of which QTextDocument::toHtml of the 1 MB note", 7, nullptr,
        [&] { bigNote->textEdit()->document()->toHtml(); });
    measure(
        "  and the rest (HTML already taken after the keystroke)", 7,
        [&] {
            typeInto(bigNote);
            bigNote->html();
        },
        [&] { w.panel->contentSignature(); });
}

void benchPreview()
{
    QTextDocument doc;
    QFont font;
    font.setPixelSize(14);
    doc.setDefaultFont(font);
    doc.setPlainText(lines(5000, QStringLiteral("line")));
    TextColumnPreview preview;
    bool shown = false;
    measure("TextColumnPreview::prepare, 5,000-line note at 1,100 px", 7, nullptr,
        [&] { shown = preview.prepare(&doc, 1100); });
    std::printf("  preview: %d columns, %d bands, %lld segments, content height %d px, shown %d\n",
        preview.columnCount(), preview.rowCount(), qlonglong(preview.segments().size()),
        preview.contentHeight(), int(shown));
}

// A picture of a thousand resources, scrolled to the middle: `bench_detail shot file.png`.
void screenshot(const QString &path)
{
    Window w;
    w.panel->activateWorkspace(1, manyBlocks(1000));
    settle();
    QScrollBar *bar = w.panel->resourceScrollArea()->verticalScrollBar();
    for (int i = 0; i < 10; ++i) {
        bar->setValue(bar->maximum() / 2);
        settle();
    }
    w.panel->resourceTable()->scrollToItem(w.panel->resourceTable()->item(500, 0));
    settle();
    w.window.grab().save(path);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // Sections to run may be named on the command line: load, select, scroll, signature,
    // preview, and first (only when named).
    const QStringList wanted = app.arguments().mid(1);
    if (wanted.value(0) == QLatin1String("shot")) {
        screenshot(wanted.value(1));
        return 0;
    }
    const auto runs = [&wanted](const char *name) {
        return wanted.isEmpty() || wanted.contains(QLatin1String(name));
    };
    if (runs("load"))
        benchLoading();
    if (wanted.contains(QLatin1String("first")))
        benchFirstSelection();
    if (runs("select"))
        benchSelecting();
    if (runs("scroll")) {
        Window w;
        benchScrolling(w);
    }
    if (runs("signature"))
        benchSignature();
    if (runs("preview"))
        benchPreview();
    return 0;
}
