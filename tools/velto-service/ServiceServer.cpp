#include "ServiceServer.h"

#include "AccountName.h"

#include <QDir>
#include <QFile>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
using Status = QHttpServerResponse::StatusCode;

const QString apiPrefix = QStringLiteral("/api/v1/velto/");

QHttpServerResponse refusal(const QString &message, Status status)
{
    return QHttpServerResponse(QJsonObject {{QStringLiteral("message"), message}}, status);
}

// The reply to a sign-in or a sign-up: the new token, the refusal given, or a server error.
QHttpServerResponse tokenReply(ServiceStore::Outcome outcome, const QString &token,
    const QString &refusedMessage, Status refusedStatus)
{
    switch (outcome) {
    case ServiceStore::Outcome::Ok:
        return QHttpServerResponse(QJsonObject {{QStringLiteral("accessToken"), token}});
    case ServiceStore::Outcome::Refused:
        return refusal(refusedMessage, refusedStatus);
    case ServiceStore::Outcome::Failed:
        break;
    }
    return refusal(QStringLiteral("服务暂时不可用"), Status::InternalServerError);
}

// The answer to a client that tries to log in or register too often.
QHttpServerResponse tooManyAttempts(int waitSeconds)
{
    QHttpServerResponse response = refusal(
        QStringLiteral("尝试次数过多，请 %1 秒后再试").arg(waitSeconds), Status::TooManyRequests);
    response.setHeader(QByteArrayLiteral("Retry-After"), QByteArray::number(waitSeconds));
    return response;
}

QJsonObject bodyObject(const QHttpServerRequest &request, bool *ok)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body(), &parseError);
    *ok = parseError.error == QJsonParseError::NoError && document.isObject();
    return document.object();
}

// A non-empty string under `key`.
bool hasText(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() && !value.toString().trimmed().isEmpty();
}

bool isText(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).isString();
}

// The bearer token of the request: null when there is no Authorization header, empty when the
// header is not a bearer token.
std::optional<QString> bearerToken(const QHttpServerRequest &request)
{
    for (const auto &header : request.headers()) {
        if (header.first.compare("authorization", Qt::CaseInsensitive) != 0)
            continue;
        const QByteArray value = header.second.trimmed();
        if (!value.startsWith("Bearer "))
            return QString();
        return QString::fromUtf8(value.mid(7).trimmed());
    }
    return std::nullopt;
}

// The account a request is sent for: 0 without a token; false when its token is not valid.
bool requestAccount(ServiceStore &store, const QHttpServerRequest &request, qint64 *account)
{
    const auto token = bearerToken(request);
    *account = token ? store.accountForToken(*token) : 0;
    return !token || *account != 0;
}
} // namespace

ServiceServer::ServiceServer(const ServiceLimits &limits, QObject *parent)
    : QObject(parent)
    , limits(limits)
    , authAttempts(limits.authAttempts, limits.authWindowMs)
{
    post("devices/register", &ServiceServer::registerDevice);
    post("telemetry/events", &ServiceServer::telemetry);
    post("auth/login", &ServiceServer::login);
    post("auth/register", &ServiceServer::registerAccount);
    post("feedback", &ServiceServer::feedback);
    http.route(apiPrefix + QStringLiteral("app/latest-version"),
        [this](const QHttpServerRequest &request) {
            if (request.method() != QHttpServerRequest::Method::Get)
                return QHttpServerResponse(Status::MethodNotAllowed);
            return latestVersion(request);
        });
}

void ServiceServer::post(const char *path, Handler handler)
{
    http.route(apiPrefix + QLatin1String(path), [this, handler](const QHttpServerRequest &request) {
        if (request.method() != QHttpServerRequest::Method::Post)
            return QHttpServerResponse(Status::MethodNotAllowed);
        if (request.body().size() > limits.connections.maxBodyBytes)
            return refusal(QStringLiteral("请求内容过大"), Status::PayloadTooLarge);
        return (this->*handler)(request);
    });
}

