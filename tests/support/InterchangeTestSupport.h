#pragma once

// Answering the window's file dialogs and progress dialogs from a test, and reaching the database
// behind a window. Header-only, for targets that link velto_app.

#include "ModalAnswers.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressDialog>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QVariant>

namespace velto::test {

// Chooses `path` in the next (non-native) file dialog, or cancels it when path is empty.
inline ModalAnswer answerNextFileDialog(const QString &path, QString *title = nullptr)
{
    return onNextModal<QFileDialog>(
        [=](QFileDialog *dialog) {
            if (title)
                *title = dialog->windowTitle();
            if (path.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->selectFile(path);
            // selectFile leaves the name field alone while it has the focus, which depends on
            // when the window manager activated the dialog: the field is filled directly too.
            if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                name->setText(path);
            QMetaObject::invokeMethod(dialog, "accept"); // the dialog's own Return/Save path
        },
        QStringLiteral("the file dialog to answer with \"%1\"").arg(path));
}

// Clicks Cancel in the next progress dialog.
inline ModalAnswer cancelNextProgress(bool *seen = nullptr)
{
    return onNextModal<QProgressDialog>(
        [=](QProgressDialog *dialog) {
            if (seen)
                *seen = true;
            dialog->cancel();
        },
        QStringLiteral("the progress dialog to cancel"));
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
