#pragma once

#include <QList>
#include <QWidget>

#include <functional>
#include <memory>

class QTextDocument;

// Read-only face of a long note: the text flowed into seven-line segments laid side by side in up
// to three columns, so that a long note takes little height. A click hands the document position
// under the mouse to editAtHandler.
class TextColumnPreview : public QWidget {
public:
    // One seven-line piece of the note and the place where it is drawn.
    struct FlowSegment {
        int row = 0;
        int column = 0;
        double top = 0; // document y where the segment starts
        double bottom = 0; // document y where it ends
    };

    explicit TextColumnPreview(QWidget *parent = nullptr);
    ~TextColumnPreview() override;

    // Lays a private copy of source out for the given widget width; true when the note is long
    // enough to be shown as a preview.
    bool prepare(const QTextDocument *source, int width);

    std::function<void(int)> editAtHandler;

    int columnCount() const { return m_columnCount; }
    int columnWidth() const { return m_columnWidth; }
    int rowCount() const { return m_rowCount; }
    double segmentHeight() const { return m_segmentHeight; }
    int contentHeight() const { return m_contentHeight; }
    const QList<FlowSegment> &segments() const { return m_segments; }
    bool hasDocument() const { return m_document != nullptr; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void dropDocument();

    std::unique_ptr<QTextDocument> m_document;
    QList<FlowSegment> m_segments;
    int m_columnCount = 1;
    int m_columnWidth = 0;
    int m_rowCount = 0;
    double m_segmentHeight = 0;
    int m_contentHeight = 0;
};

// The y position of the top of every text line of doc, in document order.
QList<double> lineTops(QTextDocument *doc);
