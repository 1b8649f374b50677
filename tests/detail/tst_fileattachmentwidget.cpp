#include "FileAttachmentWidget.h"
#include "RecordingHostOperations.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTemporaryDir>

using velto::test::typeAndConfirm;

namespace {

Attachment attachmentAt(const QString &location)
{
    Attachment attachment;
    attachment.id = 7;
    attachment.location = location;
    return attachment;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void writePicture(const QString &path, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QVERIFY(image.save(path, "PNG"));
}

// Types into the field as a user would and confirms with Return.
QList<RecordingHostOperations::Request> oneRequest(const char *operation, const QString &argument)
{
    return {{QString::fromLatin1(operation), argument}};
}

} // namespace

class FileAttachmentWidgetTest : public QObject {
    Q_OBJECT

private slots:
    void confirmingCutsTheComment();
    void pathsWithSpacesThatExist();
    void picturePreview();
    void revealAndOpenGoThroughTheHost();
    void activationAndEditing();
};

void FileAttachmentWidgetTest::confirmingCutsTheComment()
{
    FileAttachmentWidget widget(attachmentAt(QString()), nullptr, false);
    widget.show();
    auto *edit = widget.findChild<QLineEdit *>();
    QVERIFY(edit);
    QCOMPARE(edit->placeholderText(), QStringLiteral("文件路径"));
    QSignalSpy changed(&widget, &FileAttachmentWidget::locationChanged);

    typeAndConfirm(edit, QStringLiteral("D:\\资料\\合同.pdf 原件"));
    QCOMPARE(edit->text(), QStringLiteral("D:\\资料\\合同.pdf"));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.first().first().toString(), QStringLiteral("D:\\资料\\合同.pdf"));

    // A space in an earlier component is part of the path; surrounding blanks go.
    typeAndConfirm(edit, QStringLiteral("  D:\\我的 资料\\合同.pdf  "));
    QCOMPARE(widget.location(), QStringLiteral("D:\\我的 资料\\合同.pdf"));
    QCOMPARE(changed.last().first().toString(), QStringLiteral("D:\\我的 资料\\合同.pdf"));

    const ContentBlock block = widget.snapshot();
    QCOMPARE(block.type, int(ContentBlock::LocalPath));
    QCOMPARE(block.value, QStringLiteral("D:\\我的 资料\\合同.pdf"));
    QVERIFY(block.summary.isEmpty());

    FileAttachmentWidget folder(attachmentAt(QStringLiteral("/srv/share")), nullptr, true);
    QVERIFY(folder.isFolder());
    QCOMPARE(folder.location(), QStringLiteral("/srv/share"));
    QCOMPARE(folder.snapshot().summary, QStringLiteral("folder"));
    QCOMPARE(folder.findChild<QLineEdit *>()->placeholderText(), QStringLiteral("文件夹路径"));

    // Loading a block runs the same rule and announces the location.
    QSignalSpy folderChanged(&folder, &FileAttachmentWidget::locationChanged);
    folder.restore({0, 0, 0, 1, QStringLiteral("/srv/other 备用"), QStringLiteral("folder")});
    QCOMPARE(folder.location(), QStringLiteral("/srv/other"));
    QCOMPARE(folderChanged.size(), 1);
}

void FileAttachmentWidgetTest::pathsWithSpacesThatExist()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("my report.pdf"));
    writeFile(file, "%PDF-1.4\n");
    const QString folderPath = dir.filePath(QStringLiteral("年度 资料"));
    QVERIFY(QDir().mkpath(folderPath));

    FileAttachmentWidget widget(attachmentAt(QString()), nullptr, false);
    auto *edit = widget.findChild<QLineEdit *>();
    QSignalSpy changed(&widget, &FileAttachmentWidget::locationChanged);
    typeAndConfirm(edit, file);
    QCOMPARE(edit->text(), file);
    QCOMPARE(changed.last().first().toString(), file);

    // A file that is not there is still read as location plus comment.
    typeAndConfirm(edit, dir.filePath(QStringLiteral("my notes.pdf")));
    QCOMPARE(edit->text(), dir.filePath(QStringLiteral("my")));

    FileAttachmentWidget folder(attachmentAt(QString()), nullptr, true);
    typeAndConfirm(folder.findChild<QLineEdit *>(), folderPath);
    QCOMPARE(folder.location(), folderPath);
}

