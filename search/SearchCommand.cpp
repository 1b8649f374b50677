#include "SearchCommand.h"

#include "DataItemRepository.h"
#include "Database.h"
#include "SearchIndex.h"
#include "SearchIndexBuilder.h"
#include "SearchIndexObserver.h"

#include <QTextStream>

namespace {

// One field of a tab-separated line: tabs and line breaks would split it.
QString field(const QString &text)
{
    QString out = text;
    for (QChar &c : out) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            c = QLatin1Char(' ');
    }
    return out;
}

} // namespace

int runSearchCommand(
    const QString &text, QTextStream &out, QTextStream &err, const QString &rootOverride, int limit)
{
    SearchIndexObserver::install();
    Database database(QStringLiteral("velto-search-command"));
    const QString root
        = rootOverride.isEmpty() ? qEnvironmentVariable("VELTO_STORAGE_ROOT") : rootOverride;
    if (!root.isEmpty())
        database.setRootOverride(root);
    QString error;
    if (!database.open(&error)) {
        err << error << Qt::endl;
        database.close();
        return 2;
    }
    SearchIndex index(&database);
    if (!index.isComplete()) {
        SearchIndexBuilder::run(Database::databaseFilePath(database.rootPath),
            QStringLiteral("velto-search-command-build"), {}, nullptr, &error);
    }

    const QList<DataItem> named = DataItemRepository(&database).searchByName(text, limit);
    QSet<qint64> shown;
    for (const DataItem &item : named) {
        shown.insert(item.iid);
        out << item.iid << '\t' << field(item.here) << '\t' << field(item.cont) << '\n';
    }
    const QList<SearchHit> hits = index.search(text, limit, shown);
    for (const SearchHit &hit : hits)
        out << hit.item.iid << '\t' << field(hit.item.here) << '\t' << field(hit.snippet) << '\n';
    out.flush();
    database.close();
    return named.isEmpty() && hits.isEmpty() ? 1 : 0;
}
