#include "HostOperations.h"
#include "RecordingHostOperations.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

// Stands in for a file manager on a private session bus.
class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QList<QStringList> shownItems;
    QStringList startupIds;

public slots:
    void ShowItems(const QStringList &uris, const QString &startupId)
    {
        shownItems.append(uris);
        startupIds.append(startupId);
    }
};

} // namespace

class HostOperationsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void recordingHostReplacesTheNativeOne();
    void machineIdFormatting();
    void revealThroughFileManagerService();

private:
    QProcess busDaemon;
    QString busAddress;
};

void HostOperationsTest::initTestCase()
{
    // A private session bus, so that revealing never reaches the desktop of whoever runs the tests.
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return;
    busDaemon.start(daemon,
        {QStringLiteral("--session"), QStringLiteral("--nofork"),
            QStringLiteral("--print-address=1")});
    if (!busDaemon.waitForStarted(5000))
        return;
    while (!busDaemon.canReadLine() && busDaemon.waitForReadyRead(5000)) { }
    busAddress = QString::fromUtf8(busDaemon.readLine()).trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress.toUtf8());
}

void HostOperationsTest::cleanupTestCase()
{
    if (busDaemon.state() != QProcess::NotRunning) {
        busDaemon.kill();
        busDaemon.waitForFinished(5000);
    }
}

void HostOperationsTest::recordingHostReplacesTheNativeOne()
{
    HostOperations *native = &HostOperations::native();
    QCOMPARE(&HostOperations::current(), native);
    {
        RecordingHostOperations outer;
        QCOMPARE(&HostOperations::current(), &outer);
        {
            RecordingHostOperations inner;
            inner.result = false;
            inner.uuid = QStringLiteral("4C4C4544-0042-3510-8051-B7C04F574432");
            QCOMPARE(&HostOperations::current(), &inner);
            QVERIFY(!HostOperations::current().openWithSystem(QStringLiteral("/a/b c.txt")));
            QCOMPARE(HostOperations::current().machineUuid(), inner.uuid);
            QVERIFY(outer.requests.isEmpty());
            const QList<RecordingHostOperations::Request> expected {
                {QStringLiteral("openWithSystem"), QStringLiteral("/a/b c.txt")},
                {QStringLiteral("machineUuid"), QString()}};
            QCOMPARE(inner.requests, expected);
        }
        QCOMPARE(&HostOperations::current(), &outer);
        QVERIFY(HostOperations::current().revealInFileManager(QStringLiteral("/x")));
        QVERIFY(
            HostOperations::current().openUrl(QUrl(QStringLiteral("https://example.org/?q=1"))));
        const QList<RecordingHostOperations::Request> expected {
            {QStringLiteral("revealInFileManager"), QStringLiteral("/x")},
            {QStringLiteral("openUrl"), QStringLiteral("https://example.org/?q=1")}};
        QCOMPARE(outer.requests, expected);
    }
    QCOMPARE(&HostOperations::current(), native);
}

void HostOperationsTest::machineIdFormatting()
{
    QCOMPARE(machineUuidFromMachineId("0123456789abcdef0123456789abcdef\n"),
        QStringLiteral("01234567-89AB-CDEF-0123-456789ABCDEF"));
    QCOMPARE(machineUuidFromMachineId("  0123456789ABCDEF0123456789abcdef  "),
        QStringLiteral("01234567-89AB-CDEF-0123-456789ABCDEF"));
    QVERIFY(machineUuidFromMachineId(QByteArray()).isEmpty());
    QVERIFY(machineUuidFromMachineId("uninitialized\n").isEmpty());
    QVERIFY(machineUuidFromMachineId("0123456789abcdef0123456789abcde").isEmpty());
    QVERIFY(machineUuidFromMachineId("0123456789abcdef0123456789abcdeg").isEmpty());
    QVERIFY(machineUuidFromMachineId("0123456789abcdef0123456789abcdef0").isEmpty());

#ifndef Q_OS_WIN
    // The native host reads the machine's own id file, when there is one.
    QFile id(QStringLiteral("/etc/machine-id"));
    if (!id.open(QIODevice::ReadOnly))
        QSKIP("this machine has no readable /etc/machine-id");
    const QString expected = machineUuidFromMachineId(id.readAll());
    if (expected.isEmpty())
        QSKIP("this machine's /etc/machine-id is not a machine id");
    const QString uuid = HostOperations::native().machineUuid();
    QCOMPARE(uuid, expected);
    QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"))
                .match(uuid)
                .hasMatch());
#endif
}

void HostOperationsTest::revealThroughFileManagerService()
{
#ifdef Q_OS_WIN
    QSKIP("the Windows host reveals through Explorer");
#else
    if (busAddress.isEmpty())
        QSKIP("dbus-daemon is not available to run a private session bus");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("季度 报告.txt"));
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.close();

    // The fake file manager lives on its own connection, as a real one would.
    QDBusConnection fileManagerBus
        = QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-file-manager"));
    QVERIFY(fileManagerBus.isConnected());
    FakeFileManager fileManager;
    QVERIFY(fileManagerBus.registerObject(QStringLiteral("/org/freedesktop/FileManager1"),
        &fileManager, QDBusConnection::ExportAllSlots));
    QVERIFY(fileManagerBus.registerService(QStringLiteral("org.freedesktop.FileManager1")));

    // Recorded so that a fallback would show up here instead of opening a real folder.
    RecordingHostOperations recorder;
    QVERIFY(HostOperations::native().revealInFileManager(file));
    QTRY_COMPARE(fileManager.shownItems.size(), 1);
    QCOMPARE(fileManager.shownItems.first(),
        QStringList {QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
    QCOMPARE(fileManager.startupIds.first(), QString());
    QVERIFY(recorder.requests.isEmpty());

    // Without a file manager on the bus, the containing folder is opened instead.
    QVERIFY(fileManagerBus.unregisterService(QStringLiteral("org.freedesktop.FileManager1")));
    fileManagerBus.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake-file-manager"));
    QVERIFY(HostOperations::native().revealInFileManager(file));
    QTRY_COMPARE(recorder.requests.size(), 1);
    QCOMPARE(recorder.requests.first().operation, QStringLiteral("openWithSystem"));
    QCOMPARE(recorder.requests.first().argument, dir.path());
    QCOMPARE(fileManager.shownItems.size(), 1);
#endif
}

VELTO_TEST_MAIN_CORE(HostOperationsTest)
#include "tst_hostoperations.moc"
