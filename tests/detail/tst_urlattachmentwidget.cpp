#include "PageSummary.h"
#include "RecordingHostOperations.h"
#include "TestSupport.h"
#include "UrlAttachmentWidget.h"
#include "support_net/TestHttpServer.h"

#include <algorithm>

#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QStringEncoder>

using velto::test::TestHttpServer;

using velto::test::typeAndConfirm;

namespace {

// True while a summary download of the widget has not finished.
bool downloadInFlight(const UrlAttachmentWidget &widget)
{
    const auto replies
        = widget.findChild<QNetworkAccessManager *>()->findChildren<QNetworkReply *>();
    return std::any_of(replies.cbegin(), replies.cend(),
        [](const QNetworkReply *reply) { return !reply->isFinished(); });
}

QByteArray page(const QByteArray &head)
{
    return "<!doctype html><html><head>" + head + "</head><body><p>Body text</p></body></html>";
}

} // namespace

class UrlAttachmentWidgetTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void commentBecomesTheSummary();
    void fetchedSummaries();
    void refreshPages();
    void misbehavingServers();
    void staleRepliesAreIgnored();
    void blocksHostAndFocus();

private:
    TestHttpServer *server = nullptr;
    QScopedPointer<TestHttpServer> serverHolder;
    QString address(const char *path) const
    {
        return server->url(QString::fromLatin1(path)).toString();
    }
};

void UrlAttachmentWidgetTest::init()
{
    serverHolder.reset(new TestHttpServer);
    server = serverHolder.data();
    QVERIFY(server->listen());
    server->setPage("/desc",
        page("<title>Title</title><meta name=\"description\" content=\"The description\">"));
    server->setPage("/other", page("<meta name=\"description\" content=\"Other page\">"));
    server->setPage("/og-property",
        page("<meta property=\"og:description\" content=\"Open graph text\"><title>T</title>"));
    server->setPage("/og-name",
        page("<meta name=\"og:description\" content=\"Not counted\"><title>Named title</title>"));
    server->setPage("/empty-desc",
        page("<meta name=\"description\" content=\"\"><title>Only the title</title>"));
    server->setPage("/multiline",
        page("<title>\n   Annual\n   report &amp; &lt;draft&gt; &#8212; caf&eacute;\n</title>"));
    server->setPage("/nothing", page("<style>p{}</style>"));
}

void UrlAttachmentWidgetTest::commentBecomesTheSummary()
{
    UrlAttachmentWidget widget({}, nullptr);
    auto *edit = widget.findChild<QLineEdit *>();
    QCOMPARE(edit->placeholderText(), QStringLiteral("输入或粘贴 URL"));
    QSignalSpy located(&widget, &UrlAttachmentWidget::locationChanged);
    QSignalSpy summarised(&widget, &UrlAttachmentWidget::summaryChanged);

    const QString link = address("/desc");
    typeAndConfirm(edit, link + QStringLiteral(" 公司官网"));
    QCOMPARE(edit->text(), link);
    QCOMPARE(edit->cursorPosition(), 0);
    QCOMPARE(widget.location(), link);
    QCOMPARE(widget.summary(), QStringLiteral("公司官网"));
    QCOMPARE(located.size(), 1);
    QCOMPARE(located.first().first().toString(), link);
    QVERIFY(summarised.isEmpty());

    // The same link again keeps the summary and says so; nothing is fetched at any point.
    typeAndConfirm(edit, link);
    QCOMPARE(widget.summary(), QStringLiteral("公司官网"));
    QCOMPARE(located.size(), 1);
    QCOMPARE(summarised.size(), 1);
    QCOMPARE(summarised.first().first().toString(), QStringLiteral("公司官网"));
    QTest::qWait(150);
    QVERIFY(server->requests.isEmpty());

    const ContentBlock block = widget.snapshot();
    QCOMPARE(block.type, int(ContentBlock::WebLink));
    QCOMPARE(block.value, link);
    QCOMPARE(block.summary, QStringLiteral("公司官网"));

    // Loading a block fetches nothing and announces nothing.
    UrlAttachmentWidget loaded({}, nullptr);
    QSignalSpy loadedLocated(&loaded, &UrlAttachmentWidget::locationChanged);
    loaded.restore({0, 0, 0, 2, address("/other"), QStringLiteral("  我的标题 ")});
    QCOMPARE(loaded.summary(), QStringLiteral("我的标题"));
    QCOMPARE(loaded.snapshot().value, address("/other"));
    QVERIFY(loadedLocated.isEmpty());

    // No location, no summary.
    loaded.restore({0, 0, 0, 2, QString(), QStringLiteral("orphan")});
    QVERIFY(loaded.summary().isEmpty());
    QVERIFY(loaded.snapshot().summary.isEmpty());
    QTest::qWait(150);
    QVERIFY(server->requests.isEmpty());

    // Other schemes are never fetched.
    UrlAttachmentWidget ftp({}, nullptr);
    typeAndConfirm(ftp.findChild<QLineEdit *>(),
        QStringLiteral("ftp://127.0.0.1:%1/desc").arg(server->port()));
    QTest::qWait(150);
    QVERIFY(server->requests.isEmpty());
    QVERIFY(ftp.summary().isEmpty());
}

