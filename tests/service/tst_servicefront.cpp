// The deployment files of the reference service: the shipped nginx site, run by a real nginx on
// 127.0.0.1 in front of a real service (TLS, body limit, time-outs, connection limit, the client
// address passed on for the limit of login attempts), and the systemd unit.

#include "RawHttp.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>

#include <unistd.h>

using velto::test::RawAnswer;
using velto::test::RawConnection;
using velto::test::rawRequest;
using velto::test::ServiceProcess;

namespace {
const QString deployDir = QStringLiteral(VELTO_SERVICE_DEPLOY_DIR);

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// Runs a program to its end; its exit code, -1 when it did not finish. Output in `output`.
int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60000))
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// nginx with the shipped site, its placeholders filled in, in a private prefix.
class NginxFront {
public:
    NginxFront(const QString &nginx, const QString &certificates)
        : nginx(nginx)
        , certificates(certificates)
    {
    }
    ~NginxFront()
    {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(5000);
    }

    // Writes the configuration: the site for `servicePort`, with the directives named in
    // `overrides` given other values. Returns the output of "nginx -t" when it fails.
    QByteArray configure(quint16 servicePort, const QList<QPair<QString, QString>> &overrides)
    {
        port = freePort();
        QByteArray site
            = readFile(QDir(deployDir).filePath(QStringLiteral("nginx-velto-service.conf")));
        site.replace("@LISTEN@", QByteArray("127.0.0.1:" + QByteArray::number(port) + " ssl"));
        site.replace("@SERVER_NAME@", "localhost");
        site.replace(
            "@CERTIFICATE@", QDir(certificates).filePath(QStringLiteral("cert.pem")).toUtf8());
        site.replace(
            "@CERTIFICATE_KEY@", QDir(certificates).filePath(QStringLiteral("key.pem")).toUtf8());
        site.replace("@SERVICE@", QByteArray("127.0.0.1:" + QByteArray::number(servicePort)));
        QString text = QString::fromUtf8(site);
        for (const auto &[directive, value] : overrides)
            text.replace(QRegularExpression(QStringLiteral("(\\n\\s*%1) [^;\\n]+;").arg(directive)),
                QStringLiteral("\\1 %1;").arg(value));
        const QString prefix = dir.path();
        const QString main = QStringLiteral(
            "%1daemon off;\nworker_processes 1;\npid %2/nginx.pid;\nerror_log %2/error.log;\n"
            "events { worker_connections 128; }\n"
            "http {\n access_log off;\n client_body_temp_path %2/body;\n proxy_temp_path "
            "%2/proxy;\n"
            " fastcgi_temp_path %2/fastcgi;\n uwsgi_temp_path %2/uwsgi;\n scgi_temp_path %2/scgi;\n"
            " include %2/site.conf;\n}\n")
                                 // As root, nginx's workers would otherwise become a user that
                                 // cannot read this private folder.
                                 .arg(::geteuid() == 0 ? QStringLiteral("user root root;\n")
                                                       : QString(),
                                     prefix);
        QByteArray output;
        if (!writeFile(QDir(prefix).filePath(QStringLiteral("site.conf")), text.toUtf8())
            || !writeFile(configuration(), main.toUtf8()))
            return "cannot write the configuration";
        if (run(nginx, QStringList {QStringLiteral("-t"), QStringLiteral("-q")} + places(), &output)
            != 0)
            return output.isEmpty() ? QByteArray("nginx -t failed") : output;
        return {};
    }

    // Starts nginx and waits until it answers over TLS.
    bool start()
    {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(nginx, places());
        if (!process.waitForStarted(10000))
            return false;
        return QTest::qWaitFor(
            [this]() {
                RawConnection probe(port, {}, true);
                return process.state() == QProcess::Running && probe.waitConnected(2000);
            },
            30000);
    }

