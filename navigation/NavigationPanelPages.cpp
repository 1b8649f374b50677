// The account page (login and registration forms, support section) and the settings page
// (display options, feedback form, about line). The forms only collect input: their buttons
// raise accountSubmitRequested / feedbackSendRequested and the online code answers through the
// setters below.

#include "NavigationPages.h"
#include "NavigationPanel.h"
#include "ServiceEndpoint.h"
#include "UiMetrics.h"
#include "VeltoSite.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

using UiMetrics::px;

namespace {

const QString commandBarRightKey = QStringLiteral("layout/commandBarRight");

QLabel *styledLabel(const QString &text, const char *styleSheet, int pixelSize, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QString::fromLatin1(styleSheet).arg(px(pixelSize)));
    return label;
}

template<typename T> T *formWidget(QWidget *formPage, const char *name)
{
    return formPage ? qobject_cast<T *>(formPage->property(name).value<QObject *>()) : nullptr;
}

} // namespace

namespace navigation {

QLabel *makeQrImageLabel(QWidget *parent, const QString &resourcePath, const QString &caption)
{
    auto *label = new QLabel(parent);
    label->setAlignment(Qt::AlignCenter);
    label->setFixedSize(px(140), px(140));
    label->setStyleSheet(
        QStringLiteral("QLabel { background:#ffffff; border:1px solid #d0d5dd; }"));
    label->setToolTip(caption);
    const QPixmap image(resourcePath);
    if (image.isNull())
        label->setText(caption);
    else
        label->setPixmap(
            image.scaled(label->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return label;
}

} // namespace navigation

QWidget *NavigationPanel::buildFormPage(const QString &title, bool registration)
{
    auto *page = new QWidget;
    auto *layout = new QVBoxLayout(page);
    auto *form = new QFormLayout;
    auto *username = new QLineEdit(page);
    auto *password = new QLineEdit(page);
    password->setEchoMode(QLineEdit::Password);
    auto *display = new QLineEdit(page);
    form->addRow(QStringLiteral("账号"), username);
    form->addRow(QStringLiteral("密码"), password);
    form->addRow(QStringLiteral("显示"), display);
    form->setRowVisible(display, registration);
    layout->addLayout(form);
    auto *submit = new QPushButton(title, page);
    auto *message = new QLabel(page);
    message->setWordWrap(true);
    layout->addWidget(submit);
    layout->addWidget(message);
    layout->addStretch();

    page->setProperty("usernameEditor", QVariant::fromValue<QObject *>(username));
    page->setProperty("passwordEditor", QVariant::fromValue<QObject *>(password));
    page->setProperty("displayEditor", QVariant::fromValue<QObject *>(display));
    page->setProperty("submitButton", QVariant::fromValue<QObject *>(submit));
    page->setProperty("messageLabel", QVariant::fromValue<QObject *>(message));
    connect(submit, &QPushButton::clicked, this,
        [this, page, registration] { emit accountSubmitRequested(page, registration); });
    return page;
}

QWidget *NavigationPanel::buildAccountPage()
{
    auto *page = new QWidget(pageStack);
    page->setFixedHeight(px(580));
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, px(8), 0, 0);
    auto *tabs = new QTabWidget(page);
    tabs->setFixedHeight(px(190));
    loginPage = buildFormPage(QStringLiteral("登录"), false);
    registrationPage = buildFormPage(QStringLiteral("注册"), true);
    tabs->addTab(loginPage, QStringLiteral("登录"));
    tabs->addTab(registrationPage, QStringLiteral("注册"));
    layout->addWidget(tabs);
    layout->addStretch(1);

    auto *invitation = styledLabel(
        QStringLiteral("支持Velto继续开发"), "QLabel { color:#667085; font-size:%1px; }", 14, page);
    invitation->setAlignment(Qt::AlignCenter);
    layout->addWidget(invitation);
    auto *codes = new QVBoxLayout;
    codes->setContentsMargins(0, 0, 0, 0);
    codes->setSpacing(px(20));
    codes->addWidget(navigation::makeQrImageLabel(page, QStringLiteral(":/icons/wechat-pay.jpg"),
                         QStringLiteral("微信收款码")),
        0, Qt::AlignHCenter);
    codes->addWidget(navigation::makeQrImageLabel(page, QStringLiteral(":/icons/alipay-pay.jpg"),
                         QStringLiteral("支付宝收款码")),
        0, Qt::AlignHCenter);
    layout->addLayout(codes);
    return page;
}

QWidget *NavigationPanel::buildSettingsPage()
{
    auto *page = new QWidget(pageStack);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(px(8), px(8), px(8), px(8));
    layout->setSpacing(px(8));

    layout->addWidget(new QLabel(QStringLiteral("界面大小"), page));
    auto *scaling = new QLabel(QStringLiteral("跟随 Windows 显示缩放"), page);
    scaling->setStyleSheet(QStringLiteral("QLabel { color:#667085; font-weight:400; }"));
    layout->addWidget(scaling);
    layout->addSpacing(px(8));

    const QString checkStyle = QStringLiteral("QCheckBox { font-size:%1px; }").arg(px(14));
    treeOption = new QCheckBox(QStringLiteral("显示条目树"), page);
    treeOption->setStyleSheet(checkStyle);
    treeOption->setChecked(treeVisible);
    commandBarOption = new QCheckBox(QStringLiteral("操作区放在右侧"), page);
    commandBarOption->setStyleSheet(checkStyle);
    commandBarOption->setChecked(QSettings().value(commandBarRightKey, true).toBool());
    layout->addWidget(treeOption);
    layout->addWidget(commandBarOption);
    layout->addSpacing(px(12));
    connect(treeOption, &QCheckBox::toggled, this, &NavigationPanel::setTreeVisible);
    connect(commandBarOption, &QCheckBox::toggled, this, [this](bool checked) {
        QSettings().setValue(commandBarRightKey, checked);
        emit commandBarRightChanged(checked);
    });

    buildSyncSection(page, layout);
    layout->addSpacing(px(12));

    auto *feedbackTitle = new QLabel(QStringLiteral("意见反馈"), page);
    feedbackTitle->setStyleSheet(QStringLiteral("QLabel { font-weight:600; }"));
    layout->addWidget(feedbackTitle);
    feedbackEdit = new QTextEdit(page);
    feedbackEdit->setPlaceholderText(QStringLiteral("写下你的意见或遇到的问题"));
    feedbackEdit->setAccessibleName(QStringLiteral("意见反馈"));
    feedbackEdit->setFixedHeight(px(120));
    feedbackEdit->setStyleSheet(
        QStringLiteral("QTextEdit { border:1px solid #b8c0cc; background:#ffffff; "
                       "font-size:%1px; }QTextEdit:focus { border:1px solid #5b9bd5; }")
            .arg(px(14)));
    layout->addWidget(feedbackEdit);
    feedbackStatus = styledLabel(QString(), "QLabel { color:#667085; font-size:%1px; }", 12, page);
    layout->addWidget(feedbackStatus);
    feedbackSendButton = new QPushButton(QStringLiteral("发送意见"), page);
    layout->addWidget(feedbackSendButton);
    connect(
        feedbackSendButton, &QPushButton::clicked, this, [this] { emit feedbackSendRequested(); });
    layout->addStretch(0);

    auto *about = styledLabel(QStringLiteral("Velto V") + QLatin1String(veltoAppVersion)
            + QLatin1Char('\n') + QString::fromUtf8(velto::aboutCopyrightLine),
        "QLabel { color:#667085; font-size:%1px; }", 12, page);
    about->setAlignment(Qt::AlignCenter);
    layout->addWidget(about);
    auto *site = new QToolButton(page);
    site->setAutoRaise(true);
    const QString address = veltoWebsiteUrl();
    site->setText(address);
    site->setStyleSheet(
        QStringLiteral("QToolButton { color:#1769aa; font-size:%1px; }").arg(px(12)));
    connect(
        site, &QToolButton::clicked, this, [address] { QDesktopServices::openUrl(QUrl(address)); });
    layout->addWidget(site, 0, Qt::AlignHCenter);
    return page;
}

// Server address, account, password, optional passphrase, "立即同步" and the last result.
void NavigationPanel::buildSyncSection(QWidget *page, QVBoxLayout *layout)
{
    auto *title = new QLabel(QStringLiteral("同步"), page);
    title->setStyleSheet(QStringLiteral("QLabel { font-weight:600; }"));
    layout->addWidget(title);
    auto *note = styledLabel(
        QStringLiteral("通过你自己的 WebDAV 存储（如 Nextcloud、ownCloud、NAS）在几台电脑间"
                       "同步条目。本地文件和文件夹只同步路径，文件本身不会被复制。"),
        "QLabel { color:#667085; font-size:%1px; }", 12, page);
    note->setWordWrap(true);
    layout->addWidget(note);
    const auto field
        = [this, page, layout](const QString &label, const QString &placeholder, bool secret) {
              auto *edit = new QLineEdit(page);
              edit->setPlaceholderText(placeholder);
              edit->setAccessibleName(label);
              edit->setToolTip(label);
              if (secret)
                  edit->setEchoMode(QLineEdit::Password);
              layout->addWidget(edit);
              connect(edit, &QLineEdit::editingFinished, this, &NavigationPanel::emitSyncSettings);
              return edit;
          };
    syncUrlEdit = field(QStringLiteral("同步服务器地址"),
        QStringLiteral("服务器地址，如 https://云盘/remote.php/dav/files/账号/"), false);
    syncUserEdit = field(QStringLiteral("同步账号"), QStringLiteral("账号"), false);
    syncPasswordEdit = field(QStringLiteral("同步密码"), QStringLiteral("密码"), true);
    syncPassphraseEdit = field(QStringLiteral("加密口令（可选）"),
        QStringLiteral("加密口令（可选，每台电脑都要相同）"), true);
    syncNowButton = new QPushButton(QStringLiteral("立即同步"), page);
    syncNowButton->setAccessibleName(QStringLiteral("立即同步"));
    layout->addWidget(syncNowButton);
    connect(syncNowButton, &QPushButton::clicked, this, [this] {
        emitSyncSettings();
        emit syncNowRequested();
    });
    syncStatus = styledLabel(
        QStringLiteral("尚未同步"), "QLabel { color:#667085; font-size:%1px; }", 12, page);
    syncStatus->setWordWrap(true);
    syncStatus->setAccessibleName(QStringLiteral("同步状态"));
    layout->addWidget(syncStatus);
}

void NavigationPanel::emitSyncSettings()
{
    emit syncSettingsEdited(syncUrlEdit->text().trimmed(), syncUserEdit->text().trimmed(),
        syncPasswordEdit->text(), syncPassphraseEdit->text());
}

void NavigationPanel::setSyncSettings(
    const QString &url, const QString &user, const QString &password, const QString &passphrase)
{
    syncUrlEdit->setText(url);
    syncUserEdit->setText(user);
    syncPasswordEdit->setText(password);
    syncPassphraseEdit->setText(passphrase);
}

void NavigationPanel::setSyncStatus(const QString &text)
{
    syncStatus->setText(text);
}

void NavigationPanel::setSyncNowEnabled(bool enabled)
{
    syncNowButton->setEnabled(enabled);
}

void NavigationPanel::setAccountMessage(QWidget *formPage, const QString &text)
{
    if (auto *label = formWidget<QLabel>(formPage, "messageLabel"))
        label->setText(text);
}

void NavigationPanel::setAccountSubmitEnabled(QWidget *formPage, bool enabled)
{
    if (auto *button = formWidget<QPushButton>(formPage, "submitButton"))
        button->setEnabled(enabled);
}

QString NavigationPanel::feedbackText() const
{
    return feedbackEdit->toPlainText();
}

void NavigationPanel::clearFeedbackText()
{
    feedbackEdit->clear();
}

void NavigationPanel::setFeedbackStatus(const QString &text, bool accepted)
{
    feedbackStatus->setStyleSheet(
        QStringLiteral("QLabel { color:%1; font-size:%2px; }")
            .arg(accepted ? QStringLiteral("#027a48") : QStringLiteral("#667085"))
            .arg(px(12)));
    feedbackStatus->setText(text);
}

void NavigationPanel::setFeedbackSendEnabled(bool enabled)
{
    feedbackSendButton->setEnabled(enabled);
}

void NavigationPanel::reportAuthCompleted(bool success, const QString &message)
{
    emit authCompleted(success, message);
}
