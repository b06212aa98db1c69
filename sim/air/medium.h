// The shared medium: every frame a radio puts on the air reaches the other
// radios at the end of its air time, and the observer chain (capture,
// trace) sees it once, as it left the sender.
//
//     talsim::Medium air(world);
//     talsim::PcapTap pcap("air.pcap");
//     air.set_observer(&pcap);
//     card_a.set_air_sink(air.attach(&card_a));
//     card_b.set_air_sink(air.attach(&card_b));
//
// Air time and contention: a radio announces each frame when it decides to
// send it (AirSink::on_air_begin); the medium keeps the announced frames per
// channel, answers carrier sense from them (idle_at: the first moment from
// t on at which a frame of the asker's air time overlaps no other radio's
// announced frame, each extended by the time its duration field reserves,
// as the other radios' network allocation vectors would keep them off the
// channel), and finds collisions among them: two
// frames from different radios on one channel whose air times overlap are
// both damaged. A frame handed over without an announcement is delivered
// and may damage none (it was never on anyone's clock).
//
// Delivery is a chain of filters walked for each (frame, receiver) pair, in
// this order: the channel (the receiver's channel differs: dropped, other
// channel), the range (sender or receiver out of range: dropped, out of
// range), collision (damaged), then the middleware added with add_filter()
// in the order added (LossFilter: lost; CorruptionFilter: one bit flipped,
// corrupted). Every drop is counted by its reason in stats() and, when a
// trace is set, recorded there. A receiver hears a damaged frame
// (collision, corrupted) as a bad frame check sequence (Radio::
// radio_bad_frame, with the damaged copy); a lost frame or one on another
// channel or out of range it does not hear at all. A good frame reaches
// Radio::radio_receive with `signal` set to the sender's level
// (set_signal, default kDefaultSignal).
//
// The middleware draws from its own seeded generator, so a run with the
// same seed and the same traffic drops and damages the same frames.
#pragma once

#include "air/airport.h"

#include "world.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace talsim {

enum class Drop : uint8_t { OtherChannel, OutOfRange, Collision, Lost, Corrupted };
inline constexpr size_t kDropReasons = 5;
const char *drop_name(Drop why);

struct MediumStats {
    uint64_t frames = 0;                          // frames put on the air
    uint64_t delivered = 0;                       // (frame, radio) deliveries of good frames
    std::array<uint64_t, kDropReasons> dropped{}; // (frame, radio) pairs, by reason

    uint64_t of(Drop why) const { return dropped[(size_t)why]; }
};

// One frame on its way from one radio to another: the receiver's copy,
// which a filter may change.
struct Reception {
    const Radio *from;
    const Radio *to;
    AirFrame frame;
};

class DeliveryFilter {
public:
    virtual ~DeliveryFilter() = default;
    // nullopt: the frame goes on (perhaps changed); else why it goes no further.
    virtual std::optional<Drop> judge(Reception &r) = 0;
};

// Rates in parts per million, for the whole medium or one link (a null
// radio matches any); the most specific link set decides.
class LinkRates {
public:
    explicit LinkRates(uint32_t ppm = 0) : all_(ppm) {}
    void set_all(uint32_t ppm) { all_ = ppm; }
    void set_link(const Radio *from, const Radio *to, uint32_t ppm) { links_[{from, to}] = ppm; }
    uint32_t rate(const Radio *from, const Radio *to) const;

private:
    uint32_t all_;
    std::map<std::pair<const Radio *, const Radio *>, uint32_t> links_;
};

// Middleware that acts on a frame with its link's rate, drawing from its
// own seeded generator.
class LinkFilter : public DeliveryFilter {
public:
    LinkFilter(uint64_t seed, uint32_t ppm) : rates(ppm), rng_(seed) {}
    std::optional<Drop> judge(Reception &r) override;
    LinkRates rates;

protected:
    virtual Drop act(Reception &r) = 0;
    std::mt19937_64 rng_;
};

