// Time taken to read a link summary out of a downloaded page: decoding plus the meta-tag and
// title scan, over the saved web-page corpus and over synthetic 1 MiB worst cases (the most a
// download keeps).
#include "PageSummary.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>

namespace {

constexpr qsizetype maxBody = 1024 * 1024;

double millisecondsPerRun(const QByteArray &body, int runs)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < runs; ++i) {
        const QString html = decodePageText(body, QByteArrayLiteral("text/html; charset=utf-8"));
        const PageSummary summary = readPageSummary(html, QUrl(QStringLiteral("http://h.test/")));
        Q_UNUSED(summary);
    }
    return double(clock.nsecsElapsed()) / 1e6 / runs;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTextStream out(stdout);

    const QString corpus = QFileInfo(QStringLiteral(__FILE__)).absolutePath()
        + QStringLiteral("/../../shared/corpus/web-pages");
    const QStringList pages = QDir(corpus).entryList({QStringLiteral("*.html")}, QDir::Files);
    if (pages.isEmpty()) {
        out << "corpus not found at " << corpus << ", skipping the corpus figures\n";
    } else {
        QList<double> times;
        QString slowest;
        double slowestMs = 0;
        for (const QString &page : pages) {
            QFile file(corpus + QLatin1Char('/') + page);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const double ms = millisecondsPerRun(file.read(maxBody), 5);
            times.append(ms);
            if (ms > slowestMs) {
                slowestMs = ms;
                slowest = page;
            }
        }
        std::sort(times.begin(), times.end());
        out << "corpus pages: " << times.size() << ", median " << times.at(times.size() / 2)
            << " ms, slowest " << slowestMs << " ms (" << slowest << ")\n";
    }

    // 1 MiB of meta tags without any summary: both meta scans run over the whole body.
    QByteArray metas;
    while (metas.size() < maxBody)
        metas += "<meta name=\"keywords\" content=\"alpha, beta, gamma\">\n";
    metas.truncate(maxBody);
    out << "1 MiB of meta tags, no summary: " << millisecondsPerRun(metas, 5) << " ms\n";

    // A title that is never closed, followed by 1 MiB of text.
    QByteArray open = "<title>";
    open += QByteArray(maxBody - open.size(), 'a');
    out << "1 MiB unclosed title: " << millisecondsPerRun(open, 5) << " ms\n";

    // A title of 1 MiB of markup-heavy text.
    QByteArray big = "<title>";
    while (big.size() < maxBody - 16)
        big += "word &amp; <b>x</b> ";
    big += "</title>";
    out << "1 MiB title: " << millisecondsPerRun(big, 2) << " ms\n";
    return 0;
}
