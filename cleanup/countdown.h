// SPDX-License-Identifier: GPL-3.0-or-later
// The proceed/cancel dialog with an optional countdown, without its window: the panel
// draws it, the CLI prints it, and both drive it with one tick per second.
//
// The clean-up run uses it for the shutdown countdown: "Shut down in 30 seconds." then
// 29 ... 1, and after the 30th tick it ends as by Proceed.
#pragma once

#include <functional>
#include <string>

namespace tw::wipe {

class CProceedCancelDialog {
  public:
    enum class Result { Running, Proceed, Cancel };

    // Set by the caller before Init.
    std::string title;
    std::string prefix;  // "Shut down in"
    std::string suffix;  // "seconds"
    std::string okText, cancelText;
    int seconds = 0;                // 0: no countdown
    bool proceedOnTimeout = false;  // the countdown ending counts as Proceed (else Cancel)

    // The shutdown countdown: title "Tidewipe", "Shut down in", "seconds", "Proceed",
    // "Cancel", 30 seconds, proceed on timeout.
    static CProceedCancelDialog ShutdownCountdown();

    // Starts the dialog: the timer runs when seconds is not 0.
    void Init();
    // The static text: "" without a prefix; the prefix alone when seconds is below 1;
    // else prefix, blank, seconds, blank, suffix and ".".
    std::string StaticText() const;
    // One timer tick: one second less; below 1 the dialog ends as by Proceed when
    // proceedOnTimeout is set, else as by Cancel. Gives the result after the tick.
    Result Tick();
    // The two buttons: stop the timer and end the dialog.
    void Proceed();
    void Cancel();

    Result GetResult() const { return result_; }
    bool TimerRunning() const { return timer_; }

  private:
    Result result_ = Result::Running;
    bool timer_ = false;
};

// Runs a dialog to its end on the calling thread: `show` sees it after Init and after
// every tick; `wait` waits one tick period (1000 ms) and answers true when the user
// cancelled meanwhile (Cancel then ends it). A dialog without a countdown ends only by
// such a cancel. True when it ended by Proceed.
bool RunCountdown(CProceedCancelDialog& dialog,
                  const std::function<void(const CProceedCancelDialog&)>& show,
                  const std::function<bool(int milliseconds)>& wait);

}  // namespace tw::wipe
