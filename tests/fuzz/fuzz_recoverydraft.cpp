// Recovery-draft reader: bytes as a draft file found at start-up.
#include "FuzzSupport.h"
#include "RecoveryDraftStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

namespace {
QTemporaryDir *root = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static QTemporaryDir dir;
    root = &dir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    RecoveryDraft draft;
    if (RecoveryDraftStore::decode(bytes, &draft)) {
        // What decodes must survive a write and read back the same.
        const QByteArray again = RecoveryDraftStore::encode(draft);
        RecoveryDraft back;
        if (!RecoveryDraftStore::decode(again, &back) || back.name != draft.name
            || back.blocks.size() != draft.blocks.size())
            qFatal("a decoded draft does not read back");
    }
    // The start-up path over the file itself.
    RecoveryDraftStore store(root->path());
    QDir().mkpath(root->filePath(QStringLiteral("data")));
    QFile file(store.path());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(bytes);
        file.close();
        store.inspect(QString());
        store.remove();
    }
    return 0;
}
