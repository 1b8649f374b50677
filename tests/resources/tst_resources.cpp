#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>
#include <QSet>
#include <QStringList>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const QColor lineColour(0x47, 0x54, 0x67);

// Every line icon the program refers to; a missing or misnamed file fails the tests below.
QStringList lineIconNames()
{
    return {
        QStringLiteral("list-add"),
        QStringLiteral("list-branch"),
        QStringLiteral("list-child"),
        QStringLiteral("list-up"),
        QStringLiteral("list-down"),
        QStringLiteral("list-common"),
        QStringLiteral("list-common-filled"),
        QStringLiteral("list-star"),
        QStringLiteral("list-star-filled"),
        QStringLiteral("list-delete"),
        QStringLiteral("list-cancel"),
        QStringLiteral("list-save"),
        QStringLiteral("list-cut"),
        QStringLiteral("list-paste"),
        QStringLiteral("list-export"),
        QStringLiteral("list-import"),
        QStringLiteral("detail-text"),
        QStringLiteral("detail-file"),
        QStringLiteral("detail-image"),
        QStringLiteral("detail-link"),
        QStringLiteral("sidebar-collapse"),
        QStringLiteral("sidebar-expand"),
        QStringLiteral("sidebar-recent"),
        QStringLiteral("sidebar-search"),
        QStringLiteral("sidebar-login"),
        QStringLiteral("sidebar-settings"),
    };
}

QStringList imageNames()
{
    return {QStringLiteral("wechat-pay.jpg"), QStringLiteral("alipay-pay.jpg")};
}

QString iconPath(const QString &name)
{
    return QStringLiteral(":/icons/") + name + QStringLiteral(".svg");
}

// Renders the icon's 24-unit box into the middle of a canvas twice its size, so strokes that
// stray outside the box show up as paint in the margin instead of being cut off silently.
QImage renderWithMargin(QSvgRenderer &renderer, int boxSize)
{
    QImage image(boxSize * 2, boxSize * 2, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(boxSize / 2.0, boxSize / 2.0, boxSize, boxSize));
    painter.end();
    return image;
}

struct PaintCount {
    int inside = 0;
    int outside = 0;
    int opaque = 0;
    int opaqueOffColour = 0;
};

PaintCount countPaint(const QImage &image, int boxSize)
{
    PaintCount count;
    const QRect box(boxSize / 2, boxSize / 2, boxSize, boxSize);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) == 0)
                continue;
            if (box.contains(x, y))
                ++count.inside;
            else
                ++count.outside;
            if (qAlpha(pixel) == 255) {
                ++count.opaque;
                // Where antialiased edges overlap, rounding may move a channel by a step or two.
                const bool near = qAbs(qRed(pixel) - lineColour.red()) <= 3
                    && qAbs(qGreen(pixel) - lineColour.green()) <= 3
                    && qAbs(qBlue(pixel) - lineColour.blue()) <= 3;
                if (!near)
                    ++count.opaqueOffColour;
            }
        }
    }
    return count;
}

} // namespace

class ResourcesTest : public QObject {
    Q_OBJECT

private slots:
    void setIsComplete();
    void lineIconsRender_data();
    void lineIconsRender();
    void lineIconsStrokeStyle_data();
    void lineIconsStrokeStyle();
    void filledVariantsAreFilled();
    void applicationIcon();
    void supportImages();
    void iconsThroughQIcon();
};

void ResourcesTest::setIsComplete()
{
    QSet<QString> expected;
    for (const QString &name : lineIconNames())
        expected.insert(name + QStringLiteral(".svg"));
    expected.insert(QStringLiteral("velto.svg"));
    for (const QString &name : imageNames())
        expected.insert(name);
    QCOMPARE(expected.size(), 29);

    const QStringList present = QDir(QStringLiteral(":/icons")).entryList(QDir::Files);
    const QSet<QString> actual(present.cbegin(), present.cend());
    QCOMPARE(actual - expected, QSet<QString>());
    QCOMPARE(expected - actual, QSet<QString>());
}

void ResourcesTest::lineIconsRender_data()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : lineIconNames())
        QTest::newRow(qPrintable(name)) << name;
}

void ResourcesTest::lineIconsRender()
{
    QFETCH(QString, name);
    QSvgRenderer renderer(iconPath(name));
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.defaultSize(), QSize(24, 24));
    QCOMPARE(renderer.viewBoxF(), QRectF(0, 0, 24, 24));

    for (int boxSize : {24, 96}) {
        const PaintCount paint = countPaint(renderWithMargin(renderer, boxSize), boxSize);
        // Something visible, all of it inside the box, and drawn in the line colour only
        // (a black default fill or a stray colour would show up as off-colour opaque pixels).
        QVERIFY2(paint.inside > boxSize * 2, qPrintable(QString::number(paint.inside)));
        QCOMPARE(paint.outside, 0);
        QVERIFY(paint.opaque > 0);
        QCOMPARE(paint.opaqueOffColour, 0);
    }
}

void ResourcesTest::lineIconsStrokeStyle_data()
{
    lineIconsRender_data();
}

