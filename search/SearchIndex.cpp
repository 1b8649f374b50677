#include "SearchIndex.h"

#include "DataItemRepository.h"
#include "Database.h"
#include "NoteText.h"
#include "SearchIndexWriter.h"
#include "SearchMatch.h"
#include "SqlSupport.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <memory>

using sqlsupport::fail;

namespace {

// One indexed column holding every searchable text of an item but its name (see
// SearchIndexWriter::indexedText).
// The index keeps only which items hold each trigram (detail=none), about half the size and
// insert cost of full position lists; a query finds the candidates through the trigrams of the
// text and keeps those whose stored text really contains it.
const char *const createStatement = "CREATE VIRTUAL TABLE IF NOT EXISTS search_index USING fts5("
                                    "body, tokenize = 'trigram', detail = 'none', columnsize = 0)";

// Segments are merged sixteen at a time (FTS5's default is four), which rewrites each posting about
// half as often while an index of many items is built; a level is merged at once only when it
// holds 32 segments.
const char *const mergeSettings
    = "INSERT INTO search_index(search_index, rank) "
      "VALUES ('automerge', 16), ('usermerge', 16), ('crisismerge', 32)";

// Separates the fields inside the indexed text, so that no match can span two of them.
constexpr char16_t fieldSeparator = u'\x1f';

// Trigrams a query looks up at most: more rarely narrow the candidates further, and each costs a
// lookup. Every candidate's text is checked for the whole query anyway.
constexpr int maxQueryTrigrams = 8;

// Databases this small are indexed while they are opened; larger ones by SearchIndexBuilder.
constexpr qint64 inlineBuildLimit = 500;

constexpr int snippetBefore = 12;
constexpr int snippetLength = 48;

QString oneLine(QString text)
{
    for (QChar &c : text) {
        if (c.isSpace())
            c = QLatin1Char(' ');
    }
    return text.simplified();
}

// A piece of the first text that contains needle, cut around the match.
QString makeSnippet(const QStringList &texts, const QString &needle)
{
    for (const QString &raw : texts) {
        const QString text = oneLine(raw);
        const qsizetype at = text.indexOf(needle, 0, Qt::CaseInsensitive);
        if (at < 0)
            continue;
        qsizetype start = qMax<qsizetype>(0, at - snippetBefore);
        if (start > 0 && text.at(start).isLowSurrogate())
            --start;
        qsizetype end = qMin(text.size(), start + qMax<qsizetype>(snippetLength, needle.size()));
        if (end < text.size() && text.at(end).isLowSurrogate())
            ++end;
        return (start > 0 ? QStringLiteral("…") : QString()) + text.mid(start, end - start)
            + (end < text.size() ? QStringLiteral("…") : QString());
    }
    return QString();
}

// A query for the rows whose text holds every trigram of text (at least three characters): a few
// trigrams spread over it, each a quoted string, inside which only a doubled quote is special.
QString trigramQuery(const QString &text)
{
    const QList<uint> chars = text.toUcs4();
    const qsizetype count = chars.size() - 2;
    const qsizetype picked = qMin<qsizetype>(count, maxQueryTrigrams);
    QString query;
    qsizetype previous = -1;
    for (qsizetype i = 0; i < picked; ++i) {
        const qsizetype at = picked == 1 ? 0 : i * (count - 1) / (picked - 1);
        if (at == previous)
            continue;
        previous = at;
        QString trigram
            = QString::fromUcs4(reinterpret_cast<const char32_t *>(chars.constData() + at), 3);
        trigram.replace(QLatin1Char('"'), QLatin1String("\"\""));
        query += (query.isEmpty() ? QString() : QStringLiteral(" AND ")) + QLatin1Char('"')
            + trigram + QLatin1Char('"');
    }
    return query;
}

// Lowers ASCII letters only, as SQLite's lower() and LIKE do.
QString asciiLower(QString text)
{
    for (QChar &c : text) {
        if (c.unicode() < 128)
            c = c.toLower();
    }
    return text;
}

const char *const itemColumns
    = "d.iid, d.pid, d.sortid, d.here, d.cont, d.remark, d.favorite, d.\"desc\", s.c0 ";

// The literal test of column against a bound needle: our own function when the connection has it,
// else LIKE with its wildcards escaped (several times slower on long texts).
struct LiteralTest {
    QString sql;
    QString bound;
    bool ours = false; // our functions (velto_rank too) are there
};

LiteralTest literalTest(QSqlDatabase db, const QString &column, const QString &needle)
{
    QSqlQuery probe(db);
    if (probe.prepare(QStringLiteral("SELECT ") + QLatin1String(containsFunction)
            + QStringLiteral("('', '')")))
        return {
            QLatin1String(containsFunction) + QLatin1Char('(') + column + QStringLiteral(", ?)"),
            needle, true};
    return {
        column + QStringLiteral(" LIKE ? ESCAPE '\\'"), DataItemRepository::searchPattern(needle)};
}

// Fewer than three characters, which the trigram index cannot serve: a scan of the plain text it
// stores, newest item first, so that a common character stops after the first rows.
bool prepareScan(QSqlQuery &query, QSqlDatabase db, const QString &needle)
{
    const LiteralTest test = literalTest(db, QStringLiteral("s.c0"), needle);
    if (!query.prepare(QStringLiteral("SELECT ") + QLatin1String(itemColumns)
            + QStringLiteral("FROM search_index_content s JOIN data_items d ON d.iid = s.id "
                             "WHERE ")
            + test.sql + QStringLiteral(" ORDER BY s.id DESC LIMIT ?")))
        return false;
    query.addBindValue(test.bound);
    return true;
}

// The trigrams find the candidates; the stored text decides. The field the text comes first in
// ranks the match (the item's own fields, then links, files and notes), then how early in it.
bool prepareLookup(QSqlQuery &query, QSqlDatabase db, const QString &needle, bool hasLetter)
{
    const LiteralTest test = literalTest(db, QStringLiteral("body"), needle);
    const QString from = QStringLiteral("SELECT ") + QLatin1String(itemColumns)
        + QStringLiteral("FROM (SELECT rowid AS id, body AS c0 FROM search_index "
                         "WHERE search_index MATCH ? AND ")
        + test.sql + QStringLiteral(") s JOIN data_items d ON d.iid = s.id ORDER BY ");
    if (test.ours) {
        // One pass over each candidate's bytes instead of six over its characters.
        if (!query.prepare(from + QLatin1String(rankFunction)
                + QStringLiteral("(s.c0, ?), s.id DESC LIMIT ?")))
            return false;
        query.addBindValue(trigramQuery(needle));
        query.addBindValue(test.bound);
        query.addBindValue(needle);
        return true;
    }
    const QString at
        = hasLetter ? QStringLiteral("instr(lower(s.c0), ?)") : QStringLiteral("instr(s.c0, ?)");
    const QString head = QStringLiteral("substr(s.c0, 1, ") + at + QLatin1Char(')');
    if (!query.prepare(from + QStringLiteral("length(") + head
            + QStringLiteral(") - length(replace(") + head + QStringLiteral(", char(31), '')), ")
            + at + QStringLiteral(", s.id DESC LIMIT ?")))
        return false;
    query.addBindValue(trigramQuery(needle));
    query.addBindValue(test.bound);
    const QString bound = hasLetter ? asciiLower(needle) : needle;
    for (int i = 0; i < 3; ++i)
        query.addBindValue(bound);
    return true;
}

bool exec(QSqlDatabase db, const QString &sql, QString *error)
{
    QSqlQuery query(db);
    return sqlsupport::run(query, sql, error);
}

bool buildInline(QSqlDatabase db, QString *error)
{
    sqlsupport::Transaction transaction(db);
    if (!transaction.beginImmediate(error))
        return false;
    SearchIndexWriter writer(db);
    if (!writer.prepare(error))
        return false;
    QSqlQuery iids(db);
    iids.setForwardOnly(true);
    if (!sqlsupport::run(iids, QStringLiteral("SELECT iid FROM data_items ORDER BY iid"), error))
        return false;
    QList<qint64> all;
    while (iids.next())
        all.append(iids.value(0).toLongLong());
    for (qint64 iid : all) {
        if (!writer.write(iid, error))
            return false;
    }
    return SearchIndex::markComplete(db, true, error) && transaction.commit(error);
}

} // namespace

