#include "SearchController.h"

#include "Database.h"
#include "SearchIndexBuilder.h"

#include <QLabel>
#include <QLocale>
#include <QSet>
#include <QStatusBar>
#include <QTimer>

SearchController::SearchController(Database *database, QStatusBar *statusBar, QObject *parent)
    : QObject(parent)
    , m_database(database)
    , m_progress(new QLabel(statusBar))
{
    m_progress->setObjectName(QStringLiteral("searchIndexProgress"));
    m_progress->setStyleSheet(QStringLiteral("QLabel { color:#667085; }"));
    m_progress->hide();
    statusBar->addPermanentWidget(m_progress);
}

void SearchController::startIndexBuild()
{
    // A build under way may have found the index complete just before a change marked it
    // otherwise: it runs once more when it ends.
    if (m_builder && m_builder->isRunning()) {
        m_again = true;
        return;
    }
    m_again = false;
    if (!m_builder) {
        m_builder = new SearchIndexBuilder(Database::databaseFilePath(m_database->rootPath), this);
        connect(m_builder, &SearchIndexBuilder::progress, this, &SearchController::showProgress);
        connect(m_builder, &SearchIndexBuilder::finished, this, &SearchController::buildFinished);
    }
    m_builder->start();
}

bool SearchController::isBuilding() const
{
    return m_builder && m_builder->isRunning();
}

QList<SearchHit> SearchController::searchContent(
    const QString &text, const QList<DataItem> &nameMatches) const
{
    if (text.trimmed().isEmpty())
        return {};
    QSet<qint64> shown;
    shown.reserve(nameMatches.size());
    for (const DataItem &item : nameMatches)
        shown.insert(item.iid);
    return SearchIndex(m_database).search(text, contentLimit, shown);
}

bool SearchController::isIndexComplete() const
{
    return SearchIndex(m_database).isComplete();
}

void SearchController::showProgress(qint64 done, qint64 total)
{
    if (total <= 0)
        return;
    const QLocale locale;
    m_progress->setText(QStringLiteral("正在建立全文索引 %1 / %2")
                            .arg(locale.toString(qMin(done, total)), locale.toString(total)));
    m_progress->show();
}

void SearchController::buildFinished(bool complete, const QString &error)
{
    if (m_again && error.isEmpty()) {
        // The worker is at its end: wait for it, then build again.
        m_again = false;
        m_builder->stop();
        m_builder->start();
        return;
    }
    if (complete || error.isEmpty()) {
        m_progress->clear();
        m_progress->hide();
        return;
    }
    // The index stays incomplete: searching by name works, content matches may be missing. The
    // next start tries again.
    const QString text = QStringLiteral("全文索引未能建立：") + error;
    m_progress->setText(text);
    m_progress->show();
    QLabel *label = m_progress;
    QTimer::singleShot(8000, label, [label, text] {
        if (label->text() == text)
            label->hide();
    });
}
