// The shared medium's delivery chain: every (frame, receiver) pair either
// reaches the receiver or is dropped for one named reason, counted and
// traced; damaged frames reach the receiver as a bad FCS; carrier sense
// answers from the frames radios announced.
#include "air/medium.h"

#include "world.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;

struct Ear : Radio {
    uint8_t channel;
    std::vector<AirFrame> heard, bad;
    explicit Ear(uint8_t c) : channel(c) {}
    uint8_t radio_channel() const override { return channel; }
    void radio_receive(const AirFrame &f) override { heard.push_back(f); }
    void radio_bad_frame(const AirFrame &f) override { bad.push_back(f); }
};

AirFrame frame(uint64_t start, uint64_t end, uint8_t channel = 6, uint16_t duration = 0) {
    AirFrame f;
    f.bytes = {0x08, 0x00, (uint8_t)duration, (uint8_t)(duration >> 8), 1, 2, 3, 4, 5, 6, 7, 8};
    f.channel = channel;
    f.rate = 22;
    f.start_us = start;
    f.end_us = end;
    return f;
}

TEST(MediumChain, EachDropHasOneReasonCountedAndTraced) {
    struct Case {
        const char *name;
        uint8_t receiver_channel;
        bool sender_out, receiver_out, overlap;
        uint32_t loss_ppm, corruption_ppm;
        std::optional<Drop> why;
    } cases[] = {
        {"delivered", 6, false, false, false, 0, 0, std::nullopt},
        {"other channel", 11, false, false, false, 0, 0, Drop::OtherChannel},
        {"sender out of range", 6, true, false, false, 0, 0, Drop::OutOfRange},
        {"receiver out of range", 6, false, true, false, 0, 0, Drop::OutOfRange},
        {"collision with another radio's frame", 6, false, false, true, 0, 0, Drop::Collision},
        {"lost", 6, false, false, false, 1000000, 0, Drop::Lost},
        {"corrupted", 6, false, false, false, 0, 1000000, Drop::Corrupted},
        {"the channel before everything else", 11, true, false, true, 1000000, 1000000,
         Drop::OtherChannel},
        {"range before collision and loss", 6, false, true, true, 1000000, 0, Drop::OutOfRange},
        {"collision before loss", 6, false, false, true, 1000000, 1000000, Drop::Collision},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        talhost::World world;
        Medium medium(world);
        LossFilter loss(1, c.loss_ppm);
        CorruptionFilter corrupt(2, c.corruption_ppm);
        AirTrace trace;
        medium.add_filter(&loss);
        medium.add_filter(&corrupt);
        medium.set_trace(&trace);
        Ear sender(6), receiver(c.receiver_channel), other(3);
        AirSink *port = medium.attach(&sender);
        medium.attach(&receiver);
        AirSink *other_port = medium.attach(&other);
        medium.set_in_range(&sender, !c.sender_out);
        medium.set_in_range(&receiver, !c.receiver_out);
        if (c.overlap)
            other_port->on_air_begin(frame(150, 400));

        AirFrame f = frame(100, 300);
        port->on_air_begin(f);
        port->on_air(f);

        MediumStats expect;
        expect.frames = 1;
        if (c.why)
            expect.dropped[(size_t)*c.why] = 1;
        else
            expect.delivered = 1;
        expect.dropped[(size_t)Drop::OtherChannel] += 1; // the third radio listens on channel 3
        EXPECT_EQ(medium.stats().delivered, expect.delivered);
        EXPECT_EQ(medium.stats().dropped, expect.dropped);
        bool damaged = c.why == Drop::Collision || c.why == Drop::Corrupted;
        EXPECT_EQ(receiver.heard.size(), c.why ? 0u : 1u);
        EXPECT_EQ(receiver.bad.size(), damaged ? 1u : 0u);
        ASSERT_EQ(trace.entries().size(), 2u);
        EXPECT_EQ(trace.entries()[0].to, &receiver);
        EXPECT_EQ(trace.entries()[0].dropped, c.why);
        if (c.why == Drop::Corrupted) {
            int bits = 0;
            for (size_t i = 0; i < f.bytes.size(); ++i)
                bits += __builtin_popcount(f.bytes[i] ^ receiver.bad[0].bytes[i]);
            EXPECT_EQ(bits, 1) << "one bit flipped";
        }
    }
}

TEST(MediumChain, LinkRatesOverrideTheWholeMediumAndDrawFromTheSeed) {
    talhost::World world;
    Medium medium(world);
    Ear a(6), b(6), c(6);
    LossFilter loss(7, 0);
    medium.add_filter(&loss);
    loss.rates.set_link(&a, &b, 1000000);     // a to b: always lost
    loss.rates.set_link(nullptr, &c, 500000); // anyone to c: half
    AirSink *pa = medium.attach(&a);
    medium.attach(&b);
    medium.attach(&c);
    for (int i = 0; i < 1000; ++i)
        pa->on_air(frame(0, 0));
    EXPECT_TRUE(b.heard.empty());
    EXPECT_GT(c.heard.size(), 400u);
    EXPECT_LT(c.heard.size(), 600u);

    // The same seed and traffic lose the same frames.
    Medium again(world);
    Ear a2(6), b2(6), c2(6);
    LossFilter loss2(7, 0);
    again.add_filter(&loss2);
    loss2.rates.set_link(&a2, &b2, 1000000);
    loss2.rates.set_link(nullptr, &c2, 500000);
    AirSink *pa2 = again.attach(&a2);
    again.attach(&b2);
    again.attach(&c2);
    for (int i = 0; i < 1000; ++i)
        pa2->on_air(frame(0, 0));
    EXPECT_EQ(c2.heard.size(), c.heard.size());
}

TEST(MediumChain, CarrierSenseStepsPastAnnouncedFramesAndWhatTheirDurationReserves) {
    talhost::World world;
    Medium medium(world);
    Ear a(6), b(6);
    AirSink *pa = medium.attach(&a);
    AirSink *pb = medium.attach(&b);
    pa->on_air_begin(frame(100, 300, 6, 258)); // reserves its ACK: up to 558
    pa->on_air_begin(frame(600, 700, 6));
    pa->on_air_begin(frame(0, 5000, 11)); // another channel

    EXPECT_EQ(pb->idle_at(6, 50, 40), 50u) << "ends before the frame";
    EXPECT_EQ(pb->idle_at(6, 50, 60), 700u)
        << "would reach into the first frame, then into the second";
    EXPECT_EQ(pb->idle_at(6, 200, 10), 558u) << "inside the ACK's reservation";
    EXPECT_EQ(pb->idle_at(6, 558, 50), 700u) << "the next frame leaves no room";
    EXPECT_EQ(pb->idle_at(6, 558, 42), 558u);
    EXPECT_EQ(pa->idle_at(6, 200, 10), 200u) << "a radio's own frames do not hold it back";
}

} // namespace