// ---------------------------------------------------------------------------------------------

SearchIndexWriter::SearchIndexWriter(QSqlDatabase db)
    : m_remove(db)
    , m_item(db)
    , m_blocks(db)
    , m_insert(db)
{
    m_item.setForwardOnly(true);
    m_blocks.setForwardOnly(true);
}

namespace {

// The writer kept for one connection: a child of its driver, so it goes when the connection is
// removed. handle tells a connection closed and opened again, whose statements Qt has finalized.
class KeptWriter : public QObject {
public:
    KeptWriter(QSqlDatabase db, QObject *driver)
        : QObject(driver)
        , handle(sqlsupport::sqliteHandle(db))
        , writer(db)
    {
        setObjectName(QStringLiteral("velto-search-index-writer"));
    }
    sqlite3 *handle;
    SearchIndexWriter writer;
};

} // namespace

SearchIndexWriter *SearchIndexWriter::of(QSqlDatabase db, bool afresh)
{
    QSqlDriver *driver = db.driver();
    if (!driver || !db.isOpen())
        return nullptr;
    auto *kept = driver->findChild<KeptWriter *>(
        QStringLiteral("velto-search-index-writer"), Qt::FindDirectChildrenOnly);
    if (kept && (afresh || kept->handle != sqlsupport::sqliteHandle(db))) {
        delete kept;
        kept = nullptr;
    }
    if (!kept) {
        auto fresh = std::make_unique<KeptWriter>(db, driver);
        QString ignored;
        if (!fresh->writer.prepare(&ignored))
            return nullptr; // the child goes with fresh
        kept = fresh.release(); // owned by the driver
    }
    return &kept->writer;
}

