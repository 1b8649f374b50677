// The reference service on its own: every endpoint and status, what it stores, and a load run.

#include "ServiceDatabase.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QUuid>

#include <memory>
#include <vector>

namespace {
struct Answer {
    int status = 0;
    QJsonObject object;
};

QByteArray eventsBody(const QString &name)
{
    const QJsonObject event {
        {QStringLiteral("eventId"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {QStringLiteral("installId"), QStringLiteral("install-1")},
        {QStringLiteral("eventName"), name}, {QStringLiteral("properties"), QJsonObject()}};
    return QJsonDocument(QJsonObject {{QStringLiteral("events"), QJsonArray {event}}})
        .toJson(QJsonDocument::Compact);
}
} // namespace

class VeltoServiceTest : public QObject {
    Q_OBJECT
    velto::test::ServiceProcess service {QStringLiteral(VELTO_SERVICE_EXE)};
    QNetworkAccessManager manager;

    QNetworkRequest request(const QString &path, const QByteArray &token = {})
    {
        QNetworkRequest r(QUrl(service.apiBase + path));
        r.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
        if (!token.isEmpty())
            r.setRawHeader("Authorization", "Bearer " + token);
        return r;
    }

    // POST, or GET when body is null; waits for the answer.
    Answer call(const QString &path, const QByteArray *body, const QByteArray &token = {})
    {
        QNetworkReply *reply
            = body ? manager.post(request(path, token), *body) : manager.get(request(path, token));
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(20000);
        Answer answer {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
            QJsonDocument::fromJson(reply->readAll()).object()};
        reply->deleteLater();
        return answer;
    }
    Answer post(const QString &path, const QByteArray &body, const QByteArray &token = {})
    {
        return call(path, &body, token);
    }
    QByteArray tokenFor(const char *user, const char *password)
    {
        const QByteArray body
            = QByteArray("{\"username\":\"") + user + "\",\"password\":\"" + password + "\"}";
        return post(QStringLiteral("auth/login"), body)
            .object.value(QStringLiteral("accessToken"))
            .toString()
            .toUtf8();
    }

private slots:
    void initTestCase() { QVERIFY(service.start()); }

    void answersEveryEndpointWithItsStatus()
    {
        struct Case {
            const char *path;
            QByteArray body;
            int status;
            const char *key; // a key the answer must carry
        };
        const QByteArray tooLarge = "{\"content\":\"" + QByteArray(70 * 1024, 'x') + "\"}";
        const QList<Case> cases {
            {"devices/register",
                "{\"installId\":\"i-1\",\"hardwareHash\":\"\",\"platform\":\"linux\"}", 200,
                "registered"},
            {"devices/register", "{\"hardwareHash\":\"\"}", 400, "message"},
            {"devices/register", "[1,2]", 400, "message"},
            {"auth/register",
                "{\"username\":\"mei\",\"password\":\"Plain-Secret-42\",\"displayName\":\"梅\"}",
                200, "accessToken"},
            {"auth/register", "{\"username\":\"mei\",\"password\":\"other\",\"displayName\":\"M\"}",
                409, "message"},
            {"auth/register", "{\"username\":\"kai\",\"password\":\"p\"}", 400, "message"},
            {"auth/login", "{\"username\":\"mei\",\"password\":\"Plain-Secret-42\"}", 200,
                "accessToken"},
            {"auth/login", "{\"username\":\"mei\",\"password\":\"plain-secret-42\"}", 401,
                "message"},
            {"auth/login", "{\"username\":\"nobody\",\"password\":\"x\"}", 401, "message"},
            {"auth/login", "not json", 400, "message"},
            {"telemetry/events", eventsBody(QStringLiteral("app_start")), 200, "accepted"},
            {"telemetry/events", "{\"events\":[]}", 400, "message"},
            {"telemetry/events", "{\"events\":[{\"eventName\":\"x\"}]}", 400, "message"},
            {"feedback", "{\"content\":\"希望增加标签功能\",\"category\":\"suggestion\"}", 200,
                "ticketNo"},
            {"feedback", "{\"content\":\"  \"}", 400, "message"},
            {"feedback", tooLarge, 413, "message"},
        };
        for (const Case &c : cases) {
            const Answer answer = post(QString::fromLatin1(c.path), c.body);
            QVERIFY2(answer.status == c.status,
                qPrintable(QStringLiteral("%1 %2 -> %3")
                               .arg(QLatin1String(c.path), QString::fromUtf8(c.body.left(60)))
                               .arg(answer.status)));
            QVERIFY2(answer.object.contains(QLatin1String(c.key)), c.path);
        }
        QCOMPARE(call(QStringLiteral("auth/login"), nullptr).status, 405);
        QCOMPARE(call(QStringLiteral("nothing/here"), nullptr).status, 404);
        const Answer latest = call(QStringLiteral("app/latest-version"), nullptr);
        QCOMPARE(latest.object.value(QStringLiteral("latestVersion")).toString(),
            QStringLiteral("1.0.3"));
        service.setLatestVersion("{\"latestVersion\":\"1.2.0\",\"forceUpgradeVersion\":\"1.0.1\"}");
        QCOMPARE(call(QStringLiteral("app/latest-version"), nullptr)
                     .object.value(QStringLiteral("forceUpgradeVersion"))
                     .toString(),
            QStringLiteral("1.0.1"));
        service.setLatestVersion("{broken");
        QCOMPARE(call(QStringLiteral("app/latest-version"), nullptr).status, 500);
    }

    void checksTokensWhenSent()
    {
        const QByteArray token = tokenFor("mei", "Plain-Secret-42");
        QVERIFY(!token.isEmpty());
        const QByteArray feedback = "{\"content\":\"登录后的反馈内容\"}";
        QCOMPARE(post(QStringLiteral("feedback"), feedback, token).status, 200);
        QCOMPARE(post(QStringLiteral("feedback"), feedback, "forged").status, 401);
        QCOMPARE(
            post(QStringLiteral("telemetry/events"), eventsBody(QStringLiteral("a")), token).status,
            200);
        QCOMPARE(
            post(QStringLiteral("telemetry/events"), eventsBody(QStringLiteral("b")), token + "x")
                .status,
            401);
        // A repeated event id is stored once.
        const QByteArray once = eventsBody(QStringLiteral("once"));
        QCOMPARE(post(QStringLiteral("telemetry/events"), once)
                     .object.value(QStringLiteral("accepted"))
                     .toInt(),
            1);
        QCOMPARE(post(QStringLiteral("telemetry/events"), once)
                     .object.value(QStringLiteral("accepted"))
                     .toInt(),
            0);
    }

    void neverStoresPasswordsOrTokensInPlainText()
    {
        const QByteArray token = tokenFor("mei", "Plain-Secret-42");
        QVERIFY(!token.isEmpty());
        service.stop();
        QByteArray stored;
        for (const char *suffix : {"", "-wal", "-journal"}) {
            QFile file(service.databasePath() + QLatin1String(suffix));
            if (file.open(QIODevice::ReadOnly))
                stored += file.readAll();
        }
        QVERIFY(stored.size() > 0);
        QVERIFY(!stored.contains("Plain-Secret-42"));
        QVERIFY(!stored.contains(token));
        QVERIFY(!stored.contains(QByteArray("Plain-Secret-42").toBase64()));
        QVERIFY(service.start());
        QVERIFY(!tokenFor("mei", "Plain-Secret-42").isEmpty()); // and it still signs in
    }

    void loadRunLosesNoEvent()
    {
        constexpr int clients = 20;
        constexpr int total = 10000;
        const int before = velto::test::serviceScalar(
            service.databasePath(), QStringLiteral("SELECT COUNT(*) FROM events"))
                               .toInt();
        std::vector<std::unique_ptr<QNetworkAccessManager>> managers;
        int sent = 0;
        int answered = 0;
        int failures = 0;
        std::function<void(QNetworkAccessManager *)> next = [&](QNetworkAccessManager *m) {
            if (sent == total)
                return;
            ++sent;
            QNetworkReply *reply = m->post(
                request(QStringLiteral("telemetry/events")), eventsBody(QStringLiteral("load")));
            connect(reply, &QNetworkReply::finished, reply, [&, m, reply]() {
                ++answered;
                failures += reply->error() == QNetworkReply::NoError ? 0 : 1;
                reply->deleteLater();
                next(m);
            });
        };
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < clients; ++i) {
            managers.push_back(std::make_unique<QNetworkAccessManager>());
            next(managers.back().get());
        }
        QTRY_COMPARE_WITH_TIMEOUT(answered, total, 240000);
        qInfo("load run: %d posts from %d clients in %lld ms", total, clients, clock.elapsed());
        QCOMPARE(failures, 0);
        QCOMPARE(velto::test::serviceScalar(
                     service.databasePath(), QStringLiteral("SELECT COUNT(*) FROM events"))
                     .toInt(),
            before + total);
    }
};

VELTO_TEST_MAIN_CORE(VeltoServiceTest)
#include "tst_veltoservice.moc"
