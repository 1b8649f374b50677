#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// The one-line summary of a web page: its description meta tag or, failing that, its title.
struct PageSummary {
    QString summary;
    // Set when the page has no summary but refreshes to another address (already resolved against
    // the page's own address, never the page itself).
    QUrl refreshTarget;
};

// The quoted value of `attribute` in one tag, trimmed; empty when it is missing or unquoted.
QString attributeValue(const QString &tag, const QString &attribute);

// The text of an HTML fragment with entities decoded and white space collapsed onto one line.
QString plainHtml(const QString &html);

// Decodes a downloaded page the way browsers pick its encoding: a byte-order mark, else the
// charset of the Content-Type header, else a meta charset near the start; UTF-8 when none of
// them names an encoding that can be decoded.
QString decodePageText(const QByteArray &body, const QByteArray &contentType);

// Reads the summary, or the refresh target when there is no summary, out of a decoded page.
PageSummary readPageSummary(const QString &html, const QUrl &pageUrl);

// Bounds of one page download. A page is read up to maxBytes (what arrived is kept); a download
// that receives nothing for idleTimeoutMs or takes longer than totalTimeoutMs in all fails.
struct PageDownloadLimits {
    qint64 maxBytes = 1024 * 1024;
    int idleTimeoutMs = 15000;
    int totalTimeoutMs = 30000;

    static PageDownloadLimits current();
    // For tests that cannot wait for the real limits. GUI thread only.
    static void setCurrent(const PageDownloadLimits &limits);
};

// Starts a GET for a page summary (user agent "Velto/0.1", redirects followed unless they go from
// https to http) under the current limits. The reply belongs to `network`.
QNetworkReply *startPageDownload(QNetworkAccessManager *network, const QUrl &url);

struct PageDownload {
    bool ok = false;
    QByteArray body; // at most PageDownloadLimits::maxBytes
    QByteArray contentType; // the Content-Type header as received
};

// The outcome of a reply made by startPageDownload, once it has finished.
PageDownload finishPageDownload(QNetworkReply *reply);
