// The virtual clock and event queue of one simulated world. Every adapter,
// card and access point of a world shares them. Nothing reads the wall
// clock: time moves only when a stall or the run loop advances it.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace talhost {

// Device events model hardware progress (a command completing, a frame's
// air time ending); they also run inside a stall. Deferred events model the
// wrapper's timers, deferred interrupt handlers and protocol callbacks;
// they run only from the top-level run loop, never inside a stall.
enum class EventKind { Device, Deferred };

class World {
public:
    using Fn = std::function<void()>;
    using EventId = uint64_t;

    World() = default;
    World(const World &) = delete;
    World &operator=(const World &) = delete;

    uint64_t now() const { return now_; }

    EventId schedule_at(uint64_t when, EventKind kind, Fn fn);
    EventId schedule_in(uint64_t delay, EventKind kind, Fn fn) {
        return schedule_at(now_ + delay, kind, std::move(fn));
    }
    bool cancel(EventId id);
    bool pending(EventId id) const;

    // KeStallExecutionProcessor: advance by us and let devices progress.
    void stall(uint32_t us);
    // Run every event due up to `until` in time order, then set the clock.
    void run_until(uint64_t until);
    void run_for(uint64_t us) { run_until(now_ + us); }
    // Run every device and deferred event that is due now.
    void run_due() { run_until(now_); }

    uint64_t stall_calls() const { return stall_calls_; }
    uint64_t stalled_us() const { return stalled_us_; }
    void reset_stall_counters() {
        stall_calls_ = 0;
        stalled_us_ = 0;
    }
    size_t queued() const { return live_; }

private:
    // An event waits in the heap of its kind, ordered by time and then by
    // the order it was scheduled in; its function sits in a slot, which a
    // cancel empties (the heap entry is dropped when it comes up).
    struct Entry {
        uint64_t when;
        uint64_t seq;
        uint32_t slot;
        uint32_t gen;
        bool operator>(const Entry &o) const {
            return when != o.when ? when > o.when : seq > o.seq;
        }
    };
    struct Slot {
        Fn fn;
        uint32_t gen = 0;
        bool live = false;
    };
    using Heap = std::vector<Entry>;

    bool live(const Entry &e) const { return slots_[e.slot].live && slots_[e.slot].gen == e.gen; }
    const Entry *top(Heap &h);
    bool run_one(uint64_t until, bool devices_only);

    uint64_t now_ = 0;
    uint64_t seq_ = 0;
    uint64_t stall_calls_ = 0;
    uint64_t stalled_us_ = 0;
    Heap device_;
    Heap deferred_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> free_;
    size_t live_ = 0;
};

} // namespace talhost
