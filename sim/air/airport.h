// The air side of a radio: every frame a radio puts on the air is handed,
// as an AirFrame, to one AirSink. Sinks stack: a tap does its work (capture,
// trace, later loss and corruption) and forwards the frame to the next sink,
// so a chain reads  card -> PcapTap -> AirRecorder -> (the medium).
//
//     talsim::AirRecorder seen;
//     talsim::PcapTap pcap("air.pcap", &seen);
//     card.set_air_sink(&pcap);
//
// A sink must outlive the radios that point at it.
#pragma once

#include <cstdint>
#include <vector>

namespace talsim {

struct AirFrame {
    std::vector<uint8_t> bytes;  // the 802.11 frame, header to body, without FCS
    uint8_t rate = 0;            // 500 kb/s units: 2, 4, 11, 22
    uint8_t channel = 0;         // 1-14
    bool short_preamble = false;
    uint64_t start_us = 0;       // virtual time the preamble began
    uint64_t end_us = 0;         // virtual time the last bit (FCS included) left the antenna

    uint32_t airtime_us() const { return (uint32_t)(end_us - start_us); }
    bool operator==(const AirFrame &) const = default;
};

inline constexpr uint32_t kLongPreambleUs = 192;
inline constexpr uint32_t kShortPreambleUs = 96;
inline constexpr uint32_t kFcsBytes = 4;

// Microseconds on the air for `bytes` (FCS included) at `rate` (500 kb/s
// units): the preamble, then the bits, rounded up to a microsecond.
inline uint32_t air_time_us(uint32_t bytes, uint8_t rate, bool short_preamble) {
    uint32_t bits_x2 = bytes * 8 * 2; // rate counts 500 kb/s: half-bits per microsecond
    return (short_preamble ? kShortPreambleUs : kLongPreambleUs) + (bits_x2 + rate - 1) / rate;
}

class AirSink {
public:
    virtual ~AirSink() = default;
    // Called once per frame, at its end_us on the virtual clock.
    virtual void on_air(const AirFrame &frame) = 0;
};

// The receiving side of a radio: the medium hands it every frame that
// reaches it (its channel, not its own), at the frame's end_us.
class Radio {
public:
    virtual ~Radio() = default;
    virtual uint8_t radio_channel() const = 0;
    virtual void radio_receive(const AirFrame &frame) = 0;
};

// A sink that does something and hands the frame on to `next` (if any).
class AirTap : public AirSink {
public:
    explicit AirTap(AirSink *next = nullptr) : next_(next) {}
    void set_next(AirSink *next) { next_ = next; }
    AirSink *next() const { return next_; }

    void on_air(const AirFrame &frame) override {
        observe(frame);
        if (next_)
            next_->on_air(frame);
    }

protected:
    virtual void observe(const AirFrame &frame) = 0;

private:
    AirSink *next_;
};

// Keeps every frame, in order: the end of a chain in tests and tools.
class AirRecorder : public AirTap {
public:
    using AirTap::AirTap;
    const std::vector<AirFrame> &frames() const { return frames_; }
    void clear() { frames_.clear(); }

protected:
    void observe(const AirFrame &frame) override { frames_.push_back(frame); }

private:
    std::vector<AirFrame> frames_;
};

} // namespace talsim
