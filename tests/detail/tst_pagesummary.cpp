#include "PageSummary.h"
#include "TestSupport.h"
#include "support_net/TestHttpServer.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStringEncoder>

using velto::test::TestHttpServer;

namespace {

QByteArray gbk(const QString &text)
{
    QStringEncoder encoder("GBK");
    return encoder.encode(text);
}

// Keeps test limits in force for one test function.
struct LimitsOverride {
    explicit LimitsOverride(const PageDownloadLimits &limits)
        : saved(PageDownloadLimits::current())
    {
        PageDownloadLimits::setCurrent(limits);
    }
    ~LimitsOverride() { PageDownloadLimits::setCurrent(saved); }
    PageDownloadLimits saved;
};

} // namespace

class PageSummaryTest : public QObject {
    Q_OBJECT

private slots:
    void attributesAndPlainText();
    void summaryFromDescriptionOrTitle();
    void refreshTargets();
    void charsetDetection();
    void downloads();
    void downloadLimits();

private:
    PageDownload download(
        QNetworkAccessManager &network, const QUrl &url, int *elapsedMs = nullptr);
};

PageDownload PageSummaryTest::download(
    QNetworkAccessManager &network, const QUrl &url, int *elapsedMs)
{
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = startPageDownload(&network, url);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(20000);
    if (elapsedMs)
        *elapsedMs = int(clock.elapsed());
    const PageDownload result = finishPageDownload(reply);
    delete reply;
    return result;
}

void PageSummaryTest::attributesAndPlainText()
{
    const QString tag
        = QStringLiteral("<meta NAME = \"Description\" data-x='1' content=' a \"quoted\"\n"
                         "value ' property=og:description>");
    QCOMPARE(attributeValue(tag, QStringLiteral("name")), QStringLiteral("Description"));
    QCOMPARE(attributeValue(tag, QStringLiteral("content")), QStringLiteral("a \"quoted\"\nvalue"));
    // Unquoted and missing values are not found.
    QCOMPARE(attributeValue(tag, QStringLiteral("property")), QString());
    QCOMPARE(attributeValue(tag, QStringLiteral("charset")), QString());
    // Attribute names are taken literally, not as patterns.
    QCOMPARE(attributeValue(QStringLiteral("<meta a.b=\"x\" aXb=\"y\">"), QStringLiteral("a.b")),
        QStringLiteral("x"));
    QCOMPARE(attributeValue(
                 QStringLiteral("<meta http-equiv=\"Refresh\">"), QStringLiteral("http-equiv")),
        QStringLiteral("Refresh"));

    QCOMPARE(
        plainHtml(QStringLiteral("  A &amp; B\n\t C&nbsp;&nbsp;D  ")), QStringLiteral("A & B C D"));
    QCOMPARE(plainHtml(QStringLiteral("&lt;b&gt; &#x4E2D;&#25991; <b>bold</b>")),
        QStringLiteral("<b> 中文 bold"));
    QCOMPARE(plainHtml(QString()), QString());
}

void PageSummaryTest::summaryFromDescriptionOrTitle()
{
    const QUrl page(QStringLiteral("http://example.test/a/page.html"));
    auto summaryOf
        = [&](const char *html) { return readPageSummary(QString::fromUtf8(html), page).summary; };

    QCOMPARE(summaryOf("<html><head><title>Title</title>"
                       "<meta name=\"description\" content=\"The description\"></head></html>"),
        QStringLiteral("The description"));
    QCOMPARE(summaryOf("<meta property='Description' content='By property'><title>T</title>"),
        QStringLiteral("By property"));
    QCOMPARE(summaryOf("<meta property=\"og:description\" content=\"Open graph &amp; more\">"),
        QStringLiteral("Open graph & more"));
    // og:description counts only as a property.
    QCOMPARE(
        summaryOf("<meta name=\"og:description\" content=\"Not this\"><title>The title</title>"),
        QStringLiteral("The title"));
    // An empty (or blank after conversion) description gives way to the next one, then the title.
    QCOMPARE(summaryOf("<meta name=\"description\" content=\"\">"
                       "<meta name=\"description\" content=\" <br> \">"
                       "<meta property=\"og:description\" content=\"Second\">"),
        QStringLiteral("Second"));
    QCOMPARE(summaryOf("<META NAME=\"DESCRIPTION\" CONTENT=\"\"><TITLE lang=en>\n  Quarterly\n"
                       "   report &amp; &quot;outlook&quot; &#8212; 2024\n</TITLE>"),
        QStringLiteral("Quarterly report & \"outlook\" \u2014 2024"));
    QCOMPARE(summaryOf("<p>no head at all</p>"), QString());
    QCOMPARE(summaryOf("<title>   </title>"), QString());
    QCOMPARE(summaryOf(""), QString());
    // A page cut off inside its title has no title.
    QCOMPARE(summaryOf("<title>never closed"), QString());
}