quint16 ServiceServer::start(
    const QString &directory, const QHostAddress &address, quint16 port, QString *error)
{
    dataDirectory = directory;
    if (!store.open(directory, error))
        return 0;
    // The HTTP server takes ownership of the listening socket.
    auto *server = new GuardedTcpServer(limits.connections, &http);
    if (!server->listen(address, port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(address.toString())
                         .arg(port)
                         .arg(server->errorString());
        delete server;
        return 0;
    }
    http.bind(server);
    return server->serverPort();
}

int ServiceServer::authWait(const QHttpServerRequest &request)
{
    QHostAddress client = request.remoteAddress();
    if (!limits.trustedProxy.isNull() && client.isEqual(limits.trustedProxy)) {
        const QHostAddress forwarded(QString::fromLatin1(request.value("X-Real-IP").trimmed()));
        if (!forwarded.isNull())
            client = forwarded;
    }
    return authAttempts.attempt(client);
}

QHttpServerResponse ServiceServer::registerDevice(const QHttpServerRequest &request)
{
    bool ok = false;
    const QJsonObject body = bodyObject(request, &ok);
    if (!ok || !hasText(body, "installId") || !isText(body, "hardwareHash"))
        return refusal(QStringLiteral("无效的设备信息"), Status::BadRequest);
    if (!store.saveDevice(body))
        return refusal(QStringLiteral("服务暂时不可用"), Status::InternalServerError);
    return QHttpServerResponse(QJsonObject {{QStringLiteral("registered"), true}});
}

QHttpServerResponse ServiceServer::telemetry(const QHttpServerRequest &request)
{
    qint64 account = 0;
    if (!requestAccount(store, request, &account))
        return refusal(QStringLiteral("登录已失效"), Status::Unauthorized);
    bool ok = false;
    const QJsonObject body = bodyObject(request, &ok);
    const QJsonArray events = body.value(QStringLiteral("events")).toArray();
    ok = ok && body.value(QStringLiteral("events")).isArray() && !events.isEmpty();
    for (const QJsonValue &value : events) {
        const QJsonObject event = value.toObject();
        ok = ok && hasText(event, "eventId") && hasText(event, "eventName");
    }
    if (!ok)
        return refusal(QStringLiteral("无效的事件"), Status::BadRequest);
    const int added = store.saveEvents(events, account);
    if (added < 0)
        return refusal(QStringLiteral("服务暂时不可用"), Status::InternalServerError);
    return QHttpServerResponse(QJsonObject {{QStringLiteral("accepted"), added}});
}

QHttpServerResponse ServiceServer::login(const QHttpServerRequest &request)
{
    if (const int wait = authWait(request))
        return tooManyAttempts(wait);
    bool ok = false;
    const QJsonObject body = bodyObject(request, &ok);
    if (!ok || !hasText(body, "username") || !isText(body, "password"))
        return refusal(QStringLiteral("请填写完整信息"), Status::BadRequest);
    QString token;
    const auto outcome = store.login(body.value(QStringLiteral("username")).toString(),
        body.value(QStringLiteral("password")).toString(), &token);
    return tokenReply(outcome, token, QStringLiteral("账号或密码错误"), Status::Unauthorized);
}

QHttpServerResponse ServiceServer::registerAccount(const QHttpServerRequest &request)
{
    if (const int wait = authWait(request))
        return tooManyAttempts(wait);
    bool ok = false;
    const QJsonObject body = bodyObject(request, &ok);
    if (!ok || !hasText(body, "displayName")
        || accountNameKey(body.value(QStringLiteral("username")).toString()).isEmpty()
        || body.value(QStringLiteral("password")).toString().isEmpty())
        return refusal(QStringLiteral("请填写完整信息"), Status::BadRequest);
    QString token;
    const auto outcome = store.createAccount(body.value(QStringLiteral("username")).toString(),
        body.value(QStringLiteral("password")).toString(),
        body.value(QStringLiteral("displayName")).toString(), &token);
    return tokenReply(outcome, token, QStringLiteral("该账号已被注册"), Status::Conflict);
}

QHttpServerResponse ServiceServer::feedback(const QHttpServerRequest &request)
{
    qint64 account = 0;
    if (!requestAccount(store, request, &account))
        return refusal(QStringLiteral("登录已失效"), Status::Unauthorized);
    bool ok = false;
    const QJsonObject body = bodyObject(request, &ok);
    if (!ok || !hasText(body, "content"))
        return refusal(QStringLiteral("无效的反馈"), Status::BadRequest);
    const QString ticket = store.saveFeedback(body, account);
    if (ticket.isEmpty())
        return refusal(QStringLiteral("服务暂时不可用"), Status::InternalServerError);
    return QHttpServerResponse(QJsonObject {{QStringLiteral("ticketNo"), ticket}});
}

QHttpServerResponse ServiceServer::latestVersion(const QHttpServerRequest &)
{
    // Read on every request, so that the operator's edits apply at once.
    QFile file(QDir(dataDirectory).filePath(QStringLiteral("latest-version.json")));
    if (!file.exists())
        return QHttpServerResponse(
            QJsonObject {{QStringLiteral("latestVersion"), QStringLiteral("1.0.3")}});
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxVersionFileBytes)
        return refusal(QStringLiteral("版本信息不可用"), Status::InternalServerError);
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return refusal(QStringLiteral("版本信息不可用"), Status::InternalServerError);
    return QHttpServerResponse(document.object());
}
