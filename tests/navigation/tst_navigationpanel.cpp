#include "NavigationPages.h"
#include "NavigationTestSupport.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextEdit>

#include <algorithm>

using namespace navtest;

namespace {

// The panel beside an ordinary editor in one shown, active window.
struct Window {
    QWidget host;
    NavigationPanel *panel;
    QLineEdit *outside;
    Window()
    {
        auto *layout = new QHBoxLayout(&host);
        panel = new NavigationPanel(&host);
        outside = new QLineEdit(&host);
        layout->addWidget(panel);
        layout->addWidget(outside);
        host.resize(600, 700);
        host.show();
        host.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&host));
    }
};

void settle()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

QListWidget *list(const NavigationPanel &panel, int page)
{
    return stackOf(panel)->widget(page)->findChild<QListWidget *>();
}

// Activation by keyboard: the current row and Return.
void activateRow(QListWidget *list, int row)
{
    list->setFocus();
    list->setCurrentRow(row);
    QTest::keyClick(list, Qt::Key_Return);
}

} // namespace

class NavigationPanelTest : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }
    void firstStartAndCollapsing();
    void temporaryExpansion();
    void treeVisibilityAndPages();
    void pageButtonsShowAndOpenTheirPages();
    void settingsOptions();
    void listsFillActivateAndMark();
    void accountAndFeedbackHooks();
    void qrImageLabels();
    void screenshots();
};

void NavigationPanelTest::firstStartAndCollapsing()
{
    Window w;
    NavigationPanel &panel = *w.panel;
    QVERIFY(panel.isCollapsed());
    QCOMPARE(panel.width(), 44);
    QVERIFY(!stackOf(panel)->isVisible());
    QVERIFY(!treeOf(panel)->isVisible());
    QCOMPARE(QSettings().value(QStringLiteral("navigation/collapsed")), QVariant(true));

    QSignalSpy changed(&panel, &NavigationPanel::collapsedChanged);
    panel.toggleCollapsed();
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed.at(0).at(0).toBool(), false);
    QCOMPARE(panel.width(), 216);
    QVERIFY(stackOf(panel)->isVisible() && treeOf(panel)->isVisible());
    QCOMPARE(QSettings().value(QStringLiteral("navigation/collapsed")).toBool(), false);

    NavigationPanel again; // the stored choice is read back
    QVERIFY(!again.isCollapsed());
}

void NavigationPanelTest::temporaryExpansion()
{
    Window w;
    NavigationPanel &panel = *w.panel;
    CompactActionButton *settings = button(panel, "设置");

    // An outside mouse press closes a panel that a page button opened.
    QTest::mouseClick(settings, Qt::LeftButton);
    QVERIFY(!panel.isCollapsed());
    QCOMPARE(stackOf(panel)->currentIndex(), int(NavigationPanel::Settings));
    QVERIFY(settings->isChecked() && !button(panel, "常用")->isChecked());
    QVERIFY(!treeOf(panel)->isVisible());
    QTest::mouseClick(stackOf(panel)->currentWidget(), Qt::LeftButton); // inside: stays open
    settle();
    QVERIFY(!panel.isCollapsed());
    QTest::mouseClick(w.outside, Qt::LeftButton);
    settle();
    QVERIFY(panel.isCollapsed());

    // So does moving the keyboard focus out of it.
    QTest::mouseClick(button(panel, "常用"), Qt::LeftButton);
    QVERIFY(!panel.isCollapsed());
    QVERIFY(treeOf(panel)->isVisible());
    panel.findChild<QTextEdit *>()->setFocus(); // focus inside the panel: stays open
    settle();
    QVERIFY(!panel.isCollapsed());
    w.outside->setFocus();
    settle();
    QVERIFY(panel.isCollapsed());

    // Opened deliberately, the panel ignores outside presses.
    panel.toggleCollapsed();
    QTest::mouseClick(w.outside, Qt::LeftButton);
    settle();
    QVERIFY(!panel.isCollapsed());
}