    quint16 port = 0;

private:
    QString nginx;
    QString certificates;
    QTemporaryDir dir;
    QProcess process;
    QString configuration() const { return dir.filePath(QStringLiteral("nginx.conf")); }
    // The prefix, the configuration and the error log before the configuration names one.
    QStringList places() const
    {
        return {QStringLiteral("-p"), dir.path() + QLatin1Char('/'), QStringLiteral("-c"),
            configuration(), QStringLiteral("-e"), dir.filePath(QStringLiteral("error.log"))};
    }
};

RawAnswer exchange(quint16 port, const QByteArray &request, const QHostAddress &source = {})
{
    RawConnection connection(port, source, true);
    if (!connection.waitConnected())
        return {};
    connection.send(request);
    return connection.answer();
}
} // namespace

class ServiceFrontTest : public QObject {
    Q_OBJECT
    QString nginx;
    QTemporaryDir certificates;

private slots:
    void initTestCase()
    {
        nginx = QStandardPaths::findExecutable(QStringLiteral("nginx"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
        QVERIFY2(!nginx.isEmpty(), "nginx is not installed (scripts/setup installs it)");
        QByteArray output;
        QVERIFY2(run(QStringLiteral("openssl"),
                     {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                         QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                         QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                         QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                         QStringLiteral("/CN=localhost"), QStringLiteral("-keyout"),
                         certificates.filePath(QStringLiteral("key.pem")), QStringLiteral("-out"),
                         certificates.filePath(QStringLiteral("cert.pem"))},
                     &output)
                == 0,
            output.constData());
    }

    void nginxGuardsTheService()
    {
        ServiceProcess service(QStringLiteral(VELTO_SERVICE_EXE),
            {QStringLiteral("--trusted-proxy"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--auth-attempts"), QStringLiteral("3"),
                QStringLiteral("--auth-window"), QStringLiteral("600")});
        QVERIFY(service.start());
        NginxFront front(nginx, certificates.path());
        const QByteArray problem = front.configure(service.port(), {});
        QVERIFY2(problem.isEmpty(), problem.constData());
        QVERIFY2(front.start(), "nginx never answered");

        const QByteArray version = rawRequest("GET", "/api/v1/velto/app/latest-version");
        const RawAnswer latest = exchange(front.port, version);
        QCOMPARE(latest.status, 200);
        QCOMPARE(latest.object().value(QStringLiteral("latestVersion")).toString(),
            QStringLiteral("1.0.3"));
        QCOMPARE(exchange(front.port, rawRequest("GET", "/elsewhere")).status, 404);

        RawConnection huge(front.port, {}, true);
        QVERIFY(huge.waitConnected());
        huge.send("POST /api/v1/velto/feedback HTTP/1.1\r\nHost: localhost\r\n"
                  "Content-Type: application/json\r\nContent-Length: 500000000\r\n\r\n"
            + QByteArray(16 * 1024, 'x'));
        const RawAnswer tooLarge = huge.answer();
        QCOMPARE(tooLarge.status, 413);
        QVERIFY(tooLarge.object().contains(QLatin1String("message")));

        // The service counts login attempts by the address nginx passes on.
        const QByteArray login = rawRequest(
            "POST", "/api/v1/velto/auth/login", "{\"username\":\"nobody\",\"password\":\"x\"}");
        const QHostAddress first(QStringLiteral("127.0.0.2"));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(exchange(front.port, login, first).status, 401);
        const RawAnswer limited = exchange(front.port, login, first);
        QCOMPARE(limited.status, 429);
        QVERIFY(limited.object()
                    .value(QStringLiteral("message"))
                    .toString()
                    .startsWith(QStringLiteral("尝试次数过多")));
        QCOMPARE(
            exchange(front.port, login, QHostAddress(QStringLiteral("127.0.0.3"))).status, 401);
    }

    void nginxClosesStalledConnections()
    {
        ServiceProcess service(QStringLiteral(VELTO_SERVICE_EXE));
        QVERIFY(service.start());
        NginxFront front(nginx, certificates.path());
        const QByteArray problem = front.configure(service.port(),
            {{QStringLiteral("client_header_timeout"), QStringLiteral("1s")},
                {QStringLiteral("client_body_timeout"), QStringLiteral("1s")},
                {QStringLiteral("keepalive_timeout"), QStringLiteral("1s")}});
        QVERIFY2(problem.isEmpty(), problem.constData());
        QVERIFY2(front.start(), "nginx never answered");

        const QByteArray head = "POST /api/v1/velto/feedback HTTP/1.1\r\nHost: localhost\r\n";
        const QList<QByteArray> stalls {
            {}, head, head + "Content-Length: 100\r\n\r\n{\"content\":"};
        std::vector<std::unique_ptr<RawConnection>> connections;
        for (const QByteArray &bytes : stalls) {
            connections.push_back(
                std::make_unique<RawConnection>(front.port, QHostAddress(), true));
            QVERIFY(connections.back()->waitConnected());
            connections.back()->send(bytes);
        }
        for (std::size_t i = 0; i < connections.size(); ++i)
            QVERIFY2(connections[i]->waitClosed(30000),
                qPrintable(QStringLiteral("stalled connection %1 was never closed").arg(i)));
    }

    void nginxLimitsConnectionsPerAddress()
    {
        ServiceProcess service(QStringLiteral(VELTO_SERVICE_EXE));
        QVERIFY(service.start());
        NginxFront front(nginx, certificates.path());
        const QByteArray problem = front.configure(service.port(),
            {{QStringLiteral("limit_conn velto_conn"), QStringLiteral("2")},
                {QStringLiteral("client_body_timeout"), QStringLiteral("600s")}});
        QVERIFY2(problem.isEmpty(), problem.constData());
        QVERIFY2(front.start(), "nginx never answered");
        // Two requests whose bodies never finish are in progress; a third is refused with 503
        // once nginx has read their heads.
        std::vector<std::unique_ptr<RawConnection>> held;
        for (int i = 0; i < 2; ++i) {
            held.push_back(std::make_unique<RawConnection>(front.port, QHostAddress(), true));
            QVERIFY(held.back()->waitConnected());
            held.back()->send("POST /api/v1/velto/feedback HTTP/1.1\r\nHost: localhost\r\n"
                              "Content-Length: 100\r\n\r\n{");
        }
        const QByteArray version = rawRequest("GET", "/api/v1/velto/app/latest-version");
        QVERIFY2(
            QTest::qWaitFor([&]() { return exchange(front.port, version).status == 503; }, 30000),
            "a third connection in progress was never refused");
        QCOMPARE(
            exchange(front.port, version, QHostAddress(QStringLiteral("127.0.0.2"))).status, 200);
    }

    void systemdUnitStartsTheService()
    {
        const QByteArray unit
            = readFile(QDir(deployDir).filePath(QStringLiteral("velto-service.service")));
        const QRegularExpression execStart(QStringLiteral("\\nExecStart=(\\S+) ([^\\n]*)"));
        const QRegularExpressionMatch match = execStart.match(QString::fromUtf8(unit));
        QVERIFY(match.hasMatch());
        QTemporaryDir dir;
        const QString unitPath = dir.filePath(QStringLiteral("velto-service.service"));
        QVERIFY(writeFile(unitPath,
            QString::fromUtf8(unit)
                .replace(match.captured(1), QStringLiteral(VELTO_SERVICE_EXE))
                .toUtf8()));
        const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
        if (!analyze.isEmpty()) {
            QByteArray output;
            QCOMPARE(run(analyze, {QStringLiteral("verify"), unitPath}, &output), 0);
            QVERIFY2(output.trimmed().isEmpty(), output.constData());
        }
        // The unit's options, with a private data folder and any free port, start the service.
        QStringList arguments = match.captured(2).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        arguments[arguments.indexOf(QStringLiteral("--port")) + 1] = QStringLiteral("0");
        arguments[arguments.indexOf(QStringLiteral("--data")) + 1] = dir.path();
        ServiceProcess service(QStringLiteral(VELTO_SERVICE_EXE), arguments);
        QVERIFY2(service.start(), qPrintable(arguments.join(QLatin1Char(' '))));
    }
};

VELTO_TEST_MAIN_CORE(ServiceFrontTest)
#include "tst_servicefront.moc"