void UrlAttachmentWidgetTest::fetchedSummaries()
{
    UrlAttachmentWidget widget({}, nullptr);
    auto *edit = widget.findChild<QLineEdit *>();
    QSignalSpy located(&widget, &UrlAttachmentWidget::locationChanged);
    QSignalSpy summarised(&widget, &UrlAttachmentWidget::summaryChanged);

    typeAndConfirm(edit, address("/desc"));
    QCOMPARE(located.size(), 1);
    QTRY_COMPARE(widget.summary(), QStringLiteral("The description"));
    QCOMPARE(summarised.size(), 1);
    QCOMPARE(summarised.first().first().toString(), QStringLiteral("The description"));
    QCOMPARE(server->requests.size(), 1);
    QCOMPARE(server->requests.first().headers.value("user-agent"), QByteArray("Velto/0.1"));

    // A changed link without a comment drops the old summary and fetches the new page.
    const struct {
        const char *path;
        QString summary;
    } cases[] = {
        {"/og-property", QStringLiteral("Open graph text")},
        {"/og-name", QStringLiteral("Named title")},
        {"/empty-desc", QStringLiteral("Only the title")},
        {"/multiline", QStringLiteral("Annual report & <draft> \u2014 caf\u00e9")},
    };
    for (const auto &c : cases) {
        typeAndConfirm(edit, address(c.path));
        QVERIFY(widget.summary().isEmpty());
        QTRY_COMPARE(widget.summary(), c.summary);
        QCOMPARE(edit->text(), address(c.path));
    }

    // A page with nothing to show leaves the summary empty, silently.
    const int before = summarised.size();
    typeAndConfirm(edit, address("/nothing"));
    QTRY_COMPARE(server->requestCount("/nothing"), 1);
    QTest::qWait(100);
    QVERIFY(widget.summary().isEmpty());
    QCOMPARE(summarised.size(), before);
}

