// SPDX-License-Identifier: GPL-3.0-or-later
// Talking to the resident guard from a program that has no event loop of its own (the
// CLI, tests): broadcast, then wait a bounded time for the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "shell/messages.h"

namespace tw::shell {

// Waits up to `timeoutMs` for a broadcast that `match` accepts and gives it; nullopt
// when none came (or the bus is not connected). Takes over the bus's handler: every
// other broadcast that arrives meanwhile is dropped. `before`, when given, runs once
// the bus is listening, so that an answer to what it sends cannot be missed.
std::optional<BusMessage> WaitForMessage(MessageBus& bus, int timeoutMs,
                                         const std::function<bool(const BusMessage&)>& match,
                                         const std::function<void()>& before = {});

// What the guard said about itself.
struct GuardReply {
    bool answered = false;  // a GuardStateMessage arrived in time
    bool running = false;   // its lParam was not 0
    uint64_t pid = 0;       // its sender
};

// Broadcasts GuardQueryMessage (lParam 1) and waits up to `timeoutMs` for the guard's
// GuardStateMessage.
GuardReply QueryGuard(MessageBus& bus, int timeoutMs);

}  // namespace tw::shell
