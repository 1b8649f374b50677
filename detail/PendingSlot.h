#pragma once

#include "ContentState.h"

#include <QSizePolicy>
#include <QSpacerItem>
#include <QString>

#include <memory>

// A resource of the detail workspace kept as its block until its frame is built.
struct PendingResource {
    std::shared_ptr<PendingBlock> source;
    // The name given in the resource list; empty = the default name.
    QString title;
    // About the height its frame will take.
    int height = 0;
    // setAttachmentActionsEnabled since it was loaded.
    bool enabled = true;
};

// The place of an unbuilt resource in the stack of frames: an empty layout item of about the
// frame's height, so that a thousand unbuilt resources cost no widget each.
class PendingSlot : public QSpacerItem {
public:
    explicit PendingSlot(const PendingResource &pending)
        : QSpacerItem(0, pending.height, QSizePolicy::Minimum, QSizePolicy::Fixed)
        , resource(pending)
    {
    }

    PendingResource resource;
};
