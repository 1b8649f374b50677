#include "ResourceRuntime.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#ifdef Q_OS_UNIX
#include <csignal>
#include <pthread.h>
#include <sched.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace {

// Collects every callback of a runtime, from whichever thread it arrives on.
class Recorder {
public:
    struct Call {
        QString kind;
        QString jobId;
        QVariant value;
        bool onMainThread = false;
    };

    void attach(ResourceRuntime &runtime)
    {
        runtime.onProgress = [this](const QString &id, int percent) {
            add(QStringLiteral("progress"), id, percent);
        };
        runtime.onFinished = [this](const QString &id, const QVariant &result) {
            add(QStringLiteral("finished"), id, result);
        };
        runtime.onFailed = [this](const QString &id, const QString &message) {
            add(QStringLiteral("failed"), id, message);
        };
    }

    void add(const QString &kind, const QString &jobId, const QVariant &value)
    {
        const bool main = QThread::currentThread() == QCoreApplication::instance()->thread();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back({kind, jobId, value, main});
    }

    std::vector<Call> calls(const QString &jobId = QString()) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Call> result;
        for (const Call &call : m_calls) {
            if (jobId.isNull() || call.jobId == jobId)
                result.push_back(call);
        }
        return result;
    }

    int count(const QString &kind, const QString &jobId) const
    {
        int n = 0;
        for (const Call &call : calls(jobId))
            n += call.kind == kind;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Call> m_calls;
};

// A one-shot gate between threads.
class Latch {
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_condition.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_condition.wait_for(lock, timeout, [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_open = false;
};

QString sh()
{
    return QStringLiteral("/bin/sh");
}

QStringList script(const QString &text)
{
    return {QStringLiteral("-c"), text};
}

QString readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QList<QProcess *> runningProcesses(const QObject &runtime)
{
    QList<QProcess *> running;
    for (QProcess *process : runtime.findChildren<QProcess *>()) {
        if (process->state() != QProcess::NotRunning)
            running.append(process);
    }
    return running;
}

bool processGone(qint64 pid)
{
#ifdef Q_OS_UNIX
    return ::kill(pid_t(pid), 0) == -1 && errno == ESRCH;
#else
    Q_UNUSED(pid);
    return true;
#endif
}

#ifdef Q_OS_LINUX
qint64 virtualMemoryKb()
{
    const QString status = readAll(QStringLiteral("/proc/self/status"));
    for (const QString &line : status.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("VmSize:")))
            return line.mid(7).trimmed().split(QLatin1Char(' ')).value(0).toLongLong();
    }
    return -1;
}
#endif

} // namespace

class TestResourceRuntime : public QObject {
    Q_OBJECT

    // The order matters under ThreadSanitizer: QProcess starts its children with a clone that
    // shares the parent's memory, which the sanitizer takes for a fork of a multi-threaded
    // process; from then on it refuses new threads and stops watching the main thread. So every
    // test that starts threads runs before the first external program.
private slots:
    void inProcessChecksOnTheEventLoop();
    void workerChecksOnItsOwnThread();
    void workerCancellation();
    void workerDestructionWaitsForThreads();
    void workerDoesNotKeepFinishedThreads();
    void externalJobsReportTheirOutcome();
    void externalRestartStopsThePreviousProcess();
    void externalJobLifetime();
};

