#include "air/medium.h"

#include <algorithm>

namespace talsim {

AirSink *Medium::attach(Radio *radio) {
    ports_.push_back(std::make_unique<Port>(*this, radio));
    return ports_.back().get();
}

void Medium::detach(Radio *radio) {
    // The port stays (a card may still point at it) but no longer delivers.
    for (auto &p : ports_)
        if (p->radio == radio)
            p->radio = nullptr;
}

void Medium::transmit(Radio *from, AirFrame frame) {
    uint64_t delay = frame.end_us > world_.now() ? frame.end_us - world_.now() : 0;
    world_.schedule_in(delay, talhost::EventKind::Device,
                       [this, from, frame = std::move(frame)] { deliver(from, frame); });
}

void Medium::deliver(Radio *from, const AirFrame &frame) {
    ++stats_.frames;
    if (observer_)
        observer_->on_air(frame);
    // Receivers may transmit from inside radio_receive; walk a snapshot.
    std::vector<Radio *> radios;
    for (auto &p : ports_)
        if (p->radio && p->radio != from)
            radios.push_back(p->radio);
    for (Radio *r : radios) {
        if (r->radio_channel() != frame.channel) {
            ++stats_.other_channel;
            continue;
        }
        ++stats_.delivered;
        r->radio_receive(frame);
    }
}

} // namespace talsim
