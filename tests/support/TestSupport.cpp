#include "TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace velto::test {

namespace {
QTemporaryDir &scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/velto-test-XXXXXX"));
    return dir;
}
} // namespace

QString scratchRoot()
{
    return scratch().path();
}

void prepareEnvironment()
{
    const QString root = scratchRoot();
    QDir().mkpath(root + QStringLiteral("/config"));
    QDir().mkpath(root + QStringLiteral("/data"));
    QDir().mkpath(root + QStringLiteral("/cache"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + QStringLiteral("/data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(root + QStringLiteral("/cache")));
    qputenv("HOME", QFile::encodeName(root));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
}

void typeAndConfirm(QLineEdit *edit, const QString &text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    // keyClicks handles Latin-1 only; other characters arrive as key events carrying their text.
    for (const QChar c : text) {
        if (c.unicode() > 0x20 && c.unicode() < 0x7f)
            QTest::keyClick(edit, char(c.unicode()));
        else
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
    QTest::keyClick(edit, Qt::Key_Return);
}

void prepareApplication()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Velto"));
    QCoreApplication::setApplicationName(QStringLiteral("Velto"));
    const QString settings = scratchRoot() + QStringLiteral("/settings");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings);
}

} // namespace velto::test
