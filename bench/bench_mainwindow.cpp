// Timings of the main window: rebuilding a level, entering and leaving branches and saving in a
// big tree, keystrokes in the name editor and in a long note, and start-up on a big database.
// Each figure runs from the call until the table is laid out and painted.
//
// Run from a release build with QT_QPA_PLATFORM=offscreen (scripts/bench).

#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "TestSupport.h"
#include "TextAttachmentWidget.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QStandardPaths>
#include <QTextEdit>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace velto::test;

namespace {

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2.0;
}

// Runs `prepare` untimed, then `work` timed, `runs` times; prints the median and the range.
void measure(const char *name, int runs, const std::function<void()> &prepare,
    const std::function<void()> &work)
{
    QList<double> times;
    for (int i = 0; i < runs; ++i) {
        if (prepare)
            prepare();
        QElapsedTimer timer;
        timer.start();
        work();
        times.append(timer.nsecsElapsed() / 1e6);
    }
    const auto [low, high] = std::minmax_element(times.cbegin(), times.cend());
    std::printf("%-58s median %9.3f ms  (min %.3f, max %.3f, %d runs)\n", name, median(times), *low,
        *high, runs);
    std::fflush(stdout);
}

// Deferred steps, layout and a synchronous paint of the table.
void paint(MainWindow *window)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    window->table()->viewport()->repaint();
}

void rawTable(int rows)
{
    QWidget host;
    host.resize(1040, 680);
    auto *table = new QTableWidget(&host);
    table->resize(900, 300);
    table->setColumnCount(4);
    host.show();
    measure(
        qPrintable(QStringLiteral("floor: QTableWidget, %1 rows of plain items").arg(rows)), 7,
        [&] {
            table->setRowCount(0);
            QCoreApplication::processEvents();
        },
        [&] {
            table->setRowCount(rows);
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < 4; ++c)
                    table->setItem(r, c, new QTableWidgetItem(QString::number(r)));
            QCoreApplication::processEvents();
            table->viewport()->repaint();
        });
}

QTextEdit *noteEditor(MainWindow *window)
{
    auto *text = window->detailPanel()->findChild<TextAttachmentWidget *>();
    return text ? text->textEdit() : nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    prepareApplication();

    {
        WindowFixture f;
        for (int n : {1000, 5000}) {
            f.clearItems();
            insertItems(level(n));
            measure(qPrintable(QStringLiteral("refresh of a level of %1 items").arg(n)), 9, nullptr,
                [&] {
                    f->refresh(0, -1);
                    paint(f.window.get());
                });
            rawTable(n);
        }

        f.clearItems();
        insertItems(balancedTree(100000, 10));
        f.reload();
        measure(
            "100k tree: enter a branch", 9, [&] { f->selectRow(4); },
            [&] {
                f->activateRow(4);
                paint(f.window.get());
            });
        f->returnToParent();
        measure(
            "100k tree: return from a branch", 9, [&] { f->activateRow(4); },
            [&] {
                f->returnToParent();
                paint(f.window.get());
            });
        measure(
            "100k tree: save one item", 9,
            [&] {
                f->selectRow(2);
                f.table()->nameEditor(2)->setText(QStringLiteral("x") + QString::number(rand()));
                f->rowTextChanged(2);
            },
            [&] {
                f->saveCurrent();
                paint(f.window.get());
            });
        {
            // The storage part of a save alone: two transactions, each ending with a sync.
            DataItem item = f->levelItems().at(2);
            const QList<ContentBlock> blocks = f->service().contentBlocks(item.iid);
            measure("  of which storage (save + replaceContentBlocks)", 9, nullptr, [&] {
                item.remark = QString::number(rand());
                f->service().save(item, nullptr);
                f->service().replaceContentBlocks(item.iid, blocks, nullptr);
            });
            f.reload();
        }
        measure(
            "keystroke in the name editor", 15,
            [&] {
                if (f->isDirty())
                    f->cancelCurrent();
                f->selectRow(3);
                f.table()->nameEditor(3)->setFocus();
                QCoreApplication::processEvents();
            },
            [&] { QTest::keyClick(f.table()->nameEditor(3), Qt::Key_A); });
        f->cancelCurrent();

        ContentBlock note;
        note.type = ContentBlock::Text;
        note.value = bigNote();
        const qint64 iid = f->levelItems().at(5).iid;
        f->detailPanel()->clearWorkspace(iid);
        f->service().replaceContentBlocks(iid, {note}, nullptr);
        f->refresh(iid, -1);
        paint(f.window.get());
        measure(
            "first keystroke in a 1 MB note (clean -> dirty)", 7,
            [&] {
                if (f->isDirty())
                    f->cancelCurrent();
                paint(f.window.get());
                noteEditor(f.window.get())->setFocus();
            },
            [&] { QTest::keyClick(noteEditor(f.window.get()), Qt::Key_B); });
        measure("further keystroke in a 1 MB note (dirty)", 15, nullptr,
            [&] { QTest::keyClick(noteEditor(f.window.get()), Qt::Key_B); });
        f->cancelCurrent();

        f.window.reset();
        std::unique_ptr<MainWindow> window;
        measure(
            "start-up on a 100k-item database until the table is shown", 5,
            [&] {
                window.reset();
                QCoreApplication::processEvents();
            },
            [&] {
                window = std::make_unique<MainWindow>();
                window->show();
                paint(window.get());
            });
        window.reset();
    }
    return 0;
}
