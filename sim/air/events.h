// The events one object has scheduled on the virtual clock, so that it can
// drop them all when it goes away or starts over (a radio's pending frames,
// an access point's beacons and range changes).
#pragma once

#include "world.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace talsim {

class EventScope {
public:
    explicit EventScope(talhost::World &world) : world_(world) {}
    ~EventScope() { cancel_all(); }
    EventScope(const EventScope &) = delete;
    EventScope &operator=(const EventScope &) = delete;

    // Runs `fn` at `when` (now, if that has passed).
    void at(uint64_t when, std::function<void()> fn) {
        // Spent ids go as new ones come; cancelling a spent id does nothing.
        std::erase_if(ids_, [this](talhost::World::EventId id) { return !world_.pending(id); });
        ids_.push_back(world_.schedule_at(std::max(when, world_.now()), talhost::EventKind::Device,
                                          std::move(fn)));
    }
    void in(uint64_t delay, std::function<void()> fn) { at(world_.now() + delay, std::move(fn)); }
    void cancel_all() {
        for (talhost::World::EventId id : ids_)
            world_.cancel(id);
        ids_.clear();
    }
    talhost::World &world() { return world_; }

private:
    talhost::World &world_;
    std::vector<talhost::World::EventId> ids_;
};

} // namespace talsim
