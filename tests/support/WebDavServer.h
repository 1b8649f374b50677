#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <functional>
#include <memory>

// A real WebDAV server for the sync tests: rclone serving a temporary folder on 127.0.0.1, on a
// free port it picks itself, with an account.
class WebDavServer {
public:
    WebDavServer(const QString &user = QStringLiteral("velto"),
        const QString &password = QStringLiteral("secret"))
    {
        const QString rclone = QStandardPaths::findExecutable(QStringLiteral("rclone"));
        if (rclone.isEmpty()) {
            m_error = QStringLiteral("rclone is not installed (scripts/setup installs it)");
            return;
        }
        m_process.setProgram(rclone);
        m_process.setArguments({QStringLiteral("serve"), QStringLiteral("webdav"),
            QStringLiteral("--config"), m_dir.filePath(QStringLiteral("rclone.conf")),
            QStringLiteral("--addr"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--user"), user,
            QStringLiteral("--pass"), password, m_dir.filePath(QStringLiteral("root"))});
        QDir().mkpath(m_dir.filePath(QStringLiteral("root")));
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start();
        // Wait for the line that names the address, bounded.
        QByteArray log;
        for (int waited = 0; waited < 600 && m_url.isEmpty(); ++waited) {
            if (!m_process.waitForReadyRead(100) && m_process.state() == QProcess::NotRunning)
                break;
            log += m_process.readAllStandardError();
            const qsizetype at = log.indexOf("started on ");
            if (at >= 0) {
                const qsizetype end = log.indexOf('\n', at);
                if (end > at)
                    m_url = QUrl(QString::fromUtf8(log.mid(at + 11, end - at - 11)).trimmed());
            }
        }
        if (m_url.isEmpty())
            m_error
                = QStringLiteral("rclone never said where it listens: ") + QString::fromUtf8(log);
    }

    ~WebDavServer()
    {
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    bool isReady() const { return m_url.isValid() && !m_url.isEmpty(); }
    QString error() const { return m_error; }
    QUrl url() const { return m_url; }
    QString folder() const { return m_dir.filePath(QStringLiteral("root")); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QUrl m_url;
    QString m_error;
};

// Apache httpd with mod_dav_fs serving a temporary folder on 127.0.0.1, without an account. Unlike
// rclone it gives folders ETags (made from their size and modification time, and weak within the
// second after a change).
class ApacheDavServer {
public:
    ApacheDavServer()
    {
        const QString apache = QStandardPaths::findExecutable(
            QStringLiteral("apache2"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
        const QString modules = QStringLiteral("/usr/lib/apache2/modules");
        if (apache.isEmpty() || !QFileInfo::exists(modules + QStringLiteral("/mod_dav_fs.so"))) {
            m_error = QStringLiteral("Apache with mod_dav is not installed (scripts/setup installs "
                                     "apache2-bin)");
            return;
        }
        // A free port, asked of the system (Apache cannot report one it picked).
        quint16 port = 0;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        // Run as root (CI), Apache serves as nobody: the folders must be open to it.
        const QString root = m_dir.filePath(QStringLiteral("root"));
        QDir().mkpath(root);
        QDir().mkpath(m_dir.filePath(QStringLiteral("lock")));
        const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
            | QFile::ExeOther;
        for (const QString &path : {m_dir.path(), root, m_dir.filePath(QStringLiteral("lock"))})
            QFile::setPermissions(path, open);
        QFile conf(m_dir.filePath(QStringLiteral("httpd.conf")));
        if (!conf.open(QIODevice::WriteOnly)) {
            m_error = conf.errorString();
            return;
        }
        QString text = QStringLiteral(
            "ServerRoot \"@DIR@\"\nListen 127.0.0.1:@PORT@\nServerName 127.0.0.1\n"
            "PidFile \"@DIR@/httpd.pid\"\nErrorLog \"@DIR@/error.log\"\nUser nobody\n"
            "Group nogroup\nLoadModule mpm_event_module @MOD@/mod_mpm_event.so\n"
            "LoadModule authz_core_module @MOD@/mod_authz_core.so\n"
            "LoadModule dav_module @MOD@/mod_dav.so\nLoadModule dav_fs_module @MOD@/mod_dav_fs.so\n"
            "DAVLockDB \"@DIR@/lock/DAVLock\"\nDocumentRoot \"@DIR@/root\"\n"
            "<Directory \"@DIR@/root\">\n  Dav On\n  Require all granted\n</Directory>\n");
        text.replace(QStringLiteral("@DIR@"), m_dir.path())
            .replace(QStringLiteral("@PORT@"), QString::number(port))
            .replace(QStringLiteral("@MOD@"), modules);
        conf.write(text.toUtf8());
        conf.close();
        m_process.setProgram(apache);
        m_process.setArguments(
            {QStringLiteral("-f"), conf.fileName(), QStringLiteral("-DFOREGROUND")});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        // Ready once it accepts a connection, bounded.
        for (int tries = 0; tries < 200 && m_url.isEmpty(); ++tries) {
            if (m_process.state() == QProcess::NotRunning)
                break;
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(100))
                m_url = QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port));
            else
                m_process.waitForFinished(50);
        }
        if (m_url.isEmpty()) {
            QFile log(m_dir.filePath(QStringLiteral("error.log")));
            log.open(QIODevice::ReadOnly);
            m_error = QStringLiteral("Apache never accepted a connection: ")
                + QString::fromUtf8(m_process.readAll() + log.readAll());
        }
    }

    ~ApacheDavServer()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(10000);
    }

    bool isReady() const { return !m_url.isEmpty(); }
    QString error() const { return m_error; }
    QUrl url() const { return m_url; }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QUrl m_url;
    QString m_error;
};

// A proxy in front of a server that can refuse requests: drop the connection or answer with an
// error status, for the requests a rule picks. Requests are forwarded one at a time per client
// connection, as the client sends them.
class FaultProxy : public QObject {
public:
    enum class Fault { None, Drop, Status500, Status507 };
    // Decides for each request (method, path, its number since the rule was set, from 1).
    using Rule = std::function<Fault(const QByteArray &method, const QByteArray &path, int n)>;