void TestResourceRuntime::externalJobsReportTheirOutcome()
{
    ExternalProcessResourceRuntime runtime;
    Recorder recorder;
    recorder.attach(runtime);

    runtime.start(QStringLiteral("ok"), QStringLiteral("/bin/true"));
    runtime.start(QStringLiteral("three"), sh(), script(QStringLiteral("exit 3")));
    runtime.start(QStringLiteral("crash"), sh(), script(QStringLiteral("kill -KILL $$")));
    runtime.start(QStringLiteral("missing"), QStringLiteral("/nonexistent/velto-no-such-program"));

    QTRY_COMPARE(recorder.count(QStringLiteral("finished"), QStringLiteral("ok")), 1);
    QTRY_COMPARE(recorder.count(QStringLiteral("finished"), QStringLiteral("three")), 1);
    QTRY_COMPARE(recorder.count(QStringLiteral("finished"), QStringLiteral("crash")), 1);
    QTRY_COMPARE(recorder.count(QStringLiteral("failed"), QStringLiteral("missing")), 1);

    QCOMPARE(recorder.calls(QStringLiteral("ok")).front().value, QVariant(true));
    QCOMPARE(recorder.calls(QStringLiteral("three")).front().value, QVariant(false));
    // A program that started and then died is a finished job with a false result, not a
    // start failure.
    QCOMPARE(recorder.calls(QStringLiteral("crash")).size(), size_t(1));
    QCOMPARE(recorder.calls(QStringLiteral("crash")).front().value, QVariant(false));
    // A program that never ran reports the failure and nothing else.
    QCOMPARE(recorder.calls(QStringLiteral("missing")).size(), size_t(1));
    QCOMPARE(recorder.calls(QStringLiteral("missing")).front().value,
        QVariant(QStringLiteral("外部资源进程启动失败")));

    for (const Recorder::Call &call : recorder.calls())
        QVERIFY(call.onMainThread);
    // Every process object goes away once its job has ended, the failed one included.
    QTRY_VERIFY(runtime.findChildren<QProcess *>().isEmpty());

    // Callbacks that are not set are skipped.
    runtime.onFinished = nullptr;
    runtime.onFailed = nullptr;
    runtime.start(QStringLiteral("quiet"), QStringLiteral("/bin/true"));
    runtime.start(QStringLiteral("quiet-missing"), QStringLiteral("/nonexistent/velto-program"));
    QTRY_VERIFY(runtime.findChildren<QProcess *>().isEmpty());
}

void TestResourceRuntime::externalRestartStopsThePreviousProcess()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("log"));
    const QString quotedLog = QLatin1Char('\'') + log + QLatin1Char('\'');

    ExternalProcessResourceRuntime runtime;
    Recorder recorder;
    recorder.attach(runtime);

    // A program that ends when asked to: it is stopped before the new one starts.
    runtime.start(QStringLiteral("a"), sh(),
        script(QStringLiteral("trap 'echo stopped >> %1; exit 0' TERM; "
                              "echo started >> %1; while :; do sleep 0.05; done")
                   .arg(quotedLog)));
    QTRY_COMPARE(readAll(log), QStringLiteral("started\n"));
    QPointer<QProcess> first = runtime.findChildren<QProcess *>().value(0);
    QVERIFY(first);

    runtime.start(
        QStringLiteral("a"), sh(), script(QStringLiteral("echo second >> %1").arg(quotedLog)));
    QVERIFY(!first || first->state() == QProcess::NotRunning);
    // The new program may already have written its line, but only after the old one stopped.
    QVERIFY(readAll(log).startsWith(QStringLiteral("started\nstopped\n")));

    QTRY_COMPARE(recorder.count(QStringLiteral("finished"), QStringLiteral("a")), 1);
    QCOMPARE(readAll(log), QStringLiteral("started\nstopped\nsecond\n"));
    // The stopped job reported nothing; the one result is the second job's.
    QCOMPARE(recorder.calls().size(), size_t(1));
    QCOMPARE(recorder.calls().front().value, QVariant(true));
    QTRY_VERIFY(first.isNull());

    // A program that ignores the request is killed after the grace period.
    QFile::remove(log);
    runtime.start(QStringLiteral("b"), sh(),
        script(QStringLiteral("trap '' TERM; echo started >> %1; exec sleep 30").arg(quotedLog)));
    QTRY_COMPARE(readAll(log), QStringLiteral("started\n"));
    QPointer<QProcess> stubborn = runtime.findChildren<QProcess *>().value(0);
    QVERIFY(stubborn);
    const qint64 pid = stubborn->processId();
    QVERIFY(pid > 0);

    QElapsedTimer clock;
    clock.start();
    runtime.start(QStringLiteral("b"), QStringLiteral("/bin/true"));
    const qint64 waited = clock.elapsed();
    QVERIFY2(waited >= 400, qPrintable(QString::number(waited)));
    QVERIFY(processGone(pid));
    QVERIFY(stubborn);
    QCOMPARE(stubborn->exitStatus(), QProcess::CrashExit);

    QTRY_COMPARE(recorder.count(QStringLiteral("finished"), QStringLiteral("b")), 1);
    QCOMPARE(recorder.calls(QStringLiteral("b")).size(), size_t(1));
    QTRY_VERIFY(runtime.findChildren<QProcess *>().isEmpty());
}

