#include "MainWindow.h"

#include "UiMetrics.h"

#include <QIcon>
#include <QMessageBox>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_database(QStringLiteral("velto-main"))
    , m_items(&m_database)
    , m_attachments(&m_database)
    , m_blocks(&m_database)
    , m_service(&m_items, &m_attachments, &m_blocks)
{
    setWindowTitle(QStringLiteral("Velto - 日常及业务助手"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/velto.svg")));
    resize(UiMetrics::px(1040), UiMetrics::px(680));

    // Tests and portable set-ups can keep the data elsewhere than beside the executable.
    const QString rootOverride = qEnvironmentVariable("VELTO_STORAGE_ROOT");
    if (!rootOverride.isEmpty())
        m_database.setRootOverride(rootOverride);

    QString error;
    if (!m_database.open(&error)) {
        QMessageBox::critical(this, QStringLiteral("Velto"), error, QMessageBox::Ok);
        return;
    }
    buildUi();
    m_workspaceReady = true;
}

void MainWindow::buildUi()
{
}
