// SPDX-License-Identifier: GPL-3.0-or-later
#include "cleanup/countdown.h"

#include "platform/strings.h"

namespace tw::wipe {

CProceedCancelDialog CProceedCancelDialog::ShutdownCountdown() {
    CProceedCancelDialog d;
    d.title = Str<209>();       // "Tidewipe"
    d.prefix = Str<568>();      // "Shut down in"
    d.suffix = Str<569>();      // "seconds"
    d.okText = Str<567>();      // "Proceed"
    d.cancelText = Str<566>();  // "Cancel"
    d.seconds = 30;
    d.proceedOnTimeout = true;
    return d;
}

void CProceedCancelDialog::Init() {
    result_ = Result::Running;
    timer_ = seconds != 0;
}

std::string CProceedCancelDialog::StaticText() const {
    if (prefix.empty()) return "";
    if (seconds < 1) return prefix;
    return prefix + " " + std::to_string(seconds) + " " + suffix + ".";
}

CProceedCancelDialog::Result CProceedCancelDialog::Tick() {
    if (result_ != Result::Running || !timer_) return result_;
    --seconds;
    if (seconds < 1) {
        if (proceedOnTimeout)
            Proceed();
        else
            Cancel();
    }
    return result_;
}

void CProceedCancelDialog::Proceed() {
    timer_ = false;
    result_ = Result::Proceed;
}

void CProceedCancelDialog::Cancel() {
    timer_ = false;
    result_ = Result::Cancel;
}

bool RunCountdown(CProceedCancelDialog& dialog,
                  const std::function<void(const CProceedCancelDialog&)>& show,
                  const std::function<bool(int milliseconds)>& wait) {
    dialog.Init();
    if (show) show(dialog);
    while (dialog.GetResult() == CProceedCancelDialog::Result::Running) {
        if (wait && wait(1000)) {
            dialog.Cancel();
            break;
        }
        dialog.Tick();
        if (show) show(dialog);
    }
    return dialog.GetResult() == CProceedCancelDialog::Result::Proceed;
}

}  // namespace tw::wipe
