#pragma once

#include "AttachmentRepository.h"
#include "ContentBlockRepository.h"
#include "DataItemRepository.h"
#include "DataItemService.h"
#include "Database.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QVariant>

#include <memory>

// A database on its own temporary root, with the repositories and the service on top of it.
struct StorageFixture {
    explicit StorageFixture(const QString &root = QString())
        : database(QStringLiteral("test-%1").arg(++counter()))
        , items(&database)
        , attachments(&database)
        , blocks(&database)
        , service(&items, &attachments, &blocks)
    {
        database.setRootOverride(root.isEmpty() ? dir.path() : root);
    }

    ~StorageFixture() { database.close(); }

    bool open()
    {
        error.clear();
        return database.open(&error);
    }

    // Runs one statement directly; the test fails loudly when it does not run.
    QSqlQuery sql(const QString &statement)
    {
        QSqlQuery query(database.connection());
        if (!query.exec(statement))
            qWarning("statement failed: %s", qPrintable(statement));
        return query;
    }

    qint64 scalar(const QString &statement)
    {
        QSqlQuery query = sql(statement);
        return query.next() ? query.value(0).toLongLong() : -1;
    }

    // Creates an item through the service; fails the test on refusal.
    qint64 add(const QString &here, qint64 pid = 0, qint64 sortid = 0)
    {
        DataItem item;
        item.here = here;
        item.cont = here + QStringLiteral(" 内容");
        item.pid = pid;
        item.sortid = sortid;
        QString createError;
        const qint64 iid = service.create(item, &createError);
        if (iid == 0)
            qWarning("create failed: %s", qPrintable(createError));
        return iid;
    }

    // "iid:sortid" of each child of pid, in display order.
    QStringList level(qint64 pid) const
    {
        QStringList out;
        for (const DataItem &item : items.byParent(pid))
            out << QStringLiteral("%1:%2").arg(item.iid).arg(item.sortid);
        return out;
    }

    QStringList names(const QList<DataItem> &list) const
    {
        QStringList out;
        for (const DataItem &item : list)
            out << item.here;
        return out;
    }

    static int &counter()
    {
        static int value = 0;
        return value;
    }

    QTemporaryDir dir;
    Database database;
    DataItemRepository items;
    AttachmentRepository attachments;
    ContentBlockRepository blocks;
    DataItemService service;
    QString error;
};

// An opened database whose sample tree has been removed, for tests that want exact contents.
struct EmptyStorage : StorageFixture {
    EmptyStorage()
    {
        QVERIFY2(open(), qPrintable(error));
        sql(QStringLiteral("DELETE FROM data_items"));
    }
};
