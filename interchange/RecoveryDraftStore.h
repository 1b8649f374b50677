#pragma once

#include "Records.h"

#include <QByteArray>
#include <QList>
#include <QString>

class DataItemRepository;

// The unsaved state of the row being edited, as kept in the recovery draft.
struct RecoveryDraft {
    qint64 itemId = 0; // 0: a new item that was never saved
    qint64 parentId = 0; // the level a new item is being created in
    QString name;
    QString content;
    QString remark;
    QList<ContentBlock> blocks;
};

// "data/recovery-draft.json" under the storage root: written while a row has unsaved edits,
// deleted by every save, cancel and clean close, offered back at the next start.
class RecoveryDraftStore {
public:
    explicit RecoveryDraftStore(const QString &storageRoot);

    QString path() const { return m_path; }

    // The compact JSON form ("format", "itemId", "parentId", "name", "content", "remark",
    // "blocks").
    static QByteArray encode(const RecoveryDraft &draft);
    // Parses a draft; false when the bytes are not JSON or carry another format tag.
    static bool decode(const QByteArray &bytes, RecoveryDraft *draft);
    // Lowercase hex SHA-256 of the file's bytes.
    static QString signature(const QByteArray &bytes);

    // Writes through QSaveFile; on any failure the previous draft stays. Returns whether it was
    // written (callers ignore failures).
    bool write(const RecoveryDraft &draft) const;
    // Deletes the draft; a missing file is no error.
    void remove() const;

    // What the start-up finds.
    enum class Verdict {
        None, // no draft, or it cannot be read
        Discarded, // dismissed before, not a draft, or another format: already deleted
        Offer, // ask the person; signature() and draft() describe it
    };
    Verdict inspect(const QString &dismissedSignature);
    QString foundSignature() const { return m_signature; }
    RecoveryDraft foundDraft() const { return m_draft; }

    // Where an accepted draft goes back. restore is false when the draft's item has been deleted
    // meanwhile (the draft is then discarded); level is the level to show: the stored item's own
    // parent, or the draft's parent for a new item.
    struct Placement {
        bool restore = false;
        qint64 level = 0;
    };
    static Placement placement(const RecoveryDraft &draft, const DataItemRepository &items);

    // The settings key "velto/dismissedRecoverySignature" in the default settings store.
    static QString dismissedSignature();
    static void setDismissedSignature(const QString &signature);

private:
    QString m_path;
    QString m_signature;
    RecoveryDraft m_draft;
};
