#include "TestSupport.h"

#include "TextColumnPreview.h"

#include <QImage>
#include <QTextBlock>
#include <QTextDocument>

namespace {

// A note of `count` short paragraphs "line 1" … "line N": one text line each at any sensible width.
QString paragraphs(int count)
{
    QStringList lines;
    for (int i = 1; i <= count; ++i)
        lines << QStringLiteral("line %1").arg(i);
    return lines.join(QLatin1Char('\n'));
}

// The widget width that gives the preview `inner` pixels of text width.
int widthForInner(int inner)
{
    return inner + 16;
}

bool hasDarkPixel(const QImage &image, const QRect &area)
{
    const QRect r = area.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (qGray(image.pixel(x, y)) < 128)
                return true;
    return false;
}

} // namespace

class TextColumnPreviewTest : public QObject {
    Q_OBJECT

private slots:
    void shortNotesHaveNoPreview();
    void columnCountFollowsWidth();
    void segmentsFillBandsLeftToRight();
    void paintsEverySegment();
    void clickMapsToDocumentPosition();
};

void TextColumnPreviewTest::shortNotesHaveNoPreview()
{
    TextColumnPreview preview;
    QTextDocument doc;

    doc.setPlainText(paragraphs(7));
    QVERIFY(!preview.prepare(&doc, 600));
    QVERIFY(!preview.hasDocument());

    doc.setPlainText(paragraphs(8));
    QVERIFY(preview.prepare(&doc, 600));
    QVERIFY(preview.hasDocument());
    QCOMPARE(preview.segments().size(), 2);

    // A long note that becomes short again drops its copy.
    doc.setPlainText(QStringLiteral("one line"));
    QVERIFY(!preview.prepare(&doc, 600));
    QVERIFY(!preview.hasDocument());
    QVERIFY(!preview.prepare(nullptr, 600));

    // One paragraph that wraps into more than seven lines counts by its lines, not its blocks.
    QString longParagraph;
    for (int i = 0; i < 120; ++i)
        longParagraph += QStringLiteral("word%1 ").arg(i);
    doc.setPlainText(longParagraph);
    QVERIFY(preview.prepare(&doc, 300));
    QVERIFY(preview.segments().size() >= 2);
}

void TextColumnPreviewTest::columnCountFollowsWidth()
{
    TextColumnPreview preview;
    QTextDocument doc;
    doc.setPlainText(paragraphs(60));

    const QList<QPair<int, int>> cases = {
        {699, 1},
        {700, 2},
        {1059, 2},
        {1060, 3},
        {4000, 3},
        {100, 1},
    };
    for (const auto &[inner, columns] : cases) {
        QVERIFY2(preview.prepare(&doc, widthForInner(inner)), qPrintable(QString::number(inner)));
        QCOMPARE(preview.columnCount(), columns);
        QCOMPARE(preview.columnWidth(), (inner - 20 * (columns - 1)) / columns);
    }
}

void TextColumnPreviewTest::segmentsFillBandsLeftToRight()
{
    TextColumnPreview preview;
    QTextDocument doc;
    doc.setPlainText(paragraphs(22));

    // One column: three segments one under the other, the last one shorter.
    QVERIFY(preview.prepare(&doc, widthForInner(400)));
    QCOMPARE(preview.columnCount(), 1);
    QCOMPARE(preview.segments().size(), 4); // 7 + 7 + 7 + 1 lines
    QCOMPARE(preview.rowCount(), 4);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(preview.segments().at(i).row, i);
        QCOMPARE(preview.segments().at(i).column, 0);
    }
    // Each segment starts where the previous one ended.
    for (int i = 1; i < 4; ++i)
        QCOMPARE(preview.segments().at(i).top, preview.segments().at(i - 1).bottom);
    QCOMPARE(preview.segments().at(0).top, 0.0);
    const double lastHeight = preview.segments().at(3).bottom - preview.segments().at(3).top;
    QVERIFY(lastHeight < preview.segmentHeight());

    // Three columns: lines 1–21 side by side in the first band, line 22 starts the second.
    QVERIFY(preview.prepare(&doc, widthForInner(1100)));
    QCOMPARE(preview.columnCount(), 3);
    QCOMPARE(preview.rowCount(), 2);
    const auto &segments = preview.segments();
    QCOMPARE(segments.size(), 4);
    QCOMPARE(segments.at(1).row, 0);
    QCOMPARE(segments.at(1).column, 1);
    QCOMPARE(segments.at(2).column, 2);
    QCOMPARE(segments.at(3).row, 1);
    QCOMPARE(segments.at(3).column, 0);
    // The preview needs far less height than the note laid out in one column.
    QVERIFY(preview.contentHeight() < 3 * preview.segmentHeight());
    QVERIFY(preview.contentHeight() >= 2 * preview.segmentHeight());
}

