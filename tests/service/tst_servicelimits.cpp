// What the reference service refuses to trust: expired tokens, look-alike account names,
// oversized, malformed, slow and idle requests, too many connections and too many login or
// registration attempts from one address. Each case runs a real service process.

#include "RawHttp.h"
#include "ServiceDatabase.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QPasswordDigestor>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

using velto::test::RawAnswer;
using velto::test::RawConnection;
using velto::test::rawRequest;
using velto::test::serviceExec;
using velto::test::ServiceProcess;
using velto::test::serviceScalar;

namespace {
const QString executable = QStringLiteral(VELTO_SERVICE_EXE);
const QHostAddress otherClient(QStringLiteral("127.0.0.2"));

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray accountBody(const QString &user, const QString &password, const QString &display = {})
{
    QJsonObject body {{QStringLiteral("username"), user}, {QStringLiteral("password"), password}};
    if (!display.isEmpty())
        body.insert(QStringLiteral("displayName"), display);
    return json(body);
}

const QByteArray feedbackBody = "{\"content\":\"登录后的反馈\"}";

QString tokenHash(const QByteArray &token)
{
    return QString::fromLatin1(QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex());
}

QByteArray bearer(const QByteArray &token)
{
    return "Authorization: Bearer " + token + "\r\n";
}

// One request on a connection of its own.
RawAnswer exchange(const ServiceProcess &service, const QByteArray &method, const char *path,
    const QByteArray &body = {}, const QByteArray &headers = {}, const QHostAddress &source = {})
{
    RawConnection connection(service.port(), source);
    if (!connection.waitConnected())
        return {};
    connection.send(rawRequest(method, QByteArray("/api/v1/velto/") + path, body, headers));
    return connection.answer();
}

RawAnswer post(const ServiceProcess &service, const char *path, const QByteArray &body,
    const QByteArray &headers = {}, const QHostAddress &source = {})
{
    return exchange(service, "POST", path, body, headers, source);
}

// Sends `head` and then up to `total` filler bytes on a plain blocking socket, as a client that
// ignores the answer would, until the other side closes; returns the bytes sent.
qint64 pour(quint16 port, const QByteArray &head, qint64 total)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    const timeval patience {10, 0}; // a send the service never takes ends the test's wait
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    qint64 sent = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
        && ::send(fd, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size()) {
        const QByteArray chunk(1 << 20, 'x');
        while (sent < total) {
            const ssize_t n = ::send(fd, chunk.constData(), size_t(chunk.size()), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
    }
    ::close(fd);
    return sent;
}

// The process's peak resident memory (VmHWM), in KiB; 0 when unknown.
qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QByteArray tokenOf(const RawAnswer &answer)
{
    return answer.object().value(QStringLiteral("accessToken")).toString().toUtf8();
}
} // namespace

class ServiceLimitsTest : public QObject {
    Q_OBJECT

private slots:
    void tokensExpireAndExpiredRowsGo()
    {
        ServiceProcess service(executable);
        QVERIFY(service.start());
        const QString db = service.databasePath();
        const QByteArray token
            = tokenOf(post(service, "auth/register", accountBody("ann", "pw-1", "Ann")));
        QVERIFY(!token.isEmpty());
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        const qint64 expires = serviceScalar(db,
            QStringLiteral("SELECT expires_at FROM tokens WHERE token_hash = ?"),
            {tokenHash(token)})
                                   .toLongLong();
        QVERIFY2(qAbs(expires - (now + 30 * 24 * 3600)) < 600, "a token lives 30 days");
        QCOMPARE(post(service, "feedback", feedbackBody, bearer(token)).status, 200);

        QVERIFY(serviceExec(db, QStringLiteral("UPDATE tokens SET expires_at = ?"), {now - 1}));
        QCOMPARE(post(service, "feedback", feedbackBody, bearer(token)).status, 401);
        const QString rowsOf = QStringLiteral("SELECT COUNT(*) FROM tokens WHERE token_hash = ?");
        QCOMPARE(serviceScalar(db, rowsOf, {tokenHash(token)}).toInt(), 0);

        // A login renews: a new token with a new lifetime; expired rows of others go with it.
        QVERIFY(serviceExec(db,
            QStringLiteral("INSERT INTO tokens (token_hash, account_id, created_at, expires_at)"
                           " VALUES ('stale', 1, '2020-01-01T00:00:00Z', ?)"),
            {now - 10}));
        const QByteArray renewed = tokenOf(post(service, "auth/login", accountBody("ann", "pw-1")));
        QVERIFY(!renewed.isEmpty() && renewed != token);
        QCOMPARE(serviceScalar(db, rowsOf, {QStringLiteral("stale")}).toInt(), 0);
        QCOMPARE(post(service, "feedback", feedbackBody, bearer(renewed)).status, 200);
    }

