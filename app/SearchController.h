#pragma once

#include "Records.h"
#include "SearchIndex.h"

#include <QList>
#include <QObject>
#include <QString>

class Database;
class QLabel;
class QStatusBar;
class SearchIndexBuilder;

// The window's side of the full-text search: looks up the items whose other text matches a
// search, and checks and builds the index in the background with its progress in the status bar.
class SearchController : public QObject {
    Q_OBJECT
public:
    SearchController(Database *database, QStatusBar *statusBar, QObject *parent);

    // Starts checking the index (and building it when it is missing, incomplete or damaged) on a
    // worker thread. Call once the window is shown, and after a change that leaves items to index;
    // searching works meanwhile.
    void startIndexBuild();
    bool isBuilding() const;

    // Items whose content line, remark, notes, links or file names contain text, best first, at
    // most 100, leaving out the name matches the page already lists.
    QList<SearchHit> searchContent(const QString &text, const QList<DataItem> &nameMatches) const;
    // False while the index does not yet cover every item (content matches may be missing).
    bool isIndexComplete() const;

    // The status-bar label showing the build's progress (hidden when there is none).
    QLabel *progressLabel() const { return m_progress; }

    static constexpr int contentLimit = 100;

private:
    void showProgress(qint64 done, qint64 total);
    void buildFinished(bool complete, const QString &error);

    Database *m_database;
    QLabel *m_progress;
    SearchIndexBuilder *m_builder = nullptr;
    bool m_again = false;
};