void TextColumnPreviewTest::paintsEverySegment()
{
    TextColumnPreview preview;
    QTextDocument doc;
    QFont font;
    font.setPixelSize(14);
    doc.setDefaultFont(font);
    doc.setPlainText(paragraphs(30));
    const int width = widthForInner(1100);
    QVERIFY(preview.prepare(&doc, width));
    preview.resize(width, preview.contentHeight());
    const QImage image = preview.grab().toImage();

    // Every segment shows text at its own place (translation and clipping are right).
    for (const auto &segment : preview.segments()) {
        const int x = 8 + segment.column * (preview.columnWidth() + 20);
        const int y = int(6 + segment.row * (preview.segmentHeight() + 14));
        const QRect area(x, y, preview.columnWidth() / 2, int(segment.bottom - segment.top));
        QVERIFY2(hasDarkPixel(image, area),
            qPrintable(QStringLiteral("segment %1,%2").arg(segment.row).arg(segment.column)));
    }
    // The gap between the columns of a band stays free of text.
    const int gapX = 8 + preview.columnWidth() + 3;
    QVERIFY(!hasDarkPixel(image, QRect(gapX, 8, 4, int(preview.segmentHeight()) - 4)));
}

void TextColumnPreviewTest::clickMapsToDocumentPosition()
{
    TextColumnPreview preview;
    QTextDocument doc;
    doc.setPlainText(paragraphs(22));
    const int width = widthForInner(1100);
    QVERIFY(preview.prepare(&doc, width));
    preview.resize(width, preview.contentHeight());

    QList<int> positions;
    preview.editAtHandler = [&positions](int position) { positions.append(position); };
    const double bandPitch = preview.segmentHeight() + 14;
    const int columnPitch = preview.columnWidth() + 20;

    // First line of the second column: the start of line 8.
    QTest::mouseClick(&preview, Qt::LeftButton, {}, QPoint(8 + columnPitch + 1, 6 + 3));
    QCOMPARE(positions.size(), 1);
    QCOMPARE(doc.findBlock(positions.last()).blockNumber(), 7);
    QVERIFY(positions.last() - doc.findBlockByNumber(7).position() <= 1);

    // Third column, within its first segment: a line of block 14..20.
    QTest::mouseClick(&preview, Qt::LeftButton, {}, QPoint(8 + 2 * columnPitch + 5, 6 + 20));
    QVERIFY(doc.findBlock(positions.last()).blockNumber() >= 14);
    QVERIFY(doc.findBlock(positions.last()).blockNumber() <= 20);

    // Second band, second column has no segment: the end of the note.
    const int secondBandY = int(6 + bandPitch + 3);
    QTest::mouseClick(&preview, Qt::LeftButton, {}, QPoint(8 + columnPitch + 5, secondBandY));
    QCOMPARE(positions.last(), doc.characterCount() - 1);

    // Far below the last band and left of the first column: clamped to band 2, column 1.
    QTest::mouseClick(&preview, Qt::LeftButton, {}, QPoint(1, preview.height() + 500));
    QCOMPARE(doc.findBlock(positions.last()).blockNumber(), 21);

    // Far to the right of the last column in the first band: clamped to column 3.
    QTest::mouseClick(&preview, Qt::LeftButton, {}, QPoint(width + 400, 6 + 3));
    QCOMPARE(doc.findBlock(positions.last()).blockNumber(), 14);

    // Only the left button edits.
    const int before = positions.size();
    QTest::mouseClick(&preview, Qt::RightButton, {}, QPoint(20, 10));
    QCOMPARE(positions.size(), before);
}

VELTO_TEST_MAIN(TextColumnPreviewTest)
#include "tst_textcolumnpreview.moc"
