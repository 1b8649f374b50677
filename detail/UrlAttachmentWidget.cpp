#include "UrlAttachmentWidget.h"

#include "ResourceRow.h"

#include "HostOperations.h"
#include "PageSummary.h"
#include "ResourceLocation.h"
#include "UiMetrics.h"

#include <QCheckBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

bool isWebScheme(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

} // namespace

UrlAttachmentWidget::UrlAttachmentWidget(const Attachment &attachment, QWidget *parent)
    : ResourceWindow(parent)
    , attachment(attachment)
{
    setStyleSheet(QStringLiteral(
        "UrlAttachmentWidget { background:#ffffff; border:1px solid #b8c0cc; }"
        "QLineEdit { background:#ffffff; color:#202124; border:1px solid #b8c0cc; "
        "font-size:%1px; padding:%2px %3px; selection-background-color:#316ac5; "
        "selection-color:#ffffff; }"
        "QPushButton { color:#1d2939; background:#f8fafc; border:1px solid #b8c0cc; "
        "border-radius:4px; padding:1px %3px; font-size:%1px; font-weight:600; }"
        "QCheckBox { font-size:%1px; }"
        "QPushButton:hover { background:#e8eef6; border-color:#8fa1b6; }"
        "QPushButton:disabled { color:#667085; background:#f2f4f7; border-color:#d0d5dd; }")
                      .arg(QString::number(UiMetrics::px(14)), QString::number(UiMetrics::px(4)),
                          QString::number(UiMetrics::px(7))));

    QHBoxLayout *rowLayout = buildResourceRow(this);
    QWidget *row = rowLayout->parentWidget();

    locationEdit = new QLineEdit(attachment.location, row);
    locationEdit->setPlaceholderText(QStringLiteral("输入或粘贴 URL"));
    locationEdit->setFixedHeight(UiMetrics::px(resourceRowHeight));
    locationEdit->installEventFilter(this);
    rowLayout->addWidget(locationEdit, 1);

    openButton = new QPushButton(QStringLiteral("打开"), row);
    openButton->setMinimumWidth(UiMetrics::px(52));
    openButton->setFixedHeight(UiMetrics::px(30));
    openButton->hide();
    rowLayout->addWidget(openButton);

    summaryToggle = new QCheckBox(QStringLiteral("简介"), row);
    summaryToggle->setToolTip(QStringLiteral("显示或隐藏简介"));
    summaryToggle->setChecked(false);
    summaryToggle->hide();
    rowLayout->addWidget(summaryToggle);

    network = new QNetworkAccessManager(this);
    connect(locationEdit, &QLineEdit::editingFinished, this, &UrlAttachmentWidget::urlEdited);
    connect(openButton, &QPushButton::clicked, this, &UrlAttachmentWidget::openUrl);
    updateAppearance();
}

QString UrlAttachmentWidget::location() const
{
    return resourceLocationWithoutComment(locationEdit->text());
}

QString UrlAttachmentWidget::summary() const
{
    return location().isEmpty() ? QString() : storedSummary;
}

void UrlAttachmentWidget::setSummary(const QString &summary)
{
    const QString loc = location();
    attachment.location = loc;
    storedSummary = loc.isEmpty() ? QString() : summary.trimmed();
    locationEdit->setText(loc);
    locationEdit->setCursorPosition(0);
}

ContentBlock UrlAttachmentWidget::snapshot() const
{
    ContentBlock block;
    block.type = ContentBlock::WebLink;
    block.value = location();
    block.summary = summary();
    return block;
}

void UrlAttachmentWidget::restore(const ContentBlock &block)
{
    locationEdit->setText(block.value);
    setSummary(block.summary);
}

void UrlAttachmentWidget::setEditingEnabled(bool enabled)
{
    setEnabled(enabled);
}

void UrlAttachmentWidget::activateResource()
{
    locationEdit->setFocus(Qt::OtherFocusReason);
}

void UrlAttachmentWidget::urlEdited()
{
    const QString old = attachment.location;
    const QString loc = location();
    attachment.location = loc;
    const QString comment = resourceLocationComment(locationEdit->text());

    if (!loc.isEmpty() && !comment.isEmpty())
        storedSummary = comment;
    else if (loc.isEmpty() || loc != old)
        storedSummary.clear();

    if (!comment.isEmpty()) {
        locationEdit->setText(loc);
        locationEdit->setCursorPosition(0);
    }

    if (loc == old && !summary().isEmpty()) {
        updateAppearance();
        emit summaryChanged(summary());
        return;
    }
    pendingSummaryUrl.clear();
    updateAppearance();
    emit locationChanged(loc);
    if (summary().isEmpty())
        fetchSummary();
}

void UrlAttachmentWidget::fetchSummary()
{
    const QUrl url = QUrl::fromUserInput(attachment.location);
    if (!url.isValid() || !isWebScheme(url))
        return;
    refreshesFollowed = 0;
    requestSummary(url);
}

void UrlAttachmentWidget::requestSummary(const QUrl &url)
{
    pendingSummaryUrl = url.toString();
    QNetworkReply *reply = startPageDownload(network, url);
    connect(reply, &QNetworkReply::finished, this, [this, reply]() {
        handleReply(reply);
        reply->deleteLater();
    });
}

void UrlAttachmentWidget::handleReply(QNetworkReply *reply)
{
    const PageDownload download = finishPageDownload(reply);
    if (!download.ok)
        return;
    // Only the newest request counts, and never over an address being typed or a summary that
    // arrived meanwhile.
    if (reply->request().url().toString() != pendingSummaryUrl || location() != attachment.location
        || !summary().isEmpty())
        return;

    const QUrl pageUrl = reply->url();
    const PageSummary page
        = readPageSummary(decodePageText(download.body, download.contentType), pageUrl);
    if (!page.summary.isEmpty()) {
        setSummary(page.summary);
        emit summaryChanged(page.summary);
        return;
    }
    // Pages that refresh to each other would otherwise be fetched without end.
    if (page.refreshTarget.isValid() && refreshesFollowed < maxRefreshesFollowed) {
        ++refreshesFollowed;
        requestSummary(page.refreshTarget);
    }
}

void UrlAttachmentWidget::openUrl()
{
    HostOperations::current().openUrl(QUrl::fromUserInput(location()));
}

void UrlAttachmentWidget::updateAppearance()
{
    const QUrl url = QUrl::fromUserInput(locationEdit->text().trimmed());
    openButton->setEnabled(url.isValid() && !url.scheme().isEmpty());
}

bool UrlAttachmentWidget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == locationEdit && event->type() == QEvent::FocusIn)
        emit activated();
    return ResourceWindow::eventFilter(watched, event);
}
