#pragma once

// Fixtures for tests and benchmarks that drive the real main window: a private storage root and
// settings, a started window, answering the next modal message box, and filling big trees fast.
// Header-only: include it from targets that link velto_app.

#include "ItemTable.h"
#include "MainWindow.h"
#include "ModalAnswers.h"
#include "NavigationPanel.h"
#include "NavigationTreeSync.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace velto::test {

// A window on its own temporary storage root with default settings. clearItems() empties the
// seeded sample tree so a test starts from what it inserts itself.
class WindowFixture {
public:
    explicit WindowFixture(bool empty = true, bool show = true)
    {
        qputenv("VELTO_STORAGE_ROOT", QFile::encodeName(root.path()));
        window = std::make_unique<MainWindow>();
        if (show)
            window->show(); // before any event-loop pass, as the program does
        if (empty)
            clearItems();
        if (show)
            (void)QTest::qWaitForWindowExposed(window.get());
        settle();
    }
    ~WindowFixture()
    {
        window.reset();
        qunsetenv("VELTO_STORAGE_ROOT");
    }

    static QSqlDatabase db() { return QSqlDatabase::database(QStringLiteral("velto-main")); }

    void clearItems()
    {
        QSqlQuery query(db());
        query.exec(QStringLiteral("DELETE FROM content_blocks"));
        query.exec(QStringLiteral("DELETE FROM recent_items"));
        query.exec(QStringLiteral("DELETE FROM data_items"));
        reload();
    }

    // Shows the top level again, as after start-up (the sidebar's tree read afresh too, since
    // tests write the tables behind the window's back).
    void reload()
    {
        window->navigationTree()->resetAll();
        window->refresh(0, -1);
        settle();
    }

    // Lets deferred selection steps and layout run.
    static void settle() { QTest::qWait(5); }

    MainWindow *operator->() const { return window.get(); }
    ItemTable *table() const { return window->table(); }

    QTemporaryDir root;
    std::unique_ptr<MainWindow> window;
};

// The iids a sidebar list shows, and the one marked current (0 when none).
inline QList<qint64> listIids(const QListWidget *list)
{
    QList<qint64> iids;
    for (int i = 0; i < list->count(); ++i)
        iids << list->item(i)->data(Qt::UserRole).toLongLong();
    return iids;
}
inline qint64 currentIid(const QListWidget *list)
{
    return list->currentItem() ? list->currentItem()->data(Qt::UserRole).toLongLong() : 0;
}
// The sidebar's lists by page: 0 common, 1 recent, 2 search results.
inline QListWidget *sidebarList(const MainWindow *window, int page)
{
    return window->navigation()
        ->findChild<QStackedWidget *>()
        ->widget(page)
        ->findChild<QListWidget *>();
}

inline QString notNull(const QString &text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

// Inserts items in one transaction through one prepared statement. iid, pid, sortid and here
// must be set; the rest is stored as given.
inline bool insertItems(const QList<DataItem> &items)
{
    QSqlDatabase db = WindowFixture::db();
    if (!db.transaction()) {
        qWarning() << "insertItems:" << db.lastError().text();
        return false;
    }
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO data_items(iid, pid, sortid, here, cont, remark, "
                                  "favorite, \"desc\") VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const DataItem &item : items) {
        insert.bindValue(0, item.iid);
        insert.bindValue(1, item.pid);
        insert.bindValue(2, item.sortid);
        insert.bindValue(3, notNull(item.here));
        insert.bindValue(4, notNull(item.cont));
        insert.bindValue(5, notNull(item.remark));
        insert.bindValue(6, item.favorite ? 1 : 0);
        insert.bindValue(7, notNull(item.desc));
        if (!insert.exec()) {
            qWarning() << "insertItems:" << insert.lastError().text();
            db.rollback();
            return false;
        }
    }
    return db.commit();
}

// A balanced tree of n items, iids firstIid.., each node with `fanout` children: item k (1-based)
// hangs below item (k - 1) / fanout, so items 1..fanout form the top level.
inline QList<DataItem> balancedTree(int n, int fanout = 10)
{
    QList<DataItem> items;
    items.reserve(n);
    for (int k = 1; k <= n; ++k) {
        DataItem item;
        item.iid = k;
        item.pid = (k - 1) / fanout;
        item.sortid = (k - 1) % fanout + 1;
        item.here = QStringLiteral("项目 %1").arg(k);
        item.cont = QStringLiteral("内容 %1").arg(k);
        items.append(item);
    }
    return items;
}

// n siblings below pid, iids firstIid.., named "<prefix><sortid>".
inline QList<DataItem> level(
    int n, qint64 pid = 0, qint64 firstIid = 1, const QString &prefix = QStringLiteral("项"))
{
    QList<DataItem> items;
    for (int i = 0; i < n; ++i) {
        DataItem item;
        item.iid = firstIid + i;
        item.pid = pid;
        item.sortid = i + 1;
        item.here = prefix + QString::number(i + 1);
        item.cont = QStringLiteral("c") + QString::number(i + 1);
        items.append(item);
    }
    return items;
}

// About 1 MB of note HTML: short paragraphs of ordinary words.
inline QString bigNote()
{
    QString html;
    html.reserve(1 << 20);
    for (int i = 0; html.size() < (1 << 20); ++i)
        html += QStringLiteral("<p>%1 planning notes, 会议记录 and a few more words to wrap</p>")
                    .arg(i);
    return html;
}

// What the last answered message box showed.
struct SeenBox {
    int count = 0;
    QString title;
    QString text;
};

// Clicks, in the next modal message box, the button whose text is `button` (or, when empty, the
// standard button `standard`); a box without that button is rejected. Call it before the action
// that opens the box and keep the answer while the box may come.
inline ModalAnswer answerNextMessageBox(const QString &button,
    QMessageBox::StandardButton standard = QMessageBox::NoButton, SeenBox *seen = nullptr)
{
    const QString what
        = QStringLiteral("the message box to answer with %1")
              .arg(button.isEmpty()
                      ? QStringLiteral("standard button 0x%1").arg(uint(standard), 0, 16)
                      : QLatin1Char('"') + button + QLatin1Char('"'));
    return onNextModal<QMessageBox>(
        [=](QMessageBox *box) {
            if (seen) {
                ++seen->count;
                seen->title = box->windowTitle();
                seen->text = box->text();
            }
            QAbstractButton *target
                = standard != QMessageBox::NoButton ? box->button(standard) : nullptr;
            for (QAbstractButton *b : box->buttons()) {
                if (!target && b->text() == button)
                    target = b;
            }
            if (target)
                target->click();
            else
                box->reject();
        },
        what);
}

} // namespace velto::test
