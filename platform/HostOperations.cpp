#include "HostOperations.h"

#include <QByteArray>

namespace {
HostOperations *installed = nullptr;
} // namespace

HostOperations::~HostOperations() = default;

HostOperations &HostOperations::current()
{
    return installed ? *installed : native();
}

HostOperations *HostOperations::install(HostOperations *operations)
{
    HostOperations *before = installed ? installed : &native();
    installed = operations;
    return before;
}

QString machineUuidFromMachineId(const QByteArray &contents)
{
    const QByteArray id = contents.trimmed();
    if (id.size() != 32)
        return {};
    for (const char c : id) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return {};
    }
    const QString digits = QString::fromLatin1(id).toUpper();
    return digits.mid(0, 8) + QLatin1Char('-') + digits.mid(8, 4) + QLatin1Char('-')
        + digits.mid(12, 4) + QLatin1Char('-') + digits.mid(16, 4) + QLatin1Char('-')
        + digits.mid(20, 12);
}
