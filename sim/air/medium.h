// The shared medium: every frame a radio puts on the air reaches every
// other radio on the same channel at the end of its air time, and the
// observer chain (capture, trace) sees it once.
//
//     talsim::Medium air(world);
//     talsim::PcapTap pcap("air.pcap");
//     air.set_observer(&pcap);
//     card_a.set_air_sink(air.attach(&card_a));
//     card_b.set_air_sink(air.attach(&card_b));
//
// Delivery walks the attached radios and skips each for a named reason
// (the sender itself, another channel), counted in stats().
#pragma once

#include "air/airport.h"

#include "world.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace talsim {

struct MediumStats {
    uint64_t frames = 0;         // frames put on the air
    uint64_t delivered = 0;      // (frame, radio) deliveries
    uint64_t other_channel = 0;  // (frame, radio) pairs skipped for the channel
};

class Medium {
public:
    explicit Medium(talhost::World &world) : world_(world) {}
    Medium(const Medium &) = delete;
    Medium &operator=(const Medium &) = delete;

    // Attaches a radio; its transmissions go to the sink returned, which
    // lives as long as the medium.
    AirSink *attach(Radio *radio);
    void detach(Radio *radio);
    // Sees every frame once, before delivery; may be null.
    void set_observer(AirSink *observer) { observer_ = observer; }

    // For radios that keep no clock of their own (access points, the
    // vendor responder): the frame is delivered at frame.end_us.
    void transmit(Radio *from, AirFrame frame);

    const MediumStats &stats() const { return stats_; }
    talhost::World &world() { return world_; }

private:
    class Port : public AirSink {
    public:
        Port(Medium &m, Radio *r) : medium(m), radio(r) {}
        void on_air(const AirFrame &frame) override { medium.deliver(radio, frame); }
        Medium &medium;
        Radio *radio;
    };
    void deliver(Radio *from, const AirFrame &frame);

    talhost::World &world_;
    AirSink *observer_ = nullptr;
    std::vector<std::unique_ptr<Port>> ports_;
    MediumStats stats_;
};

} // namespace talsim