    explicit FaultProxy(const QUrl &upstream)
        : m_upstream(upstream)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                accept(client);
        });
    }

    QUrl url() const
    {
        QUrl url = m_upstream;
        url.setPort(m_server.serverPort());
        return url;
    }
    void setRule(Rule rule)
    {
        m_rule = std::move(rule);
        m_count = 0;
    }
    int faults() const { return m_faults; }

private:
    void accept(QTcpSocket *client)
    {
        client->setParent(this);
        auto *upstream = new QTcpSocket(client);
        upstream->connectToHost(m_upstream.host(), quint16(m_upstream.port()));
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(upstream, &QTcpSocket::readyRead, client,
            [client, upstream] { client->write(upstream->readAll()); });
        QObject::connect(upstream, &QTcpSocket::disconnected, client,
            [client] { client->disconnectFromHost(); });
        QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        QObject::connect(client, &QTcpSocket::readyRead, client, [this, client, upstream, buffer] {
            buffer->append(client->readAll());
            for (;;) {
                const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
                if (headerEnd < 0)
                    return;
                const QByteArray header = buffer->left(headerEnd);
                qsizetype length = 0;
                for (const QByteArray &line : header.split('\n')) {
                    if (line.toLower().startsWith("content-length:"))
                        length = line.mid(15).trimmed().toLongLong();
                }
                const qsizetype total = headerEnd + 4 + length;
                if (buffer->size() < total)
                    return;
                const QByteArray request = buffer->left(total);
                buffer->remove(0, total);
                const QList<QByteArray> first = header.left(header.indexOf('\r')).split(' ');
                const Fault fault
                    = m_rule ? m_rule(first.value(0), first.value(1), ++m_count) : Fault::None;
                if (fault == Fault::None) {
                    upstream->write(request);
                    continue;
                }
                ++m_faults;
                if (fault != Fault::Drop) {
                    client->write(fault == Fault::Status500
                            ? "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n"
                              "Connection: close\r\n\r\n"
                            : "HTTP/1.1 507 Insufficient Storage\r\nContent-Length: 0\r\n"
                              "Connection: close\r\n\r\n");
                    client->flush();
                }
                client->disconnectFromHost();
                buffer->clear();
                return;
            }
        });
    }

    QTcpServer m_server;
    QUrl m_upstream;
    Rule m_rule;
    int m_count = 0;
    int m_faults = 0;
};
