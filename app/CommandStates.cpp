#include "CommandStates.h"

#include "WindowActions.h"

#include <QAction>
#include <QIcon>

CommandStates CommandStates::compute(const EditingSnapshot &s)
{
    const bool editable = !s.parentRow;
    const bool sel = s.selectedItemId != 0;
    const bool active = s.resourceSelectionActive;
    const bool draftCurrent = s.currentRow == s.draftRow && s.draftRow >= 0;
    const bool clean = !s.dirty;

    CommandStates c;
    c.otherRowsEnabled = clean;
    c.save = editable && s.currentRow >= 0;
    c.cancel = editable && (s.dirty || draftCurrent);
    c.add = clean && !active && s.currentItemId != 0;
    c.branch = editable && clean && !active && s.currentItemId != 0;
    if (active) {
        c.up = s.canMoveResourceUp;
        c.down = s.canMoveResourceDown;
    } else {
        c.up = clean && sel && s.currentRow > s.minRow;
        c.down = clean && sel && s.minRow <= s.currentRow && s.currentRow < s.itemCount - 1;
    }
    c.common = editable && clean && sel;
    c.commonIcon = s.favorite ? QStringLiteral(":/icons/list-common-filled.svg")
                              : QStringLiteral(":/icons/list-common.svg");
    c.commonToolTip = s.favorite ? QStringLiteral("取消常用") : QStringLiteral("常用");
    c.remove = editable && clean && sel;
    c.cut = editable && clean && sel && !active;
    c.cutChecked = s.cutMarked;
    c.paste = s.cutMarked && s.cutPastable && !active && clean;
    c.exportItems = clean && !active;
    c.importItems = clean && !active;
    c.addResource = editable && sel;
    c.reveal = editable && sel && s.canRevealResource;
    c.removeResource = editable && sel && active;
    c.enterBranch = clean && !s.parentRow && sel && s.selectedHasChildren;
    c.returnToParent = s.inBranch && (clean || s.untouchedDraft);
    c.attachmentActions = sel && clean;
    c.contentEditable = editable;
    return c;
}

void CommandStates::applyTo(const WindowActions &a) const
{
    a.save->setEnabled(save);
    a.cancel->setEnabled(cancel);
    a.add->setEnabled(add);
    a.branch->setEnabled(branch);
    a.up->setEnabled(up);
    a.down->setEnabled(down);
    a.common->setEnabled(common);
    a.common->setIcon(QIcon(commonIcon));
    WindowActions::relabel(a.common, commonToolTip);
    a.remove->setEnabled(remove);
    a.cut->setEnabled(cut);
    a.cut->setChecked(cutChecked);
    a.paste->setEnabled(paste);
    a.exportItems->setEnabled(exportItems);
    a.importItems->setEnabled(importItems);
    for (QAction *r : {a.text, a.file, a.folder, a.link})
        r->setEnabled(addResource);
    a.reveal->setEnabled(reveal);
    a.removeResource->setEnabled(removeResource);
    a.enterBranch->setEnabled(enterBranch);
    a.returnToParent->setEnabled(returnToParent);
}
