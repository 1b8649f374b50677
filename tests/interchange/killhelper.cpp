// Helper process of the kill tests: saves items, or writes recovery drafts, in an endless loop
// and prints the number of each one as soon as it is acknowledged.
//   velto_killhelper saves ROOT FIRST   items named "save-N" through the item service
//   velto_killhelper drafts ROOT FIRST  recovery drafts named "draft-N" with a 256 KB note
#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"
#include "RecoveryDraftStore.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace {

void acknowledge(qint64 n)
{
    const QByteArray line = QByteArray::number(n) + '\n';
    if (::write(STDOUT_FILENO, line.constData(), size_t(line.size())) < 0)
        std::_Exit(3);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 4)
        return 2;
    const QString mode = QString::fromLocal8Bit(argv[1]);
    const QString root = QString::fromLocal8Bit(argv[2]);
    qint64 n = QByteArray(argv[3]).toLongLong();
    if (mode == QLatin1String("saves")) {
        Database database(QStringLiteral("kill-helper"));
        database.setRootOverride(root);
        QString error;
        if (!database.open(&error))
            return 1;
        DataItemRepository items(&database);
        AttachmentRepository attachments(&database);
        ContentBlockRepository blocks(&database);
        DataItemService service(&items, &attachments, &blocks);
        for (;; ++n) {
            DataItem item;
            item.here = QStringLiteral("save-%1").arg(n);
            item.cont = QStringLiteral("内容");
            if (service.create(item, &error) == 0)
                return 1;
            acknowledge(n);
        }
    }
    RecoveryDraftStore store(root);
    RecoveryDraft draft;
    draft.content = QString(256 * 1024, QLatin1Char('x'));
    for (;; ++n) {
        draft.name = QStringLiteral("draft-%1").arg(n);
        if (store.write(draft))
            acknowledge(n);
    }
}
