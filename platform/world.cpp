#include "world.h"

#include <algorithm>

namespace talhost {

// An event's id: its slot and the slot's generation, never 0.
World::EventId World::schedule_at(uint64_t when, EventKind kind, Fn fn) {
    if (when < now_)
        when = now_;
    uint32_t slot;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        slot = (uint32_t)slots_.size();
        slots_.emplace_back();
    }
    Slot &s = slots_[slot];
    s.fn = std::move(fn);
    s.gen++;
    s.live = true;
    ++live_;
    Heap &h = kind == EventKind::Device ? device_ : deferred_;
    h.push_back(Entry{when, ++seq_, slot, s.gen});
    std::push_heap(h.begin(), h.end(), std::greater<Entry>());
    return (uint64_t)s.gen << 32 | slot;
}

bool World::cancel(EventId id) {
    if (!pending(id))
        return false;
    Slot &s = slots_[(uint32_t)id];
    s.live = false;
    s.fn = nullptr;
    free_.push_back((uint32_t)id);
    --live_;
    return true;
}

bool World::pending(EventId id) const {
    uint32_t slot = (uint32_t)id;
    return slot < slots_.size() && slots_[slot].live && slots_[slot].gen == (uint32_t)(id >> 32);
}

// The heap's first live entry, dropping cancelled ones on the way.
const World::Entry *World::top(Heap &h) {
    while (!h.empty() && !live(h.front())) {
        std::pop_heap(h.begin(), h.end(), std::greater<Entry>());
        h.pop_back();
    }
    return h.empty() ? nullptr : &h.front();
}

bool World::run_one(uint64_t until, bool devices_only) {
    const Entry *d = top(device_);
    const Entry *q = devices_only ? nullptr : top(deferred_);
    Heap *h = d && (!q || *q > *d) ? &device_ : q ? &deferred_ : nullptr;
    if (!h || h->front().when > until)
        return false;
    Entry e = h->front();
    std::pop_heap(h->begin(), h->end(), std::greater<Entry>());
    h->pop_back();
    if (e.when > now_)
        now_ = e.when;
    Slot &s = slots_[e.slot];
    Fn fn = std::move(s.fn);
    s.fn = nullptr;
    s.live = false;
    free_.push_back(e.slot);
    --live_;
    fn();
    return true;
}

void World::stall(uint32_t us) {
    ++stall_calls_;
    stalled_us_ += us;
    uint64_t until = now_ + us;
    while (run_one(until, true)) {
    }
    now_ = until;
}

void World::run_until(uint64_t until) {
    while (run_one(until, false)) {
    }
    if (until > now_)
        now_ = until;
}

} // namespace talhost
