#pragma once

// Answering the modal dialogs a test expects, and a watchdog for the ones it does not.
//
// A helper hands out a ModalAnswer; keep it in a local variable for as long as the dialog may
// come. While it lives, the dialog is answered whenever it appears, from any event loop (the
// dialog's own nested one included), however late a loaded machine shows it. Several dialogs of
// one kind are answered in the order they were asked for. When the answer goes out of scope before
// its dialog came, the test fails with a message naming the dialog, so nothing is left to answer
// a later dialog by mistake.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

namespace velto::test {

namespace detail {
struct Expected;
}

class [[nodiscard]] ModalAnswer {
public:
    ModalAnswer() = default;
    explicit ModalAnswer(std::shared_ptr<detail::Expected> expected);
    ModalAnswer(ModalAnswer &&other) noexcept = default;
    ModalAnswer &operator=(ModalAnswer &&other) noexcept;
    ModalAnswer(const ModalAnswer &) = delete;
    ModalAnswer &operator=(const ModalAnswer &) = delete;
    ~ModalAnswer();

    // True once the dialog came and was answered.
    bool answered() const;
    // Processes events until the dialog was answered; on time-out the test fails naming it.
    bool wait(int timeoutMs = 60000);
    // The dialog may not come at all: no failure when it does not.
    ModalAnswer &optional();

private:
    void finish();
    std::shared_ptr<detail::Expected> m_expected;
};

// Calls act(widget) with the next active modal widget for which matches(widget) holds. `what`
// names the dialog in failure messages.
ModalAnswer answerNextModal(const QString &what, std::function<bool(QWidget *)> matches,
    std::function<void(QWidget *)> act);

template<typename T> ModalAnswer onNextModal(std::function<void(T *)> act, QString what = {})
{
    if (what.isEmpty())
        what = QString::fromLatin1(T::staticMetaObject.className());
    return answerNextModal(
        what, [](QWidget *w) { return qobject_cast<T *>(w) != nullptr; },
        [act](QWidget *w) { act(qobject_cast<T *>(w)); });
}

// A modal dialog no answer claims is rejected after this long, and the running test fails naming
// it: a test never stays blocked in a modal loop. Progress dialogs are left alone.
constexpr int unansweredModalLimitMs = 60000;

// Starts the watchdog above (widget tests; called by VELTO_TEST_MAIN).
void installModalWatchdog();

} // namespace velto::test
