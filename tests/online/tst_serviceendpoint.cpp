// Rules without a network: versions, the device hash, the override file, the install id, the
// request headers, the feedback length rule and the reading of the version reply.

#include "FeedbackClient.h"
#include "ServiceEndpoint.h"
#include "TestSupport.h"
#include "VersionCheck.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>

class ServiceEndpointTest : public QObject {
    Q_OBJECT
private slots:
    void comparesVersionsPartByPart()
    {
        QCOMPARE(compareVersions(QStringLiteral("1.0.3"), QStringLiteral("1.0.10")), -1);
        QCOMPARE(compareVersions(QStringLiteral("1.0"), QStringLiteral("1.0.0")), 0);
        QCOMPARE(compareVersions(QStringLiteral("1.2"), QStringLiteral("1.10")), -1);
        QCOMPARE(compareVersions(QStringLiteral("1.0.3"), QStringLiteral("1.0.3-beta")), 1);
        QCOMPARE(compareVersions(QStringLiteral("2"), QStringLiteral("1.9.9")), 1);
        QCOMPARE(compareVersions(QStringLiteral("1..2"), QStringLiteral("1.0.2")), 0);
        QCOMPARE(compareVersions(QStringLiteral(" 1 . 1"), QStringLiteral("1.1")), 0);
        QCOMPARE(compareVersions(QStringLiteral("99999999999.1"), QStringLiteral("0.1")), 0);
    }

