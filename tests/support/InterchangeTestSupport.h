#pragma once

// Answering the window's file dialogs and progress dialogs from a test, and reaching the database
// behind a window. Header-only, for targets that link velto_app.

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QProgressDialog>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

#include <functional>

namespace velto::test {

// Calls `act` with the next active modal widget of type T (polled from the event loop, for up to
// five seconds). Call it before the action that opens the widget.
template<typename T> void onNextModal(std::function<void(T *)> act)
{
    auto *timer = new QTimer(qApp);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        T *widget = qobject_cast<T *>(QApplication::activeModalWidget());
        if (!widget && clock->elapsed() < 5000)
            return;
        timer->stop();
        timer->deleteLater();
        if (widget)
            act(widget);
    });
    timer->start();
}

// Chooses `path` in the next (non-native) file dialog, or cancels it when path is empty.
inline void answerNextFileDialog(const QString &path, QString *title = nullptr)
{
    onNextModal<QFileDialog>([=](QFileDialog *dialog) {
        if (title)
            *title = dialog->windowTitle();
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept"); // the dialog's own Return/Save path
    });
}

// Clicks Cancel in the next progress dialog.
inline void cancelNextProgress(bool *seen = nullptr)
{
    onNextModal<QProgressDialog>([=](QProgressDialog *dialog) {
        if (seen)
            *seen = true;
        dialog->cancel();
    });
}

inline qint64 scalar(const QString &sql, const QString &connection = QStringLiteral("velto-main"))
{
    QSqlQuery query(QSqlDatabase::database(connection));
    return query.exec(sql) && query.next() ? query.value(0).toLongLong() : -1;
}

inline QString integrityCheck(const QString &connection = QStringLiteral("velto-main"))
{
    QSqlQuery query(QSqlDatabase::database(connection));
    return query.exec(QStringLiteral("PRAGMA integrity_check")) && query.next()
        ? query.value(0).toString()
        : QString();
}

} // namespace velto::test

namespace velto::test {

// Lets the database on `connection` grow no further: the free pages are vacuumed away and
// "max_page_count" is set to the current size, so the next write that needs a page fails with
// "database or disk is full". Returns the page limit (0 on failure).
inline qint64 fillDatabase(const QString &connection = QStringLiteral("velto-main"))
{
    QSqlQuery query(QSqlDatabase::database(connection));
    if (!query.exec(QStringLiteral("VACUUM")))
        return 0;
    const qint64 pages = scalar(QStringLiteral("PRAGMA page_count"), connection);
    return scalar(QStringLiteral("PRAGMA max_page_count = %1").arg(pages), connection) == pages
        ? pages
        : 0;
}

} // namespace velto::test