void NavigationPanelTest::treeVisibilityAndPages()
{
    Window w;
    NavigationPanel &panel = *w.panel;
    panel.setCollapsed(false);
    QTreeWidget *tree = treeOf(panel);
    QStackedWidget *stack = stackOf(panel);
    QSignalSpy loginRequested(&panel, &NavigationPanel::loginRequested);

    QTest::mouseClick(button(panel, "登录"), Qt::LeftButton);
    QCOMPARE(stack->currentIndex(), int(NavigationPanel::Account));
    QCOMPARE(loginRequested.size(), 1);
    QVERIFY(!tree->isVisible());
    QCOMPARE(stack->maximumHeight(), QWIDGETSIZE_MAX);
    QTest::mouseClick(button(panel, "常用"), Qt::LeftButton);
    settle();
    QVERIFY(tree->isVisible());
    QCOMPARE(stack->height(), 248);

    QTest::mouseClick(button(panel, "设置"), Qt::LeftButton);
    QCheckBox *treeOption = child<QCheckBox>(&panel, QStringLiteral("显示条目树"));
    QSignalSpy barSpy(&panel, &NavigationPanel::commandBarRightChanged);
    settle();
    QTest::mouseClick(treeOption, Qt::LeftButton, {}, QPoint(6, treeOption->height() / 2));
    QCOMPARE(QSettings().value(QStringLiteral("navigation/treeVisible")), QVariant(false));
    QCOMPARE(barSpy.size(), 0);
    QTest::mouseClick(button(panel, "常用"), Qt::LeftButton);
    settle();
    QVERIFY(!tree->isVisible());
    QVERIFY(stack->height() > 400); // the stack fills the panel

    NavigationPanel reread; // read back at construction, and shown on the option
    QVERIFY(!child<QCheckBox>(&reread, QStringLiteral("显示条目树"))->isChecked());
}

void NavigationPanelTest::pageButtonsShowAndOpenTheirPages()
{
    Window w;
    NavigationPanel &panel = *w.panel;
    const char *order[] = {"常用", "最近", "搜索", "登录", "设置"};
    const auto positions = [&](bool vertical) {
        QList<int> at;
        for (const char *text : order) {
            CompactActionButton *b = button(panel, text);
            if (!b || !b->isVisible())
                return QList<int>();
            at << (vertical ? b->mapTo(&panel, QPoint()).y() : b->mapTo(&panel, QPoint()).x());
        }
        return at;
    };
    settle();
    QList<int> collapsed = positions(true); // a column of five, in this order
    QCOMPARE(collapsed.size(), 5);
    QVERIFY(std::is_sorted(collapsed.cbegin(), collapsed.cend()));
    QVERIFY(collapsed.last() + 42 <= panel.height());

    // 搜索 opens (and expands) the search page and puts the focus into the search box.
    QTest::mouseClick(button(panel, "搜索"), Qt::LeftButton);
    QVERIFY(!panel.isCollapsed());
    QCOMPARE(stackOf(panel)->currentIndex(), int(NavigationPanel::Search));
    QTRY_COMPARE(
        QApplication::focusWidget(), stackOf(panel)->currentWidget()->findChild<QLineEdit *>());
    settle();
    QList<int> expanded = positions(false);
    QCOMPARE(expanded.size(), 5);
    QVERIFY(std::is_sorted(expanded.cbegin(), expanded.cend()));

    // Assistive technology offers "Toggle" for a checkable button: it opens the page too, and
    // toggling the button of the page on show keeps it shown and checked.
    QSignalSpy loginRequested(&panel, &NavigationPanel::loginRequested);
    for (const auto &[text, page] :
        {std::pair {"最近", NavigationPanel::Recent}, std::pair {"登录", NavigationPanel::Account},
            std::pair {"登录", NavigationPanel::Account},
            std::pair {"常用", NavigationPanel::Common}}) {
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(button(panel, text));
        QVERIFY(iface && iface->actionInterface());
        QCOMPARE(iface->text(QAccessible::Name), QString::fromUtf8(text));
        iface->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(stackOf(panel)->currentIndex(), int(page));
        QVERIFY(button(panel, text)->isChecked());
        QCOMPARE(std::count_if(std::begin(order), std::end(order),
                     [&](const char *t) { return button(panel, t)->isChecked(); }),
            1);
    }
    QCOMPARE(loginRequested.size(), 2);
}

void NavigationPanelTest::settingsOptions()
{
    Window w;
    w.panel->setCollapsed(false);
    QTest::mouseClick(button(*w.panel, "设置"), Qt::LeftButton);
    QCheckBox *treeOption = child<QCheckBox>(w.panel, QStringLiteral("显示条目树"));
    QCheckBox *barOption = child<QCheckBox>(w.panel, QStringLiteral("操作区放在右侧"));
    QVERIFY(treeOption->isChecked() && barOption->isChecked());

    QSignalSpy barSpy(w.panel, &NavigationPanel::commandBarRightChanged);
    QTest::mouseClick(barOption, Qt::LeftButton);
    QCOMPARE(barSpy.size(), 1);
    QCOMPARE(barSpy.at(0).at(0).toBool(), false);
    QCOMPARE(QSettings().value(QStringLiteral("layout/commandBarRight")), QVariant(false));

    QSettings().setValue(QStringLiteral("layout/commandBarRight"), false);
    NavigationPanel reread;
    QVERIFY(!child<QCheckBox>(&reread, QStringLiteral("操作区放在右侧"))->isChecked());
}

