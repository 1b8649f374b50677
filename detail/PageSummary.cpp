#include "PageSummary.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextDocument>
#include <QTimer>

namespace {

PageDownloadLimits &limits()
{
    static PageDownloadLimits current;
    return current;
}

// Browsers look for a meta charset only near the start of a page; so do we, a little further.
constexpr qsizetype metaCharsetScanBytes = 8192;

const QRegularExpression &metaTagPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("<meta\\b[^>]*>"), QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

QRegularExpression attributePattern(const QString &attribute)
{
    return QRegularExpression(
        QStringLiteral("\\b%1\\s*=\\s*(['\"])(.*?)\\1").arg(QRegularExpression::escape(attribute)),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
}

// The attributes the summary reads are compiled once; any other is compiled on demand.
const QRegularExpression *knownAttributePattern(const QString &attribute)
{
    static const QRegularExpression name = attributePattern(QStringLiteral("name"));
    static const QRegularExpression property = attributePattern(QStringLiteral("property"));
    static const QRegularExpression content = attributePattern(QStringLiteral("content"));
    static const QRegularExpression httpEquiv = attributePattern(QStringLiteral("http-equiv"));
    if (attribute == QLatin1String("name"))
        return &name;
    if (attribute == QLatin1String("property"))
        return &property;
    if (attribute == QLatin1String("content"))
        return &content;
    if (attribute == QLatin1String("http-equiv"))
        return &httpEquiv;
    return nullptr;
}

// Encoding labels as browsers read them: pages that say gb2312 or latin1 are really written in
// the wider GBK and windows-1252, and a page cannot describe itself as UTF-16 in ASCII bytes.
QByteArray encodingForLabel(QByteArray label, bool fromMeta)
{
    label = label.trimmed().toLower();
    static const char *const gbk[] = {"gb2312", "gb_2312", "gb_2312-80", "chinese", "csgb2312",
        "csiso58gb231280", "iso-ir-58", "x-gbk", "gbk"};
    for (const char *alias : gbk)
        if (label == alias)
            return QByteArrayLiteral("GBK");
    static const char *const western[] = {"iso-8859-1", "iso8859-1", "latin1", "l1", "us-ascii",
        "ascii", "cp1252", "windows-1252", "x-cp1252", "iso_8859-1", "cp819"};
    for (const char *alias : western)
        if (label == alias)
            return QByteArrayLiteral("windows-1252");
    if (fromMeta && label.startsWith("utf-16"))
        return QByteArrayLiteral("UTF-8");
    return label;
}

QByteArray charsetParameter(const QByteArray &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9_.:\\-]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(text));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

QByteArray metaCharset(const QByteArray &body)
{
    static const QRegularExpression pattern(
        QStringLiteral("<meta\\b[^>]*?charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9_.:\\-]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match
        = pattern.match(QString::fromLatin1(body.left(metaCharsetScanBytes)));
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

bool decodeWith(const QByteArray &encoding, const QByteArray &body, QString *text)
{
    if (encoding.isEmpty())
        return false;
    QStringDecoder decoder(encoding.constData());
    if (!decoder.isValid())
        return false;
    *text = decoder.decode(body);
    return true;
}

// Watches one page download: keeps the body up to the byte limit and enforces the overall time
// limit. Lives as a child of its reply.
class PageBodyCollector : public QObject {
    Q_OBJECT

public:
    PageBodyCollector(QNetworkReply *reply, const PageDownloadLimits &limits)
        : QObject(reply)
        , reply(reply)
        , maxBytes(limits.maxBytes)
    {
        setObjectName(QStringLiteral("pageBodyCollector"));
        connect(reply, &QIODevice::readyRead, this, &PageBodyCollector::collect);
        auto *overall = new QTimer(this);
        overall->setSingleShot(true);
        connect(overall, &QTimer::timeout, this, [this]() {
            timedOut = true;
            this->reply->abort();
        });
        overall->start(limits.totalTimeoutMs);
    }

    // Takes whatever is still buffered in the reply.
    void collect()
    {
        if (truncated || timedOut || !reply->isOpen())
            return;
        const qint64 room = maxBytes - body.size();
        if (room > 0)
            body += reply->read(room);
        if (body.size() >= maxBytes && !reply->isFinished()) {
            // Enough of the page: stop the transfer and keep what arrived.
            truncated = true;
            reply->abort();
        }
    }

    QNetworkReply *reply;
    qint64 maxBytes;
    QByteArray body;
    bool truncated = false;
    bool timedOut = false;
};

} // namespace

QString attributeValue(const QString &tag, const QString &attribute)
{
    const QRegularExpression *known = knownAttributePattern(attribute);
    const QRegularExpressionMatch match
        = known ? known->match(tag) : attributePattern(attribute).match(tag);
    return match.hasMatch() ? match.captured(2).trimmed() : QString();
}

QString plainHtml(const QString &html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText().simplified();
}

QString decodePageText(const QByteArray &body, const QByteArray &contentType)
{
    QString text;
    if (body.startsWith("\xEF\xBB\xBF"))
        decodeWith(QByteArrayLiteral("UTF-8"), body, &text);
    else if (body.startsWith("\xFE\xFF"))
        decodeWith(QByteArrayLiteral("UTF-16BE"), body, &text);
    else if (body.startsWith("\xFF\xFE"))
        decodeWith(QByteArrayLiteral("UTF-16LE"), body, &text);
    else if (!decodeWith(encodingForLabel(charsetParameter(contentType), false), body, &text)
        && !decodeWith(encodingForLabel(metaCharset(body), true), body, &text))
        text = QString::fromUtf8(body);
    return text;
}

PageSummary readPageSummary(const QString &html, const QUrl &pageUrl)
{
    PageSummary page;
    QRegularExpressionMatchIterator tags = metaTagPattern().globalMatch(html);
    while (tags.hasNext()) {
        const QString tag = tags.next().captured(0);
        const QString name = attributeValue(tag, QStringLiteral("name")).toLower();
        const QString property = attributeValue(tag, QStringLiteral("property")).toLower();
        if (name != QLatin1String("description") && property != QLatin1String("description")
            && property != QLatin1String("og:description"))
            continue;
        const QString text = plainHtml(attributeValue(tag, QStringLiteral("content")));
        if (!text.isEmpty()) {
            page.summary = text;
            return page;
        }
    }

    static const QRegularExpression titlePattern(QStringLiteral("<title[^>]*>(.*?)</title>"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch title = titlePattern.match(html);
    if (title.hasMatch())
        page.summary = plainHtml(title.captured(1));
    if (!page.summary.isEmpty())
        return page;

    static const QRegularExpression refreshUrl(
        QStringLiteral("\\burl\\s*=\\s*(.+)$"), QRegularExpression::CaseInsensitiveOption);
    tags = metaTagPattern().globalMatch(html);
    while (tags.hasNext()) {
        const QString tag = tags.next().captured(0);
        if (attributeValue(tag, QStringLiteral("http-equiv"))
                .compare(QLatin1String("refresh"), Qt::CaseInsensitive)
            != 0)
            continue;
        const QRegularExpressionMatch target
            = refreshUrl.match(attributeValue(tag, QStringLiteral("content")));
        if (!target.hasMatch())
            continue;
        const QUrl url = pageUrl.resolved(QUrl(target.captured(1).trimmed(), QUrl::TolerantMode));
        if (url.isValid() && url != pageUrl)
            page.refreshTarget = url;
        break;
    }
    return page;
}

PageDownloadLimits PageDownloadLimits::current()
{
    return limits();
}

void PageDownloadLimits::setCurrent(const PageDownloadLimits &newLimits)
{
    limits() = newLimits;
}

QNetworkReply *startPageDownload(QNetworkAccessManager *network, const QUrl &url)
{
    const PageDownloadLimits bounds = limits();
    QNetworkRequest request(url);
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Velto/0.1"));
    // Fires only while no bytes arrive; the collector bounds the whole transfer.
    request.setTransferTimeout(bounds.idleTimeoutMs);
    QNetworkReply *reply = network->get(request);
    new PageBodyCollector(reply, bounds);
    return reply;
}

PageDownload finishPageDownload(QNetworkReply *reply)
{
    PageDownload download;
    auto *collector = reply->findChild<PageBodyCollector *>(
        QStringLiteral("pageBodyCollector"), Qt::FindDirectChildrenOnly);
    if (!collector)
        return download;
    collector->collect();
    if (collector->timedOut)
        return download;
    if (!collector->truncated && reply->error() != QNetworkReply::NoError)
        return download;
    download.ok = true;
    download.body = collector->body;
    download.contentType = reply->rawHeader("Content-Type");
    return download;
}

#include "PageSummary.moc"