void UrlAttachmentWidgetTest::refreshPages()
{
    server->setPage("/r/start", page("<meta http-equiv=\"Refresh\" content=\"0; URL=next.html\">"));
    server->setPage("/r/next.html", page("<meta name=\"description\" content=\"Arrived\">"));
    server->setPage("/self", page("<meta http-equiv=\"refresh\" content=\"0; url=/self\">"));
    server->setPage("/loop-a", page("<meta http-equiv=\"refresh\" content=\"0; url=/loop-b\">"));
    server->setPage("/loop-b", page("<meta http-equiv=\"refresh\" content=\"0; url=/loop-a\">"));

    UrlAttachmentWidget widget({}, nullptr);
    auto *edit = widget.findChild<QLineEdit *>();
    typeAndConfirm(edit, address("/r/start"));
    QTRY_COMPARE(widget.summary(), QStringLiteral("Arrived"));
    QCOMPARE(server->requestCount("/r/next.html"), 1);
    // The address stays the one the user entered.
    QCOMPARE(widget.location(), address("/r/start"));

    typeAndConfirm(edit, address("/self"));
    QTRY_COMPARE(server->requestCount("/self"), 1);
    QTest::qWait(200);
    QCOMPARE(server->requestCount("/self"), 1);

    // Two pages refreshing to each other: five refreshes are followed, then the widget gives up.
    typeAndConfirm(edit, address("/loop-a"));
    QTRY_COMPARE(server->requestCount("/loop-a") + server->requestCount("/loop-b"),
        1 + UrlAttachmentWidget::maxRefreshesFollowed);
    QTest::qWait(300);
    QCOMPARE(server->requestCount("/loop-a") + server->requestCount("/loop-b"),
        1 + UrlAttachmentWidget::maxRefreshesFollowed);
    QVERIFY(widget.summary().isEmpty());

    // Entering the address again starts a fresh allowance.
    typeAndConfirm(edit, address("/desc"));
    QTRY_COMPARE(widget.summary(), QStringLiteral("The description"));
    typeAndConfirm(edit, address("/loop-b"));
    QTRY_COMPARE(server->requestCount("/loop-a") + server->requestCount("/loop-b"),
        2 * (1 + UrlAttachmentWidget::maxRefreshesFollowed));
}

void UrlAttachmentWidgetTest::misbehavingServers()
{
    const PageDownloadLimits saved = PageDownloadLimits::current();
    PageDownloadLimits::setCurrent({1024 * 1024, 1000, 2000});
    auto restore = qScopeGuard([saved]() { PageDownloadLimits::setCurrent(saved); });

    TestHttpServer::Response silent;
    silent.mode = TestHttpServer::Response::NeverAnswer;
    server->setResponse("/silent", silent);
    TestHttpServer::Response endless;
    endless.mode = TestHttpServer::Response::Endless;
    endless.body = "<html><head><title>Endless stream</title></head><body>";
    server->setResponse("/endless", endless);
    TestHttpServer::Response trickle;
    trickle.mode = TestHttpServer::Response::Trickle;
    trickle.body = "<html><head><title>Trickle</title>";
    server->setResponse("/trickle", trickle);

    const QString chinese = QStringLiteral("国内新闻：季度报告发布");
    QStringEncoder toGbk("GBK");
    const QByteArray gbkText = toGbk.encode(chinese);
    TestHttpServer::Response gbkHeader;
    gbkHeader.contentType = "text/html; charset=GBK";
    gbkHeader.body = page("<meta name=\"description\" content=\"" + gbkText + "\">");
    server->setResponse("/gbk-header", gbkHeader);
    TestHttpServer::Response gbkMeta;
    gbkMeta.contentType = "text/html";
    gbkMeta.body = page("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">"
                        "<title>"
        + gbkText + "</title>");
    server->setResponse("/gbk-meta", gbkMeta);

    UrlAttachmentWidget widget({}, nullptr);
    auto *edit = widget.findChild<QLineEdit *>();
    QSignalSpy summarised(&widget, &UrlAttachmentWidget::summaryChanged);

    typeAndConfirm(edit, address("/silent"));
    QTRY_COMPARE(server->requestCount("/silent"), 1);
    // The download gives up on its own, and nothing is shown.
    QVERIFY(downloadInFlight(widget));
    QTRY_VERIFY_WITH_TIMEOUT(!downloadInFlight(widget), 4000);
    QVERIFY(widget.summary().isEmpty());
    QVERIFY(summarised.isEmpty());

    typeAndConfirm(edit, address("/trickle"));
    QTRY_COMPARE(server->requestCount("/trickle"), 1);
    QTest::qWait(1200);
    QVERIFY(downloadInFlight(widget));
    QTRY_VERIFY_WITH_TIMEOUT(!downloadInFlight(widget), 4000);
    QVERIFY(widget.summary().isEmpty());
    QVERIFY(summarised.isEmpty());

    typeAndConfirm(edit, address("/endless"));
    QTRY_COMPARE(widget.summary(), QStringLiteral("Endless stream"));

    typeAndConfirm(edit, address("/gbk-header"));
    QTRY_COMPARE(widget.summary(), chinese);
    typeAndConfirm(edit, address("/gbk-meta"));
    QTRY_COMPARE(widget.summary(), chinese);

    // The widget still works normally afterwards.
    typeAndConfirm(edit, address("/desc"));
    QTRY_COMPARE(widget.summary(), QStringLiteral("The description"));
}

