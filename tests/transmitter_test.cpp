// The transmitter every radio of the world shares, on its own: when an
// acknowledgement still counts, when a frame goes again, and how long the
// sender keeps off the channel before it does.
#include "air/transmitter.h"
#include "wire/mgmt.h"

#include "world.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;

// A sink that sees announcements and frames and finds the channel idle.
struct Air : AirSink {
    std::vector<AirFrame> announced, put;
    void on_air(const AirFrame &f) override { put.push_back(f); }
    void on_air_begin(const AirFrame &f) override { announced.push_back(f); }
};

TxJob directed_job(std::optional<TxOutcome> &outcome) {
    TxJob job;
    job.mpdus = {Bytes(60, 0x08)};
    job.mpdus[0][1] = 0x01;
    job.rate = 22;
    job.directed = true;
    job.done = [&outcome](const TxOutcome &o) { outcome = o; };
    return job;
}

TEST(Transmitter,
     AnAckCountsUntilOneSlotAfterItsLatestEndAndAFrameWithoutOneGoesAgainAfterABackoff) {
    const uint32_t ack_window = kSifsUs + ack_air_us(22, false) + kSlotUs;
    struct Case {
        const char *name;
        std::optional<uint32_t> ack_after_end; // when the ACK arrives, after the frame's end
        bool retried;
    } cases[] = {
        {"at the ACK's own end", kSifsUs + ack_air_us(22, false), false},
        {"at the last moment", ack_window - 1, false},
        {"too late", ack_window + 1, true},
        {"never", std::nullopt, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        talhost::World world;
        Air air;
        Transmitter tx(
            world, 5, [&air](const TxJob *, const AirFrame &f) { air.on_air(f); },
            [] { return (uint8_t)6; });
        tx.set_sink(&air);
        tx.set_acknowledged(true);
        std::optional<TxOutcome> outcome;
        tx.send(directed_job(outcome));
        ASSERT_EQ(air.announced.size(), 1u);
        uint64_t end = air.announced[0].end_us;
        if (c.ack_after_end)
            world.schedule_at(end + *c.ack_after_end, talhost::EventKind::Device,
                              [&tx] { tx.on_ack(); });
        world.run_until(end + ack_window + kDifsUs + kCwMax * kSlotUs);
        ASSERT_GE(air.announced.size(), 1u);
        EXPECT_EQ(air.announced.size() > 1, c.retried);
        if (c.retried) {
            const AirFrame &again = air.announced[1];
            EXPECT_GE(again.start_us, end + ack_window + kDifsUs)
                << "DIFS and a backoff after the timeout";
            EXPECT_LE(again.start_us, end + ack_window + kDifsUs + 63 * kSlotUs)
                << "CW 63 for the first retry";
            EXPECT_EQ(again.bytes[1], 0x09) << "the retry bit";
        } else {
            ASSERT_TRUE(outcome);
            EXPECT_TRUE(outcome->delivered);
            EXPECT_EQ(outcome->retries, 0u);
        }
    }
}

} // namespace