void PageSummaryTest::refreshTargets()
{
    const QUrl page(QStringLiteral("http://example.test/a/page.html"));
    auto targetOf = [&](const char *html) {
        const PageSummary summary = readPageSummary(QString::fromUtf8(html), page);
        return summary.refreshTarget;
    };

    QCOMPARE(targetOf("<meta http-equiv=\"refresh\" content=\"0; url=next/b.html\">"),
        QUrl(QStringLiteral("http://example.test/a/next/b.html")));
    QCOMPARE(targetOf("<meta http-equiv='REFRESH' content='5;URL = /root.html '>"),
        QUrl(QStringLiteral("http://example.test/root.html")));
    QCOMPARE(targetOf("<meta http-equiv=\"refresh\" content=\"3\">"
                      "<meta http-equiv=\"refresh\" content=\"0;url=https://other.test/x\">"),
        QUrl(QStringLiteral("https://other.test/x")));
    // A page that refreshes to itself is not followed.
    QCOMPARE(targetOf("<meta http-equiv=\"refresh\" content=\"0; url=page.html\">"), QUrl());
    // With a summary there is nothing to follow.
    const PageSummary both = readPageSummary(
        QStringLiteral("<title>Here</title><meta http-equiv=\"refresh\" content=\"0;url=/x\">"),
        page);
    QCOMPARE(both.summary, QStringLiteral("Here"));
    QVERIFY(both.refreshTarget.isEmpty());
}

void PageSummaryTest::charsetDetection()
{
    const QString chinese = QStringLiteral("中文摘要：季度报告");
    const QByteArray gbkPage = "<meta name=\"description\" content=\"" + gbk(chinese) + "\">";

    QCOMPARE(decodePageText(gbkPage, "text/html; charset=GBK"),
        QString::fromUtf8("<meta name=\"description\" content=\"") + chinese
            + QStringLiteral("\">"));
    QCOMPARE(decodePageText(gbkPage, "text/html;charset=\"gb2312\""),
        QString::fromUtf8("<meta name=\"description\" content=\"") + chinese
            + QStringLiteral("\">"));

    // Without a charset in the header, the page's own meta tag decides.
    const QByteArray metaDeclared = "<html><head><meta http-equiv=\"Content-Type\" "
                                    "content=\"text/html; charset=gb2312\"><title>"
        + gbk(chinese) + "</title>";
    QCOMPARE(readPageSummary(decodePageText(metaDeclared, "text/html"), QUrl()).summary, chinese);
    const QByteArray metaCharset = "<meta charset=GBK><title>" + gbk(chinese) + "</title>";
    QCOMPARE(readPageSummary(decodePageText(metaCharset, QByteArray()), QUrl()).summary, chinese);

    // The header outranks the meta tag, and a byte-order mark outranks both.
    const QByteArray utf8Declared
        = "<meta charset=\"gb2312\"><title>" + chinese.toUtf8() + "</title>";
    QCOMPARE(
        readPageSummary(decodePageText(utf8Declared, "text/html; charset=utf-8"), QUrl()).summary,
        chinese);
    const QByteArray withBom = "\xEF\xBB\xBF<title>" + chinese.toUtf8() + "</title>";
    QCOMPARE(readPageSummary(decodePageText(withBom, "text/html; charset=gbk"), QUrl()).summary,
        chinese);
    QByteArray utf16 = "\xFF\xFE";
    const QString utf16Text = QStringLiteral("<title>") + chinese + QStringLiteral("</title>");
    utf16.append(reinterpret_cast<const char *>(utf16Text.utf16()), utf16Text.size() * 2);
    QCOMPARE(readPageSummary(decodePageText(utf16, QByteArray()), QUrl()).summary, chinese);

    // Unknown names, and a page claiming UTF-16 in ASCII bytes, read as UTF-8.
    const QByteArray plain = "<title>" + chinese.toUtf8() + "</title>";
    QCOMPARE(
        readPageSummary(decodePageText(plain, "text/html; charset=no-such-thing"), QUrl()).summary,
        chinese);
    QCOMPARE(readPageSummary(decodePageText("<meta charset=utf-16>" + plain, QByteArray()), QUrl())
                 .summary,
        chinese);
    // latin1 is read as windows-1252, as browsers do.
    QCOMPARE(decodePageText("caf\xE9 \x93quoted\x94", "text/html; charset=iso-8859-1"),
        QStringLiteral("caf\u00e9 \u201cquoted\u201d"));
}