void UrlAttachmentWidgetTest::staleRepliesAreIgnored()
{
    TestHttpServer::Response slow;
    slow.delayMs = 400;
    slow.body = page("<meta name=\"description\" content=\"Old page\">");
    server->setResponse("/slow", slow);

    // Superseded by a newer address that answers first.
    UrlAttachmentWidget widget({}, nullptr);
    auto *edit = widget.findChild<QLineEdit *>();
    QSignalSpy summarised(&widget, &UrlAttachmentWidget::summaryChanged);
    typeAndConfirm(edit, address("/slow"));
    QTRY_COMPARE(server->requestCount("/slow"), 1);
    typeAndConfirm(edit, address("/desc"));
    QTRY_COMPARE(widget.summary(), QStringLiteral("The description"));
    QTest::qWait(700);
    QCOMPARE(widget.summary(), QStringLiteral("The description"));
    QCOMPARE(summarised.size(), 1);

    // Superseded by a newer address whose page has nothing: the old page still must not win.
    typeAndConfirm(edit, address("/slow"));
    QTRY_COMPARE(server->requestCount("/slow"), 2);
    typeAndConfirm(edit, address("/nothing"));
    QTest::qWait(700);
    QVERIFY(widget.summary().isEmpty());
    QCOMPARE(widget.location(), address("/nothing"));

    // The user typed a summary of their own while the page was loading.
    typeAndConfirm(edit, address("/slow"));
    QTRY_COMPARE(server->requestCount("/slow"), 3);
    typeAndConfirm(edit, address("/slow") + QStringLiteral(" 我的说明"));
    QTest::qWait(700);
    QCOMPARE(widget.summary(), QStringLiteral("我的说明"));

    // The user is in the middle of typing another address when the reply arrives.
    UrlAttachmentWidget typing({}, nullptr);
    auto *typingEdit = typing.findChild<QLineEdit *>();
    typeAndConfirm(typingEdit, address("/slow"));
    QTRY_COMPARE(server->requestCount("/slow"), 4);
    QTest::keyClicks(typingEdit, "x");
    QTest::qWait(700);
    QVERIFY(typing.summary().isEmpty());
    QCOMPARE(typingEdit->text(), address("/slow") + QLatin1Char('x'));
}

void UrlAttachmentWidgetTest::blocksHostAndFocus()
{
    RecordingHostOperations host;
    QWidget window;
    auto *widget = new UrlAttachmentWidget({}, &window);
    auto *other = new QLineEdit(&window);
    other->move(0, 100);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    other->setFocus();

    widget->restore({0, 0, 0, 2, QStringLiteral("example.org/path"), QString()});
    widget->openUrl();
    QCOMPARE(host.requests.size(), 1);
    QCOMPARE(host.requests.first().operation, QStringLiteral("openUrl"));
    QCOMPARE(host.requests.first().argument, QStringLiteral("http://example.org/path"));

    QSignalSpy activated(widget, &UrlAttachmentWidget::activated);
    widget->activateResource();
    QTRY_COMPARE(activated.size(), 1);
    QVERIFY(widget->findChild<QLineEdit *>()->hasFocus());

    widget->setEditingEnabled(false);
    QVERIFY(!widget->isEnabled());
    widget->setEditingEnabled(true);
    QVERIFY(widget->isEnabled());
}

VELTO_TEST_MAIN(UrlAttachmentWidgetTest)
#include "tst_urlattachmentwidget.moc"
