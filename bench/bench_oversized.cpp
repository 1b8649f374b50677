// The window with an item whose texts are absurdly long (a damaged or hostile import): a
// 2,000,000-character name, content line and remark, and a link and a file whose titles are as
// long. (A note of one unbroken 2M-character word is Qt's text layout's own worst case, and a
// 2M-character address sits whole in its line editor: neither is measured here.) Times the start-up
// until the whole window is painted, and selecting that item (and another one) with the sidebar
// open. Goals: window up in < 1 s, the item selected in < 100 ms.
//
// Run from a release build with QT_QPA_PLATFORM=offscreen (scripts/bench).

#include "BenchTiming.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"
#include "TestSupport.h"

#include <QLabel>
#include <QSqlQuery>

using namespace velto::test;

namespace {

void paintWindow(MainWindow *window)
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    window->repaint();
}

constexpr int hugeLength = 2000000;
constexpr qint64 hugeIid = 3;

} // namespace

int main(int argc, char **argv)
{
    prepareEnvironment();
    QApplication app(argc, argv);
    prepareApplication();
    QSettings().setValue(QStringLiteral("navigation/collapsed"), false);

    WindowFixture f(true, false);
    QList<DataItem> items = level(20);
    DataItem &huge = items[hugeIid - 1];
    huge.here = QStringLiteral("长") + QString(hugeLength, QLatin1Char('n'));
    huge.cont = QString(hugeLength, QLatin1Char('c'));
    huge.remark = QString(hugeLength, QLatin1Char('r'));
    huge.favorite = true;
    insertItems(items);
    {
        QList<ContentBlock> blocks(3);
        blocks[0].type = ContentBlock::Text;
        blocks[0].value = QStringLiteral("<p>a short note</p>");
        blocks[1].type = ContentBlock::WebLink;
        blocks[1].value = QStringLiteral("https://example.invalid/page");
        blocks[1].summary = QString(hugeLength, QLatin1Char('s'));
        blocks[2].type = ContentBlock::LocalPath;
        blocks[2].value = QStringLiteral("/tmp/velto-bench-file.txt");
        blocks[2].summary = QString(hugeLength, QLatin1Char('f'));
        f->service().replaceContentBlocks(hugeIid, blocks, nullptr);
        f->service().recordRecent(hugeIid, nullptr);
    }
    f.window.reset();

    std::unique_ptr<MainWindow> window;
    bench::measure(
        "window up, one item with 2M-character texts on the level", 5, [&] { window.reset(); },
        [&] {
            window = std::make_unique<MainWindow>();
            window->show();
            paintWindow(window.get());
        });
    const int hugeRow = int(hugeIid - 1);
    bench::measure(
        "select the item with 2M-character texts", 7, [&] { window->selectRow(0); },
        [&] {
            window->selectRow(hugeRow);
            paintWindow(window.get());
        });
    bench::measure(
        "select an ordinary item after it", 7, [&] { window->selectRow(hugeRow); },
        [&] {
            window->selectRow(0);
            paintWindow(window.get());
        });
    std::printf("status line: %lld characters\n",
        static_cast<long long>(window->statusLabel()->text().size()));
    window.reset();
    return 0;
}
