#include "world.h"

namespace talhost {

World::EventId World::schedule_at(uint64_t when, EventKind kind, Fn fn) {
    if (when < now_)
        when = now_;
    Key k{when, ++seq_};
    queue_.emplace(k, Event{kind, std::move(fn)});
    index_.emplace(k.seq, k);
    return k.seq;
}

bool World::cancel(EventId id) {
    auto it = index_.find(id);
    if (it == index_.end())
        return false;
    queue_.erase(it->second);
    index_.erase(it);
    return true;
}

bool World::pending(EventId id) const { return index_.count(id) != 0; }

bool World::run_one(uint64_t until, bool devices_only) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
        if (it->first.when > until)
            return false;
        if (devices_only && it->second.kind != EventKind::Device)
            continue;
        if (it->first.when > now_)
            now_ = it->first.when;
        Fn fn = std::move(it->second.fn);
        index_.erase(it->first.seq);
        queue_.erase(it);
        fn();
        return true;
    }
    return false;
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
