#include "TestSupport.h"
#include "UrlAttachmentWidget.h"
#include "support_net/TestHttpServer.h"

#include <algorithm>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>

using velto::test::TestHttpServer;

namespace {

// CI checks the repository out with the shared folder beside it.
QString corpusFolder()
{
    const QString beside = QFileInfo(QStringLiteral(__FILE__)).absolutePath()
        + QStringLiteral("/../../../shared/corpus/web-pages");
    return QDir(beside).exists() ? QDir(beside).canonicalPath() : QString();
}

} // namespace

class PageSummaryCorpusTest : public QObject {
    Q_OBJECT

private slots:
    void everyPageYieldsASummary();
};

void PageSummaryCorpusTest::everyPageYieldsASummary()
{
    const QString folder = corpusFolder();
    if (folder.isEmpty())
        QSKIP("the web-page corpus (shared/corpus/web-pages beside the repository) is not there");
    const QStringList pages
        = QDir(folder).entryList({QStringLiteral("*.html")}, QDir::Files, QDir::Name);
    QVERIFY(pages.size() >= 100);

    // Served as saved: UTF-8, declared in the header, which outranks any meta charset.
    TestHttpServer server;
    server.fallback = [folder](const QByteArray &path) -> std::optional<TestHttpServer::Response> {
        QFile file(folder + QString::fromUtf8(QByteArray::fromPercentEncoding(path)));
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        TestHttpServer::Response response;
        response.body = file.readAll();
        return response;
    };
    QVERIFY(server.listen());

    // Pages that carry neither a description the rules accept nor a title: they finish quietly
    // with no summary. (005's description sits in a property list, parsely's title in a meta tag
    // of its own vocabulary.)
    const QStringList withoutSummary {QStringLiteral("005-unescape-html-entities.html"),
        QStringLiteral("ol.html"), QStringLiteral("parsely-metadata.html"),
        QStringLiteral("reordering-paragraphs.html")};
    // A few summaries checked word for word: a description, a title, a page that declares
    // gb2312 but is served as UTF-8, and pages over the 1 MiB read limit.
    const QHash<QString, QString> expected {
        {QStringLiteral("003-metadata-preferred.html"), QStringLiteral("Meta name description")},
        {QStringLiteral("metadata-content-missing.html"), QStringLiteral("Title Element")},
        {QStringLiteral("qq.html"),
            QStringLiteral("DeepMind新电脑已可利用记忆自学 人工智能迈上新台阶")},
        {QStringLiteral("title-en-dash.html"),
            QStringLiteral("Lorem ipsum dolor sit amet – My website")},
        {QStringLiteral("yahoo-2.html"),
            QStringLiteral("The latest news and headlines from Yahoo! News. Get breaking news "
                           "stories and in-depth coverage with videos and photos.")},
    };

    QElapsedTimer clock;
    clock.start();
    QStringList failures;
    for (const QString &page : pages) {
        UrlAttachmentWidget widget({}, nullptr);
        auto *network = widget.findChild<QNetworkAccessManager *>();
        QVERIFY(network);
        QSignalSpy finished(network, &QNetworkAccessManager::finished);
        widget.findChild<QLineEdit *>()->setText(server.url(QLatin1Char('/') + page).toString());
        widget.urlEdited();
        // Done when no download of the widget is left in flight (a refresh would start another).
        auto inFlight = [network]() {
            const auto replies = network->findChildren<QNetworkReply *>();
            return std::any_of(replies.cbegin(), replies.cend(),
                [](const QNetworkReply *reply) { return !reply->isFinished(); });
        };
        while (inFlight()) {
            if (!finished.wait(10000)) {
                failures << page + QStringLiteral(": no answer");
                break;
            }
        }
        const QString summary = widget.summary();
        if (withoutSummary.contains(page)) {
            if (!summary.isEmpty())
                failures << page + QStringLiteral(": unexpected summary ") + summary;
            continue;
        }
        const bool sensible = summary.size() >= 3 && summary == summary.simplified()
            && !summary.contains(QChar::ReplacementCharacter)
            && !summary.startsWith(QLatin1Char('<'));
        if (!sensible || (expected.contains(page) && expected.value(page) != summary))
            failures << page + QStringLiteral(": ") + summary;
    }
    qInfo() << pages.size() << "pages in" << clock.elapsed() << "ms";
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QLatin1Char('\n'))));
}

VELTO_TEST_MAIN(PageSummaryCorpusTest)
#include "tst_pagesummarycorpus.moc"