void ResourcesTest::lineIconsStrokeStyle()
{
    QFETCH(QString, name);
    QFile file(iconPath(name));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);

    QVERIFY(xml.readNextStartElement());
    QCOMPARE(xml.name(), QLatin1String("svg"));
    const QXmlStreamAttributes root = xml.attributes();
    QCOMPARE(root.value(QLatin1String("width")), QLatin1String("24"));
    QCOMPARE(root.value(QLatin1String("height")), QLatin1String("24"));
    QCOMPARE(root.value(QLatin1String("viewBox")), QLatin1String("0 0 24 24"));
    QCOMPARE(root.value(QLatin1String("fill")), QLatin1String("none"));
    QCOMPARE(root.value(QLatin1String("stroke")), QLatin1String("#475467"));
    QCOMPARE(root.value(QLatin1String("stroke-width")), QLatin1String("2"));
    QCOMPARE(root.value(QLatin1String("stroke-linecap")), QLatin1String("round"));
    QCOMPARE(root.value(QLatin1String("stroke-linejoin")), QLatin1String("round"));

    // No shape may override the shared style, except for filling in the line colour.
    int shapes = 0;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        ++shapes;
        const QXmlStreamAttributes attributes = xml.attributes();
        const QString where = name + QLatin1Char('/') + xml.name().toString();
        QVERIFY2(!attributes.hasAttribute(QLatin1String("style")), qPrintable(where));
        QVERIFY2(!attributes.hasAttribute(QLatin1String("stroke")), qPrintable(where));
        QVERIFY2(!attributes.hasAttribute(QLatin1String("stroke-width")), qPrintable(where));
        QVERIFY2(!attributes.hasAttribute(QLatin1String("stroke-linecap")), qPrintable(where));
        QVERIFY2(!attributes.hasAttribute(QLatin1String("stroke-linejoin")), qPrintable(where));
        QVERIFY2(!attributes.hasAttribute(QLatin1String("transform")), qPrintable(where));
        if (attributes.hasAttribute(QLatin1String("fill")))
            QCOMPARE(attributes.value(QLatin1String("fill")), QLatin1String("#475467"));
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(shapes > 0);
}

void ResourcesTest::filledVariantsAreFilled()
{
    // The active state of a toggle must look clearly heavier than its outline, not merely differ.
    for (const QString &base : {QStringLiteral("list-common"), QStringLiteral("list-star")}) {
        QSvgRenderer outline(iconPath(base));
        QSvgRenderer filled(iconPath(base + QStringLiteral("-filled")));
        QVERIFY(outline.isValid() && filled.isValid());
        const PaintCount thin = countPaint(renderWithMargin(outline, 96), 96);
        const PaintCount heavy = countPaint(renderWithMargin(filled, 96), 96);
        QVERIFY2(heavy.opaque > thin.opaque * 3 / 2,
            qPrintable(base + QStringLiteral(": %1 vs %2").arg(heavy.opaque).arg(thin.opaque)));
    }
}

void ResourcesTest::applicationIcon()
{
    QSvgRenderer renderer(QStringLiteral(":/icons/velto.svg"));
    QVERIFY(renderer.isValid());
    QCOMPARE(renderer.defaultSize(), QSize(512, 512));
    QCOMPARE(renderer.viewBoxF(), QRectF(0, 0, 512, 512));

    QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    // A coloured mark: the tile is opaque and not grey, the corners outside its rounding are clear.
    const QColor tile = image.pixelColor(32, 58);
    QCOMPARE(tile.alpha(), 255);
    QVERIFY(tile.hsvSaturation() > 60);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
}

void ResourcesTest::supportImages()
{
    for (const QString &name : imageNames()) {
        const QString path = QStringLiteral(":/icons/") + name;
        QImageReader reader(path);
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(path + QLatin1Char(' ') + reader.errorString()));
        // Shown scaled into a square frame; a square source keeps it sharp and uncropped.
        QCOMPARE(image.width(), image.height());
        QVERIFY(image.width() >= 140);
        QVERIFY(QFile(path).size() < 60 * 1024);
    }
}

void ResourcesTest::iconsThroughQIcon()
{
    QStringList paths;
    for (const QString &name : lineIconNames())
        paths << iconPath(name);
    paths << QStringLiteral(":/icons/velto.svg");

    for (const QString &path : paths) {
        const QIcon icon(path);
        QVERIFY2(!icon.isNull(), qPrintable(path));
        // The command bar paints 24 px, the status bar 16 px, and disabled buttons use the
        // Disabled mode.
        for (int size : {16, 24}) {
            for (QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled}) {
                const QImage image = icon.pixmap(size, size, mode).toImage();
                QVERIFY2(!image.isNull(), qPrintable(path));
                QCOMPARE(image.size(), QSize(size, size));
                bool painted = false;
                for (int y = 0; y < image.height() && !painted; ++y)
                    for (int x = 0; x < image.width() && !painted; ++x)
                        painted = qAlpha(image.pixel(x, y)) > 0;
                QVERIFY2(painted, qPrintable(path));
            }
        }
    }
}

VELTO_TEST_MAIN(ResourcesTest)

#include "tst_resources.moc"
