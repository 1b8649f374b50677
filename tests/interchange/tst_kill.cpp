#include "Database.h"
#include "RecoveryDraftStore.h"
#include "TestSupport.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlQuery>
#include <QTemporaryDir>

namespace {

constexpr int kills = 50;

// Starts the helper, kills it (SIGKILL) after a random moment and returns what it acknowledged.
QList<qint64> runAndKill(const QString &mode, const QString &root, qint64 first)
{
    QProcess helper;
    helper.start(QStringLiteral(VELTO_KILLHELPER), {mode, root, QString::number(first)});
    if (!helper.waitForStarted())
        return {};
    // The kill is meant to land while it writes: its first acknowledgement says it got there,
    // which a loaded machine may take seconds to do.
    helper.waitForReadyRead(60000);
    QThread::msleep(20 + QRandomGenerator::global()->bounded(230));
    helper.kill();
    helper.waitForFinished();
    QList<qint64> acknowledged;
    for (const QByteArray &line : helper.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            acknowledged << line.toLongLong();
    }
    return acknowledged;
}

} // namespace

class KillTest : public QObject {
    Q_OBJECT
private slots:
    // After every kill the database opens, is intact and holds every acknowledged save.
    void acknowledgedSavesSurviveKills()
    {
        QTemporaryDir root;
        QSet<QString> acknowledged;
        qint64 next = 1;
        for (int round = 0; round < kills; ++round) {
            for (qint64 n : runAndKill(QStringLiteral("saves"), root.path(), next))
                acknowledged.insert(QStringLiteral("save-%1").arg(n));
            Database database(QStringLiteral("kill-check"));
            database.setRootOverride(root.path());
            QString error;
            QVERIFY2(database.open(&error), qPrintable(error));
            QSet<QString> stored;
            {
                QSqlQuery check(database.connection());
                QVERIFY(check.exec(QStringLiteral("PRAGMA integrity_check")) && check.next());
                QCOMPARE(check.value(0).toString(), QStringLiteral("ok"));
                QSqlQuery names(database.connection());
                QVERIFY(names.exec(
                    QStringLiteral("SELECT here FROM data_items WHERE here LIKE 'save-%'")));
                while (names.next())
                    stored.insert(names.value(0).toString());
            }
            database.close();
            QVERIFY2(stored.contains(acknowledged), qPrintable(QString::number(round)));
            next
                += stored.size() + 1000; // never reuses a name, even one saved but not acknowledged
        }
        QVERIFY(acknowledged.size() > kills); // the kills landed while saving, not only at start
    }

    // After every kill the draft is absent, the previous one or the new one: never torn.
    void draftsAreNeverTorn()
    {
        QTemporaryDir root;
        RecoveryDraftStore store(root.path());
        QString previous; // the draft found after the last kill ("" none)
        qint64 next = 1;
        int written = 0;
        for (int round = 0; round < kills; ++round) {
            const QList<qint64> acknowledged
                = runAndKill(QStringLiteral("drafts"), root.path(), next);
            written += acknowledged.size();
            QSet<QString> allowed;
            if (acknowledged.isEmpty())
                allowed << previous << QStringLiteral("draft-%1").arg(next);
            else
                allowed << QStringLiteral("draft-%1").arg(acknowledged.last())
                        << QStringLiteral("draft-%1").arg(acknowledged.last() + 1);
            QFile file(store.path());
            QString found;
            if (file.open(QIODevice::ReadOnly)) {
                RecoveryDraft draft;
                QVERIFY2(RecoveryDraftStore::decode(file.readAll(), &draft), "torn draft");
                QCOMPARE(draft.content.size(), 256 * 1024);
                found = draft.name;
            }
            QVERIFY2(allowed.contains(found), qPrintable(found));
            previous = found;
            next += 100000;
        }
        QVERIFY(written > kills);
    }
};

VELTO_TEST_MAIN_CORE(KillTest)
#include "tst_kill.moc"