bool SearchIndexWriter::prepare(QString *error)
{
    if (!m_remove.prepare(QStringLiteral("DELETE FROM search_index WHERE rowid = ?")))
        return fail(error, m_remove.lastError().text());
    if (!m_item.prepare(QStringLiteral("SELECT here, cont, remark FROM data_items WHERE iid = ?")))
        return fail(error, m_item.lastError().text());
    if (!m_blocks.prepare(QStringLiteral("SELECT type, value, summary FROM content_blocks "
                                         "WHERE item_iid = ? ORDER BY sortid, id")))
        return fail(error, m_blocks.lastError().text());
    if (!m_insert.prepare(QStringLiteral("INSERT INTO search_index(rowid, body) VALUES (?, ?)")))
        return fail(error, m_insert.lastError().text());
    return true;
}

bool SearchIndexWriter::read(qint64 iid, QStringList *columns, QString *error)
{
    columns->clear();
    m_item.bindValue(0, iid);
    if (!sqlsupport::run(m_item, error))
        return false;
    if (!m_item.next()) {
        m_item.finish();
        return true;
    }
    const QString name = m_item.value(0).toString();
    const QString cont = m_item.value(1).toString();
    const QString remark = m_item.value(2).toString();
    m_item.finish();

    QList<ContentBlock> blocks;
    m_blocks.bindValue(0, iid);
    if (!sqlsupport::run(m_blocks, error))
        return false;
    while (m_blocks.next()) {
        ContentBlock block;
        block.type = m_blocks.value(0).toInt();
        block.value = m_blocks.value(1).toString();
        block.summary = m_blocks.value(2).toString();
        blocks.append(block);
    }
    m_blocks.finish();
    *columns = columnsOf(name, cont, remark, blocks);
    return true;
}

bool SearchIndexWriter::write(qint64 iid, QString *error)
{
    m_remove.bindValue(0, iid);
    if (!sqlsupport::run(m_remove, error))
        return false;
    QStringList columns;
    if (!read(iid, &columns, error))
        return false;
    if (columns.isEmpty())
        return true;
    m_insert.bindValue(0, iid);
    m_insert.bindValue(1, indexedText(columns));
    return sqlsupport::run(m_insert, error);
}

QStringList SearchIndexWriter::columnsOf(const QString &name, const QString &cont,
    const QString &remark, const QList<ContentBlock> &blocks)
{
    QStringList notes;
    QStringList links;
    QStringList files;
    for (const ContentBlock &block : blocks) {
        if (block.type == ContentBlock::Text) {
            notes << block.summary << plainTextFromHtml(block.value);
        } else if (block.type == ContentBlock::LocalPath) {
            files << pathFileName(block.value);
            if (block.summary != QLatin1String("folder"))
                files << block.summary;
        } else if (block.type == ContentBlock::WebLink) {
            links << block.value << block.summary;
        }
    }
    QStringList columns {name, cont, remark};
    for (QStringList *parts : {&notes, &links, &files}) {
        parts->removeAll(QString());
        columns << parts->join(QLatin1Char('\n'));
    }
    return columns;
}

QString SearchIndexWriter::indexedText(const QStringList &columns)
{
    // The fields in the order that ranks a match in them: content line, remark, links, files,
    // notes. The name is left out: the name search finds it.
    const QChar separator(fieldSeparator);
    return columns.value(1) + separator + columns.value(2) + separator + columns.value(4)
        + separator + columns.value(5) + separator + columns.value(3);
}