void FileAttachmentWidgetTest::picturePreview()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString tall = dir.filePath(QStringLiteral("scan-without-suffix"));
    writePicture(tall, 40, 1000);
    const QString small = dir.filePath(QStringLiteral("small.dat"));
    writePicture(small, 30, 50);
    const QString text = dir.filePath(QStringLiteral("notes.png"));
    writeFile(text, "not a picture at all");

    FileAttachmentWidget widget(attachmentAt(tall), nullptr, false);
    widget.resize(400, widget.height());
    widget.show();
    auto *area = widget.findChild<QScrollArea *>();
    QVERIFY(area);
    QCOMPARE(widget.height(), 240);
    QVERIFY(area->isVisible());
    QCOMPARE(area->height(), 204);
    QCOMPARE(area->widget()->height(), 1000);

    auto *edit = widget.findChild<QLineEdit *>();
    typeAndConfirm(edit, small);
    QCOMPARE(widget.height(), 86);
    QVERIFY(area->isVisible());

    // Once a resource is a picture it stays one; an undecodable file just gets no preview.
    typeAndConfirm(edit, text);
    QCOMPARE(widget.height(), 36);
    QVERIFY(!area->isVisible());

    FileAttachmentWidget notPicture(attachmentAt(text), nullptr, false);
    notPicture.show();
    QCOMPARE(notPicture.height(), 36);
    QVERIFY(!notPicture.findChild<QScrollArea *>()->isVisible());

    // A folder never previews, even when told the resource is a picture.
    FileAttachmentWidget folder(attachmentAt(small), nullptr, true);
    folder.show();
    QCOMPARE(folder.height(), 36);
    folder.setImagePreviewEnabled(true);
    QCOMPARE(folder.height(), 36);
}

void FileAttachmentWidgetTest::revealAndOpenGoThroughTheHost()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("合同 原件.pdf"));
    writeFile(file, "x");

    RecordingHostOperations host;
    FileAttachmentWidget fileWidget(attachmentAt(file), nullptr, false);
    fileWidget.revealResource();
    QCOMPARE(host.requests, oneRequest("revealInFileManager", file));

    host.requests.clear();
    FileAttachmentWidget folderWidget(attachmentAt(dir.path()), nullptr, true);
    folderWidget.revealResource();
    QCOMPARE(host.requests, oneRequest("openWithSystem", dir.path()));

    // A relative location is revealed by its absolute path.
    host.requests.clear();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    FileAttachmentWidget relative(attachmentAt(QStringLiteral("合同 原件.pdf")), nullptr, false);
    relative.revealResource();
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(host.requests, oneRequest("revealInFileManager", file));

    host.requests.clear();
    FileAttachmentWidget missing(
        attachmentAt(dir.filePath(QStringLiteral("gone.pdf"))), nullptr, false);
    missing.revealResource();
    FileAttachmentWidget empty(attachmentAt(QString()), nullptr, false);
    empty.revealResource();
    QVERIFY(host.requests.isEmpty());

    // Opening hands over the field's text as it stands.
    auto *edit = fileWidget.findChild<QLineEdit *>();
    edit->setText(file + QStringLiteral("  "));
    fileWidget.openLocation();
    QCOMPARE(host.requests, oneRequest("openWithSystem", file + QStringLiteral("  ")));
}

void FileAttachmentWidgetTest::activationAndEditing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString picture = dir.filePath(QStringLiteral("p.png"));
    writePicture(picture, 300, 120);

    QWidget window;
    auto *widget = new FileAttachmentWidget(attachmentAt(picture), &window, false);
    auto *other = new QLineEdit(&window);
    widget->resize(400, widget->height());
    other->move(0, 300);
    window.resize(400, 400);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    other->setFocus();

    QSignalSpy activated(widget, &FileAttachmentWidget::activated);
    widget->activateResource();
    QTRY_COMPARE(activated.size(), 1);
    QVERIFY(widget->findChild<QLineEdit *>()->hasFocus());

    auto *label = widget->findChild<QScrollArea *>()->widget();
    QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(activated.size(), 2);
    // Beside the picture, in the empty part of the preview band.
    auto *viewport = widget->findChild<QScrollArea *>()->viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, QPoint(viewport->width() - 2, 5));
    QCOMPARE(activated.size(), 3);

    widget->setEditingEnabled(false);
    QVERIFY(!widget->isEnabled());
    widget->setEditingEnabled(true);
    QVERIFY(widget->isEnabled());
}

VELTO_TEST_MAIN(FileAttachmentWidgetTest)
#include "tst_fileattachmentwidget.moc"
