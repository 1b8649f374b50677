// The window's side of sync: the settings section, "立即同步", the status and the refresh after
// changes arrive from another computer (a local folder plays the server).
#include "FolderTransport.h"
#include "MainWindowTestSupport.h"
#include "SyncController.h"
#include "SyncDevices.h"
#include "TestSupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QUrl>

using velto::test::WindowFixture;

namespace {

template<typename T> T *named(QWidget *root, const QString &name)
{
    for (T *widget : root->findChildren<T *>()) {
        if (widget->accessibleName() == name)
            return widget;
    }
    return nullptr;
}

// Waits (bounded) until the controller reports the end of a sync; returns its text.
QString waitForResult(SyncController *controller)
{
    QSignalSpy spy(controller, &SyncController::statusChanged);
    for (int i = 0; i < 600; ++i) {
        const QString text = controller->statusText();
        if (!controller->isRunning() && text != QStringLiteral("正在同步…"))
            return text;
        spy.wait(100);
    }
    return QStringLiteral("the sync never finished");
}

} // namespace

class TestMainWindowSync : public QObject {
    Q_OBJECT

private slots:
    void settingsSectionSyncsAndTheWindowShowsWhatArrives()
    {
        QTemporaryDir server;
        WindowFixture fx(false);
        NavigationPanel *panel = fx->navigation();
        auto *url = named<QLineEdit>(panel, QStringLiteral("同步服务器地址"));
        auto *now = named<QPushButton>(panel, QStringLiteral("立即同步"));
        QVERIFY(url && now);
        QVERIFY(named<QLineEdit>(panel, QStringLiteral("同步密码")));
        QCOMPARE(
            named<QLineEdit>(panel, QStringLiteral("同步密码"))->echoMode(), QLineEdit::Password);
        url->setText(QUrl::fromLocalFile(server.path()).toString());
        now->click();
        QString result = waitForResult(fx->sync());
        QVERIFY2(result.startsWith(QStringLiteral("上次同步")), qPrintable(result));
        QCOMPARE(QSettings().value(QStringLiteral("sync/url")).toString(), url->text());

        // Another computer joins, adds an item at the top level and syncs.
        SyncDevice other(QStringLiteral("other"));
        datasync::FolderTransport transport(server.path());
        QVERIFY(other.sync(&transport).ok);
        other.add(QStringLiteral("来自另一台电脑"));
        QVERIFY(other.sync(&transport).ok);

        now->click();
        result = waitForResult(fx->sync());
        QVERIFY2(result.contains(QStringLiteral("接收")), qPrintable(result));
        QStringList names;
        for (const DataItem &item : fx->levelItems())
            names << item.here;
        QVERIFY2(names.contains(QStringLiteral("来自另一台电脑")), qPrintable(names.join(',')));

        // A server that cannot be reached is a failure in the status, not a dialog.
        url->setText(QStringLiteral("http://127.0.0.1:1/"));
        now->click();
        result = waitForResult(fx->sync());
        QVERIFY2(result.startsWith(QStringLiteral("同步失败")), qPrintable(result));
    }
};

VELTO_TEST_MAIN(TestMainWindowSync)
#include "tst_mainwindow_sync.moc"
