// The online clients end to end against the reference service, run as a real process.

#include "AccountClient.h"
#include "FeedbackClient.h"
#include "RecordingHostOperations.h"
#include "ServiceDatabase.h"
#include "ServiceEndpoint.h"
#include "ServiceProcess.h"
#include "TelemetryClient.h"
#include "TestSupport.h"
#include "VersionCheck.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>

using velto::test::serviceScalar;

class OnlineServiceTest : public QObject {
    Q_OBJECT
    RecordingHostOperations host;
    velto::test::ServiceProcess service {QStringLiteral(VELTO_SERVICE_EXE)};
    QNetworkAccessManager manager;

    QVariant scalar(const QString &sql, const QVariantList &values = {})
    {
        return serviceScalar(service.databasePath(), sql, values);
    }

    // Submits and returns (success, label text).
    std::pair<bool, QString> account(bool registration, const QString &user,
        const QString &password, const QString &display = {})
    {
        AccountClient client(registration, &manager);
        client.setApiBase(service.apiBase);
        QSignalSpy done(&client, &AccountClient::authCompleted);
        client.submit(user, password, display);
        if (!done.wait(20000))
            return {false, QStringLiteral("no answer")};
        return {done[0][0].toBool(), done[0][1].toString()};
    }

    void sendEvent(TelemetryClient &telemetry, const QString &name)
    {
        QSignalSpy finished(&telemetry, &TelemetryClient::eventFinished);
        telemetry.sendTelemetry(name);
        QVERIFY(finished.wait(10000));
    }

private slots:
    void initTestCase()
    {
        host.uuid = QStringLiteral("4c4c4544-0042-3510-8051-b7c04f4e3732");
        QVERIFY(service.start());
        storeAccessToken(QString());
    }

    void registersTheDeviceThenReportsTheStart()
    {
        TelemetryClient telemetry(&manager);
        telemetry.setApiBase(service.apiBase);
        QSignalSpy events(&telemetry, &TelemetryClient::eventFinished);
        telemetry.registerCurrentDevice();
        QVERIFY(events.wait(10000));
        const QString hash = deviceHashFromUuid(host.uuid.toUpper());
        QCOMPARE(telemetry.hardwareHash(), hash);
        const QVariantList id {currentInstallId()};
        QCOMPARE(
            scalar(QStringLiteral("SELECT hardware_hash FROM devices WHERE install_id = ?"), id)
                .toString(),
            hash);
        QCOMPARE(scalar(QStringLiteral("SELECT platform FROM devices WHERE install_id = ?"), id)
                     .toString(),
            QStringLiteral("linux"));
        QCOMPARE(scalar(QStringLiteral("SELECT event_name FROM events WHERE install_id = ?"), id)
                     .toString(),
            QStringLiteral("app_start"));
        QVERIFY(scalar(QStringLiteral("SELECT properties FROM events")).toString().contains(hash));
        QVERIFY(scalar(QStringLiteral("SELECT account_id FROM events")).isNull());
    }

    void signsUpAndInWithTheServiceAnswers()
    {
        const auto created = account(
            true, QStringLiteral(" lin "), QStringLiteral("s3cret "), QStringLiteral("林"));
        QCOMPARE(created, std::make_pair(true, QStringLiteral("登录成功")));
        const QString firstToken = storedAccessToken();
        QVERIFY(!firstToken.isEmpty());

        // A taken name and a wrong password are HTTP refusals: the network layer's text shows.
        const auto taken
            = account(true, QStringLiteral("lin"), QStringLiteral("x"), QStringLiteral("L"));
        QVERIFY(
            !taken.first && !taken.second.isEmpty() && taken.second != QStringLiteral("登录失败"));
        const auto wrong = account(false, QStringLiteral("lin"), QStringLiteral("s3cret"));
        QVERIFY(!wrong.first && !wrong.second.isEmpty());
        QCOMPARE(storedAccessToken(), firstToken);

        QCOMPARE(account(false, QStringLiteral("lin"), QStringLiteral("s3cret ")).first, true);
        QVERIFY(storedAccessToken() != firstToken);
    }