// ---------------------------------------------------------------------------------------------

SearchIndex::SearchIndex(Database *database)
    : m_database(database)
{
}

QString SearchIndex::completeMarker()
{
    return QStringLiteral("search_index_complete_v2");
}

QList<SearchHit> SearchIndex::search(
    const QString &text, int limit, const QSet<qint64> &exclude) const
{
    const QString needle = text.trimmed();
    if (needle.isEmpty())
        return {};
    limit = qMax(limit, 1);
    const bool shortText = needle.toUcs4().size() < 3;
    // ASCII letters match without regard to case, as in the name search: a literal test decides
    // whether an item matches, and a match's place is found in the lowered text.
    bool hasLetter = false;
    for (QChar c : needle)
        hasLetter = hasLetter || (c.unicode() < 128 && c.isLetter());
    QSqlQuery query(m_database->connection());
    query.setForwardOnly(true);
    const QSqlDatabase db = m_database->connection();
    const bool prepared
        = shortText ? prepareScan(query, db, needle) : prepareLookup(query, db, needle, hasLetter);
    if (!prepared)
        return {};
    query.addBindValue(limit + exclude.size());
    if (!query.exec()) {
        // A damaged index is rebuilt at the next start rather than failing every search.
        const QString code = query.lastError().nativeErrorCode();
        if (code == QLatin1String("11") || code == QLatin1String("267"))
            markComplete(m_database->connection(), false, nullptr);
        return {};
    }

    QList<SearchHit> hits;
    while (query.next() && hits.size() < limit) {
        SearchHit hit;
        hit.item.iid = hit.item.id = query.value(0).toLongLong();
        if (exclude.contains(hit.item.iid))
            continue;
        hit.item.pid = query.value(1).toLongLong();
        hit.item.sortid = query.value(2).toLongLong();
        hit.item.here = query.value(3).toString();
        hit.item.cont = query.value(4).toString();
        hit.item.remark = query.value(5).toString();
        hit.item.favorite = query.value(6).toBool();
        hit.item.desc = query.value(7).toString();
        hit.snippet = makeSnippet(query.value(8).toString().split(fieldSeparator), needle);
        hits.append(hit);
    }
    return hits;
}

bool SearchIndex::isComplete() const
{
    return isComplete(m_database->connection());
}

bool SearchIndex::isComplete(QSqlDatabase db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT 1 FROM app_state WHERE key = ?")))
        return false;
    query.addBindValue(completeMarker());
    return query.exec() && query.next();
}

bool SearchIndex::markComplete(QSqlDatabase db, bool complete, QString *error)
{
    // Either way a build in progress has nothing left to resume.
    QSqlQuery marker(db);
    QSqlQuery frontier(db);
    if (!marker.prepare(complete
                ? QStringLiteral("INSERT OR REPLACE INTO app_state(key, value) VALUES (?, '1')")
                : QStringLiteral("DELETE FROM app_state WHERE key = ?"))
        || !frontier.prepare(QStringLiteral("DELETE FROM app_state WHERE key = ?")))
        return fail(error, marker.lastError().text() + frontier.lastError().text());
    marker.addBindValue(completeMarker());
    frontier.addBindValue(frontierKey());
    return sqlsupport::run(marker, error) && sqlsupport::run(frontier, error);
}

QString SearchIndex::frontierKey()
{
    return QStringLiteral("search_index_frontier");
}

qint64 SearchIndex::buildFrontier(QSqlDatabase db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(QStringLiteral("SELECT value FROM app_state WHERE key = ?")))
        return -1;
    query.addBindValue(frontierKey());
    bool ok = false;
    const qint64 value
        = query.exec() && query.next() ? query.value(0).toString().toLongLong(&ok) : -1;
    return ok ? value : -1;
}

bool SearchIndex::setBuildFrontier(QSqlDatabase db, qint64 iid, QString *error)
{
    QSqlQuery query(db);
    if (!query.prepare(
            QStringLiteral("INSERT OR REPLACE INTO app_state(key, value) VALUES (?, ?)")))
        return fail(error, query.lastError().text());
    query.addBindValue(frontierKey());
    query.addBindValue(QString::number(iid));
    return sqlsupport::run(query, error);
}

