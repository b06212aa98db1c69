// The air side of a radio: every frame a radio puts on the air is handed,
// as an AirFrame, to one AirSink. Sinks stack: a tap does its work (capture,
// trace) and forwards the frame to the next sink, so a chain reads
// card -> PcapTap -> AirRecorder -> (the medium).
//
// A radio that shares the air announces a frame when it decides to send it
// (on_air_begin, with its start and end times, which may lie ahead) and
// hands it over at its end (on_air); before deciding it asks the sink when
// the channel is idle (carrier sense). A sink that knows no medium takes
// every frame at once and never finds the channel busy.
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
    std::vector<uint8_t> bytes; // the 802.11 frame, header to body, without FCS
    uint8_t rate = 0;           // 500 kb/s units: 2, 4, 11, 22
    uint8_t channel = 0;        // 1-14
    bool short_preamble = false;
    uint8_t signal = 0;    // level at the receiver (the medium sets it per radio)
    uint64_t start_us = 0; // virtual time the preamble began
    uint64_t end_us = 0;   // virtual time the last bit (FCS included) left the antenna

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
    // The frame is decided: it will occupy the channel from start_us to end_us.
    virtual void on_air_begin(const AirFrame &) {}
    // The first time from `t` on at which `channel` stays idle for `us`.
    virtual uint64_t idle_at(uint8_t, uint64_t t, uint32_t) { return t; }
};

// The receiving side of a radio: the medium hands it every frame that
// reaches it (its channel, not its own), at the frame's end_us.
class Radio {
public:
    virtual ~Radio() = default;
    virtual uint8_t radio_channel() const = 0;
    virtual void radio_receive(const AirFrame &frame) = 0;
    // A frame on the radio's channel that reached it damaged (a collision, a
    // flipped bit): the receiver sees only a bad frame check sequence.
    virtual void radio_bad_frame(const AirFrame &) {}
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
    void on_air_begin(const AirFrame &frame) override {
        if (next_)
            next_->on_air_begin(frame);
    }
    uint64_t idle_at(uint8_t channel, uint64_t t, uint32_t us) override {
        return next_ ? next_->idle_at(channel, t, us) : t;
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
