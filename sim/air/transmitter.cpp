#include "air/transmitter.h"

#include "wire/ieee80211.h"
#include "wire/mgmt.h"

#include <algorithm>

namespace talsim {

void Transmitter::reset() {
    events_.cancel_all();
    jobs_.clear();
    cur_ = {};
    sending_ = waiting_ack_ = false;
    timeout_event_ = 0;
    busy_until_ = 0;
}

void Transmitter::send(TxJob job) {
    jobs_.push_back(std::move(job));
    if (!sending_)
        start(false);
}

// Puts the current MPDU of the front job on the air: now, after this
// radio's previous frame, or after the channel's traffic and a backoff.
void Transmitter::start(bool burst) {
    if (jobs_.empty())
        return;
    sending_ = true;
    TxJob &job = jobs_.front();
    uint8_t channel = channel_();
    uint32_t air_us = air_time_us((uint32_t)job.mpdus[cur_.mpdu].size() + kFcsBytes, job.rate,
                                  job.short_preamble);
    uint64_t t = std::max(world_.now(), busy_until_);
    if (acked_ && burst) {
        t = std::max(t, world_.now() + kSifsUs);
    } else if (!acked_ && sink_) {
        t = sink_->idle_at(channel, t, air_us); // no backoff, but no collision either
    } else if (acked_ && sink_) {
        uint64_t idle = sink_->idle_at(channel, t, air_us);
        if (idle > t || cur_.attempts > 0) {
            cur_.outcome.deferred |= idle > t;
            uint32_t cw = kCwMin;
            for (uint32_t i = 0; i < cur_.attempts && cw < kCwMax; ++i)
                cw = cw * 2 + 1;
            t = idle + kDifsUs + (rng_() % (cw + 1)) * kSlotUs;
            t = sink_->idle_at(channel, t, air_us); // the backoff counts only idle slots
        }
    }
    AirFrame f;
    f.bytes = job.mpdus[cur_.mpdu];
    auto start = wire::FrameStartView<uint8_t>::parse(f.bytes);
    if (cur_.attempts > 0 && start)
        start->set_frame_control((uint16_t)(start->frame_control() | wire::fc::Retry));
    f.rate = job.rate;
    f.short_preamble = job.short_preamble;
    f.channel = channel;
    f.start_us = t;
    f.end_us = t + air_us;
    busy_until_ = f.end_us;
    ++cur_.attempts;
    if (sink_)
        sink_->on_air_begin(f);
    events_.at(f.end_us, [this, f = std::move(f)]() mutable { ended(std::move(f)); });
}

void Transmitter::ended(AirFrame frame) {
    TxJob &job = jobs_.front();
    put_(&job, frame);
    if (!acked_ || !job.directed) {
        mpdu_ok();
        return;
    }
    waiting_ack_ = true;
    uint64_t deadline =
        frame.end_us + kSifsUs + ack_air_us(frame.rate, frame.short_preamble) + kSlotUs;
    uint64_t token = ++timeout_event_;
    events_.at(deadline, [this, token] {
        if (waiting_ack_ && token == timeout_event_)
            timed_out();
    });
}

bool Transmitter::on_ack() {
    if (!waiting_ack_)
        return false;
    waiting_ack_ = false;
    ++timeout_event_; // the pending timeout no longer counts
    mpdu_ok();
    return true;
}

void Transmitter::mpdu_ok() {
    if (++cur_.mpdu < jobs_.front().mpdus.size()) {
        cur_.attempts = 0;
        start(true);
        return;
    }
    finish(true);
}

void Transmitter::timed_out() {
    waiting_ack_ = false;
    if (cur_.attempts >= kRetryLimit) {
        finish(false);
        return;
    }
    ++cur_.outcome.retries;
    start(false);
}

void Transmitter::finish(bool delivered) {
    TxJob job = std::move(jobs_.front());
    jobs_.pop_front();
    TxOutcome outcome = cur_.outcome;
    outcome.delivered = delivered;
    cur_ = {};
    sending_ = false;
    if (job.done)
        job.done(outcome);
    if (!sending_)
        start(false);
}

void Transmitter::send_ack(const wire::MacAddr &ra, uint8_t rate, bool short_preamble) {
    AirFrame f;
    f.bytes = wire::Ack{ra}.to_bytes();
    f.rate = ack_rate(rate);
    f.short_preamble = short_preamble && f.rate > 2;
    f.channel = channel_();
    f.start_us = world_.now() + kSifsUs;
    f.end_us = f.start_us + air_time_us(kAckBytes, f.rate, f.short_preamble);
    busy_until_ = std::max(busy_until_, f.end_us);
    if (sink_)
        sink_->on_air_begin(f);
    events_.at(f.end_us, [this, f = std::move(f)] { put_(nullptr, f); });
}

} // namespace talsim
