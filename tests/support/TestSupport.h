#pragma once

#include "ModalAnswers.h"

#include <QApplication>
#include <QLineEdit>
#include <QString>
#include <QTest>

namespace velto::test {

// Points every per-user location (settings, data, cache) at a private temporary folder and names
// the application the way the program does, so a test never reads or writes the user's own files.
// Call before the application object exists.
void prepareEnvironment();

// Finishes the set-up once the application object exists.
void prepareApplication();

// A private folder for the current test process, removed when the process ends.
QString scratchRoot();

// Replaces the field's text by typing text key by key (any script), then presses Return.
void typeAndConfirm(QLineEdit *edit, const QString &text);

} // namespace velto::test

#define VELTO_TEST_MAIN_WITH(AppClass, TestObject)                                                 \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        velto::test::prepareEnvironment();                                                         \
        AppClass app(argc, argv);                                                                  \
        velto::test::prepareApplication();                                                         \
        velto::test::installModalWatchdog();                                                       \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

// Widget tests: a QApplication (the offscreen platform is set by CTest).
#define VELTO_TEST_MAIN(TestObject) VELTO_TEST_MAIN_WITH(QApplication, TestObject)
// Tests without widgets.
#define VELTO_TEST_MAIN_CORE(TestObject) VELTO_TEST_MAIN_WITH(QCoreApplication, TestObject)