void TestResourceRuntime::externalJobLifetime()
{
    // A callback may start its own id again; the new process is then the job of that id.
    {
        ExternalProcessResourceRuntime runtime;
        int finished = 0;
        runtime.onFinished = [&](const QString &id, const QVariant &) {
            if (++finished == 1)
                runtime.start(id, QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        };
        runtime.start(QStringLiteral("again"), QStringLiteral("/bin/true"));
        QTRY_COMPARE(finished, 1);
        QTRY_COMPARE(runningProcesses(runtime).size(), 1);
        QTRY_COMPARE(runningProcesses(runtime).front()->state(), QProcess::Running);
        runtime.cancel(QStringLiteral("again"));
        QVERIFY(runningProcesses(runtime).isEmpty());
        QCOMPARE(finished, 1);

        // Cancelling an unknown id does nothing.
        runtime.cancel(QStringLiteral("unknown"));
    }

    // Destroying the runtime stops its running programs, asking first, and reports nothing.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString log = dir.filePath(QStringLiteral("log"));
    const QString quotedLog = QLatin1Char('\'') + log + QLatin1Char('\'');
    QTest::failOnWarning(QRegularExpression(QStringLiteral("Destroyed while process")));
    Recorder recorder;
    auto runtime = std::make_unique<ExternalProcessResourceRuntime>();
    recorder.attach(*runtime);
    runtime->start(QStringLiteral("polite"), sh(),
        script(QStringLiteral("trap 'echo stopped >> %1; exit 0' TERM; echo polite >> %1; "
                              "while :; do sleep 0.05; done")
                   .arg(quotedLog)));
    QTRY_COMPARE(readAll(log), QStringLiteral("polite\n"));
    runtime->start(QStringLiteral("stubborn"), sh(),
        script(QStringLiteral("trap '' TERM; echo stubborn >> %1; exec sleep 30").arg(quotedLog)));
    QTRY_COMPARE(readAll(log), QStringLiteral("polite\nstubborn\n"));
    QList<qint64> pids;
    for (QProcess *process : runtime->findChildren<QProcess *>())
        pids.append(process->processId());
    QCOMPARE(pids.size(), 2);

    runtime.reset();
    for (qint64 pid : pids)
        QVERIFY(processGone(pid));
    QCOMPARE(readAll(log), QStringLiteral("polite\nstubborn\nstopped\n"));
    QCoreApplication::processEvents();
    QVERIFY(recorder.calls().empty());
}

void TestResourceRuntime::inProcessChecksOnTheEventLoop()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString existing = dir.filePath(QStringLiteral("资料.txt"));
    QFile file(existing);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    InProcessResourceRuntime runtime;
    Recorder recorder;
    recorder.attach(runtime);

    runtime.start(QStringLiteral("empty"), QString());
    runtime.start(QStringLiteral("missing"), dir.filePath(QStringLiteral("nothing-here")));
    runtime.start(QStringLiteral("file"), existing);
    runtime.start(QStringLiteral("folder"), dir.path());
    runtime.cancel(QStringLiteral("file")); // has no effect
    // Nothing is reported before the event loop runs.
    QVERIFY(recorder.calls().empty());

    QTRY_COMPARE(recorder.calls().size(), size_t(7));
    const auto empty = recorder.calls(QStringLiteral("empty"));
    QCOMPARE(empty.size(), size_t(1));
    QCOMPARE(empty.front().kind, QStringLiteral("failed"));
    QCOMPARE(empty.front().value, QVariant(QStringLiteral("资源地址为空")));

    const auto missing = recorder.calls(QStringLiteral("missing"));
    QCOMPARE(missing.size(), size_t(2));
    QCOMPARE(missing[0].kind, QStringLiteral("progress"));
    QCOMPARE(missing[0].value, QVariant(100));
    QCOMPARE(missing[1].kind, QStringLiteral("finished"));
    QCOMPARE(missing[1].value, QVariant(false));

    QCOMPARE(recorder.calls(QStringLiteral("file")).back().value, QVariant(true));
    QCOMPARE(recorder.calls(QStringLiteral("folder")).back().value, QVariant(true));
    for (const Recorder::Call &call : recorder.calls())
        QVERIFY(call.onMainThread);

    // A runtime destroyed before its queued checks run reports nothing.
    Recorder late;
    {
        InProcessResourceRuntime shortLived;
        late.attach(shortLived);
        shortLived.start(QStringLiteral("x"), existing);
    }
    QCoreApplication::processEvents();
    QVERIFY(late.calls().empty());
}

