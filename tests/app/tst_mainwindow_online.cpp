#include "CompactActionButton.h"
#include "FeedbackClient.h"
#include "MainWindowTestSupport.h"
#include "NavigationPanel.h"
#include "OnlineServices.h"
#include "RecordingHostOperations.h"
#include "ServiceDatabase.h"
#include "ServiceProcess.h"
#include "TestSupport.h"
#include "VersionCheck.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolButton>

using namespace velto::test;

namespace {

template<typename T> T *formWidget(QWidget *page, const char *name)
{
    return qobject_cast<T *>(page->property(name).value<QObject *>());
}

CompactActionButton *pageButton(NavigationPanel *panel, const QString &text)
{
    for (auto *button : panel->findChildren<CompactActionButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QPushButton *pushButton(QWidget *parent, const QString &text)
{
    for (auto *button : parent->findChildren<QPushButton *>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

QStringList openedUrls(const RecordingHostOperations &host)
{
    QStringList urls;
    for (const auto &request : host.requests) {
        if (request.operation == QStringLiteral("openUrl"))
            urls << request.argument;
    }
    return urls;
}

// Answers modal message boxes as they come, by title, with the button of the given text.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QHash<QString, QString> answers)
        : answers(std::move(answers))
    {
        startTimer(10);
    }
    QStringList titles;
    QStringList texts;

protected:
    void timerEvent(QTimerEvent *) override
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        titles << box->windowTitle();
        texts << box->text();
        if (QPushButton *button = pushButton(box, answers.value(box->windowTitle())))
            button->click();
        else
            box->reject();
    }

private:
    QHash<QString, QString> answers;
};

} // namespace

// Bound for one round trip to the test service; its password hashing is slow in checked
// builds on a loaded machine.
constexpr int serviceWaitMs = 60000;

class TestMainWindowOnline : public QObject {
    Q_OBJECT
    ServiceProcess service {QStringLiteral(VELTO_SERVICE_EXE)};

    int events(const QString &name)
    {
        return serviceScalar(service.databasePath(),
            QStringLiteral("SELECT COUNT(*) FROM events WHERE event_name = ?"), {name})
            .toInt();
    }

private slots:
    void initTestCase() { QVERIFY(service.start()); }

    // Two items, `text` typed into the name of row `row`, then a version check that forces an
    // upgrade; the close prompt is answered with `answer`. Returns the boxes' titles and texts
    // once the run has ended (nothing when it never ends).
    QStringList forceUpgradeWhileEditing(
        WindowFixture &f, int row, const QString &text, const QString &answer)
    {
        [&] { QVERIFY(insertItems(level(2))); }();
        f.reload();
        f->online()->setApiBase(service.apiBase);
        int quits = 0;
        f->setQuitHandler([&quits] { ++quits; });
        service.setLatestVersion("{\"latestVersion\":\"9.0\",\"forceUpgradeVersion\":\"9.0\","
                                 "\"message\":\"must upgrade\",\"downloadUrl\":"
                                 "\"https:\\/\\/dl.velto.invalid\\/\"}");
        QLineEdit *name = f.table()->nameEditor(row);
        name->setFocus();
        name->selectAll();
        QTest::keyClicks(name, text);
        BoxAnswerer answerer({{QStringLiteral("需要升级"), QStringLiteral("前往升级")},
            {QStringLiteral("未保存的修改"), answer}});
        f->checkVersion();
        if (!QTest::qWaitFor([&] { return quits == 1; }, serviceWaitMs))
            return {}; // the run never ended
        return answerer.titles + answerer.texts;
    }

    void forcedUpgradeKeepsAnOpenEdit()
    {
        const QStringList expected {QStringLiteral("需要升级"), QStringLiteral("未保存的修改"),
            QStringLiteral("must upgrade"), QStringLiteral("当前记录尚未保存。")};
        {
            // "保存": the edit is stored before the run ends.
            RecordingHostOperations host;
            WindowFixture f;
            QCOMPARE(
                forceUpgradeWhileEditing(f, 0, QStringLiteral("edited"), QStringLiteral("保存")),
                expected);
            QCOMPARE(openedUrls(host), QStringList({"https://dl.velto.invalid/"}));
            QCOMPARE(f->repository().get(1).here, QStringLiteral("edited"));
            QVERIFY(!f->isVisible());
            QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("app_close")), 1, serviceWaitMs);
        }
        {
            // "取消": the run still ends; the edit survives in the recovery draft, written before
            // the prompt.
            RecordingHostOperations host;
            WindowFixture f;
            QCOMPARE(forceUpgradeWhileEditing(f, 1, QStringLiteral("kept"), QStringLiteral("取消")),
                expected);
            QFile draft(f->recoveryDraftPath());
            QVERIFY(draft.open(QIODevice::ReadOnly));
            QVERIFY(QString::fromUtf8(draft.readAll()).contains(QStringLiteral("kept")));
            QVERIFY(f->isDirty());
            QCOMPARE(f->repository().get(2).here, QStringLiteral("项2"));
        }
    }

