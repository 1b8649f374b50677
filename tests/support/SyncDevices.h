#pragma once

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"
#include "SyncEngine.h"

#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

#include <functional>
#include <memory>

// One computer of a sync test: its own storage root and database, edited through the service
// as the window does, synced with a transport the test chooses.
struct SyncDevice {
    explicit SyncDevice(const QString &name)
        : database(QStringLiteral("device-") + name)
        , items(&database)
        , attachments(&database)
        , blocks(&database)
        , service(&items, &attachments, &blocks)
    {
        database.setRootOverride(dir.path());
        QString error;
        if (!database.open(&error))
            qWarning("open failed: %s", qPrintable(error));
    }
    ~SyncDevice() { database.close(); }

    QString file() const { return Database::databaseFilePath(database.rootPath); }

    datasync::SyncReport sync(datasync::SyncTransport *transport,
        const std::function<void(datasync::SyncEngine &)> &setup = {})
    {
        datasync::SyncEngine engine(file(), transport);
        if (setup)
            setup(engine);
        return engine.run();
    }

    // Removes every item (through SQL, as if the file had been made empty before).
    void clear()
    {
        QSqlQuery(database.connection()).exec(QStringLiteral("DELETE FROM data_items"));
    }

    qint64 add(const QString &here, qint64 pid = 0, const QString &note = QString())
    {
        DataItem item;
        item.here = here;
        item.cont = here + QStringLiteral(" 内容");
        item.pid = pid;
        QString error;
        const qint64 iid = service.create(item, &error);
        if (iid == 0)
            qWarning("create failed: %s", qPrintable(error));
        if (!note.isEmpty()) {
            ContentBlock block;
            block.type = ContentBlock::Text;
            block.value = note;
            service.replaceContentBlocks(iid, {block}, &error);
        }
        return iid;
    }

    qint64 find(const QString &here) const
    {
        QSqlQuery query(database.connection());
        query.prepare(QStringLiteral("SELECT iid FROM data_items WHERE here = ? ORDER BY iid"));
        query.addBindValue(here);
        return query.exec() && query.next() ? query.value(0).toLongLong() : 0;
    }

    bool rename(qint64 iid, const QString &here, const QString &cont = QString())
    {
        DataItem item = items.get(iid);
        item.here = here;
        if (!cont.isEmpty())
            item.cont = cont;
        QString error;
        return service.save(item, &error);
    }

    // The whole tree, one line per item in display order, indented by depth:
    // "name|content|remark|favourite|blocks". Local iids are left out: they differ per device.
    QStringList tree() const
    {
        QStringList lines;
        const std::function<void(qint64, int)> walk = [&](qint64 pid, int depth) {
            for (const DataItem &item : items.byParent(pid)) {
                QStringList blockTexts;
                for (const ContentBlock &block : blocks.byItem(item.iid))
                    blockTexts << QString::number(block.type) + QLatin1Char(':') + block.value;
                lines << QString(depth, QLatin1Char(' ')) + item.here + QLatin1Char('|') + item.cont
                        + QLatin1Char('|') + item.remark + QLatin1Char('|')
                        + (item.favorite ? QLatin1Char('*') : QLatin1Char('-')) + QLatin1Char('|')
                        + blockTexts.join(QLatin1Char(';'));
                walk(item.iid, depth + 1);
            }
        };
        walk(0, 0);
        return lines;
    }

    // Debugging aid: every item with its parent, order and merged position.
    QStringList places() const
    {
        QStringList out;
        QSqlQuery query(database.connection());
        query.exec(QStringLiteral("SELECT d.here, d.pid, d.sortid, p.parent, p.poskey, p.vid FROM "
                                  "data_items d LEFT JOIN sync_places p ON p.uuid = d.uuid "
                                  "ORDER BY d.pid, d.sortid"));
        while (query.next()) {
            QStringList row;
            for (int i = 0; i < 6; ++i)
                row << query.value(i).toString();
            out << row.join(QLatin1Char(' '));
        }
        return out;
    }

    QTemporaryDir dir;
    Database database;
    DataItemRepository items;
    AttachmentRepository attachments;
    ContentBlockRepository blocks;
    DataItemService service;
};
