#pragma once

#include "Records.h"

#include <QFont>
#include <QList>
#include <QString>

#include <memory>

// A resource kept as its stored block until its widget is built. The block its widget would give
// (a note's HTML written out by its editor) costs a text document to make, so it is made once,
// when someone first asks for it, and shared by every state that names the resource.
class PendingBlock {
public:
    PendingBlock(const ContentBlock &block, bool folder, const QFont &noteFont);

    const ContentBlock &block() const { return stored; }
    bool isFolder() const { return folder; }
    // The block the resource's widget would give, without the title rule.
    const ContentBlock &snapshot() const;
    bool isSnapshotReady() const { return snapshotReady; }
    // The block's compact JSON with `title` (trimmed, when not blank) as its summary.
    // (A copy: the next call with another title replaces what it keeps.)
    QString json(const QString &title) const;

private:
    ContentBlock stored;
    bool folder = false;
    QFont noteFont;
    mutable bool snapshotReady = false;
    mutable ContentBlock made;
    mutable bool jsonReady = false;
    mutable QString jsonTitle;
    mutable QString madeJson;
};

// The resources of a workspace at one moment, as the content signature reads them. Two states
// compare as their signatures would, but a resource still kept as its block is compared by
// identity: its JSON is written out only when the signature's text is asked for, or when it is
// compared with something else.
class ContentState {
public:
    // A state taken from a workspace, even one without resources; a default one was never taken
    // and equals no state, as an empty text equals no signature.
    static ContentState taken()
    {
        ContentState state;
        state.wasTaken = true;
        return state;
    }

    // The signature: a JSON array of {"summary","type","value"} objects, compact, keys sorted.
    QString signature() const;
    bool operator==(const ContentState &other) const;
    bool operator!=(const ContentState &other) const { return !(*this == other); }

    // A built resource's block (title rule applied) as JSON.
    void appendJson(const QString &json);
    // A resource kept as its block, under the title the user gave it.
    void appendPending(std::shared_ptr<const PendingBlock> source, const QString &title);
    qsizetype size() const { return entries.size(); }

private:
    struct Entry {
        std::shared_ptr<const PendingBlock> source;
        QString title;
        QString json; // of a built resource
        QString text() const { return source ? source->json(title) : json; }
    };
    QList<Entry> entries;
    bool wasTaken = false;
};

// The compact JSON object of a block, written exactly as QJsonDocument would write it.
QString contentBlockJson(const ContentBlock &block);
