// Timings of the main window: rebuilding a level, entering and leaving branches and saving in a
// big tree, keystrokes in the name editor and in a long note, and start-up on a big database.
// Each figure runs from the call until the table is laid out and painted.
//
// Run from a release build with QT_QPA_PLATFORM=offscreen (scripts/bench); with --startup-memory
// it only reports the resident memory of one start-up on 100k items, in a fresh process.

#include "BenchTiming.h"
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"
#include "TestSupport.h"
#include "TextAttachmentWidget.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTextEdit>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace velto::test;

namespace {

using bench::measure;

// Deferred steps, layout and a synchronous paint of the table.
void paint(MainWindow *window)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    window->table()->viewport()->repaint();
}

// The whole window, sidebar included.
void paintWindow(MainWindow *window)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    window->repaint();
}

// Resident memory of this process in MB (Linux), or -1.
double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
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

    if (app.arguments().contains(QStringLiteral("--startup-memory"))) {
        // Resident memory of a fresh process that opens the window once on 100k items.
        WindowFixture f(true, false);
        insertItems(balancedTree(100000, 10));
        f.window.reset();
        QSettings().setValue(QStringLiteral("navigation/collapsed"), false);
        const double before = residentMegabytes();
        MainWindow window;
        window.show();
        paintWindow(&window);
        std::printf("resident memory: %.1f MB before start-up, %.1f MB after, on 100k items\n",
            before, residentMegabytes());
        return 0;
    }

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
        // An edited name saved, then the window (or only its table) painted.
        const auto measureSave = [&](const char *label, void (*painter)(MainWindow *)) {
            measure(
                label, 9,
                [&] {
                    f->selectRow(2);
                    f.table()->nameEditor(2)->setText(
                        QStringLiteral("x") + QString::number(rand()));
                    f->rowTextChanged(2);
                },
                [&] {
                    f->saveCurrent();
                    painter(f.window.get());
                });
        };
        measureSave("100k tree: save one item", paint);
        // The sidebar open, its tree showing the branches the table visits.
        f->navigation()->setCollapsed(false);
        paintWindow(f.window.get());
        int jump = 0;
        measure(
            "100k tree: jump from the tree to a deep item", 9,
            [&] { jump = 20000 + 7919 * (rand() % 9); },
            [&] {
                f->navigateToTreeItem(jump);
                paintWindow(f.window.get());
            });
        measure(
            "100k tree: enter a branch, sidebar open", 9,
            [&] {
                f->navigateToTreeItem(3);
                paintWindow(f.window.get());
            },
            [&] {
                f->activateRow(f->currentRowIndex());
                paintWindow(f.window.get());
            });
        measure(
            "100k tree: return from a branch, sidebar open", 9, [&] { f->enterItem(3); },
            [&] {
                f->returnToParent();
                paintWindow(f.window.get());
            });
        measureSave("100k tree: save one item, sidebar open", paintWindow);
        measure("floor: repaint of the whole window, nothing changed", 9, nullptr,
            [&] { paintWindow(f.window.get()); });
        measure("floor: the name search query alone (100 of 100k)", 9, nullptr,
            [&] { f->repository().searchByName(QStringLiteral("项目 1"), 100); });
        measure("100k tree: search by name finding 100 items", 9, nullptr, [&] {
            f->searchByName(QStringLiteral("项目 1"));
            paintWindow(f.window.get());
        });
        {
            NavigationPanel floor;
            floor.resize(216, 600);
            floor.show();
            measure("floor: full tree rebuild, allItems() + setTreeItems", 5, nullptr, [&] {
                floor.setTreeItems(f->repository().allItems());
                QCoreApplication::processEvents();
                floor.repaint();
            });
        }
        f->navigation()->setCollapsed(true);

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

        QSettings().setValue(QStringLiteral("navigation/collapsed"), false);
        measure(
            "start-up on 100k items with the sidebar and its tree open", 5,
            [&] {
                window.reset();
                QCoreApplication::processEvents();
            },
            [&] {
                window = std::make_unique<MainWindow>();
                window->show();
                paintWindow(window.get());
            });
        window.reset();
    }
    // Memory is measured in a process of its own: this one holds what the figures above used.
    std::fflush(stdout);
    QProcess::execute(app.applicationFilePath(), {QStringLiteral("--startup-memory")});
    return 0;
}
