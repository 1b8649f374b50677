#include "RecoveryDraftStore.h"
#include "StorageFixture.h"
#include "TestSupport.h"

#include <QFile>

namespace {

void place(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

class RecoveryDraftTest : public QObject {
    Q_OBJECT
private slots:
    void writesCompactDraftsThatReadBack()
    {
        QTemporaryDir root;
        RecoveryDraftStore store(root.path());
        QCOMPARE(store.path(), root.filePath(QStringLiteral("data/recovery-draft.json")));
        RecoveryDraft draft;
        draft.itemId = 12;
        draft.parentId = 3;
        draft.name = QStringLiteral("名字");
        draft.content = QStringLiteral("内容");
        draft.remark = QStringLiteral("100% \"quoted\"");
        draft.blocks = {
            {0, 0, 0, ContentBlock::LocalPath, QStringLiteral("/tmp"), QStringLiteral("folder")}};
        QVERIFY(store.write(draft));
        QFile file(store.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(!bytes.contains('\n'));
        QVERIFY(bytes.startsWith("{\"blocks\":[{\"summary\":\"folder\",\"type\":1,"));
        const QString signature = RecoveryDraftStore::signature(bytes);
        QCOMPARE(signature.size(), 64);
        QCOMPARE(signature, signature.toLower());

        QCOMPARE(store.inspect(QString()), RecoveryDraftStore::Verdict::Offer);
        QCOMPARE(store.foundSignature(), signature);
        const RecoveryDraft back = store.foundDraft();
        QCOMPARE(back.itemId, 12);
        QCOMPARE(back.parentId, 3);
        QCOMPARE(back.remark, draft.remark);
        QCOMPARE(back.blocks.size(), 1);
        QCOMPARE(back.blocks.at(0).summary, QStringLiteral("folder"));
        QVERIFY(QFile::exists(store.path())); // offered drafts stay until answered

        // A write that cannot happen leaves the previous draft.
        QVERIFY(!RecoveryDraftStore(QStringLiteral("/proc/velto-no-such")).write(draft));
    }

    void startUpDiscardsWhatMustNotBeOffered()
    {
        QTemporaryDir root;
        RecoveryDraftStore store(root.path());
        QCOMPARE(store.inspect(QString()), RecoveryDraftStore::Verdict::None);
        QVERIFY(store.write(RecoveryDraft()));
        QFile file(store.path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        file.close();

        // Declined before: an identical file is deleted without asking.
        RecoveryDraftStore::setDismissedSignature(RecoveryDraftStore::signature(bytes));
        QCOMPARE(RecoveryDraftStore::dismissedSignature(), RecoveryDraftStore::signature(bytes));
        QCOMPARE(store.inspect(RecoveryDraftStore::dismissedSignature()),
            RecoveryDraftStore::Verdict::Discarded);
        QVERIFY(!QFile::exists(store.path()));

        for (const QByteArray &bad : {QByteArray("{\"format\":\"velto-recovery-draft-v2\"}"),
                 QByteArray("{\"format\":\"velto-recovery"), QByteArray("[]"), QByteArray()}) {
            place(store.path(), bad);
            QCOMPARE(store.inspect(QString()), RecoveryDraftStore::Verdict::Discarded);
            QVERIFY(!QFile::exists(store.path()));
        }
    }

    void placementFollowsTheStoredItem()
    {
        StorageFixture fx;
        QVERIFY2(fx.open(), qPrintable(fx.error));
        RecoveryDraft draft;
        draft.parentId = 4; // new item: the draft's level
        RecoveryDraftStore::Placement at = RecoveryDraftStore::placement(draft, fx.items);
        QVERIFY(at.restore);
        QCOMPARE(at.level, 4);
        draft.itemId = 5; // stored item: its own parent, whatever the draft says
        draft.parentId = 7;
        at = RecoveryDraftStore::placement(draft, fx.items);
        QVERIFY(at.restore);
        QCOMPARE(at.level, 4);
        draft.itemId = 99; // deleted meanwhile
        QVERIFY(!RecoveryDraftStore::placement(draft, fx.items).restore);
    }
};

VELTO_TEST_MAIN_CORE(RecoveryDraftTest)
#include "tst_recoverydraft.moc"
