// The online clients against a responder that misbehaves: every exchange ends, nothing grows
// without bound, and each ends with the outcome its form shows for that kind of failure.

#include "AccountClient.h"
#include "FeedbackClient.h"
#include "RecordingHostOperations.h"
#include "ServiceEndpoint.h"
#include "TelemetryClient.h"
#include "TestHttpServer.h"
#include "TestSupport.h"
#include "VersionCheck.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QSignalSpy>

using velto::test::TestHttpServer;
using Response = TestHttpServer::Response;

namespace {
// Short enough for tests; the production values are 30 s and 10 s.
constexpr ServiceCall::Limits testLimits {400, 1200};

Response reply(int status, const QByteArray &body, Response::Mode mode = Response::Normal)
{
    Response response;
    response.status = status;
    response.body = body;
    response.contentType = body.startsWith('<') ? "text/html" : "application/json";
    response.mode = mode;
    return response;
}

QJsonObject json(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}
} // namespace

class OnlineHostileTest : public QObject {
    Q_OBJECT
    RecordingHostOperations host; // reports no machine UUID: the device hash stays empty
    TestHttpServer server;
    QNetworkAccessManager manager;
    QString base;

    template<class Client> void prepare(Client &client)
    {
        client.setApiBase(base);
        client.setLimits(testLimits);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(server.listen());
        base = server.url(QStringLiteral("/api/v1/velto/")).toString();
    }

    void loginEndsWithTheSpecifiedOutcome()
    {
        enum Expect { Success, Text, NetworkError };
        struct Case {
            const char *name;
            Response response;
            Expect expect;
            QString text;
        };
        Response redirect = reply(302, "");
        redirect.extraHeaders.append(
            {"Location", server.url(QStringLiteral("/moved")).toEncoded()});
        server.setResponse("/moved", reply(200, R"({"message":"moved"})"));
        const QString timeOut = QString::fromUtf8(ServiceCall::timeOutText);
        const QList<Case> cases {
            {"no answer", reply(200, "", Response::NeverAnswer), Text, timeOut},
            {"trickling body", reply(200, "{", Response::Trickle), Text, timeOut},
            {"endless body", reply(200, "{\"a\":\"", Response::Endless), Text,
                QStringLiteral("登录失败")},
            {"declared oversize", reply(200, QByteArray(2 << 20, ' ')), Text,
                QStringLiteral("登录失败")},
            {"malformed JSON", reply(200, "{\"accessToken\":"), Text, QStringLiteral("登录失败")},
            {"HTML error page", reply(502, "<html><body>Bad gateway</body></html>"), NetworkError,
                {}},
            {"HTTP 500", reply(500, R"({"accessToken":"t","message":"boom"})"), NetworkError, {}},
            {"401 with message", reply(401, R"({"message":"密码错误"})"), NetworkError, {}},
            {"401 without message", reply(401, "{}"), NetworkError, {}},
            {"200 refusal", reply(200, R"({"message":"账号已停用"})"), Text,
                QStringLiteral("账号已停用")},
            {"non-string token", reply(200, R"({"accessToken":5})"), Text,
                QStringLiteral("登录失败")},
            {"dropped connection", reply(200, "", Response::Drop), NetworkError, {}},
            {"redirect", redirect, Text, QStringLiteral("moved")},
            {"accepted", reply(200, R"({"accessToken":"tok-1"})"), Success,
                QStringLiteral("登录成功")},
        };
        storeAccessToken(QStringLiteral("previous"));
        for (const Case &c : cases) {
            server.setResponse("/api/v1/velto/auth/login", c.response);
            AccountClient client(false, &manager);
            prepare(client);
            QSignalSpy done(&client, &AccountClient::authCompleted);
            QSignalSpy busy(&client, &AccountClient::busyChanged);
            client.submit(QStringLiteral(" amy "), QStringLiteral(" pw "));
            QVERIFY2(client.isBusy(), c.name);
            QCOMPARE(client.message(), QStringLiteral("正在连接后台..."));
            QVERIFY2(done.wait(5000), c.name);
            QCOMPARE(done.size(), 1);
            QVERIFY2(!client.isBusy() && busy.size() == 2, c.name);
            QCOMPARE(done[0][0].toBool(), c.expect == Success);
            QCOMPARE(done[0][1].toString(), client.message());
            if (c.expect == NetworkError) {
                QVERIFY2(!client.message().isEmpty(), c.name);
                QVERIFY2(!client.message().contains(QLatin1String("密码错误")), c.name);
                QVERIFY2(client.message() != QStringLiteral("登录失败"), c.name);
            } else {
                QCOMPARE(client.message(), c.text);
            }
            if (c.expect != Success)
                QCOMPARE(storedAccessToken(), QStringLiteral("previous"));
        }
        QCOMPARE(storedAccessToken(), QStringLiteral("tok-1"));
        QVERIFY(server.endlessBytesSent < 8 * ServiceCall::maxReplyBytes);
        const TestHttpServer::Request sent = server.requests.last();
        QCOMPARE(sent.method, QByteArray("POST"));
        QCOMPARE(
            json(sent.body).value(QStringLiteral("username")).toString(), QStringLiteral("amy"));
        QCOMPARE(
            json(sent.body).value(QStringLiteral("password")).toString(), QStringLiteral(" pw "));
        QVERIFY(!json(sent.body).contains(QStringLiteral("displayName")));
        QVERIFY(!sent.headers.contains("authorization"));
    }