void TestResourceRuntime::workerChecksOnItsOwnThread()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    WorkerThreadResourceRuntime runtime;
    Recorder recorder;
    recorder.attach(runtime);

    runtime.start(QStringLiteral("folder"), dir.path());
    runtime.start(QStringLiteral("missing"), dir.filePath(QStringLiteral("nothing-here")));
    runtime.start(QStringLiteral("empty"), QString());
    for (int i = 0; i < 20; ++i)
        runtime.start(QStringLiteral("job-%1").arg(i), dir.path());

    QTRY_COMPARE(recorder.calls().size(), size_t(2 * 23));
    const auto folder = recorder.calls(QStringLiteral("folder"));
    QCOMPARE(folder[0].kind, QStringLiteral("progress"));
    QCOMPARE(folder[0].value, QVariant(100));
    QCOMPARE(folder[1].kind, QStringLiteral("finished"));
    QCOMPARE(folder[1].value, QVariant(true));
    QCOMPARE(recorder.calls(QStringLiteral("missing")).back().value, QVariant(false));
    QCOMPARE(recorder.calls(QStringLiteral("empty")).back().value, QVariant(false));
    for (int i = 0; i < 20; ++i)
        QCOMPARE(recorder.count(QStringLiteral("finished"), QStringLiteral("job-%1").arg(i)), 1);
    for (const Recorder::Call &call : recorder.calls()) {
        QVERIFY(!call.onMainThread);
        QVERIFY(call.kind != QLatin1String("failed"));
    }
}

void TestResourceRuntime::workerCancellation()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    // Cancelled while it reports progress: the result is not reported.
    {
        Recorder recorder;
        {
            WorkerThreadResourceRuntime runtime;
            recorder.attach(runtime);
            runtime.onProgress = [&](const QString &id, int percent) {
                recorder.add(QStringLiteral("progress"), id, percent);
                runtime.cancel(id);
            };
            runtime.start(QStringLiteral("a"), dir.path());
            QTRY_COMPARE(recorder.calls().size(), size_t(1));
        }
        QCOMPARE(recorder.calls().size(), size_t(1));
    }

    // Replaced by a new job with the same id: the old job no longer reports, and its end does
    // not make the new job impossible to cancel.
    {
        Recorder recorder;
        {
            WorkerThreadResourceRuntime runtime;
            recorder.attach(runtime);
            Latch oldEntered, oldRelease, newEntered, newRelease;
            runtime.onProgress = [&](const QString &id, int) {
                recorder.add(QStringLiteral("old-progress"), id, 100);
                oldEntered.open();
                oldRelease.wait();
            };
            runtime.start(QStringLiteral("a"), dir.path());
            QVERIFY(oldEntered.wait());

            runtime.onProgress = [&](const QString &id, int) {
                recorder.add(QStringLiteral("new-progress"), id, 100);
                newEntered.open();
                newRelease.wait();
            };
            runtime.start(QStringLiteral("a"), dir.path());
            QVERIFY(newEntered.wait());
            oldRelease.open();
            QTest::qWait(100); // lets the old job end; nothing to poll for
            runtime.cancel(QStringLiteral("a"));
            newRelease.open();
        }
        const auto calls = recorder.calls();
        QCOMPARE(calls.size(), size_t(2));
        QCOMPARE(calls[0].kind, QStringLiteral("old-progress"));
        QCOMPARE(calls[1].kind, QStringLiteral("new-progress"));
    }

    // Cancelled before its thread gets to run: nothing at all is reported. The main thread is
    // kept on one processor so that it usually gets there first; each job is checked for
    // all-or-nothing, and at least one must have been stopped in time.
