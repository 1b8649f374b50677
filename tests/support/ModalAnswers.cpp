#include "ModalAnswers.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTest>
#include <QTimer>

namespace velto::test {

namespace detail {
struct Expected {
    QString what;
    std::function<bool(QWidget *)> matches;
    std::function<void(QWidget *)> act;
    bool claimed = false; // its dialog came; the answer is on its way
    bool answered = false;
    bool withdrawn = false;
    bool optional = false;
};
} // namespace detail

namespace {

struct Registry {
    QList<std::shared_ptr<detail::Expected>> pending;
    // Widgets already handed to an answer and not yet closed by it.
    QList<QPointer<QWidget>> claimed;
    QPointer<QTimer> timer;
    bool watchdog = false;
    QPointer<QWidget> watched;
    QElapsedTimer watchedSince;
};

Registry &registry()
{
    static Registry r;
    return r;
}

void fail(const QString &message)
{
    if (QTest::currentTestFunction() && !QTest::currentTestFailed())
        QTest::qFail(qPrintable(message), __FILE__, __LINE__);
    else
        qWarning("%s", qPrintable(message));
}

QString describe(QWidget *widget)
{
    QString text = QString::fromLatin1(widget->metaObject()->className());
    if (!widget->windowTitle().isEmpty())
        text += QStringLiteral(" \"") + widget->windowTitle() + QLatin1Char('"');
    if (auto *box = qobject_cast<QMessageBox *>(widget))
        text += QStringLiteral(" (") + box->text() + QLatin1Char(')');
    return text;
}

void poll();

void schedule()
{
    Registry &r = registry();
    if (!r.timer) {
        r.timer = new QTimer(QCoreApplication::instance());
        QObject::connect(r.timer, &QTimer::timeout, r.timer, &poll);
    }
    // Fast while an answer waits; slow when only the watchdog looks.
    const int interval = r.pending.isEmpty() ? 500 : 10;
    if (r.pending.isEmpty() && !r.watchdog)
        r.timer->stop();
    else if (!r.timer->isActive() || r.timer->interval() != interval)
        r.timer->start(interval);
}

void answer(QWidget *modal)
{
    Registry &r = registry();
    for (int i = 0; i < r.pending.size(); ++i) {
        const std::shared_ptr<detail::Expected> expected = r.pending.at(i);
        if (!expected->matches(modal))
            continue;
        expected->claimed = true;
        r.pending.removeAt(i);
        r.claimed << modal;
        // Run outside this timer's slot: an answer that opens the next dialog must not keep the
        // poll from running inside that dialog's loop.
        QPointer<QWidget> target(modal);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [target, expected] {
                if (expected->withdrawn)
                    return; // its test scope is gone, and what the answer refers to with it
                if (target)
                    expected->act(target);
                expected->answered = true;
            },
            Qt::QueuedConnection);
        return;
    }
}

void watch(QWidget *modal)
{
    Registry &r = registry();
    if (!r.watchdog || !modal || qobject_cast<QProgressDialog *>(modal)) {
        r.watched = nullptr;
        return;
    }
    if (modal != r.watched) {
        r.watched = modal;
        r.watchedSince.start();
        return;
    }
    if (r.watchedSince.elapsed() < unansweredModalLimitMs)
        return;
    r.watched = nullptr;
    fail(QStringLiteral("%1 stayed open with nothing to answer it for %2 s; rejected it")
             .arg(describe(modal), QString::number(unansweredModalLimitMs / 1000)));
    if (auto *dialog = qobject_cast<QDialog *>(modal))
        dialog->reject();
    else
        modal->close();
}

void poll()
{
    Registry &r = registry();
    r.claimed.removeIf([](const QPointer<QWidget> &w) { return !w || !w->isVisible(); });
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && !r.claimed.contains(modal))
        answer(modal);
    watch(modal);
    schedule();
}

} // namespace

ModalAnswer::ModalAnswer(std::shared_ptr<detail::Expected> expected)
    : m_expected(std::move(expected))
{
}

ModalAnswer &ModalAnswer::operator=(ModalAnswer &&other) noexcept
{
    if (this != &other) {
        finish();
        m_expected = std::move(other.m_expected);
    }
    return *this;
}

ModalAnswer::~ModalAnswer()
{
    finish();
}

bool ModalAnswer::answered() const
{
    return m_expected && m_expected->answered;
}

ModalAnswer &ModalAnswer::optional()
{
    if (m_expected)
        m_expected->optional = true;
    return *this;
}

bool ModalAnswer::wait(int timeoutMs)
{
    if (!m_expected)
        return false;
    QElapsedTimer clock;
    clock.start();
    while (!m_expected->answered && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    if (!m_expected->answered)
        fail(QStringLiteral("%1 never came within %2 s")
                 .arg(m_expected->what, QString::number(timeoutMs / 1000)));
    return m_expected->answered;
}

void ModalAnswer::finish()
{
    if (!m_expected || m_expected->answered || m_expected->withdrawn)
        return;
    m_expected->withdrawn = true;
    if (m_expected->claimed)
        return;
    registry().pending.removeAll(m_expected);
    schedule();
    if (!m_expected->optional)
        fail(m_expected->what + QStringLiteral(" never came"));
}

ModalAnswer answerNextModal(
    const QString &what, std::function<bool(QWidget *)> matches, std::function<void(QWidget *)> act)
{
    auto expected = std::make_shared<detail::Expected>();
    expected->what = what;
    expected->matches = std::move(matches);
    expected->act = std::move(act);
    registry().pending << expected;
    schedule();
    return ModalAnswer(expected);
}

void installModalWatchdog()
{
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    registry().watchdog = true;
    schedule();
}

} // namespace velto::test
