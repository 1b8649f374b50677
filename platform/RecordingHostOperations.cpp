#include "RecordingHostOperations.h"

RecordingHostOperations::RecordingHostOperations()
    : previous(HostOperations::install(this))
{
}

RecordingHostOperations::~RecordingHostOperations()
{
    // The native host is what install(nullptr) brings back, so restoring it needs no special case.
    HostOperations::install(previous == &HostOperations::native() ? nullptr : previous);
}

bool RecordingHostOperations::openWithSystem(const QString &path)
{
    requests.append({QStringLiteral("openWithSystem"), path});
    return result;
}

bool RecordingHostOperations::revealInFileManager(const QString &path)
{
    requests.append({QStringLiteral("revealInFileManager"), path});
    return result;
}

QString RecordingHostOperations::machineUuid()
{
    requests.append({QStringLiteral("machineUuid"), QString()});
    return uuid;
}

bool RecordingHostOperations::openUrl(const QUrl &url)
{
    requests.append({QStringLiteral("openUrl"), url.toString()});
    return result;
}
