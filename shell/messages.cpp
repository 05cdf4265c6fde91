// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/messages.h"

#include <poll.h>
#include <strings.h>
#include <sys/epoll.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/settings.h"

namespace tw::shell {

const std::vector<MessageInfo>& MessageTable() {
    static const std::vector<MessageInfo> kTable = {
        {Message::CleanRequestMessage, "CleanRequestMessage",
         "01F81CC4-EB29-4058-AFF7-4C6A46C23BB2"},
        {Message::GuardPingMessage, "GuardPingMessage", "B9EE9718-1CC2-4938-9F4A-44B824BD489A"},
        {Message::GuardQueryMessage, "GuardQueryMessage", "D14A8EC4-2DA0-4da4-B9B6-7BBBE6ACFD19"},
        {Message::GuardQuery2Message, "GuardQuery2Message", "A7FB2796-7E73-4ad2-BA36-0C9FA4155D3F"},
        {Message::GuardQuery3Message, "GuardQuery3Message", "0AFFDEB2-BF62-4b70-A011-85596A68B15F"},
        {Message::GuardStateMessage, "GuardStateMessage", "05FF286B-45FA-4872-8308-D59770C66B06"},
        {Message::GuardStopMessage, "GuardStopMessage", "B0D0BFBC-F521-4176-A4F6-F6962B776E3F"},
        {Message::SettingsChangedMessage, "SettingsChangedMessage",
         "3E1273BA-C0EE-4c31-96BD-213AF729FEAE"},
        {Message::ReloadSettingsMessage, "ReloadSettingsMessage",
         "916F269F-D8BA-463c-9CD4-7B6BA0894013"},
        {Message::LogLineMessage, "LogLineMessage", "5CF54B77-9B10-4cd6-93FA-F0D90E7A95EF"},
        {Message::BinChangedMessage, "BinChangedMessage", "DC6127A5-C1C1-4a4a-9965-6C708C518E11"},
        {Message::ShowBinPageMessage, "ShowBinPageMessage", "229C6B69-8B16-4afa-8D84-469222D5C71E"},
        {Message::ActivateMessage, "ActivateMessage", "8682FE9B-59D1-446e-BDF4-CBAF8F4D2723"},
        {Message::ScheduleChangedMessage, "ScheduleChangedMessage",
         "65bf25c8-937f-496f-8339-a313ce601693"},
    };
    return kTable;
}

const MessageInfo& InfoOf(Message m) { return MessageTable().at(static_cast<size_t>(m)); }

std::optional<Message> FindMessage(std::string_view nameOrGuid) {
    for (const auto& info : MessageTable()) {
        for (const char* candidate : {info.name, info.guid}) {
            if (nameOrGuid.size() == std::strlen(candidate) &&
                strncasecmp(nameOrGuid.data(), candidate, nameOrGuid.size()) == 0)
                return info.id;
        }
    }
    return std::nullopt;
}

MessageBus::MessageBus() {
    sd_bus* bus = nullptr;
    // sd_bus_open_user finds the bus from DBUS_SESSION_BUS_ADDRESS, else
    // $XDG_RUNTIME_DIR/bus. It connects lazily, so a missing socket only shows up when
    // the connection is first used: the Hello round trip below settles it at once.
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
        error_ = TextWith(TextId<1600>, std::strerror(-r));
        return;
    }
    sd_bus_set_description(bus, "tidewipe");
    const char* unique = nullptr;
    r = sd_bus_get_unique_name(bus, &unique);
    if (r < 0) {
        error_ = TextWith(TextId<1600>, std::strerror(-r));
        sd_bus_close_unref(bus);
        return;
    }
    bus_ = bus;
}

MessageBus::~MessageBus() {
    std::lock_guard lock(mu_);
    CloseLocked();
}

void MessageBus::CloseLocked() {
    if (ioSource_) ioSource_ = sd_event_source_disable_unref(ioSource_);
    if (timeSource_) timeSource_ = sd_event_source_disable_unref(timeSource_);
    if (match_) match_ = sd_bus_slot_unref(match_);
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
}

bool MessageBus::Broadcast(Message m, int32_t lparam) {
    return Broadcast(GuidOf(m), static_cast<uint64_t>(getpid()), lparam);
}

bool MessageBus::Broadcast(std::string_view name, uint64_t sender, int32_t lparam) {
    std::lock_guard lock(mu_);
    if (!bus_) return false;
    const std::string n(name);
    int r = sd_bus_emit_signal(bus_, kBusPath, kBusInterface, kBusMember, "sti", n.c_str(), sender,
                               lparam);
    if (r < 0) return false;
    // Hand it over now: a CLI that exits right after broadcasting must not lose it, and
    // a worker thread's broadcast must not wait for the owner's loop to flush it.
    return sd_bus_flush(bus_) >= 0;
}

int MessageBus::HandleSignal(sd_bus_message* m) {
    const char* name = nullptr;
    uint64_t sender = 0;
    int32_t lparam = 0;
    // A signal of another shape under our member name is not ours: ignore it.
    if (sd_bus_message_read(m, "sti", &name, &sender, &lparam) < 0 || !name) return 0;
    BusMessage msg;
    msg.name = name;
    msg.sender = sender;
    msg.lparam = lparam;
    msg.id = FindMessage(msg.name);
    if (handler_) handler_(msg);
    return 0;
}