    void lookAlikeNamesAreOneAccount()
    {
        ServiceProcess service(
            executable, {QStringLiteral("--auth-attempts"), QStringLiteral("0")});
        QVERIFY(service.start());
        QCOMPARE(post(service, "auth/register", accountBody("bob", "pw-bob", "Bob")).status, 200);
        const QStringList variants {QStringLiteral("bob "), QStringLiteral("BOB"),
            QStringLiteral("ｂｏｂ"), QStringLiteral("Bob\u200b"), QStringLiteral("bob\u3000"),
            QStringLiteral("\u00adbob")};
        for (const QString &variant : variants) {
            const RawAnswer answer
                = post(service, "auth/register", accountBody(variant, "other", "X"));
            QVERIFY2(answer.status == 409, qPrintable(variant));
            QCOMPARE(answer.object().value(QStringLiteral("message")).toString(),
                QStringLiteral("该账号已被注册"));
        }
        QVERIFY(!tokenOf(post(service, "auth/login", accountBody("ＢＯＢ", "pw-bob"))).isEmpty());
        QCOMPARE(post(service, "auth/login", accountBody("BOB", "other")).status, 401);

        QCOMPARE(post(service, "auth/register",
                     accountBody(QStringLiteral("  Mei\u3000\u3000Li \n"), "pw", "梅"))
                     .status,
            200);
        QCOMPARE(serviceScalar(service.databasePath(),
                     QStringLiteral("SELECT username FROM accounts WHERE name_key = 'mei li'"))
                     .toString(),
            QStringLiteral("Mei Li"));
        QCOMPARE(post(service, "auth/register", accountBody("mei li", "pw", "M")).status, 409);
        QCOMPARE(
            post(service, "auth/register", accountBody(QStringLiteral("\u200b\u200d"), "pw", "Z"))
                .status,
            400);
    }

