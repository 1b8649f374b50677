#include "WebDavTransport.h"

#include <QBuffer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>
#include <QXmlStreamReader>

namespace datasync {

namespace {

const QByteArray propfindBody
    = QByteArrayLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                        "<d:propfind xmlns:d=\"DAV:\"><d:prop><d:resourcetype/><d:getetag/>"
                        "<d:getcontentlength/></d:prop></d:propfind>");

SyncTransport::Result failed(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return SyncTransport::Result::Failed;
}

// The decoded path of an href (absolute or relative), without a trailing slash.
QString hrefPath(const QString &href, const QUrl &base)
{
    QString path = base.resolved(QUrl(href)).path(QUrl::FullyDecoded);
    while (path.endsWith(QLatin1Char('/')) && path.size() > 1)
        path.chop(1);
    return path;
}

} // namespace

WebDavTransport::WebDavTransport(const QUrl &base, const QString &user, const QString &password)
    : m_base(base)
{
    QString path = m_base.path();
    if (!path.endsWith(QLatin1Char('/')))
        m_base.setPath(path + QLatin1Char('/'));
    if (!user.isEmpty())
        m_authorization = "Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64();
}

QUrl WebDavTransport::urlOf(const QString &path) const
{
    QUrl relative;
    relative.setPath(path, QUrl::DecodedMode);
    return m_base.resolved(relative);
}

QNetworkRequest WebDavTransport::request(const QUrl &url) const
{
    QNetworkRequest request(url);
    request.setTransferTimeout(m_timeoutMs);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    if (!m_authorization.isEmpty())
        request.setRawHeader("Authorization", m_authorization);
    return request;
}

WebDavTransport::Reply WebDavTransport::send(
    const QByteArray &verb, const QNetworkRequest &request, const QByteArray &body)
{
    Reply result;
    QBuffer buffer;
    buffer.setData(body);
    buffer.open(QIODevice::ReadOnly);
    QNetworkReply *reply = m_network.sendCustomRequest(request, verb, &buffer);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer watch;
    if (m_stop) {
        QObject::connect(&watch, &QTimer::timeout, reply, [this, reply] {
            if (m_stop->load())
                reply->abort();
        });
        watch.start(50);
    }
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    if (result.status == 0)
        result.networkError = reply->errorString();
    delete reply;
    return result;
}

QString WebDavTransport::describe(const Reply &reply, const QString &what)
{
    if (reply.status == 0)
        return QStringLiteral("无法连接同步服务器（") + what + QStringLiteral("）：")
            + reply.networkError;
    if (reply.status == 401 || reply.status == 403)
        return QStringLiteral("同步服务器拒绝了账号或密码（HTTP %1）。").arg(reply.status);
    if (reply.status == 507)
        return QStringLiteral("同步服务器的空间不足（HTTP 507），") + what
            + QStringLiteral("未完成。");
    return QStringLiteral("同步服务器出错（HTTP %1），").arg(reply.status) + what
        + QStringLiteral("未完成。");
}

SyncTransport::Result WebDavTransport::list(
    const QString &folder, QList<RemoteEntry> *entries, QString *error)
{
    entries->clear();
    QString path = folder;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    const QUrl url = urlOf(path);
    QNetworkRequest req = request(url);
    req.setRawHeader("Depth", "1");
    req.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/xml"));
    Reply reply = send("PROPFIND", req, propfindBody);
    if (reply.status == 0) // a dropped connection: one more try before giving up
        reply = send("PROPFIND", req, propfindBody);
    if (reply.status == 404)
        return Result::Missing;
    if (reply.status != 207)
        return failed(error, describe(reply, QStringLiteral("读取文件夹 ") + folder));

    const QString self = hrefPath(url.toString(), url);
    QXmlStreamReader xml(reply.body);
    RemoteEntry entry;
    QString href;
    bool inResponse = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.namespaceUri() != QLatin1String("DAV:"))
            continue;
        const auto name = xml.name();
        if (xml.isStartElement()) {
            if (name == QLatin1String("response")) {
                inResponse = true;
                entry = RemoteEntry();
                href.clear();
            } else if (!inResponse) {
                continue;
            } else if (name == QLatin1String("href")) {
                href = xml.readElementText();
            } else if (name == QLatin1String("collection")) {
                entry.folder = true;
            } else if (name == QLatin1String("getetag")) {
                entry.etag = xml.readElementText();
            } else if (name == QLatin1String("getcontentlength")) {
                entry.size = xml.readElementText().toLongLong();
            }
        } else if (xml.isEndElement() && name == QLatin1String("response")) {
            inResponse = false;
            const QString entryPath = hrefPath(href, url);
            if (entryPath == self || href.isEmpty())
                continue;
            entry.name = entryPath.mid(entryPath.lastIndexOf(QLatin1Char('/')) + 1);
            if (!entry.name.isEmpty())
                entries->append(entry);
        }
    }
    if (xml.hasError())
        return failed(error, QStringLiteral("同步服务器的回答无法读取：") + xml.errorString());
    return Result::Ok;
}

SyncTransport::Result WebDavTransport::makeFolder(const QString &folder, QString *error)
{
    const Reply reply = send("MKCOL", request(urlOf(folder + QLatin1Char('/'))), {});
    if (reply.status == 201 || reply.status == 405 || reply.status == 200)
        return Result::Ok;
    return failed(error, describe(reply, QStringLiteral("创建文件夹 ") + folder));
}

SyncTransport::Result WebDavTransport::get(const QString &path, QByteArray *data, QString *error)
{
    const QNetworkRequest req = request(urlOf(path));
    Reply reply = send("GET", req, {});
    if (reply.status == 0)
        reply = send("GET", req, {});
    if (reply.status == 404)
        return Result::Missing;
    if (reply.status != 200)
        return failed(error, describe(reply, QStringLiteral("读取 ") + path));
    *data = reply.body;
    return Result::Ok;
}

SyncTransport::Result WebDavTransport::putNew(
    const QString &path, const QByteArray &data, QString *error)
{
    const QString temporary = path + QStringLiteral(".part-")
        + QString::number(QRandomGenerator::system()->generate64(), 16);
    const QUrl temporaryUrl = urlOf(temporary);
    const Reply put = send("PUT", request(temporaryUrl), data);
    if (put.status != 201 && put.status != 204 && put.status != 200)
        return failed(error, describe(put, QStringLiteral("上传 ") + path));
    QNetworkRequest move = request(temporaryUrl);
    move.setRawHeader("Destination", urlOf(path).toEncoded());
    move.setRawHeader("Overwrite", "F");
    const Reply moved = send("MOVE", move, {});
    if (moved.status == 201 || moved.status == 204)
        return Result::Ok;
    send("DELETE", request(temporaryUrl), {});
    if (moved.status == 412)
        return Result::Exists;
    return failed(error, describe(moved, QStringLiteral("上传 ") + path));
}

} // namespace datasync
