#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

// Installs this build tree into a temporary prefix and runs the installed program the way a
// desktop session would: from the prefix, with a home folder of its own.
class TestInstall : public QObject {
    Q_OBJECT

private slots:
    void installedProgramKeepsItsDataPerUser()
    {
        QTemporaryDir prefix;
        QVERIFY(prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(VELTO_CMAKE_COMMAND),
            {QStringLiteral("--install"), QStringLiteral(VELTO_BUILD_DIR),
                QStringLiteral("--prefix"), prefix.path()});
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());
        for (const char *file : {"bin/velto", "share/applications/org.velto.Velto.desktop",
                 "share/metainfo/org.velto.Velto.metainfo.xml",
                 "share/icons/hicolor/scalable/apps/org.velto.Velto.svg", "share/velto/installed"})
            QVERIFY2(QFileInfo(prefix.filePath(QLatin1String(file))).isFile(), file);

        // With XDG_DATA_HOME set, and with only HOME (the data then goes to ~/.local/share).
        for (const bool xdg : {true, false}) {
            QTemporaryDir home;
            const QString dataHome
                = home.filePath(xdg ? QStringLiteral("xdg-data") : QStringLiteral(".local/share"));
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.remove(QStringLiteral("VELTO_STORAGE_ROOT"));
            environment.insert(QStringLiteral("HOME"), home.path());
            environment.insert(
                QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
            environment.insert(
                QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral(".cache")));
            if (xdg)
                environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
            else
                environment.remove(QStringLiteral("XDG_DATA_HOME"));
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

            QProcess program;
            program.setProcessEnvironment(environment);
            program.setWorkingDirectory(home.path());
            program.start(prefix.filePath(QStringLiteral("bin/velto")), {});
            QVERIFY(program.waitForStarted());
            const QString database = dataHome + QStringLiteral("/Velto/Velto/here/data/velto.db");
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(database), 20000);
            QTest::qWait(300);
            QCOMPARE(program.state(), QProcess::Running);
            program.terminate();
            QVERIFY(program.waitForFinished(20000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QVERIFY2(program.exitCode() == 0, program.readAllStandardError().constData());
            // Nothing was written into the installation, although this prefix is writable.
            QVERIFY(!QFileInfo::exists(prefix.filePath(QStringLiteral("bin/here"))));
        }
    }
};

VELTO_TEST_MAIN_CORE(TestInstall)
#include "tst_install.moc"
