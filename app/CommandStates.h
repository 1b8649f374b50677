#pragma once

#include <QString>
#include <QtGlobal>

class WindowActions;

// What the command buttons depend on, gathered by the window from its editing state.
struct EditingSnapshot {
    int currentRow = -1;
    int draftRow = -1;
    int itemCount = 0; // entries of the level: its parent row and a draft included
    int minRow = 0; // first movable row: 1 when the level shows its parent row
    bool parentRow = false; // the current row is the level's parent row
    bool dirty = false;
    qint64 selectedItemId = 0;
    qint64 currentItemId = 0; // the stored item of the current row (0 for a draft)
    bool favorite = false;
    bool resourceSelectionActive = false;
    // Asked of the detail panel; the move answers only matter while a resource is selected.
    bool canMoveResourceUp = false;
    bool canMoveResourceDown = false;
    bool canRevealResource = false;
    bool cutMarked = false; // an item is marked by "转移"
    bool cutPastable = false; // the marked item exists and lives outside this level
    bool inBranch = false; // the level shows a branch (its parent row is row 0)
    bool selectedHasChildren = false; // the current row's item is a branch that can be entered
    bool untouchedDraft = false; // the current row is a draft nothing was typed into yet
};

// The enabled / checked / icon / tool-tip state of every command, derived from a snapshot alone.
struct CommandStates {
    bool save = false;
    bool cancel = false;
    bool add = false;
    bool branch = false;
    bool up = false;
    bool down = false;
    bool common = false;
    QString commonIcon;
    QString commonToolTip;
    bool remove = false;
    bool cut = false;
    bool cutChecked = false;
    bool paste = false;
    bool exportItems = false;
    bool importItems = false;
    bool addResource = false; // "文本", "文件", "目录" and "链接"
    bool reveal = false;
    bool removeResource = false;
    bool enterBranch = false; // the current row's "»"
    bool returnToParent = false; // the parent row's "↩"
    bool otherRowsEnabled = true;
    bool attachmentActions = false;
    bool contentEditable = false;

    static CommandStates compute(const EditingSnapshot &s);
    // Sets the window's actions; the command-bar buttons and the menus follow them.
    void applyTo(const WindowActions &actions) const;
};
