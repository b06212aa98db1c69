// The transmit side of an 802.11 MAC, shared by the card's firmware and the
// access points: a queue of jobs (one MSDU: its MPDUs, whole 802.11 frames
// without FCS, the fragments of one frame in order), sent one MPDU at a
// time on the virtual clock.
//
// Without acknowledgements (set_acknowledged(false), the card's default
// when no radio world surrounds it) an MPDU starts when the radio is free
// (at once, or when its previous frame ends) and the channel is idle for
// its air time, without backoff, and counts as delivered at its end;
// nothing listens for acknowledgements and nothing is retried.
//
// With acknowledgements (the radio world's rule):
// - Carrier sense: an MPDU that opens a job starts at once when the
//   channel is idle for its air time (AirSink::idle_at); when the sink finds
//   it busy, the job is deferred (counted once) and starts DIFS (50 us) plus
//   a random backoff of 0 to CW slots (20 us) after the channel goes idle
//   (and later if that time is taken too), CW = 31 for the first attempt
//   and 2 CW + 1 for each retry up to 1023; a retry always backs off. The next fragment of a
//   burst follows the previous fragment's acknowledgement after SIFS
//   (10 us) without contention.
// - A directed MPDU waits for its acknowledgement: an ACK control frame
//   addressed to this radio (the owner passes it to on_ack()) that ends by
//   the timeout, SIFS + the ACK's air time at the basic rate + one slot
//   after the MPDU's end. Without it the MPDU goes again with the retry bit
//   set, the same bytes otherwise (sequence, fragment number, IV), until it
//   has gone kRetryLimit times in all (the short retry limit, 7); then the
//   job fails and its remaining fragments are dropped. A group MPDU takes
//   no acknowledgement and is never retried.
// - send_ack() answers a received directed frame: an ACK frame (frame
//   control D4 00, duration 0, receiver address) SIFS after the frame's end,
//   at the basic rate of the frame's rate, without carrier sense.
//
// The basic rate that acknowledges a frame is 2 Mb/s for frames at 2 Mb/s
// and above and 1 Mb/s for 1 Mb/s frames; a data frame's duration field
// (ack_duration()) reserves SIFS plus that ACK, short preamble when the frame
// had one and the ACK's rate allows it.
#pragma once

#include "air/airport.h"
#include "air/events.h"
#include "wire/bytes.h"

#include "world.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <random>
#include <vector>

namespace talsim {

inline constexpr uint32_t kSifsUs = 10;
inline constexpr uint32_t kSlotUs = 20;
inline constexpr uint32_t kDifsUs = kSifsUs + 2 * kSlotUs;
inline constexpr uint32_t kAckBytes = 14;  // with its FCS
inline constexpr uint32_t kRetryLimit = 7; // transmissions of one MPDU in all
inline constexpr uint32_t kCwMin = 31;
inline constexpr uint32_t kCwMax = 1023;

// The basic rate (500 kb/s units) an acknowledgement of a frame at `rate` uses.
inline uint8_t ack_rate(uint8_t rate) {
    return rate >= 4 ? 4 : 2;
}
inline uint32_t ack_air_us(uint8_t rate, bool short_preamble) {
    uint8_t r = ack_rate(rate);
    return air_time_us(kAckBytes, r, short_preamble && r > 2);
}
// The duration field of a directed frame: SIFS and the acknowledgement.
inline uint16_t ack_duration(uint8_t rate, bool short_preamble) {
    return (uint16_t)(kSifsUs + ack_air_us(rate, short_preamble));
}

struct TxOutcome {
    bool delivered = false; // every MPDU acknowledged (or needing none)
    uint32_t retries = 0;   // retransmissions over all the MPDUs
    bool deferred = false;  // carrier sense found the channel busy
};

struct TxJob {
    std::vector<std::vector<uint8_t>> mpdus;
    uint8_t rate = 22;
    bool short_preamble = false;
    bool directed = false; // the receiver acknowledges each MPDU
    uint16_t tag = 0;      // the owner's (the card's FID)
    std::function<void(const TxOutcome &)> done;
};

class Transmitter {
public:
    // `put` hands a frame to the air at its end (the owner counts and
    // forwards it to its sink); `job` is null for an ACK.
    using Put = std::function<void(const TxJob *job, const AirFrame &frame)>;

    // `channel` tells the channel the radio is tuned to when a frame starts.
    Transmitter(talhost::World &world, uint64_t seed, Put put, std::function<uint8_t()> channel)
        : world_(world), events_(world), rng_(seed), put_(std::move(put)),
          channel_(std::move(channel)) {}
    Transmitter(const Transmitter &) = delete;
    Transmitter &operator=(const Transmitter &) = delete;

    void set_sink(AirSink *sink) { sink_ = sink; }
    AirSink *sink() const { return sink_; }
    void set_acknowledged(bool on) { acked_ = on; }
    bool acknowledged() const { return acked_; }

    void send(TxJob job);
    void send_ack(const wire::MacAddr &ra, uint8_t rate, bool short_preamble);
    // An ACK addressed to this radio arrived; true if an MPDU waited for it.
    bool on_ack();
    // Drops every job (their `done` is not called) and every pending event.
    void reset();
    bool idle() const { return jobs_.empty(); }
    size_t queued() const { return jobs_.size(); }

private:
    struct Current {
        size_t mpdu = 0;
        uint32_t attempts = 0; // of the current MPDU
        TxOutcome outcome;
    };
    void start(bool burst);
    void ended(AirFrame frame);
    void mpdu_ok();
    void timed_out();
    void finish(bool delivered);

    talhost::World &world_;
    EventScope events_;
    std::mt19937_64 rng_;
    Put put_;
    std::function<uint8_t()> channel_;
    AirSink *sink_ = nullptr;
    bool acked_ = false;
    std::deque<TxJob> jobs_;
    Current cur_;
    bool sending_ = false; // the front job's MPDU is on the air or awaits its ACK
    bool waiting_ack_ = false;
    uint64_t timeout_event_ = 0;
    uint64_t busy_until_ = 0; // this radio's last frame ends
};

} // namespace talsim