#ifdef Q_OS_LINUX
    cpu_set_t original;
    const bool pinned = sched_getaffinity(0, sizeof original, &original) == 0;
    if (pinned) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        sched_setaffinity(0, sizeof one, &one);
    }
#endif
    constexpr int jobs = 100;
    Recorder recorder;
    {
        WorkerThreadResourceRuntime runtime;
        recorder.attach(runtime);
        for (int i = 0; i < jobs; ++i) {
            const QString id = QStringLiteral("c%1").arg(i);
            runtime.start(id, dir.path());
            runtime.cancel(id);
        }
    }
#ifdef Q_OS_LINUX
    if (pinned)
        sched_setaffinity(0, sizeof original, &original);
#endif
    int silent = 0;
    for (int i = 0; i < jobs; ++i) {
        const auto calls = recorder.calls(QStringLiteral("c%1").arg(i));
        QVERIFY(calls.size() <= 2);
        if (calls.empty())
            ++silent;
        else
            QCOMPARE(calls.front().kind, QStringLiteral("progress"));
    }
    QVERIFY(silent > 0);
}

void TestResourceRuntime::workerDestructionWaitsForThreads()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    Recorder recorder;
    Latch entered;
    std::atomic_bool leftCallback {false};
    auto runtime = std::make_unique<WorkerThreadResourceRuntime>();
    recorder.attach(*runtime);
    runtime->onProgress = [&](const QString &id, int percent) {
        recorder.add(QStringLiteral("progress"), id, percent);
        entered.open();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        leftCallback = true;
    };
    runtime->start(QStringLiteral("slow"), dir.path());
    QVERIFY(entered.wait());
    runtime.reset();
    // The destructor returned only after the job's thread was done, and the job, cancelled by
    // the destruction, did not report its result.
    QVERIFY(leftCallback);
    QCOMPARE(recorder.calls().size(), size_t(1));
    QCOMPARE(recorder.calls().front().kind, QStringLiteral("progress"));
}

void TestResourceRuntime::workerDoesNotKeepFinishedThreads()
{
#ifndef Q_OS_LINUX
    QSKIP("Reads the process's memory figures from /proc");
#else
    // A finished thread that is never joined keeps its whole stack mapped; a runtime that kept
    // every thread it ever started would grow by a stack per job.
    pthread_attr_t attributes;
    size_t stackSize = 0;
    QCOMPARE(pthread_getattr_default_np(&attributes), 0);
    pthread_attr_getstacksize(&attributes, &stackSize);
    pthread_attr_destroy(&attributes);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    WorkerThreadResourceRuntime runtime;
    std::mutex mutex;
    std::condition_variable changed;
    int finished = 0;
    runtime.onFinished = [&](const QString &, const QVariant &) {
        std::lock_guard<std::mutex> lock(mutex);
        ++finished;
        changed.notify_all();
    };

    constexpr int jobs = 128;
    const qint64 before = virtualMemoryKb();
    for (int i = 0; i < jobs; ++i) {
        runtime.start(QStringLiteral("job"), dir.path());
        std::unique_lock<std::mutex> lock(mutex);
        QVERIFY(
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return finished == i + 1; }));
    }
    const qint64 growthKb = virtualMemoryKb() - before;
    const qint64 leakedKb = qint64(jobs) * qint64(stackSize / 1024);
    QVERIFY2(growthKb < leakedKb / 4, qPrintable(QStringLiteral("grew by %1 kB").arg(growthKb)));
#endif
}

VELTO_TEST_MAIN_CORE(TestResourceRuntime)
#include "tst_resourceruntime.moc"