    void hashesTheUpperCasedUuid()
    {
        const QString upper
            = deviceHashFromUuid(QStringLiteral("4C4C4544-0042-3510-8051-B7C04F4E3732"));
        QCOMPARE(upper.size(), 64);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(upper).hasMatch());
        QCOMPARE(
            deviceHashFromUuid(QStringLiteral(" 4c4c4544-0042-3510-8051-b7c04f4e3732\r\n")), upper);
        QVERIFY(
            deviceHashFromUuid(QStringLiteral("ffffffff-ffff-ffff-ffff-ffffffffffff")).isEmpty());
        QVERIFY(
            deviceHashFromUuid(QStringLiteral("00000000-0000-0000-0000-000000000000")).isEmpty());
        QVERIFY(deviceHashFromUuid(QStringLiteral("  ")).isEmpty());
        QCOMPARE(deviceHashFromUuid(QStringLiteral("not a uuid")).size(), 64);
    }

    void honoursTheOverrideFileOnlyOnTheDeveloperMachine()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath(QStringLiteral("velto.ini"));
        QSettings(ini, QSettings::IniFormat)
            .setValue(
                QStringLiteral("network/apiBase"), QStringLiteral("  http://127.0.0.1:9/x  "));
        const QString mine = deviceHashFromUuid(QStringLiteral("A-B"));
        const QString other = deviceHashFromUuid(QStringLiteral("C-D"));
        QCOMPARE(resolveApiBase(mine, mine, ini), QStringLiteral("http://127.0.0.1:9/x/"));
        QCOMPARE(resolveApiBase(other, mine, ini), defaultApiBase());
        QCOMPARE(resolveApiBase(QString(), QString(), ini), defaultApiBase());
        QCOMPARE(
            resolveApiBase(mine, mine, dir.filePath(QStringLiteral("none.ini"))), defaultApiBase());
        QVERIFY(defaultApiBase().endsWith(QLatin1String("/api/v1/velto/")));
        // An unconfigured build points nowhere real.
        QVERIFY(QUrl(defaultApiBase()).host().endsWith(QLatin1String(".invalid")));
        QVERIFY(QUrl(veltoWebsiteUrl()).host().endsWith(QLatin1String(".invalid")));
    }

    void createsTheInstallIdOnceAndAgainWhenDeleted()
    {
        QSettings().remove(QStringLiteral("velto/installId"));
        const QString first = currentInstallId();
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}$"))
                    .match(first)
                    .hasMatch());
        QCOMPARE(currentInstallId(), first);
        QCOMPARE(QSettings().value(QStringLiteral("velto/installId")).toString(), first);
        QSettings().remove(QStringLiteral("velto/installId"));
        QVERIFY(currentInstallId() != first);
    }

    void addsTheBearerHeaderOnlyWithAToken()
    {
        storeAccessToken(QString());
        const QString base = QStringLiteral("http://127.0.0.1:1/api/v1/velto/");
        QNetworkRequest plain = serviceRequest(base, QStringLiteral("feedback"), true, true, 10);
        QVERIFY(!plain.hasRawHeader("Authorization"));
        QCOMPARE(plain.url().toString(), base + QStringLiteral("feedback"));
        QCOMPARE(plain.header(QNetworkRequest::ContentTypeHeader).toString(),
            QStringLiteral("application/json"));
        storeAccessToken(QStringLiteral("tök"));
        QCOMPARE(serviceRequest(base, QStringLiteral("feedback"), true, true, 10)
                     .rawHeader("Authorization"),
            QByteArray("Bearer t\xc3\xb6k"));
        QVERIFY(!serviceRequest(base, QStringLiteral("auth/login"), true, false, 10)
                     .hasRawHeader("Authorization"));
        QVERIFY(!serviceRequest(base, QStringLiteral("app/latest-version"), false, false, 10)
                     .header(QNetworkRequest::ContentTypeHeader)
                     .isValid());
        storeAccessToken(QString());
        QCOMPARE(veltoPlatformName(), QStringLiteral("linux"));
    }

    void refusesFeedbackWithFewerThanTenDistinctCharacters()
    {
        FeedbackClient client(nullptr);
        QSignalSpy status(&client, &FeedbackClient::statusChanged);
        client.send(QString(12, QLatin1Char('a')));
        QCOMPARE(client.status(), FeedbackClient::Status::Refused);
        QCOMPARE(status.size(), 1);
        QCOMPARE(
            FeedbackClient::distinctNonSpaceCharacters(QStringLiteral("a b c d e f g h i j")), 10);
        QCOMPARE(FeedbackClient::distinctNonSpaceCharacters(
                     QStringLiteral("\n\nabcdefghi\t\u00a0\u3000\n")),
            9);
        QCOMPARE(
            FeedbackClient::distinctNonSpaceCharacters(QStringLiteral("意见意见反馈反馈问题")), 6);
        QCOMPARE(FeedbackClient::statusText(FeedbackClient::Status::Refused),
            QStringLiteral("发送失败。"));
    }

    void readsTheLatestVersionReply()
    {
        // Single quotes stand for double quotes, to keep the cases short.
        auto verdict = [](const char *json) {
            return evaluateLatestVersion(
                QJsonDocument::fromJson(QByteArray(json).replace('\'', '"')).object(),
                QStringLiteral("1.0.3"));
        };
        VersionVerdict v = verdict("{'forceUpgradeVersion':'1.0.3','latestVersion':'1.1.0'}");
        QCOMPARE(v.kind, VersionVerdict::UpgradeAvailable);
        v = verdict("{'forceUpgradeVersion':'1.0.4','downloadUrl':'https://d.invalid/x'}");
        QCOMPARE(v.kind, VersionVerdict::UpgradeRequired);
        QCOMPARE(v.message, QStringLiteral("当前版本需要升级后才能继续使用。"));
        QCOMPARE(v.downloadUrl, QUrl(QStringLiteral("https://d.invalid/x")));
        v = verdict("{'latestVersion':'1.0.4'}");
        QCOMPARE(v.kind, VersionVerdict::UpgradeAvailable);
        QCOMPARE(v.message, QStringLiteral("发现新版本"));
        QCOMPARE(v.downloadUrl, QUrl(veltoWebsiteUrl()));
        QCOMPARE(verdict("{'latestVersion':'1.0.4','downloadUrl':''}").downloadUrl, QUrl());
        QCOMPARE(verdict("{'latestVersion':'1.0.4','downloadUrl':7}").downloadUrl,
            QUrl(veltoWebsiteUrl()));
        QCOMPARE(verdict("{'latestVersion':'1.0.4','message':'快更新'}").message,
            QStringLiteral("快更新"));
        QCOMPARE(verdict("{'latestVersion':'1.0.3'}").kind, VersionVerdict::Nothing);
        QCOMPARE(verdict("{'latestVersion':1.5}").kind, VersionVerdict::Nothing);
        QCOMPARE(verdict("{}").kind, VersionVerdict::Nothing);
        QCOMPARE(verdict("<html>502</html>").kind, VersionVerdict::Nothing);
    }
};

VELTO_TEST_MAIN_CORE(ServiceEndpointTest)
#include "tst_serviceendpoint.moc"
