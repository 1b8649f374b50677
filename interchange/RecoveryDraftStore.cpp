#include "RecoveryDraftStore.h"

#include "DataItemRepository.h"
#include "SafeCommit.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSettings>
#include <QVariant>

#include <cmath>

namespace {

const char *const draftFormat = "velto-recovery-draft-v1";
const char *const dismissedKey = "velto/dismissedRecoverySignature";

qint64 idValue(const QJsonValue &value)
{
    if (value.isDouble()
        && (!std::isfinite(value.toDouble()) || std::fabs(value.toDouble()) >= 9.2e18))
        return 0;
    return value.toVariant().toLongLong();
}

} // namespace

RecoveryDraftStore::RecoveryDraftStore(const QString &storageRoot)
    : m_path(QDir(storageRoot).filePath(QStringLiteral("data/recovery-draft.json")))
{
}

QByteArray RecoveryDraftStore::encode(const RecoveryDraft &draft)
{
    QJsonArray blocks;
    for (const ContentBlock &block : draft.blocks)
        blocks.append(contentBlockObject(block));
    QJsonObject root;
    root.insert(QStringLiteral("format"), QLatin1String(draftFormat));
    root.insert(QStringLiteral("itemId"), double(draft.itemId));
    root.insert(QStringLiteral("parentId"), double(draft.parentId));
    root.insert(QStringLiteral("name"), draft.name);
    root.insert(QStringLiteral("content"), draft.content);
    root.insert(QStringLiteral("remark"), draft.remark);
    root.insert(QStringLiteral("blocks"), blocks);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

bool RecoveryDraftStore::decode(const QByteArray &bytes, RecoveryDraft *draft)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return false;
    const QJsonObject root = document.object();
    const QJsonValue format = root.value(QStringLiteral("format"));
    if (!format.isString() || format.toString() != QLatin1String(draftFormat))
        return false;
    draft->itemId = idValue(root.value(QStringLiteral("itemId")));
    draft->parentId = idValue(root.value(QStringLiteral("parentId")));
    draft->name = root.value(QStringLiteral("name")).toString();
    draft->content = root.value(QStringLiteral("content")).toString();
    draft->remark = root.value(QStringLiteral("remark")).toString();
    draft->blocks = contentBlocksFromJson(root.value(QStringLiteral("blocks")).toArray());
    return true;
}

QString RecoveryDraftStore::signature(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool RecoveryDraftStore::write(const RecoveryDraft &draft) const
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = encode(draft);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        file.commit();
        return false;
    }
    return interchange::commitChecked(file, bytes.size(), nullptr);
}

void RecoveryDraftStore::remove() const
{
    QFile::remove(m_path);
}

RecoveryDraftStore::Verdict RecoveryDraftStore::inspect(const QString &dismissedSignature)
{
    m_signature.clear();
    m_draft = {};
    QFile file(m_path);
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return Verdict::None;
    const QByteArray bytes = file.readAll();
    file.close();
    const QString found = signature(bytes);
    RecoveryDraft draft;
    if (found == dismissedSignature || !decode(bytes, &draft)) {
        remove();
        return Verdict::Discarded;
    }
    m_signature = found;
    m_draft = draft;
    return Verdict::Offer;
}

RecoveryDraftStore::Placement RecoveryDraftStore::placement(
    const RecoveryDraft &draft, const DataItemRepository &items)
{
    if (draft.itemId == 0)
        return {true, draft.parentId};
    const DataItem stored = items.get(draft.itemId);
    if (stored.iid == 0)
        return {false, 0};
    return {true, stored.pid};
}

QString RecoveryDraftStore::dismissedSignature()
{
    return QSettings().value(QLatin1String(dismissedKey)).toString();
}

void RecoveryDraftStore::setDismissedSignature(const QString &signature)
{
    QSettings().setValue(QLatin1String(dismissedKey), signature);
}