    void upgradeNoticeInTheStatusBar()
    {
        RecordingHostOperations host;
        WindowFixture f;
        f->online()->setApiBase(service.apiBase);
        service.setLatestVersion("{\"latestVersion\":\"9.1\",\"message\":\"new version\","
                                 "\"downloadUrl\":\"https:\\/\\/get.velto.invalid\\/\"}");
        auto *message = f->findChild<QLabel *>(QStringLiteral("upgradeMessage"));
        auto *button = f->findChild<QToolButton *>(QStringLiteral("upgradeButton"));
        QVERIFY(message->isHidden() && button->isHidden());
        for (int check = 0; check < 2; ++check) { // a second answer replaces the first link
            QSignalSpy checked(f->online()->versionChecker(), &VersionChecker::checked);
            f->checkVersion();
            QVERIFY2(checked.wait(serviceWaitMs), "the version check never finished");
        }
        QVERIFY(message->isVisible() && button->isVisible());
        QCOMPARE(message->text(), QStringLiteral("new version"));
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(openedUrls(host), QStringList({"https://get.velto.invalid/"}));
    }

    void accountAndFeedbackFromTheSidebar()
    {
        WindowFixture f;
        f->online()->setApiBase(service.apiBase);
        NavigationPanel *panel = f->navigation();
        QTest::mouseClick(pageButton(panel, QStringLiteral("登录")), Qt::LeftButton);
        auto *tabs = panel->findChild<QTabWidget *>();

        // Registration, a wrong password, then the right one: each ends in the status bar.
        const auto submit = [&](QWidget *page, const QString &user, const QString &password) {
            tabs->setCurrentWidget(page);
            formWidget<QLineEdit>(page, "usernameEditor")->setText(user);
            QLineEdit *pass = formWidget<QLineEdit>(page, "passwordEditor");
            pass->clear();
            QTest::keyClicks(pass, password);
            f->statusLabel()->clear();
            // The answer is checked as it arrives: the status bar shows it for a few seconds only.
            QSignalSpy answered(panel, &NavigationPanel::authCompleted);
            QTest::mouseClick(formWidget<QPushButton>(page, "submitButton"), Qt::LeftButton);
            QVERIFY(!formWidget<QPushButton>(page, "submitButton")->isEnabled());
            QVERIFY2(answered.wait(serviceWaitMs), "the service never answered the form");
            QVERIFY(!f->statusLabel()->text().isEmpty());
            QVERIFY(formWidget<QPushButton>(page, "submitButton")->isEnabled());
            QCOMPARE(formWidget<QLabel>(page, "messageLabel")->text(), f->statusLabel()->text());
        };
        formWidget<QLineEdit>(panel->registrationFormPage(), "displayEditor")->setText("Ann");
        submit(panel->registrationFormPage(), QStringLiteral("ann"), QStringLiteral("pass-word-1"));
        QCOMPARE(f->statusLabel()->text(), QStringLiteral("登录成功"));
        submit(panel->loginFormPage(), QStringLiteral("ann"), QStringLiteral("wrong"));
        QVERIFY(f->statusLabel()->text() != QStringLiteral("登录成功"));
        submit(panel->loginFormPage(), QStringLiteral("ann"), QStringLiteral("pass-word-1"));
        QCOMPARE(f->statusLabel()->text(), QStringLiteral("登录成功"));
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("app_login")), 2, serviceWaitMs);

        // Accepted feedback clears the field and sends "feedback_submit".
        QTest::mouseClick(pageButton(panel, QStringLiteral("设置")), Qt::LeftButton);
        auto *text = panel->findChild<QTextEdit *>();
        QTest::keyClicks(text, QStringLiteral("the tree opens slowly"));
        QSignalSpy sent(panel, &NavigationPanel::authCompleted);
        QTest::mouseClick(pushButton(panel, QStringLiteral("发送意见")), Qt::LeftButton);
        QVERIFY2(sent.wait(serviceWaitMs), "the service never answered the feedback");
        QCOMPARE(f->statusLabel()->text(), FeedbackClient::acceptedSignal());
        QVERIFY(text->toPlainText().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("feedback_submit")), 1, serviceWaitMs);
    }
};

VELTO_TEST_MAIN(TestMainWindowOnline)
#include "tst_mainwindow_online.moc"