    void telemetryIsTiedToTheSignedInAccount()
    {
        TelemetryClient telemetry(&manager);
        telemetry.setApiBase(service.apiBase);
        const QString count = QStringLiteral(
            "SELECT COUNT(*) FROM events WHERE event_name = ? AND account_id IS NOT NULL");
        sendEvent(telemetry, QStringLiteral("app_login"));
        QCOMPARE(scalar(count, {QStringLiteral("app_login")}).toInt(), 1);

        storeAccessToken(QString());
        sendEvent(telemetry, QStringLiteral("app_close"));
        QCOMPARE(
            scalar(QStringLiteral(
                       "SELECT COUNT(*) FROM events WHERE event_name = ? AND account_id IS NULL"),
                {QStringLiteral("app_close")})
                .toInt(),
            1);

        // A token the service never issued is refused; the event is not stored.
        storeAccessToken(QStringLiteral("forged"));
        sendEvent(telemetry, QStringLiteral("forged_event"));
        QCOMPARE(scalar(QStringLiteral("SELECT COUNT(*) FROM events WHERE event_name = ?"),
                     {QStringLiteral("forged_event")})
                     .toInt(),
            0);
        storeAccessToken(QString());
    }

    void feedbackIsAcceptedWithATicket()
    {
        QVERIFY(account(false, QStringLiteral("lin"), QStringLiteral("s3cret ")).first);
        FeedbackClient client(&manager);
        client.setApiBase(service.apiBase);
        QSignalSpy accepted(&client, &FeedbackClient::accepted);
        client.send(QStringLiteral("  导出时希望能选择文件夹。 \n"));
        QVERIFY(accepted.wait(10000));
        QCOMPARE(client.status(), FeedbackClient::Status::Accepted);
        QCOMPARE(scalar(QStringLiteral("SELECT content FROM feedback")).toString(),
            QStringLiteral("导出时希望能选择文件夹。"));
        QVERIFY(!scalar(QStringLiteral("SELECT account_id FROM feedback")).isNull());
        QVERIFY(scalar(QStringLiteral("SELECT ticket_no FROM feedback"))
                    .toString()
                    .startsWith(QLatin1String("FB-")));
    }

    void versionFileDrivesTheNoticeAndTheForcedUpgrade()
    {
        auto check = [this](const QByteArray &json) {
            service.setLatestVersion(json);
            VersionChecker checker(&manager);
            checker.setApiBase(service.apiBase);
            QSignalSpy available(&checker, &VersionChecker::upgradeAvailable);
            QSignalSpy required(&checker, &VersionChecker::upgradeRequired);
            QSignalSpy checked(&checker, &VersionChecker::checked);
            checker.checkVersion();
            checked.wait(10000);
            return std::make_pair(available.isEmpty() ? QVariantList() : available[0],
                required.isEmpty() ? QVariantList() : required[0]);
        };
        auto result = check("{\"latestVersion\":\"1.1.0\",\"forceUpgradeVersion\":\"1.0.3\"}");
        QCOMPARE(result.first.value(0).toString(), QStringLiteral("发现新版本"));
        QVERIFY(result.second.isEmpty());
        result = check("{\"latestVersion\":\"1.1.0\",\"forceUpgradeVersion\":\"1.0.4\","
                       "\"downloadUrl\":\"https://dl.velto.invalid/\"}");
        QVERIFY(result.first.isEmpty());
        QCOMPARE(result.second.value(1).toUrl(), QUrl(QStringLiteral("https://dl.velto.invalid/")));
        result = check("{\"latestVersion\":\"1.0.3\"}");
        QVERIFY(result.first.isEmpty() && result.second.isEmpty());
    }
};

VELTO_TEST_MAIN_CORE(OnlineServiceTest)
#include "tst_onlineservice.moc"