bool SearchIndex::passesSampleCheck(QSqlDatabase db, int samples)
{
    QSqlQuery counts(db);
    counts.setForwardOnly(true);
    if (!counts.exec(QStringLiteral("SELECT (SELECT COUNT(*) FROM data_items), "
                                    "(SELECT COUNT(*) FROM search_index_content)"))
        || !counts.next() || counts.value(0).toLongLong() != counts.value(1).toLongLong())
        return false;
    counts.finish();
    SearchIndexWriter writer(db);
    QSqlQuery pick(db);
    QSqlQuery stored(db);
    QSqlQuery probe(db);
    pick.setForwardOnly(true);
    stored.setForwardOnly(true);
    probe.setForwardOnly(true);
    QString error;
    if (!writer.prepare(&error)
        || !pick.prepare(QStringLiteral("SELECT iid FROM data_items ORDER BY random() LIMIT ?"))
        || !stored.prepare(QStringLiteral("SELECT c0 FROM search_index_content WHERE id = ?"))
        || !probe.prepare(
            QStringLiteral("SELECT 1 FROM search_index WHERE search_index MATCH ? AND rowid = ?")))
        return false;
    pick.addBindValue(samples);
    if (!pick.exec())
        return false;
    QList<qint64> iids;
    while (pick.next())
        iids << pick.value(0).toLongLong();
    for (qint64 iid : iids) {
        QStringList expected;
        if (!writer.read(iid, &expected, &error) || expected.isEmpty())
            return false;
        stored.bindValue(0, iid);
        if (!stored.exec() || !stored.next())
            return false;
        const QString text = SearchIndexWriter::indexedText(expected);
        if (stored.value(0).toString() != text)
            return false;
        stored.finish();
        // The index itself must lead to the row from a piece of its text.
        const QString piece = text.left(12);
        if (piece.toUcs4().size() < 3)
            continue;
        probe.bindValue(0, trigramQuery(piece));
        probe.bindValue(1, iid);
        if (!probe.exec() || !probe.next())
            return false;
        probe.finish();
    }
    return true;
}

bool SearchIndex::syncItem(QSqlDatabase db, qint64 iid, QString *error)
{
    // A failure of a writer kept from before (its connection was closed and opened again since)
    // is tried once more with statements prepared afresh.
    QString ignored;
    for (int attempt = 0; attempt < 2; ++attempt) {
        SearchIndexWriter *writer = SearchIndexWriter::of(db, attempt > 0);
        if (writer && writer->write(iid, &ignored))
            return true;
    }
    // The index disagrees with the data from now on: have it rebuilt rather than fail the change.
    return markComplete(db, false, error);
}

void SearchIndex::prepare(QSqlDatabase db)
{
    QString error;
    bool exists = false;
    {
        QSqlQuery query(db);
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral(
                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'search_index'")))
            return;
        exists = query.next();
    }
    // A probe through every column and the index itself: an older layout or a lost shadow table
    // shows here, and the index is then started afresh. So is a table dropped from outside, whose
    // "complete" marker would otherwise outlive it.
    const bool usable = exists
        && exec(db,
            QStringLiteral("SELECT rowid, body FROM search_index "
                           "WHERE search_index MATCH '\"vel\" AND \"lto\"' LIMIT 1"),
            &error)
        && exec(db, QStringLiteral("SELECT c0 FROM search_index_content LIMIT 1"), &error)
        && exec(db, QStringLiteral("SELECT rowid, body FROM search_index LIMIT 1"), &error);
    if (!usable && !reset(db, &error))
        return;
    if (isComplete(db))
        return;
    QSqlQuery count(db);
    count.setForwardOnly(true);
    if (count.exec(QStringLiteral("SELECT COUNT(*) FROM data_items")) && count.next()
        && count.value(0).toLongLong() <= inlineBuildLimit) {
        count.finish();
        buildInline(db, &error);
    }
}

bool SearchIndex::reset(QSqlDatabase db, QString *error)
{
    sqlsupport::Transaction transaction(db);
    if (!transaction.begin(error))
        return false;
    if (!exec(db, QStringLiteral("DROP TABLE IF EXISTS search_index"), error)
        || !exec(db, QString::fromUtf8(createStatement), error)
        || !exec(db, QString::fromUtf8(mergeSettings), error) || !markComplete(db, false, error)
        || !exec(db, QStringLiteral("DELETE FROM app_state WHERE key = 'search_index_complete_v1'"),
            error)
        || !setBuildFrontier(db, 0, error))
        return false;
    return transaction.commit(error);
}

bool SearchIndex::passesIntegrityCheck(QSqlDatabase db)
{
    QString error;
    return exec(db,
        QStringLiteral("INSERT INTO search_index(search_index) VALUES ('integrity-check')"),
        &error);
}
