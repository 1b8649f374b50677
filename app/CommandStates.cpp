#include "CommandStates.h"

#include "CompactActionButton.h"
#include "WindowLayout.h"

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
    c.attachmentActions = sel && clean;
    c.contentEditable = editable;
    return c;
}

void CommandStates::applyTo(const CommandButtons &b) const
{
    b.save->setEnabled(save);
    b.cancel->setEnabled(cancel);
    b.add->setEnabled(add);
    b.branch->setEnabled(branch);
    b.up->setEnabled(up);
    b.down->setEnabled(down);
    b.common->setEnabled(common);
    b.common->setIcon(QIcon(commonIcon));
    b.common->setToolTip(commonToolTip);
    b.remove->setEnabled(remove);
    b.cut->setEnabled(cut);
    b.cut->setChecked(cutChecked);
    b.paste->setEnabled(paste);
    b.exportItems->setEnabled(exportItems);
    b.importItems->setEnabled(importItems);
    for (CompactActionButton *r : {b.text, b.file, b.folder, b.link})
        r->setEnabled(addResource);
    b.reveal->setEnabled(reveal);
    b.removeResource->setEnabled(removeResource);
}