// The frame is lost.
class LossFilter : public LinkFilter {
public:
    explicit LossFilter(uint64_t seed, uint32_t ppm = 0) : LinkFilter(seed, ppm) {}

protected:
    Drop act(Reception &) override { return Drop::Lost; }
};

// One bit of the receiver's copy flips.
class CorruptionFilter : public LinkFilter {
public:
    explicit CorruptionFilter(uint64_t seed, uint32_t ppm = 0) : LinkFilter(seed, ppm) {}

protected:
    Drop act(Reception &r) override;
};

// What became of each (frame, receiver) pair, the last `capacity` kept.
struct AirTraceEntry {
    uint64_t time;
    const Radio *from;
    const Radio *to;
    uint16_t frame_control;
    uint16_t length;
    std::optional<Drop> dropped; // nullopt: delivered
};

class AirTrace {
public:
    explicit AirTrace(size_t capacity = 4096) : capacity_(capacity) {}
    void record(const AirTraceEntry &e);
    const std::deque<AirTraceEntry> &entries() const { return entries_; }
    void clear() { entries_.clear(); }

private:
    size_t capacity_;
    std::deque<AirTraceEntry> entries_;
};

class Medium {
public:
    static constexpr uint8_t kDefaultSignal = 60;

    explicit Medium(talhost::World &world) : world_(world) {}
    Medium(const Medium &) = delete;
    Medium &operator=(const Medium &) = delete;

    // Attaches a radio; its transmissions go to the sink returned, which
    // lives as long as the medium.
    AirSink *attach(Radio *radio);
    void detach(Radio *radio);
    // Sees every frame once, before delivery; may be null.
    void set_observer(AirSink *observer) { observer_ = observer; }
    // Middleware after the built-in filters; must outlive the medium's use.
    void add_filter(DeliveryFilter *f) { filters_.push_back(f); }
    void set_trace(AirTrace *trace) { trace_ = trace; }

    // A radio out of range hears nothing and nobody hears it.
    void set_in_range(const Radio *radio, bool in_range);
    bool in_range(const Radio *radio) const;
    void set_signal(const Radio *radio, uint8_t level) { signal_[radio] = level; }

    // For radios that keep no clock of their own: the frame is announced now
    // and delivered at frame.end_us.
    void transmit(Radio *from, AirFrame frame);

    // Carrier sense for `asker` (whose own frames do not count; null: every
    // frame counts) on `channel`: from `t` on, `us` free.
    uint64_t idle_at(const Radio *asker, uint8_t channel, uint64_t t, uint32_t us) const;

    const MediumStats &stats() const { return stats_; }
    talhost::World &world() { return world_; }

private:
    class Port : public AirSink {
    public:
        Port(Medium &m, Radio *r) : medium(m), radio(r) {}
        void on_air(const AirFrame &frame) override { medium.deliver(radio, frame); }
        void on_air_begin(const AirFrame &frame) override { medium.announce(radio, frame); }
        uint64_t idle_at(uint8_t channel, uint64_t t, uint32_t us) override {
            return medium.idle_at(radio, channel, t, us);
        }
        Medium &medium;
        Radio *radio;
    };
    struct Announced {
        const Radio *from;
        uint8_t channel;
        uint64_t start_us;
        uint64_t end_us;
        uint64_t reserved_until; // end_us and what its duration field reserves
    };
    void announce(const Radio *from, const AirFrame &frame);
    bool collided(const Radio *from, const AirFrame &frame) const;
    void deliver(Radio *from, const AirFrame &frame);
    void count(const Reception &r, std::optional<Drop> why);

    talhost::World &world_;
    AirSink *observer_ = nullptr;
    AirTrace *trace_ = nullptr;
    std::vector<std::unique_ptr<Port>> ports_;
    std::vector<DeliveryFilter *> filters_;
    std::deque<Announced> announced_;
    std::map<const Radio *, bool> out_of_range_;
    std::map<const Radio *, uint8_t> signal_;
    MediumStats stats_;
};

} // namespace talsim