void NavigationPanelTest::listsFillActivateAndMark()
{
    Window w;
    NavigationPanel &panel = *w.panel;
    QSignalSpy activated(&panel, &NavigationPanel::quickAccessActivated);
    const DataItem shared = item(7, 0, QStringLiteral("共享"));
    panel.setQuickAccess({item(1, 0, QStringLiteral("甲")), shared},
        {item(2, 0, QStringLiteral("乙"))}, {item(3, 0, QStringLiteral("丙")), shared}, true);

    // A collapsed panel switches to the search page but stays collapsed.
    QVERIFY(panel.isCollapsed());
    QCOMPARE(stackOf(panel)->currentIndex(), int(NavigationPanel::Search));
    QVERIFY(button(panel, "搜索")->isChecked() && !button(panel, "常用")->isChecked());

    QListWidget *common = list(panel, NavigationPanel::Common);
    QListWidget *search = list(panel, NavigationPanel::Search);
    QCOMPARE(common->count(), 2);
    QCOMPARE(common->item(1)->text(), QStringLiteral("共享"));
    QCOMPARE(common->item(1)->toolTip(), shared.cont);
    QCOMPARE(common->item(1)->data(Qt::UserRole + 1).toInt(), 1);
    QCOMPARE(search->item(0)->data(Qt::UserRole + 1).toInt(), 3);

    // Marking: the search row when asked for it, the common row otherwise; nothing is emitted.
    panel.setSelectedQuickAccess(7, true);
    QCOMPARE(search->currentRow(), 1);
    QCOMPARE(common->currentRow(), -1);
    panel.setSelectedQuickAccess(7, false);
    QCOMPARE(common->currentRow(), 1);
    QCOMPARE(search->currentRow(), -1);
    panel.setSelectedQuickAccess(3, false); // only in the search list
    QCOMPARE(search->currentRow(), 0);
    panel.setSelectedQuickAccess(99, false);
    QCOMPARE(search->currentRow() + common->currentRow(), -2);
    panel.setQuickAccess({shared}, {}, {item(3, 0, QStringLiteral("丙"))}, false);
    QCOMPARE(activated.size(), 0);

    // Activation reports the row's item and whether it came from the search list.
    panel.setCollapsed(false);
    activateRow(search, 0);
    QTest::mouseClick(button(panel, "常用"), Qt::LeftButton);
    activateRow(common, 0);
    QCOMPARE(activated.size(), 2);
    QCOMPARE(activated.at(0), QVariantList({qint64(3), true}));
    QCOMPARE(activated.at(1), QVariantList({qint64(7), false}));

    // Return in the search box submits its text as typed.
    QSignalSpy submitted(&panel, &NavigationPanel::searchSubmitted);
    auto *edit = stackOf(panel)->widget(NavigationPanel::Search)->findChild<QLineEdit *>();
    button(panel, "搜索")->click(); // the hidden search button focuses the box
    QCOMPARE(QApplication::focusWidget(), edit);
    edit->setText(QStringLiteral(" 名 "));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(submitted.size(), 1);
    QCOMPARE(submitted.at(0).at(0).toString(), QStringLiteral(" 名 "));
}

