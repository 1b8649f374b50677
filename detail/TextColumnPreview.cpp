#include "TextColumnPreview.h"

#include "UiMetrics.h"

#include <QAbstractTextDocumentLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int linesPerSegment = 7;
constexpr int maxColumns = 3;

int outerMargin()
{
    return UiMetrics::px(8);
}
int outerPadding()
{
    return UiMetrics::px(6);
}
int preferredColumnWidth()
{
    return UiMetrics::px(340);
}
int columnGap()
{
    return UiMetrics::px(20);
}
int bandGap()
{
    return UiMetrics::px(14);
}

const QColor frameColour(0xb8, 0xc0, 0xcc);
const QColor ruleColour(0xd9, 0xde, 0xe7);

// Whether doc has more than `limit` laid-out lines. Stops as soon as the answer is known, so the
// lazy document layout only has to reach the first few blocks of a long note.
bool hasMoreLinesThan(QTextDocument *doc, int limit)
{
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    int lines = 0;
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        layout->blockBoundingRect(block); // lays the document out up to this block
        if (const QTextLayout *textLayout = block.layout())
            lines += textLayout->lineCount();
        if (lines > limit)
            return true;
    }
    return false;
}

} // namespace

QList<double> lineTops(QTextDocument *doc)
{
    QList<double> tops;
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next()) {
        const QRectF bounds = layout->blockBoundingRect(block);
        const QTextLayout *textLayout = block.layout();
        if (!textLayout)
            continue;
        const int count = textLayout->lineCount();
        for (int i = 0; i < count; ++i)
            tops.append(bounds.top() + textLayout->lineAt(i).y());
    }
    return tops;
}

TextColumnPreview::TextColumnPreview(QWidget *parent)
    : QWidget(parent)
    , m_contentHeight(minimumHeight())
{
}

TextColumnPreview::~TextColumnPreview() = default;

void TextColumnPreview::dropDocument()
{
    m_document.reset();
    m_segments.clear();
    m_rowCount = 0;
    m_segmentHeight = 0;
}

bool TextColumnPreview::prepare(const QTextDocument *source, int width)
{
    const int inner = width - 2 * outerMargin();
    int columns
        = std::min((inner + columnGap()) / (preferredColumnWidth() + columnGap()), maxColumns);
    if (columns < 2)
        columns = 1;

    dropDocument();
    if (!source) {
        update();
        return false;
    }
    m_document.reset(source->clone());
    m_document->setTextWidth(inner);
    if (!hasMoreLinesThan(m_document.get(), linesPerSegment)) {
        dropDocument();
        update();
        return false;
    }

    m_columnCount = columns;
    m_columnWidth = (inner - columnGap() * (columns - 1)) / columns;
    m_document->setTextWidth(m_columnWidth);
    const QList<double> tops = lineTops(m_document.get());
    const qsizetype n = tops.size();
    if (n < linesPerSegment + 1) {
        dropDocument();
        update();
        return false;
    }

    const double documentHeight = m_document->size().height();
    m_segments.append({0, 0, 0.0, tops.at(linesPerSegment)});
    m_segmentHeight = tops.at(linesPerSegment);
    m_rowCount = 1;
    for (qsizetype t = 1, i = linesPerSegment; i < n; ++t, i += linesPerSegment) {
        FlowSegment segment;
        segment.top = tops.at(i);
        segment.bottom = i + linesPerSegment < n ? tops.at(i + linesPerSegment) : documentHeight;
        segment.row = int(t / columns);
        segment.column = int(t % columns);
        m_segments.append(segment);
        m_segmentHeight = std::max(m_segmentHeight, segment.bottom - segment.top);
        m_rowCount = std::max(m_rowCount, segment.row + 1);
    }

    const double bands = bandGap() * (m_rowCount - 1) + m_rowCount * m_segmentHeight;
    m_contentHeight = std::max(minimumHeight(), int(std::ceil(bands)) + 2 * outerPadding());
    update();
    return true;
}

void TextColumnPreview::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(frameColour);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (!m_document)
        return;

    const int margin = outerMargin();
    const int padding = outerPadding();
    painter.setPen(ruleColour);
    for (int i = 1; i < m_rowCount; ++i) {
        const int y = int(padding + (m_segmentHeight + bandGap()) * i - UiMetrics::px(7));
        painter.drawLine(margin, y, width() - margin, y);
    }

    QAbstractTextDocumentLayout *layout = m_document->documentLayout();
    for (const FlowSegment &segment : std::as_const(m_segments)) {
        const double x = margin + segment.column * (m_columnWidth + columnGap());
        const double y = padding + segment.row * (m_segmentHeight + bandGap());
        const double height = segment.bottom - segment.top;
        painter.save();
        painter.setClipRect(QRectF(x, y, m_columnWidth, height));
        painter.translate(x, y - segment.top);
        QAbstractTextDocumentLayout::PaintContext context;
        context.cursorPosition = -1;
        context.clip = QRectF(0, segment.top, m_columnWidth, height);
        layout->draw(&painter, context);
        painter.restore();
        if (segment.column < m_columnCount - 1) {
            painter.setPen(ruleColour);
            const double lineX = x + m_columnWidth + columnGap() / 2.0;
            painter.drawLine(QPointF(lineX, y), QPointF(lineX, y + height));
        }
    }
}

void TextColumnPreview::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_document || !editAtHandler) {
        event->ignore();
        return;
    }
    const QPointF point = event->position();
    const double pitchX = m_columnWidth + columnGap();
    const double pitchY = bandGap() + m_segmentHeight;
    const int column
        = std::clamp(int((point.x() - outerMargin()) / pitchX), 0, std::max(0, m_columnCount - 1));
    const int row
        = std::clamp(int((point.y() - outerPadding()) / pitchY), 0, std::max(0, m_rowCount - 1));
    const int index = column + m_columnCount * row;

    int position = m_document->characterCount() - 1;
    if (index >= 0 && index < m_segments.size()) {
        const FlowSegment &segment = m_segments.at(index);
        const QPointF inDocument(point.x() - outerMargin() - pitchX * column,
            point.y() - (pitchY * row + outerPadding()) + segment.top);
        position = std::max(0, m_document->documentLayout()->hitTest(inDocument, Qt::FuzzyHit));
    }
    // The handler may rebuild this preview; nothing of it is used afterwards.
    editAtHandler(position);
    event->accept();
}
