// velto-service: the reference online service for developing and testing Velto.

#include "ServiceServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTextStream>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

// Ctrl+C and SIGTERM end the event loop, so the database is closed properly.
void quitOnTerminationSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}
} // namespace
#endif

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velto-service"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The reference online service of Velto: device registration, telemetry, version check,\n"
        "accounts and feedback under /api/v1/velto/, with its own SQLite database.\n"
        "The answer of app/latest-version is the JSON object in DIR/latest-version.json\n"
        "(keys latestVersion, forceUpgradeVersion, message, downloadUrl); without that file it\n"
        "is {\"latestVersion\": \"1.0.3\"}."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("TCP port to listen on; 0 picks a free one (default 8470)."),
        QStringLiteral("port"), QStringLiteral("8470"));
    const QCommandLineOption dataOption(QStringLiteral("data"),
        QStringLiteral("Directory of the database and latest-version.json."), QStringLiteral("DIR"),
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    const QCommandLineOption listenOption(QStringLiteral("listen"),
        QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption timeoutOption(QStringLiteral("request-timeout"),
        QStringLiteral("Seconds a connection has to send a whole request after opening or after"
                       " its previous request; idle and slow connections are closed after it"
                       " (default 10)."),
        QStringLiteral("seconds"), QStringLiteral("10"));
    const QCommandLineOption connectionsOption(QStringLiteral("max-connections"),
        QStringLiteral("Open connections at most; more are answered 503 (default 512)."),
        QStringLiteral("count"), QStringLiteral("512"));
    const QCommandLineOption perAddressOption(QStringLiteral("max-connections-per-address"),
        QStringLiteral("Open connections from one client address at most; more are answered 503"
                       " (default 128)."),
        QStringLiteral("count"), QStringLiteral("128"));
    const QCommandLineOption attemptsOption(QStringLiteral("auth-attempts"),
        QStringLiteral("Login and registration attempts allowed per client address within"
                       " --auth-window; more are answered 429. 0 turns the limit off"
                       " (default 10)."),
        QStringLiteral("count"), QStringLiteral("10"));
    const QCommandLineOption windowOption(QStringLiteral("auth-window"),
        QStringLiteral("Seconds of the sliding window of --auth-attempts (default 60)."),
        QStringLiteral("seconds"), QStringLiteral("60"));
    const QCommandLineOption proxyOption(QStringLiteral("trusted-proxy"),
        QStringLiteral("Address of a front server (nginx) whose X-Real-IP header names the client"
                       " for --auth-attempts."),
        QStringLiteral("address"));
    parser.addOptions({portOption, dataOption, listenOption, timeoutOption, connectionsOption,
        perAddressOption, attemptsOption, windowOption, proxyOption});
    parser.process(app);

    QTextStream err(stderr);
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    const QHostAddress address(parser.value(listenOption));
    if (!portOk || port > 65535 || address.isNull()) {
        err << "velto-service: invalid --port or --listen value\n";
        return 2;
    }
    // Seconds (fractions allowed) as milliseconds, -1 when not a positive number.
    const auto milliseconds = [&parser](const QCommandLineOption &option) {
        bool ok = false;
        const double seconds = parser.value(option).toDouble(&ok);
        return ok && seconds > 0 && seconds <= 86400 ? int(seconds * 1000) : -1;
    };
    const auto count = [&parser](const QCommandLineOption &option) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        return ok && value >= 0 ? value : -1;
    };
    ServiceLimits limits;
    limits.connections.requestTimeoutMs = milliseconds(timeoutOption);
    limits.connections.maxConnections = count(connectionsOption);
    limits.connections.maxConnectionsPerAddress = count(perAddressOption);
    limits.authAttempts = count(attemptsOption);
    limits.authWindowMs = milliseconds(windowOption);
    if (parser.isSet(proxyOption))
        limits.trustedProxy = QHostAddress(parser.value(proxyOption));
    if (limits.connections.requestTimeoutMs < 1 || limits.connections.maxConnections < 1
        || limits.connections.maxConnectionsPerAddress < 1 || limits.authAttempts < 0
        || limits.authWindowMs < 1 || (parser.isSet(proxyOption) && limits.trustedProxy.isNull())) {
        err << "velto-service: invalid limit; see --help\n";
        return 2;
    }
    ServiceServer server(limits);
    QString error;
    const quint16 bound = server.start(
        QDir(parser.value(dataOption)).absolutePath(), address, quint16(port), &error);
    if (!bound) {
        err << "velto-service: " << error << '\n';
        return 1;
    }
#ifdef Q_OS_UNIX
    quitOnTerminationSignals(app);
#endif
    QTextStream out(stdout);
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(address.toString())
        : address.toString();
    out << "velto-service listening on http://" << host << ':' << bound << "/api/v1/velto/\n";
    out << "data: " << QDir(parser.value(dataOption)).absolutePath() << '\n';
    out.flush();
    return app.exec();
}
