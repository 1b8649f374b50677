#include "ResourceLocation.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

class ResourceLocationTest : public QObject {
    Q_OBJECT

private slots:
    void linksCommentAtFirstSpace();
    void pathsCommentInLastComponent();
    void existingEntriesKeepTheirSpaces();
    void classification();
};

void ResourceLocationTest::linksCommentAtFirstSpace()
{
    QCOMPARE(resourceCommentPosition(QString()), -1);
    QCOMPARE(resourceLocationComment(QString()), QString());

    QCOMPARE(resourceCommentPosition(QStringLiteral("https://host/page")), -1);
    QVERIFY(resourceLocationComment(QStringLiteral("https://host/page")).isEmpty());

    const QString withComment = QStringLiteral("https://host/page 季度报告");
    QCOMPARE(resourceCommentPosition(withComment), 17);
    QCOMPARE(resourceLocationComment(withComment), QStringLiteral("季度报告"));
    QCOMPARE(resourceLocationWithoutComment(withComment), QStringLiteral("https://host/page"));

    // The head reads as an http address, so even a relative-looking text is cut at its first space,
    // and the comment keeps its inner spaces.
    const QString twoSpaces = QStringLiteral("docs/a  说明 文字");
    QCOMPARE(resourceCommentPosition(twoSpaces), 6);
    QCOMPARE(resourceLocationComment(twoSpaces), QStringLiteral("说明 文字"));

    // Surrounding white space is the caller's; the comment function trims on its own.
    QCOMPARE(
        resourceLocationComment(QStringLiteral("  https://h/p   note  ")), QStringLiteral("note"));
    QCOMPARE(resourceLocationWithoutComment(QStringLiteral("  https://h/p   note  ")),
        QStringLiteral("https://h/p"));

    // Only a plain space separates; a tab inside the last component is part of the name.
    QCOMPARE(resourceCommentPosition(QStringLiteral("/data/a\tb")), -1);
}

void ResourceLocationTest::pathsCommentInLastComponent()
{
    const QString windowsPath = QStringLiteral("D:\\资料\\合同.pdf 原件");
    QCOMPARE(resourceLocationComment(windowsPath), QStringLiteral("原件"));
    QCOMPARE(resourceLocationWithoutComment(windowsPath), QStringLiteral("D:\\资料\\合同.pdf"));

    QCOMPARE(resourceCommentPosition(QStringLiteral("D:\\我的 资料\\合同.pdf")), -1);
    QCOMPARE(resourceCommentPosition(QStringLiteral("D:/资料/")), -1);
    QCOMPARE(resourceCommentPosition(QStringLiteral("/srv/my docs/report.doc")), -1);

    // A missing file whose own name has a space is still read as location plus comment.
    QCOMPARE(resourceLocationWithoutComment(QStringLiteral("D:\\docs\\my report.doc")),
        QStringLiteral("D:\\docs\\my"));

    const QString ftp = QStringLiteral("ftp://host/file.txt note");
    QCOMPARE(resourceLocationComment(ftp), QStringLiteral("note"));
    QCOMPARE(resourcePathCommentPosition(ftp), 19);
}

void ResourceLocationTest::existingEntriesKeepTheirSpaces()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("my report.pdf"));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.close();
    const QString folder = dir.filePath(QStringLiteral("项目 资料"));
    QVERIFY(QDir().mkpath(folder));

    QCOMPARE(resourceCommentPosition(file), -1);
    QCOMPARE(resourcePathCommentPosition(file), -1);
    QVERIFY(resourceLocationComment(file).isEmpty());
    QCOMPARE(resourceLocationWithoutComment(QStringLiteral("  ") + file), file);

    ResourceLocation fileLocation = classifyResourceLocation(file);
    QCOMPARE(fileLocation.type, 1);
    QCOMPARE(fileLocation.value, file);
    QVERIFY(fileLocation.summary.isEmpty());

    ResourceLocation folderLocation = classifyResourceLocation(folder + QLatin1Char(' '));
    QCOMPARE(folderLocation.value, folder);
    QCOMPARE(folderLocation.summary, QStringLiteral("folder"));

    // Text that does not exist as a whole still follows the comment rule.
    const QString missing = dir.filePath(QStringLiteral("my notes.pdf"));
    QCOMPARE(resourceLocationWithoutComment(missing), dir.filePath(QStringLiteral("my")));
}

void ResourceLocationTest::classification()
{
    ResourceLocation empty = classifyResourceLocation(QStringLiteral("   "));
    QCOMPARE(empty.type, 1);
    QVERIFY(empty.value.isEmpty());
    QVERIFY(empty.summary.isEmpty());

    ResourceLocation link = classifyResourceLocation(QStringLiteral("https://host/page 季度报告"));
    QCOMPARE(link.type, 2);
    QCOMPARE(link.value, QStringLiteral("https://host/page"));
    QVERIFY(link.summary.isEmpty());

    ResourceLocation word = classifyResourceLocation(QStringLiteral("abc def"));
    QCOMPARE(word.type, 2);
    QCOMPARE(word.value, QStringLiteral("abc"));

    for (const char *other :
        {"ftp://host/file.txt note", "mailto:someone@example.org", "file:///tmp/x.txt"}) {
        const ResourceLocation location = classifyResourceLocation(QString::fromLatin1(other));
        QVERIFY2(location.type == 1, other);
    }
    QCOMPARE(classifyResourceLocation(QStringLiteral("ftp://host/file.txt note")).value,
        QStringLiteral("ftp://host/file.txt"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ResourceLocation folder = classifyResourceLocation(dir.path() + QStringLiteral(" 系统目录"));
    QCOMPARE(folder.type, 1);
    QCOMPARE(folder.value, dir.path());
    QCOMPARE(folder.summary, QStringLiteral("folder"));

    ResourceLocation missing = classifyResourceLocation(dir.filePath(QStringLiteral("gone.txt")));
    QCOMPARE(missing.type, 1);
    QVERIFY(missing.summary.isEmpty());
}

VELTO_TEST_MAIN_CORE(ResourceLocationTest)
#include "tst_resourcelocation.moc"