bool MessageBus::Listen(Handler handler) {
    std::lock_guard lock(mu_);
    handler_ = std::move(handler);
    if (!bus_) return false;
    if (match_) return true;
    // The synchronous form waits for the bus to confirm the match rule, so that a
    // broadcast made after Listen() returns cannot pass us by.
    int r = sd_bus_match_signal(
        bus_, &match_, nullptr, kBusPath, kBusInterface, kBusMember,
        [](sd_bus_message* m, void* self, sd_bus_error*) {
            return static_cast<MessageBus*>(self)->HandleSignal(m);
        },
        this);
    if (r < 0) {
        error_ = TextWith(TextId<1601>, std::strerror(-r));
        return false;
    }
    return true;
}

int MessageBus::Fd() {
    std::lock_guard lock(mu_);
    return bus_ ? sd_bus_get_fd(bus_) : -1;
}

int MessageBus::Events() {
    std::lock_guard lock(mu_);
    if (!bus_) return 0;
    int e = sd_bus_get_events(bus_);
    return e < 0 ? 0 : e;
}

uint64_t MessageBus::TimeoutUsec() {
    std::lock_guard lock(mu_);
    uint64_t t = UINT64_MAX;
    if (bus_ && sd_bus_get_timeout(bus_, &t) < 0) t = UINT64_MAX;
    return t;
}

int MessageBus::Process() {
    std::lock_guard lock(mu_);
    if (!bus_) return -1;
    int handled = 0;
    for (;;) {
        int r = sd_bus_process(bus_, nullptr);
        if (r < 0) {
            error_ = TextWith(TextId<1602>, std::strerror(-r));
            CloseLocked();
            auto lost = std::move(lost_);
            lost_ = nullptr;
            if (lost) lost();
            return -1;
        }
        if (r == 0) return handled;
        ++handled;
    }
}

bool MessageBus::WaitAndProcess(uint64_t timeoutUsec) {
    int fd = Fd();
    if (fd < 0) return false;
    // Process first: data may already sit in the connection's read buffer, where poll
    // cannot see it.
    if (Process() < 0) return false;
    pollfd p{fd, static_cast<short>(Events()), 0};
    int ms = static_cast<int>(timeoutUsec / 1000);
    uint64_t deadline = TimeoutUsec();
    if (deadline != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
        uint64_t left = deadline > nowUsec ? (deadline - nowUsec) / 1000 : 0;
        if (left < static_cast<uint64_t>(ms)) ms = static_cast<int>(left);
    }
    if (poll(&p, 1, ms) < 0 && errno != EINTR) return false;
    return Process() >= 0;
}

// The bus's wishes change with every message queued or read; sd-event asks before each
// wait, so the io and time sources follow them here.
int MessageBus::OnPrepare(sd_event_source*, void* userdata) {
    auto* self = static_cast<MessageBus*>(userdata);
    std::lock_guard lock(self->mu_);
    if (!self->bus_) return 0;
    int e = sd_bus_get_events(self->bus_);
    if (e >= 0) sd_event_source_set_io_events(self->ioSource_, static_cast<uint32_t>(e));
    uint64_t t = UINT64_MAX;
    if (sd_bus_get_timeout(self->bus_, &t) >= 0 && t != UINT64_MAX) {
        sd_event_source_set_time(self->timeSource_, t);
        sd_event_source_set_enabled(self->timeSource_, SD_EVENT_ONESHOT);
    } else {
        sd_event_source_set_enabled(self->timeSource_, SD_EVENT_OFF);
    }
    return 0;
}

int MessageBus::OnIo(sd_event_source*, int, uint32_t, void* userdata) {
    static_cast<MessageBus*>(userdata)->Process();
    return 0;
}

int MessageBus::OnTime(sd_event_source*, uint64_t, void* userdata) {
    static_cast<MessageBus*>(userdata)->Process();
    return 0;
}

bool MessageBus::AttachEvent(sd_event* loop) {
    std::lock_guard lock(mu_);
    if (!bus_ || !loop || ioSource_) return false;
    int fd = sd_bus_get_fd(bus_);
    if (fd < 0) return false;
    if (sd_event_add_io(loop, &ioSource_, fd, EPOLLIN, &MessageBus::OnIo, this) < 0) return false;
    if (sd_event_add_time(loop, &timeSource_, CLOCK_MONOTONIC, 0, 0, &MessageBus::OnTime, this) <
        0) {
        ioSource_ = sd_event_source_disable_unref(ioSource_);
        return false;
    }
    sd_event_source_set_enabled(timeSource_, SD_EVENT_OFF);
    sd_event_source_set_prepare(ioSource_, &MessageBus::OnPrepare);
    sd_event_source_set_description(ioSource_, "session-bus");
    // Anything already read into the connection's buffer would not wake the loop.
    Process();
    return true;
}

void MessageBus::DetachEvent() {
    std::lock_guard lock(mu_);
    if (ioSource_) ioSource_ = sd_event_source_disable_unref(ioSource_);
    if (timeSource_) timeSource_ = sd_event_source_disable_unref(timeSource_);
}

void BroadcastLogLines(log::CActivityLogFile& writer, MessageBus& bus) {
    writer.SetNotifier([&bus] { bus.Broadcast(Message::LogLineMessage, 0); });
}

void BroadcastSettingsChanges(Settings& settings, MessageBus& bus) {
    settings.SetChangedNotifier(
        [&bus](int lparam) { bus.Broadcast(Message::SettingsChangedMessage, lparam); });
}

}  // namespace tw::shell