void PageSummaryTest::downloads()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    QNetworkAccessManager network;

    server.setPage("/page", "<title>Hello</title>");
    PageDownload page = download(network, server.url(QStringLiteral("/page")));
    QVERIFY(page.ok);
    QCOMPARE(page.body, QByteArray("<title>Hello</title>"));
    QCOMPARE(page.contentType, QByteArray("text/html; charset=utf-8"));
    QCOMPARE(server.requests.last().headers.value("user-agent"), QByteArray("Velto/0.1"));

    TestHttpServer::Response moved;
    moved.status = 302;
    moved.extraHeaders.append(qMakePair(QByteArray("Location"), QByteArray("/page")));
    server.setResponse("/old", moved);
    page = download(network, server.url(QStringLiteral("/old")));
    QVERIFY(page.ok);
    QCOMPARE(page.body, QByteArray("<title>Hello</title>"));

    QVERIFY(!download(network, server.url(QStringLiteral("/missing"))).ok);
    TestHttpServer::Response failing;
    failing.status = 500;
    failing.body = "<title>Server error page</title>";
    server.setResponse("/failing", failing);
    QVERIFY(!download(network, server.url(QStringLiteral("/failing"))).ok);
}

void PageSummaryTest::downloadLimits()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    QNetworkAccessManager network;

    // The real size limit: an endless body is cut at 1 MiB and what arrived is kept.
    QCOMPARE(PageDownloadLimits::current().maxBytes, 1024 * 1024);
    QCOMPARE(PageDownloadLimits::current().idleTimeoutMs, 15000);
    QCOMPARE(PageDownloadLimits::current().totalTimeoutMs, 30000);
    TestHttpServer::Response endless;
    endless.mode = TestHttpServer::Response::Endless;
    endless.body = "<html><head><title>Endless</title></head><body>";
    server.setResponse("/endless", endless);
    PageDownload page = download(network, server.url(QStringLiteral("/endless")));
    QVERIFY(page.ok);
    QCOMPARE(page.body.size(), 1024 * 1024);
    QVERIFY(page.body.startsWith(endless.body));
    QCOMPARE(readPageSummary(decodePageText(page.body, page.contentType), QUrl()).summary,
        QStringLiteral("Endless"));
    QVERIFY(server.endlessBytesSent < 64 * 1024 * 1024);

    LimitsOverride limits({4096, 1000, 2500});
    page = download(network, server.url(QStringLiteral("/endless")));
    QVERIFY(page.ok);
    QCOMPARE(page.body.size(), 4096);

    // A body that ends within the limit is kept whole.
    server.setPage("/exact", QByteArray(4096, 'a'));
    page = download(network, server.url(QStringLiteral("/exact")));
    QVERIFY(page.ok);
    QCOMPARE(page.body.size(), 4096);

    // Nothing at all for longer than the idle limit.
    TestHttpServer::Response silent;
    silent.mode = TestHttpServer::Response::NeverAnswer;
    server.setResponse("/silent", silent);
    int elapsed = 0;
    QVERIFY(!download(network, server.url(QStringLiteral("/silent")), &elapsed).ok);
    QVERIFY2(elapsed >= 900 && elapsed < 5000, qPrintable(QString::number(elapsed)));

    // A byte now and then keeps the idle limit away, but not the overall one.
    TestHttpServer::Response trickle;
    trickle.mode = TestHttpServer::Response::Trickle;
    trickle.body = "<title>Slow</title>";
    server.setResponse("/trickle", trickle);
    QVERIFY(!download(network, server.url(QStringLiteral("/trickle")), &elapsed).ok);
    QVERIFY2(elapsed >= 2000 && elapsed < 10000, qPrintable(QString::number(elapsed)));
}

VELTO_TEST_MAIN(PageSummaryTest)
#include "tst_pagesummary.moc"
