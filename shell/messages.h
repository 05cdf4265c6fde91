// SPDX-License-Identifier: GPL-3.0-or-later
// The messages the programs of the suite broadcast to each other (panel, CLI, guard),
// and the bus that carries them.
//
// Every message is known by a fixed name string (a GUID text). On Linux a broadcast is a
// D-Bus signal on the user's session bus:
//
//   path /org/quillon/Tidewipe, interface org.quillon.Tidewipe,
//   signal Message(s name, t sender, i lparam)
//
// `sender` is the sending process's id (it stands where a window handle stood) and
// `lparam` the message's argument. Every connection that listens receives every
// broadcast, its own included. Without a session bus (no DBUS_SESSION_BUS_ADDRESS and
// no $XDG_RUNTIME_DIR/bus) a bus object is simply not connected: broadcasts are dropped
// and nothing arrives, and callers go on as if nobody had listened.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sd_bus;
struct sd_bus_message;
struct sd_bus_slot;
struct sd_event;
struct sd_event_source;

namespace tw {
class Settings;
namespace log {
class CActivityLogFile;
}
}  // namespace tw

namespace tw::shell {

// The broadcast messages. The names of the enumerators are the messages' own names.
enum class Message {
    CleanRequestMessage,
    GuardPingMessage,
    GuardQueryMessage,
    GuardQuery2Message,
    GuardQuery3Message,
    GuardStateMessage,
    GuardStopMessage,
    SettingsChangedMessage,
    ReloadSettingsMessage,
    LogLineMessage,
    BinChangedMessage,
    ShowBinPageMessage,
    ActivateMessage,
    ScheduleChangedMessage,  // the schedule page tells its own window about a change
};

struct MessageInfo {
    Message id;
    const char* name;  // "GuardStopMessage"
    const char* guid;  // the name string on the bus
};

// Every message, in the order of the enumeration.
const std::vector<MessageInfo>& MessageTable();
const MessageInfo& InfoOf(Message m);
// The bus name string of a message.
inline const char* GuidOf(Message m) { return InfoOf(m).guid; }
inline const char* NameOf(Message m) { return InfoOf(m).name; }
// Looks a message up by its name ("GuardStopMessage") or its name string (the GUID
// text); both compare without regard to case. nullopt for anything else.
std::optional<Message> FindMessage(std::string_view nameOrGuid);

// The request codes of CleanRequestMessage.
inline constexpr int32_t kCleanForced = 0x521;     // "-cfsm": scheduled set, at once
inline constexpr int32_t kCleanScheduled = 0x522;  // "-cfs": scheduled set, time checked
inline constexpr int32_t kCleanPageStart = 0x523;  // the clean-up page's own start
inline constexpr int32_t kCleanRunNow = 0x524;     // "Run Clean-up NOW!": manual set

inline constexpr const char* kBusPath = "/org/quillon/Tidewipe";
inline constexpr const char* kBusInterface = "org.quillon.Tidewipe";
inline constexpr const char* kBusMember = "Message";

// One received broadcast.
struct BusMessage {
    std::string name;     // the name string as it came
    uint64_t sender = 0;  // the sender's process id
    int32_t lparam = 0;
    std::optional<Message> id;  // set when the name is one of the table's
};

// A connection to the session bus. Thread-safe: every use of the underlying connection
// is serialised by one lock, so a worker thread may broadcast (the log notifier does)
// while the owning thread listens. Handlers run on the thread that calls Process() or
// runs the attached event loop, with the lock held: a handler may broadcast.
class MessageBus {
  public:
    using Handler = std::function<void(const BusMessage&)>;

    // Connects to the session bus of this user. Never fails: a bus that cannot be
    // reached gives a disconnected object (Connected() false, Error() says why).
    MessageBus();
    ~MessageBus();
    MessageBus(const MessageBus&) = delete;
    MessageBus& operator=(const MessageBus&) = delete;

    bool Connected() const { return bus_ != nullptr; }
    const std::string& Error() const { return error_; }

    // Broadcasts a message with this process's id as sender. Blocks until the message
    // has been handed to the bus. False when not connected or the bus refused it.
    bool Broadcast(Message m, int32_t lparam);
    bool Broadcast(std::string_view name, uint64_t sender, int32_t lparam);

    // Starts receiving every broadcast (own ones included) and hands each to `handler`.
    // When this returns true the bus already routes broadcasts to us: a message sent
    // afterwards by anybody arrives. Replaces an earlier handler.
    bool Listen(Handler handler);

    // Event-loop integration for callers with their own loop (the panel's): watch Fd()
    // for Events() (poll flags), wake after TimeoutUsec() (CLOCK_MONOTONIC, absolute;
    // UINT64_MAX for none), then call Process().
    int Fd();
    int Events();
    uint64_t TimeoutUsec();
    // Handles everything that is pending without blocking; the number of messages
    // handled, or -1 when the connection broke (it is then closed and the lost
    // handler is called).
    int Process();
    // Called once when an established connection breaks (the bus went away).
    void OnLost(std::function<void()> lost) { lost_ = std::move(lost); }
    // Waits up to `timeoutUsec` for traffic and handles it; false when not connected.
    bool WaitAndProcess(uint64_t timeoutUsec);
    // Runs the bus inside an sd-event loop (the guard's). The loop must outlive the
    // bus or be detached first with DetachEvent().
    bool AttachEvent(sd_event* loop);
    void DetachEvent();

  private:
    int HandleSignal(sd_bus_message* m);
    static int OnPrepare(sd_event_source* s, void* userdata);
    static int OnIo(sd_event_source* s, int fd, uint32_t revents, void* userdata);
    static int OnTime(sd_event_source* s, uint64_t usec, void* userdata);
    void CloseLocked();

    std::recursive_mutex mu_;
    sd_bus* bus_ = nullptr;
    sd_bus_slot* match_ = nullptr;
    sd_event_source* ioSource_ = nullptr;
    sd_event_source* timeSource_ = nullptr;
    Handler handler_;
    std::function<void()> lost_;
    std::string error_;
};

// Makes `writer` announce every line it writes with LogLineMessage (lParam 0) on `bus`.
// The bus must outlive the writer's use of the notifier.
void BroadcastLogLines(log::CActivityLogFile& writer, MessageBus& bus);
// Makes `settings` announce each SaveSettings with SettingsChangedMessage (its lParam)
// on `bus`, so that the guard re-reads them. The bus must outlive the settings' use.
void BroadcastSettingsChanges(Settings& settings, MessageBus& bus);

}  // namespace tw::shell