void NavigationPanelTest::accountAndFeedbackHooks()
{
    Window w;
    NavigationPanel &panel = *w.panel;
    QTest::mouseClick(button(panel, "登录"), Qt::LeftButton);
    QSignalSpy submits(&panel, &NavigationPanel::accountSubmitRequested);
    for (QWidget *page : {panel.loginFormPage(), panel.registrationFormPage()}) {
        const bool registration = page == panel.registrationFormPage();
        const auto widget = [page](const char *name) {
            return qobject_cast<QWidget *>(page->property(name).value<QObject *>());
        };
        for (const char *name : {"usernameEditor", "passwordEditor", "displayEditor"})
            QVERIFY(qobject_cast<QLineEdit *>(widget(name)));
        QCOMPARE(
            qobject_cast<QLineEdit *>(widget("passwordEditor"))->echoMode(), QLineEdit::Password);
        QCOMPARE(widget("displayEditor")->isVisibleTo(page), registration);
        auto *submit = qobject_cast<QPushButton *>(widget("submitButton"));
        QCOMPARE(submit->text(), registration ? QStringLiteral("注册") : QStringLiteral("登录"));

        panel.setAccountSubmitEnabled(page, false);
        QVERIFY(!submit->isEnabled());
        panel.setAccountSubmitEnabled(page, true);
        panel.setAccountMessage(page, QStringLiteral("正在连接后台..."));
        QCOMPARE(qobject_cast<QLabel *>(widget("messageLabel"))->text(),
            QStringLiteral("正在连接后台..."));
        submits.clear();
        submit->click();
        QCOMPARE(submits.size(), 1);
        QCOMPARE(submits.at(0).at(0).value<QWidget *>(), page);
        QCOMPARE(submits.at(0).at(1).toBool(), registration);
    }

    QTest::mouseClick(button(panel, "设置"), Qt::LeftButton);
    QSignalSpy sends(&panel, &NavigationPanel::feedbackSendRequested);
    auto *send = child<QPushButton>(&panel, QStringLiteral("发送意见"));
    panel.findChild<QTextEdit *>()->setPlainText(QStringLiteral("  意见\n"));
    QTest::mouseClick(send, Qt::LeftButton);
    QCOMPARE(sends.size(), 1);
    QCOMPARE(panel.feedbackText(), QStringLiteral("  意见\n"));
    panel.setFeedbackSendEnabled(false);
    QVERIFY(!send->isEnabled());
    panel.setFeedbackStatus(QStringLiteral("意见已发送，感谢你的反馈。"), true);
    auto *status = child<QLabel>(&panel, QStringLiteral("意见已发送，感谢你的反馈。"));
    QVERIFY(status && status->styleSheet().contains(QStringLiteral("#027a48")));
    panel.clearFeedbackText();
    QVERIFY(panel.feedbackText().isEmpty());

    QSignalSpy auth(&panel, &NavigationPanel::authCompleted);
    panel.reportAuthCompleted(true, QStringLiteral("登录成功"));
    QCOMPARE(auth.at(0), QVariantList({true, QStringLiteral("登录成功")}));
}

void NavigationPanelTest::qrImageLabels()
{
    QWidget parent;
    QLabel *missing = navigation::makeQrImageLabel(
        &parent, QStringLiteral(":/icons/no-such.jpg"), QStringLiteral("微信收款码"));
    QCOMPARE(missing->text(), QStringLiteral("微信收款码"));
    QCOMPARE(missing->toolTip(), QStringLiteral("微信收款码"));
    QCOMPARE(missing->size(), QSize(140, 140));
    QLabel *shown = navigation::makeQrImageLabel(
        &parent, QStringLiteral(":/icons/alipay-pay.jpg"), QStringLiteral("支付宝收款码"));
    QVERIFY(shown->text().isEmpty());
    QVERIFY(shown->pixmap().width() <= 140 && shown->pixmap().height() <= 140);
    QVERIFY(!shown->pixmap().isNull());
    QCOMPARE(shown->toolTip(), QStringLiteral("支付宝收款码"));
}

// Pictures of the panel for a person to look at: set VELTO_SCREENSHOT_DIR to get them.
void NavigationPanelTest::screenshots()
{
    const QString dir = qEnvironmentVariable("VELTO_SCREENSHOT_DIR");
    if (dir.isEmpty())
        QSKIP("VELTO_SCREENSHOT_DIR is not set");
    Window w;
    NavigationPanel &panel = *w.panel;
    QList<DataItem> items;
    for (int i = 1; i <= 6; ++i) {
        items << item(i, 0, QStringLiteral("客户资料 %1").arg(i), i);
        items << item(100 + i, i, QStringLiteral("合同 %1").arg(i), 1);
    }
    panel.setTreeItems(items);
    panel.setQuickAccess(items.mid(0, 4), {}, {}, false);
    panel.setSelectedTree(103);
    QVERIFY(panel.grab().save(dir + QStringLiteral("/navigation-collapsed.png")));
    panel.setCollapsed(false);
    settle();
    QVERIFY(panel.grab().save(dir + QStringLiteral("/navigation-common.png")));
    QTest::mouseClick(button(panel, "设置"), Qt::LeftButton);
    settle();
    QVERIFY(panel.grab().save(dir + QStringLiteral("/navigation-settings.png")));
    QTest::mouseClick(button(panel, "登录"), Qt::LeftButton);
    settle();
    QVERIFY(panel.grab().save(dir + QStringLiteral("/navigation-account.png")));
}

VELTO_TEST_MAIN(NavigationPanelTest)
#include "tst_navigationpanel.moc"
