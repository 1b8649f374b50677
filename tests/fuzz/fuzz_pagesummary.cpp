// Page-summary reader: a Content-Type line, then the page's bytes.
#include "FuzzSupport.h"
#include "PageSummary.h"

#include <QGuiApplication>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = input.indexOf('\n');
    const QByteArray contentType
        = newline < 0 ? QByteArray() : input.left(qMin<qsizetype>(newline, 200));
    const QByteArray body = newline < 0 ? input : input.mid(newline + 1);
    const QString text = decodePageText(body, contentType);
    const PageSummary summary
        = readPageSummary(text, QUrl(QStringLiteral("https://example.org/a/page.html")));
    if (summary.refreshTarget.isValid()
        && summary.refreshTarget == QUrl(QStringLiteral("https://example.org/a/page.html")))
        qFatal("a page refreshes to itself");
    return 0;
}
