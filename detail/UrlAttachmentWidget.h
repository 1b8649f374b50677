#pragma once

#include "Records.h"
#include "ResourceWindow.h"

class QCheckBox;
class QLineEdit;
class QNetworkAccessManager;
class QNetworkReply;
class QPushButton;
class QUrl;

// Resource widget for a web link: an address field. A newly entered address without a comment
// of the user's own gets a one-line summary from the page (its description or title).
class UrlAttachmentWidget : public ResourceWindow {
    Q_OBJECT

public:
    UrlAttachmentWidget(const Attachment &attachment, QWidget *parent);

    // The field's text, trimmed, without its trailing comment.
    QString location() const;
    // Empty while the location is empty.
    QString summary() const;
    // Sets the summary without announcing it; the comment, if any, leaves the field.
    void setSummary(const QString &summary);

    ContentBlock snapshot() const override;
    void restore(const ContentBlock &block) override;
    void setEditingEnabled(bool enabled) override;
    void activateResource() override;

    // Successive refresh pages followed for one entered address before giving up.
    static constexpr int maxRefreshesFollowed = 5;

signals:
    void locationChanged(const QString &location);
    void summaryChanged(const QString &summary);
    void activated();
    void removeRequested(qint64 attachmentId);

public slots:
    void urlEdited();
    void fetchSummary();
    void requestSummary(const QUrl &url);
    void handleReply(QNetworkReply *reply);
    void openUrl();
    void updateAppearance();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Attachment attachment;
    QLineEdit *locationEdit = nullptr;
    QPushButton *openButton = nullptr;
    QCheckBox *summaryToggle = nullptr;
    QNetworkAccessManager *network = nullptr;
    QString storedSummary;
    QString pendingSummaryUrl;
    int refreshesFollowed = 0;
};