    void incompleteAccountInputSendsNothing()
    {
        const int before = int(server.requests.size());
        AccountClient registration(true, &manager);
        prepare(registration);
        QSignalSpy done(&registration, &AccountClient::authCompleted);
        registration.submit(QStringLiteral("amy"), QStringLiteral("pw"), QStringLiteral("  "));
        QCOMPARE(registration.message(), QStringLiteral("请填写完整信息"));
        registration.submit(QStringLiteral("   "), QStringLiteral("pw"), QStringLiteral("Amy"));
        registration.submit(QStringLiteral("amy"), QString(), QStringLiteral("Amy"));
        QCOMPARE(registration.message(), QStringLiteral("请填写完整信息"));
        QCOMPARE(done.size(), 0);
        QCOMPARE(server.requests.size(), before);
    }

    void feedbackNeedsATicketNumber()
    {
        struct Case {
            Response response;
            FeedbackClient::Status status;
        };
        const QList<Case> cases {
            {reply(200, R"({"status":"ok"})"), FeedbackClient::Status::Refused},
            {reply(500, R"({"ticketNo":"T-1"})"), FeedbackClient::Status::Refused},
            {reply(200, "", Response::NeverAnswer), FeedbackClient::Status::Refused},
            {reply(200, "<html>ok</html>"), FeedbackClient::Status::Refused},
            {reply(200, R"({"ticketNo":null})"), FeedbackClient::Status::Accepted},
        };
        storeAccessToken(QString());
        for (const Case &c : cases) {
            server.setResponse("/api/v1/velto/feedback", c.response);
            FeedbackClient client(&manager);
            prepare(client);
            QSignalSpy status(&client, &FeedbackClient::statusChanged);
            QSignalSpy accepted(&client, &FeedbackClient::accepted);
            client.send(QStringLiteral("\n\n  0123456789 都好\n\n"));
            QCOMPARE(client.status(), FeedbackClient::Status::Sending);
            QVERIFY(status.wait(5000));
            QCOMPARE(client.status(), c.status);
            QCOMPARE(accepted.size(), c.status == FeedbackClient::Status::Accepted ? 1 : 0);
        }
        const TestHttpServer::Request sent = server.requests.last();
        QCOMPARE(json(sent.body).value(QStringLiteral("content")).toString(),
            QStringLiteral("0123456789 都好"));
        QCOMPARE(json(sent.body).value(QStringLiteral("category")).toString(),
            QStringLiteral("suggestion"));
        QVERIFY(!sent.headers.contains("authorization"));
    }

