#pragma once

#include "HostOperations.h"

#include <QList>

// A host that opens nothing and remembers what it was asked, for tests. It installs itself when
// constructed and puts the previous host back when destroyed, so it is meant to live on the stack
// of one test function.
class RecordingHostOperations : public HostOperations {
public:
    struct Request {
        QString operation; // "openWithSystem", "revealInFileManager", "machineUuid", "openUrl"
        QString argument; // the path, or the address as text; empty for machineUuid

        bool operator==(const Request &other) const
        {
            return operation == other.operation && argument == other.argument;
        }
    };

    RecordingHostOperations();
    ~RecordingHostOperations() override;
    RecordingHostOperations(const RecordingHostOperations &) = delete;
    RecordingHostOperations &operator=(const RecordingHostOperations &) = delete;

    bool openWithSystem(const QString &path) override;
    bool revealInFileManager(const QString &path) override;
    QString machineUuid() override;
    bool openUrl(const QUrl &url) override;

    QList<Request> requests;
    // What the recorded operations answer.
    bool result = true;
    QString uuid;

private:
    HostOperations *previous = nullptr;
};
