#include "air/medium.h"

#include "wire/ieee80211.h"

#include <algorithm>

namespace talsim {

namespace {

constexpr uint64_t kAnnouncedKeptUs = 100000; // longer than any frame's air time
constexpr uint32_t kMillion = 1000000;

} // namespace

const char *drop_name(Drop why) {
    static const char *const kNames[kDropReasons] = {"other channel", "out of range", "collision",
                                                     "lost", "corrupted"};
    return kNames[(size_t)why];
}

uint32_t LinkRates::rate(const Radio *from, const Radio *to) const {
    for (auto key : {std::pair{from, to}, std::pair{from, (const Radio *)nullptr},
                     std::pair{(const Radio *)nullptr, to}}) {
        auto it = links_.find(key);
        if (it != links_.end())
            return it->second;
    }
    return all_;
}

std::optional<Drop> LinkFilter::judge(Reception &r) {
    uint32_t ppm = rates.rate(r.from, r.to);
    if (!ppm || rng_() % kMillion >= ppm)
        return std::nullopt;
    return act(r);
}

Drop CorruptionFilter::act(Reception &r) {
    if (!r.frame.bytes.empty()) {
        uint64_t bit = rng_() % (r.frame.bytes.size() * 8);
        r.frame.bytes[bit / 8] ^= (uint8_t)(1u << (bit % 8));
    }
    return Drop::Corrupted;
}

void AirTrace::record(const AirTraceEntry &e) {
    if (entries_.size() == capacity_)
        entries_.pop_front();
    entries_.push_back(e);
}

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

void Medium::set_in_range(const Radio *radio, bool in_range) {
    out_of_range_[radio] = !in_range;
}

bool Medium::in_range(const Radio *radio) const {
    auto it = out_of_range_.find(radio);
    return it == out_of_range_.end() || !it->second;
}

void Medium::transmit(Radio *from, AirFrame frame) {
    announce(from, frame);
    uint64_t delay = frame.end_us > world_.now() ? frame.end_us - world_.now() : 0;
    world_.schedule_in(delay, talhost::EventKind::Device,
                       [this, from, frame = std::move(frame)] { deliver(from, frame); });
}

void Medium::announce(const Radio *from, const AirFrame &frame) {
    while (!announced_.empty() && announced_.front().end_us + kAnnouncedKeptUs < world_.now())
        announced_.pop_front();
    // A control frame's duration field reserves nothing here (an ACK's is 0).
    auto start = wire::FrameStartView<const uint8_t>::parse(frame.bytes);
    uint16_t duration = start && start->type() != wire::fc::TypeControl ? start->duration() : 0;
    announced_.push_back(Announced{from, frame.channel, frame.start_us, frame.end_us,
                                   frame.end_us + (duration & 0x7FFF)});
}

uint64_t Medium::idle_at(const Radio *asker, uint8_t channel, uint64_t t, uint32_t us) const {
    // Announced frames may chain: step past each that overlaps until none does.
    for (bool moved = true; moved;) {
        moved = false;
        for (const Announced &a : announced_)
            if (a.from != asker && a.channel == channel && a.start_us < t + us &&
                t < a.reserved_until) {
                t = a.reserved_until;
                moved = true;
            }
    }
    return t;
}

bool Medium::collided(const Radio *from, const AirFrame &frame) const {
    return std::any_of(announced_.begin(), announced_.end(), [&](const Announced &a) {
        return a.from != from && a.channel == frame.channel && a.start_us < frame.end_us &&
               frame.start_us < a.end_us;
    });
}

void Medium::count(const Reception &r, std::optional<Drop> why) {
    if (why)
        ++stats_.dropped[(size_t)*why];
    else
        ++stats_.delivered;
    if (trace_) {
        auto start = wire::FrameStartView<const uint8_t>::parse(r.frame.bytes);
        uint16_t fc = start ? start->frame_control() : 0;
        trace_->record(
            AirTraceEntry{world_.now(), r.from, r.to, fc, (uint16_t)r.frame.bytes.size(), why});
    }
}

void Medium::deliver(Radio *from, const AirFrame &frame) {
    ++stats_.frames;
    if (observer_)
        observer_->on_air(frame);
    bool collision = collided(from, frame);
    auto signal = signal_.find(from);
    // Receivers may transmit from inside radio_receive; walk a snapshot.
    std::vector<Radio *> radios;
    for (auto &p : ports_)
        if (p->radio && p->radio != from)
            radios.push_back(p->radio);
    for (Radio *to : radios) {
        Reception r{from, to, frame};
        r.frame.signal = signal == signal_.end() ? kDefaultSignal : signal->second;
        std::optional<Drop> why;
        if (to->radio_channel() != frame.channel)
            why = Drop::OtherChannel;
        else if (!in_range(from) || !in_range(to))
            why = Drop::OutOfRange;
        else if (collision)
            why = Drop::Collision;
        for (size_t i = 0; i < filters_.size() && !why; ++i)
            why = filters_[i]->judge(r);
        count(r, why);
        if (!why)
            to->radio_receive(r.frame);
        else if (*why == Drop::Collision || *why == Drop::Corrupted)
            to->radio_bad_frame(r.frame);
    }
}

} // namespace talsim
