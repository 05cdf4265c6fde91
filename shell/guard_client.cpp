// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/guard_client.h"

#include <chrono>

namespace tw::shell {

std::optional<BusMessage> WaitForMessage(MessageBus& bus, int timeoutMs,
                                         const std::function<bool(const BusMessage&)>& match,
                                         const std::function<void()>& before) {
    std::optional<BusMessage> found;
    if (!bus.Listen([&found, &match](const BusMessage& m) {
            if (!found && match(m)) found = m;
        })) {
        return std::nullopt;
    }
    if (before) before();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!found) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        if (!bus.WaitAndProcess(static_cast<uint64_t>(left.count()))) break;
    }
    bus.Listen({});
    return found;
}

GuardReply QueryGuard(MessageBus& bus, int timeoutMs) {
    GuardReply reply;
    auto m = WaitForMessage(
        bus, timeoutMs, [](const BusMessage& msg) { return msg.id == Message::GuardStateMessage; },
        [&bus] { bus.Broadcast(Message::GuardQueryMessage, 1); });
    if (m) {
        reply.answered = true;
        reply.running = m->lparam != 0;
        reply.pid = m->sender;
    }
    return reply;
}

}  // namespace tw::shell
