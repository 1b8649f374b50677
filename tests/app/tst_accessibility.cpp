// The window as assistive technology sees it: every interactive element has a name, the item
// table's cells carry their texts and lead to their editors, resources are named by kind.
#include "ItemDetailPanel.h"
#include "MainWindowTestSupport.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QLineEdit>
#include <QSet>
#include <QToolButton>

using namespace velto::test;

namespace {

bool interactive(QAccessible::Role role)
{
    switch (role) {
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ComboBox:
    case QAccessible::EditableText:
    case QAccessible::SpinBox:
    case QAccessible::ButtonMenu:
    case QAccessible::ButtonDropDown:
    case QAccessible::PageTab:
    case QAccessible::Link:
    case QAccessible::List:
    case QAccessible::Tree:
    case QAccessible::Table:
        return true;
    default:
        return false;
    }
}

QString describe(QAccessibleInterface *iface)
{
    QObject *object = iface->object();
    QString path;
    for (QObject *o = object; o; o = o->parent())
        path.prepend(QLatin1String(o->metaObject()->className()) + QLatin1Char('/'));
    return QStringLiteral("role %1 at %2").arg(int(iface->role())).arg(path);
}

// Walks the accessibility tree below iface; collects the visible interactive elements without a
// name and the objects reached.
void walk(
    QAccessibleInterface *iface, QStringList *unnamed, QSet<QObject *> *reached, int depth = 0)
{
    if (!iface || depth > 60)
        return;
    if (QObject *object = iface->object())
        reached->insert(object);
    const QAccessible::State state = iface->state();
    if (!state.invisible && interactive(iface->role())
        && iface->text(QAccessible::Name).trimmed().isEmpty())
        *unnamed << describe(iface);
    for (int i = 0; i < iface->childCount(); ++i)
        walk(iface->child(i), unnamed, reached, depth + 1);
}

} // namespace

class TestAccessibility : public QObject {
    Q_OBJECT

private slots:
    void init() { QSettings().clear(); }

    void everyInteractiveElementIsNamed()
    {
        WindowFixture f;
        QList<DataItem> tree = level(3);
        tree << level(2, 2, 10, QStringLiteral("子"));
        QVERIFY(insertItems(tree));
        f.reload();
        f->selectRow(1);
        f->detailPanel()->addTimestampedTextAttachment();
        f->saveCurrent();
        f->navigation()->setCollapsed(false);
        f->commandBar()->hide(); // shows the status bar's copies of cancel and save
        f->statusCancelButton()->show();
        f->statusSaveButton()->show();
        QSet<QObject *> reached;
        for (NavigationPanel::Page page : {NavigationPanel::Common, NavigationPanel::Search,
                 NavigationPanel::Account, NavigationPanel::Settings}) {
            f->navigation()->openPage(page);
            f.settle();
            QStringList unnamed;
            walk(QAccessible::queryAccessibleInterface(f.window.get()), &unnamed, &reached);
            QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QLatin1Char('\n'))));
        }
        // Resources are told apart by kind and place.
        QStringList frames;
        for (QWidget *frame :
            f->detailPanel()->findChildren<QWidget *>(QStringLiteral("resourceFrame")))
            if (frame->isVisible())
                frames << frame->accessibleName();
        QVERIFY2(frames.contains(QStringLiteral("文本资源 1")),
            qPrintable(frames.join(QLatin1Char(','))));
        // The editors and branch buttons inside the table are part of the tree.
        QVERIFY(reached.contains(f.table()->nameEditor(1)));
        QVERIFY(reached.contains(f.table()->remarkEditor(2)));
        QVERIFY(reached.contains(f.table()->branchButton(1)));
    }

    void tableCellsCarryTextsAndEditors()
    {
        WindowFixture f;
        QList<DataItem> tree = level(3);
        tree << level(2, 2, 10, QStringLiteral("子"));
        QVERIFY(insertItems(tree));
        f.reload();
        QAccessibleInterface *table = QAccessible::queryAccessibleInterface(f.table());
        QVERIFY(table && table->tableInterface());
        QAccessibleTableInterface *cells = table->tableInterface();
        QCOMPARE(cells->rowCount(), 4);
        QCOMPARE(cells->columnCount(), 4);
        QCOMPARE(cells->cellAt(1, 0)->text(QAccessible::Name), QStringLiteral("2"));
        QCOMPARE(cells->cellAt(1, 1)->text(QAccessible::Name), QStringLiteral("项2"));
        QCOMPARE(cells->cellAt(1, 2)->text(QAccessible::Name), QStringLiteral("c2"));
        QCOMPARE(cells->cellAt(3, 1)->text(QAccessible::Name), QString()); // the placeholder
        // An edit shows at once in the cell; the editor is named by column and row.
        QLineEdit *content = f.table()->contentEditor(1);
        content->setFocus();
        QTest::keyClicks(content, QStringLiteral("!"));
        QCOMPARE(cells->cellAt(1, 2)->text(QAccessible::Name), content->text());
        QAccessibleInterface *editor = QAccessible::queryAccessibleInterface(content);
        QCOMPARE(editor->text(QAccessible::Name), QStringLiteral("业务内容，第 2 行"));
        QCOMPARE(editor->text(QAccessible::Value), content->text());
        f->cancelCurrent();

        // The branch buttons: "进入分支" on a branch row, "返回上级业务" on the parent row.
        QCOMPARE(QAccessible::queryAccessibleInterface(f.table()->branchButton(1))
                     ->text(QAccessible::Name),
            QStringLiteral("进入分支"));
        f->enterItem(2);
        QAccessibleInterface *back
            = QAccessible::queryAccessibleInterface(f.table()->branchButton(0));
        QCOMPARE(back->text(QAccessible::Name), QStringLiteral("返回上级业务"));
        back->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QTRY_COMPARE(f->currentParent(), 0);
    }
};

VELTO_TEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