    void olderDatabasesKeepWorking()
    {
        ServiceProcess service(
            executable, {QStringLiteral("--auth-attempts"), QStringLiteral("0")});
        const QString db = service.databasePath();
        // The tables as they were before names were normalised and tokens expired.
        QVERIFY(serviceExec(db,
            QStringLiteral(
                "CREATE TABLE accounts (id INTEGER PRIMARY KEY, username TEXT NOT NULL UNIQUE,"
                " display_name TEXT NOT NULL, salt BLOB NOT NULL, iterations INTEGER NOT NULL,"
                " password_key BLOB NOT NULL, created_at TEXT NOT NULL)")));
        QVERIFY(serviceExec(db,
            QStringLiteral("CREATE TABLE tokens (token_hash TEXT PRIMARY KEY, account_id INTEGER"
                           " NOT NULL REFERENCES accounts(id), created_at TEXT NOT NULL)")));
        const QStringList users {
            QStringLiteral("bob"), QStringLiteral("bob "), QStringLiteral("Kai")};
        const QStringList passwords {
            QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")};
        for (int i = 0; i < users.size(); ++i) {
            const QByteArray salt = "salt-" + QByteArray::number(i);
            QVERIFY(serviceExec(db,
                QStringLiteral("INSERT INTO accounts VALUES (?, ?, 'X', ?, 1000, ?, "
                               "'2019-01-01T00:00:00Z')"),
                {i + 1, users[i], salt,
                    QPasswordDigestor::deriveKeyPbkdf2(
                        QCryptographicHash::Sha256, passwords[i].toUtf8(), salt, 1000, 32)}));
        }
        const QString insertToken = QStringLiteral("INSERT INTO tokens VALUES (?, ?, ?)");
        QVERIFY(serviceExec(
            db, insertToken, {tokenHash("years-old"), 1, QStringLiteral("2019-05-01T00:00:00Z")}));
        QVERIFY(serviceExec(db, insertToken,
            {tokenHash("recent"), 3, QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}));
        QVERIFY(service.start());

        struct Login {
            const char *user;
            const char *password;
            int status;
        };
        for (const Login &login :
            {Login {"bob", "one", 200}, Login {"bob ", "two", 200}, Login {"BOB", "one", 200},
                Login {"ｋａｉ", "three", 200}, Login {"BOB", "two", 401}}) {
            QVERIFY2(
                post(service, "auth/login",
                    accountBody(QString::fromUtf8(login.user), QString::fromUtf8(login.password)))
                        .status
                    == login.status,
                login.user);
        }
        QCOMPARE(post(service, "auth/register", accountBody("Bob", "x", "B")).status, 409);
        QCOMPARE(
            serviceScalar(db, QStringLiteral("SELECT COUNT(*) FROM tokens WHERE token_hash = ?"),
                {tokenHash("years-old")})
                .toInt(),
            0);
        QCOMPARE(post(service, "feedback", feedbackBody, bearer("years-old")).status, 401);
        QCOMPARE(post(service, "feedback", feedbackBody, bearer("recent")).status, 200);
    }

    void refusesRequestsBeforeReadingThem()
    {
        // A long time-out: here nothing may be closed for being slow.
        ServiceProcess service(
            executable, {QStringLiteral("--request-timeout"), QStringLiteral("600")});
        QVERIFY(service.start());
        const QByteArray feedback = "POST /api/v1/velto/feedback HTTP/1.1\r\nHost: x\r\n";
        struct Case {
            const char *what;
            QByteArray bytes;
            int status;
        };
        const QList<Case> cases {
            {"a 500 MB body",
                feedback + "Content-Length: 500000000\r\n\r\n" + QByteArray(65536, 'x'), 413},
            {"bare line ends", "POST /api/v1/velto/feedback HTTP/1.1\nContent-Length: 70000\n\n{",
                413},
            {"a chunked body", feedback + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", 411},
            {"a 20 KiB head", feedback + "X-Filler: " + QByteArray(20 * 1024, 'f') + "\r\n\r\n",
                431},
            {"two lengths", feedback + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n{}", 400},
            {"no request line", "HELLO\r\n\r\n", 400},
        };
        for (const Case &c : cases) {
            RawConnection connection(service.port());
            QVERIFY(connection.waitConnected());
            connection.send(c.bytes);
            const RawAnswer answer = connection.answer();
            QVERIFY2(answer.status == c.status,
                qPrintable(QStringLiteral("%1: %2").arg(QLatin1String(c.what)).arg(answer.status)));
            QVERIFY2(answer.object().contains(QLatin1String("message")), c.what);
            QVERIFY2(connection.waitClosed(20000), c.what);
        }

        // The watch follows a kept-alive connection: requests sent together are answered, a body
        // just under the limit is taken, and an oversized one later on is still refused.
        RawConnection kept(service.port());
        QVERIFY(kept.waitConnected());
        const QByteArray version = rawRequest("GET", "/api/v1/velto/app/latest-version");
        kept.send(version + version);
        QCOMPARE(kept.answer().status, 200);
        QCOMPARE(kept.answer().status, 200);
        const QByteArray large
            = json({{QStringLiteral("content"), QString(60000, QLatin1Char('y'))}});
        kept.send(rawRequest("POST", "/api/v1/velto/feedback", large));
        QCOMPARE(kept.answer().status, 200);
        kept.send(feedback + "Content-Length: 65537\r\n\r\n");
        QCOMPARE(kept.answer().status, 413);
        QVERIFY(kept.waitClosed(20000));
    }

    void refusedBodiesAreNotKept()
    {
        // Freed memory is given back at once, so that the process's peak shows what it held.
        const QByteArray sanitizer = qgetenv("ASAN_OPTIONS");
        qputenv(
            "ASAN_OPTIONS", sanitizer + ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0");
        ServiceProcess service(executable);
        const bool started = service.start();
        qputenv("ASAN_OPTIONS", sanitizer);
        QVERIFY(started);
        QCOMPARE(exchange(service, "GET", "app/latest-version").status, 200);
        const qint64 before = peakMemoryKiB(service.processId());

        const qint64 sent = pour(service.port(),
            "POST /api/v1/velto/feedback HTTP/1.1\r\nHost: x\r\nContent-Length: 500000000\r\n\r\n",
            256 << 20);
        QVERIFY2(sent > 0, "could not send to the service");
        const qint64 growth = peakMemoryKiB(service.processId()) - before;
        qInfo("sent %lld MiB after the refused head; peak memory grew by %lld KiB", sent >> 20,
            growth);
        QVERIFY2(growth < 32 * 1024, "the refused body was kept in memory");
    }

    void idleAndSlowConnectionsAreClosed()
    {
        ServiceProcess service(
            executable, {QStringLiteral("--request-timeout"), QStringLiteral("1")});
        QVERIFY(service.start());
        const QByteArray head = "POST /api/v1/velto/feedback HTTP/1.1\r\nHost: x\r\n";
        const QList<QByteArray> stalls {
            {}, // never sends a byte
            head, // stops within the head
            head + "Content-Length: 100\r\n\r\n{\"content\":", // stops within the body
        };
        std::vector<std::unique_ptr<RawConnection>> connections;
        for (int round = 0; round < 5; ++round) {
            for (const QByteArray &bytes : stalls) {
                connections.push_back(std::make_unique<RawConnection>(service.port()));
                QVERIFY(connections.back()->waitConnected());
                connections.back()->send(bytes);
            }
        }
        // One that was answered, then left idle.
        connections.push_back(std::make_unique<RawConnection>(service.port()));
        QVERIFY(connections.back()->waitConnected());
        connections.back()->send(rawRequest("GET", "/api/v1/velto/app/latest-version"));
        QCOMPARE(connections.back()->answer().status, 200);
        for (std::size_t i = 0; i < connections.size(); ++i)
            QVERIFY2(connections[i]->waitClosed(30000),
                qPrintable(QStringLiteral("connection %1 was never closed").arg(i)));
    }

    void capsConnections()
    {
        ServiceProcess service(executable,
            {QStringLiteral("--max-connections-per-address"), QStringLiteral("3"),
                QStringLiteral("--max-connections"), QStringLiteral("5"),
                QStringLiteral("--request-timeout"), QStringLiteral("600")});
        QVERIFY(service.start());
        std::vector<std::unique_ptr<RawConnection>> held;
        const auto hold = [&](const QHostAddress &source) {
            held.push_back(std::make_unique<RawConnection>(service.port(), source));
            return held.back()->waitConnected();
        };
        const auto version = [&](const QHostAddress &source) {
            return exchange(service, "GET", "app/latest-version", {}, {}, source);
        };
        for (int i = 0; i < 3; ++i)
            QVERIFY(hold({}));
        const RawAnswer refused = version({});
        QCOMPARE(refused.status, 503);
        QVERIFY(refused.object().contains(QLatin1String("message")));
        QCOMPARE(version(otherClient).status, 200);
        QVERIFY(hold(otherClient) && hold(otherClient));
        QCOMPARE(version(QHostAddress(QStringLiteral("127.0.0.3"))).status, 503); // five in all
        // A place held is given back when its connection closes.
        held.erase(held.begin());
        QVERIFY2(QTest::qWaitFor([&]() { return version({}).status == 200; }, 30000),
            "no connection was accepted again after one closed");
    }

    void limitsLoginAndRegistrationPerAddress()
    {
        const QHostAddress proxy(QStringLiteral("127.0.0.3"));
        ServiceProcess service(executable,
            {QStringLiteral("--auth-attempts"), QStringLiteral("3"),
                QStringLiteral("--auth-window"), QStringLiteral("600"),
                QStringLiteral("--trusted-proxy"), proxy.toString()});
        QVERIFY(service.start());
        const QByteArray ann = accountBody("ann", "pw");
        QCOMPARE(post(service, "auth/register", accountBody("ann", "pw", "Ann")).status, 200);
        QCOMPARE(post(service, "auth/login", accountBody("ann", "wrong")).status, 401);
        QCOMPARE(post(service, "auth/login", ann).status, 200);
        for (const char *path : {"auth/login", "auth/register"}) {
            const RawAnswer limited = post(service, path, accountBody("zed", "pw", "Z"));
            QCOMPARE(limited.status, 429);
            QVERIFY(limited.object()
                        .value(QStringLiteral("message"))
                        .toString()
                        .startsWith(QStringLiteral("尝试次数过多")));
            QVERIFY(limited.header("retry-after").toInt() > 0);
        }
        // Other endpoints and other addresses are not affected; a forwarded address counts
        // only from the trusted front server.
        QCOMPARE(exchange(service, "GET", "app/latest-version").status, 200);
        QCOMPARE(post(service, "auth/login", ann, {}, otherClient).status, 200);
        const QByteArray forwarded = "X-Real-IP: 198.51.100.7\r\n";
        QCOMPARE(post(service, "auth/login", ann, forwarded).status, 429);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(post(service, "auth/login", ann, forwarded, proxy).status, 200);
        QCOMPARE(post(service, "auth/login", ann, forwarded, proxy).status, 429);
        QCOMPARE(
            post(service, "auth/login", ann, "X-Real-IP: 198.51.100.8\r\n", proxy).status, 200);
        QCOMPARE(post(service, "auth/login", ann, {}, proxy).status, 200);
    }
};

VELTO_TEST_MAIN_CORE(ServiceLimitsTest)
#include "tst_servicelimits.moc"
