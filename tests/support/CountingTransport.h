#pragma once

#include "SyncTransport.h"

#include <QStringList>

#include <functional>

// Passes every call on to a real transport and notes it: which folders were listed, which files
// read, written and which folders made. rewrite, when set, changes the entries a listing returns
// (e.g. the ETags of a server whose folder ETags never change).
class CountingTransport : public datasync::SyncTransport {
public:
    explicit CountingTransport(datasync::SyncTransport *inner)
        : m_inner(inner)
    {
    }

    QStringList listed, got, put, made;
    std::function<void(const QString &folder, datasync::RemoteEntry &entry)> rewrite;

    void reset()
    {
        listed.clear();
        got.clear();
        put.clear();
        made.clear();
    }
    int requests() const { return int(listed.size() + got.size() + put.size() + made.size()); }

    Result list(
        const QString &folder, QList<datasync::RemoteEntry> *entries, QString *error) override
    {
        listed << folder;
        const Result result = m_inner->list(folder, entries, error);
        if (rewrite) {
            for (datasync::RemoteEntry &entry : *entries)
                rewrite(folder, entry);
        }
        return result;
    }
    Result makeFolder(const QString &folder, QString *error) override
    {
        made << folder;
        return m_inner->makeFolder(folder, error);
    }
    Result get(const QString &path, QByteArray *data, QString *error) override
    {
        got << path;
        return m_inner->get(path, data, error);
    }
    Result putNew(const QString &path, const QByteArray &data, QString *error) override
    {
        put << path;
        return m_inner->putNew(path, data, error);
    }

private:
    datasync::SyncTransport *m_inner;
};
