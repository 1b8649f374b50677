#include "CommandStates.h"

#include <QTest>

namespace {

// The names of the enabled item and resource commands, in a fixed order.
QStringList enabled(const CommandStates &c)
{
    QStringList names;
    const QList<QPair<const char *, bool>> all = {{"save", c.save}, {"cancel", c.cancel},
        {"add", c.add}, {"branch", c.branch}, {"up", c.up}, {"down", c.down}, {"common", c.common},
        {"remove", c.remove}, {"cut", c.cut}, {"paste", c.paste}, {"export", c.exportItems},
        {"resource", c.addResource}, {"reveal", c.reveal}, {"removeResource", c.removeResource},
        {"rows", c.otherRowsEnabled}, {"attachments", c.attachmentActions},
        {"content", c.contentEditable}};
    for (const auto &entry : all)
        if (entry.second)
            names << QLatin1String(entry.first);
    return names;
}

// The second of three stored items at the top level, clean and selected.
EditingSnapshot middleRow()
{
    EditingSnapshot s;
    s.currentRow = 1;
    s.itemCount = 3;
    s.selectedItemId = 7;
    s.currentItemId = 7;
    return s;
}

} // namespace

class TestCommandStates : public QObject {
    Q_OBJECT
private slots:
    void enabledCommandsFollowTheEditingState()
    {
        const QStringList clean = {"save", "add", "branch", "up", "down", "common", "remove", "cut",
            "export", "resource", "rows", "attachments", "content"};
        QCOMPARE(enabled(CommandStates::compute(middleRow())), clean);

        EditingSnapshot s = middleRow();
        s.dirty = true; // an edit locks everything but save, cancel and the resources
        QCOMPARE(enabled(CommandStates::compute(s)),
            QStringList({"save", "cancel", "resource", "content"}));

        s = middleRow();
        s.currentRow = s.draftRow = 2; // a new draft at the end: nothing stored to act on yet
        s.dirty = true;
        s.selectedItemId = s.currentItemId = 0;
        QCOMPARE(enabled(CommandStates::compute(s)), QStringList({"save", "cancel", "content"}));

        s = middleRow();
        s.currentRow = 0; // the parent row of an entered level
        s.minRow = 1;
        s.parentRow = true;
        QCOMPARE(enabled(CommandStates::compute(s)),
            QStringList({"add", "export", "rows", "attachments"}));

        s = middleRow();
        s.currentRow = 2; // the last row cannot move down, the first movable one not up
        QVERIFY(CommandStates::compute(s).up && !CommandStates::compute(s).down);
        s.currentRow = s.minRow = 1;
        QVERIFY(!CommandStates::compute(s).up && CommandStates::compute(s).down);

        s = middleRow();
        s.resourceSelectionActive = true; // up / down move the selected resource instead
        s.canMoveResourceDown = true;
        s.canRevealResource = true;
        QCOMPARE(enabled(CommandStates::compute(s)),
            QStringList({"save", "down", "common", "remove", "resource", "reveal", "removeResource",
                "rows", "attachments", "content"}));
    }

    void branchKeysFollowTheBranchButtons()
    {
        EditingSnapshot s = middleRow();
        QVERIFY(!CommandStates::compute(s).enterBranch); // no children: no "»"
        s.selectedHasChildren = true;
        QVERIFY(CommandStates::compute(s).enterBranch);
        s.dirty = true;
        QVERIFY(!CommandStates::compute(s).enterBranch);

        s = middleRow();
        QVERIFY(!CommandStates::compute(s).returnToParent); // the top level
        s.inBranch = true;
        QVERIFY(CommandStates::compute(s).returnToParent);
        s.currentRow = s.draftRow = 1; // an untouched draft is simply dropped on the way up
        s.dirty = s.untouchedDraft = true;
        QVERIFY(CommandStates::compute(s).returnToParent);
        s.untouchedDraft = false; // typed into: the edit keeps the level
        QVERIFY(!CommandStates::compute(s).returnToParent);
    }

    void favouriteAndCutMarkShowOnTheirButtons()
    {
        EditingSnapshot s = middleRow();
        QCOMPARE(CommandStates::compute(s).commonToolTip, QStringLiteral("常用"));
        s.favorite = true;
        const CommandStates fav = CommandStates::compute(s);
        QCOMPARE(fav.commonToolTip, QStringLiteral("取消常用"));
        QVERIFY(fav.commonIcon.contains(QLatin1String("filled")));

        s.cutMarked = true;
        QVERIFY(CommandStates::compute(s).cutChecked && !CommandStates::compute(s).paste);
        s.cutPastable = true;
        QVERIFY(CommandStates::compute(s).paste);
        s.dirty = true;
        QVERIFY(!CommandStates::compute(s).paste && CommandStates::compute(s).cutChecked);
    }
};

QTEST_GUILESS_MAIN(TestCommandStates)
#include "tst_commandstates.moc"