    void versionCheckIgnoresWhatItCannotRead()
    {
        const QList<Response> responses {reply(200, "<html>maintenance</html>"), reply(200, "{}"),
            reply(200, "", Response::Endless), reply(200, "", Response::NeverAnswer),
            reply(200, "", Response::Drop)};
        for (const Response &response : responses) {
            server.setResponse("/api/v1/velto/app/latest-version", response);
            VersionChecker checker(&manager);
            prepare(checker);
            QSignalSpy checked(&checker, &VersionChecker::checked);
            QSignalSpy available(&checker, &VersionChecker::upgradeAvailable);
            QSignalSpy required(&checker, &VersionChecker::upgradeRequired);
            checker.checkVersion();
            QVERIFY(checked.wait(5000));
            QCOMPARE(available.size() + required.size(), 0);
        }
        QCOMPARE(server.requests.last().method, QByteArray("GET"));
        QVERIFY(!server.requests.last().headers.contains("content-type"));
    }

    void registrationFailureStillSendsAppStart()
    {
        server.setResponse("/api/v1/velto/devices/register", reply(500, "<html>down</html>"));
        server.setResponse("/api/v1/velto/telemetry/events", reply(200, "", Response::NeverAnswer));
        storeAccessToken(QString());
        TelemetryClient telemetry(&manager);
        prepare(telemetry);
        QSignalSpy events(&telemetry, &TelemetryClient::eventFinished);
        telemetry.registerCurrentDevice();
        QVERIFY(events.wait(5000));
        QCOMPARE(events[0][0].toString(), QStringLiteral("app_start"));
        QCOMPARE(server.requestCount("/api/v1/velto/devices/register"), 1);
        const QJsonObject device = json(server.requests[server.requests.size() - 2].body);
        QCOMPARE(device.value(QStringLiteral("hardwareHash")), QJsonValue(QString()));
        QCOMPARE(device.value(QStringLiteral("platform")).toString(), QStringLiteral("linux"));
        QCOMPARE(device.value(QStringLiteral("installId")).toString(), currentInstallId());
        const TestHttpServer::Request start = server.requests.last();
        const QJsonObject event = json(start.body)[QStringLiteral("events")][0].toObject();
        QCOMPARE(event.value(QStringLiteral("eventName")).toString(), QStringLiteral("app_start"));
        QVERIFY(event.value(QStringLiteral("properties")).toObject().isEmpty());
        QVERIFY(event.value(QStringLiteral("occurredAt")).toString().endsWith(QLatin1Char('Z')));
        QVERIFY(!start.headers.contains("authorization"));
        QCOMPARE(start.headers.value("content-type"), QByteArray("application/json"));

        // After a sign-in the events carry the token; feedback acceptance has its own event.
        storeAccessToken(QStringLiteral("tok-2"));
        telemetry.reportAuthCompleted(false, QStringLiteral("登录失败"));
        telemetry.reportAuthCompleted(true, QStringLiteral("意见已发送"));
        QVERIFY(events.wait(5000));
        const TestHttpServer::Request signedIn = server.requests.last();
        QCOMPARE(signedIn.headers.value("authorization"), QByteArray("Bearer tok-2"));
        QCOMPARE(json(signedIn.body)[QStringLiteral("events")][0][QStringLiteral("eventName")]
                     .toString(),
            QStringLiteral("feedback_submit"));

        TelemetryClient without(nullptr);
        const int before = int(server.requests.size());
        without.registerCurrentDevice();
        without.sendTelemetry(QStringLiteral("app_close"));
        QTest::qWait(50);
        QCOMPARE(server.requests.size(), before);
    }
};

VELTO_TEST_MAIN_CORE(OnlineHostileTest)
#include "tst_onlinehostile.moc"
