#pragma once

// Runs the reference service (tools/velto-service) as a real process on 127.0.0.1 with a free
// port and a private data folder, for tests of the online client and of the service itself.
// Header-only; the test passes the executable's path.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace velto::test {

class ServiceProcess {
public:
    // `arguments` are added to the port and data folder (limits, for instance).
    explicit ServiceProcess(const QString &executable, const QStringList &arguments = {})
    {
        process.setProgram(executable);
        process.setArguments(QStringList {QStringLiteral("--port"), QStringLiteral("0"),
                                 QStringLiteral("--data"), data.path()}
            + arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    }
    ~ServiceProcess()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts the service and waits for the line that tells its address.
    bool start()
    {
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        static const QRegularExpression line(QStringLiteral("listening on (http://\\S+/)"));
        QByteArray output;
        while (process.waitForReadyRead(10000)) {
            output += process.readAllStandardOutput();
            const QRegularExpressionMatch match = line.match(QString::fromUtf8(output));
            if (match.hasMatch()) {
                apiBase = match.captured(1);
                return true;
            }
        }
        return false;
    }

    // Ends the process so that its database can be read whole.
    void stop()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }

    // The answer of "app/latest-version" from now on.
    void setLatestVersion(const QByteArray &json) const
    {
        QFile file(dataPath(QStringLiteral("latest-version.json")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(json);
    }

    QString dataPath(const QString &name) const { return QDir(data.path()).filePath(name); }
    QString databasePath() const { return dataPath(QStringLiteral("service.db")); }

    quint16 port() const { return quint16(QUrl(apiBase).port()); }
    qint64 processId() const { return process.processId(); }

    // Base address ending in "/api/v1/velto/".
    QString apiBase;

private:
    QTemporaryDir data;
    QProcess process;
};

} // namespace velto::test
