// The card model's receive side: frames reach it as the medium hands them
// over (radio_receive), and the host reads what the firmware made of them
// on the bus face: the receive event, register 0x20, the receive FID.
#include "air/medium.h"
#include "card/cardwep.h"
#include "support/bytes.h"
#include "support/card_bus.h"
#include "wire/ieee80211.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;
using Mac = wire::MacAddr;

const Mac kBssid{0x00, 0x60, 0x1D, 0x11, 0x22, 0x33};
const Mac kOwn{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01}; // the factory address
const Mac kPeer{0x00, 0xA0, 0xC9, 0x01, 0x02, 0x03};
const Mac kGroupIn{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
const Mac kGroupOut{0x01, 0x00, 0x5E, 0x00, 0x00, 0x02};
const Bytes kKey{1, 2, 3, 4, 5};

using taltest::operator+;
Bytes bytes(const Mac &m) {
    return Bytes(m.begin(), m.end());
}
Bytes snap_ip(size_t payload) {
    Bytes b{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    for (size_t i = 0; i < payload; ++i)
        b.push_back((uint8_t)(i * 3));
    return b;
}

// An 802.11 data frame on the air.
Bytes frame(uint16_t flags, const Mac &a1, const Mac &a2, const Mac &a3, const Bytes &body,
            uint16_t sequence = 5, uint8_t fragment = 0) {
    wire::MacHeader h{wire::fc::TypeData, 0, flags, 0, a1, a2, a3, sequence, fragment};
    return h.to_bytes() + body;
}
// From the access point to us, as infrastructure frames come.
Bytes from_ap(const Bytes &body, const Mac &dst = kOwn, uint16_t extra = 0, uint16_t seq = 5,
              uint8_t frag = 0) {
    return frame((uint16_t)(wire::fc::FromDs | extra), dst, kBssid, kPeer, body, seq, frag);
}

using Rx = taltest::RxFid;

class CardRx : public taltest::CardBusFixture {
protected:
    void up(bool infrastructure = true, uint16_t wep = 0) {
        card.records().set(rid::PortType, {(uint16_t)(infrastructure ? 1 : 0)});
        card.records().set(rid::WepFlags, {wep});
        card.records().set(rid::WepDefaultKey0, bytes_to_words(kKey + Bytes{0}));
        card.records().set(rid::MulticastList, bytes_to_words(bytes(kGroupIn)));
        card.join(kBssid);
        ASSERT_EQ(command(0x0001), result::Ok);
    }

    void hear(const Bytes &b) {
        AirFrame f;
        f.bytes = b;
        f.rate = 22;
        f.channel = card.radio_channel();
        f.start_us = f.end_us = world.now();
        card.radio_receive(f);
    }

    // The next receive FID, once the firmware has had time to deliver it.
    std::optional<Rx> take() {
        world.stall(card.timing().rx_deliver_us);
        return take_rx();
    }
};

// ---- The station filter ----

TEST_F(CardRx, StationFilterPassesOnlyFramesOfItsBssForIt) {
    const Mac other_bss{0x00, 0x60, 0x1D, 0x99, 0x99, 0x99};
    const Bytes body = snap_ip(20);
    struct Case {
        const char *name;
        bool infrastructure;
        Bytes air;
        bool passes;
    } cases[] = {
        {"from the AP to us", true, from_ap(body), true},
        {"from the AP, broadcast", true, from_ap(body, wire::kBroadcast), true},
        {"from the AP, listed group", true, from_ap(body, kGroupIn), true},
        {"from the AP, unlisted group", true, from_ap(body, kGroupOut), false},
        {"from the AP to another station", true, from_ap(body, kPeer), false},
        {"from another AP", true, frame(wire::fc::FromDs, kOwn, other_bss, kPeer, body), false},
        {"without FromDS", true, frame(0, kOwn, kBssid, kBssid, body), false},
        {"ToDS from a station", true, frame(wire::fc::ToDs, kBssid, kPeer, kOwn, body), false},
        {"ad hoc, our cell", false, frame(0, kOwn, kPeer, kBssid, body), true},
        {"ad hoc, broadcast", false, frame(0, wire::kBroadcast, kPeer, kBssid, body), true},
        {"ad hoc, another cell", false, frame(0, kOwn, kPeer, other_bss, body), false},
        {"ad hoc, FromDS", false, frame(wire::fc::FromDs, kOwn, kBssid, kBssid, body), false},
        {"management frame", true,
         wire::MacHeader{wire::fc::TypeMgmt, 8, wire::fc::FromDs, 0, kOwn, kBssid, kPeer}
                 .to_bytes() +
             body,
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        up(c.infrastructure);
        hear(c.air);
        EXPECT_EQ(take().has_value(), c.passes);
    }
    card.reset();
    hear(from_ap(body)); // port disabled
    EXPECT_FALSE(take().has_value());
}

// ---- The receive frame ----

TEST_F(CardRx, ReceiveFrameCarriesTheHeaderAndAnEthernetHeaderByTheDsBits) {
    up();
    Bytes air = from_ap(snap_ip(30), kOwn, 0, 0x2AB);
    hear(air);
    auto rx = take();
    ASSERT_TRUE(rx);
    ASSERT_EQ(rx->bytes.size(), 0x3Cu + 38u);
    EXPECT_EQ(rx->status(), 0x2000) << "RFC 1042 body";
    EXPECT_EQ(rx->bytes[0x09], 110) << "11 Mb/s in 100 kb/s";
    EXPECT_EQ(Bytes(rx->bytes.begin() + 0x0E, rx->bytes.begin() + 0x26),
              Bytes(air.begin(), air.begin() + 24));
    EXPECT_EQ(rx->data_len(), 38);
    EXPECT_EQ(Bytes(rx->bytes.begin() + 0x2E, rx->bytes.begin() + 0x3C),
              bytes(kOwn) + bytes(kPeer) + Bytes({0x00, 38}))
        << "FromDS: destination Address1, source Address3, length big-endian";
    EXPECT_EQ(rx->body(), snap_ip(30));

    // The other DS combinations, seen in monitor mode, which takes anything.
    const Mac a1{1, 1, 1, 1, 1, 1}, a2{2, 2, 2, 2, 2, 2}, a3{3, 3, 3, 3, 3, 3},
        a4{4, 4, 4, 4, 4, 4};
    struct Case {
        uint16_t ds;
        Mac dst, src;
    } cases[] = {{0, a1, a2},
                 {wire::fc::ToDs, a3, a2},
                 {wire::fc::FromDs, a1, a3},
                 {wire::fc::ToDs | wire::fc::FromDs, a3, a4}};
    ASSERT_EQ(command(0x0B38), result::Ok);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ds);
        bool four = c.ds == (wire::fc::ToDs | wire::fc::FromDs);
        hear(frame(c.ds, a1, a2, a3, Bytes{}) + (four ? bytes(a4) : Bytes{}) +
             Bytes{0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8, 1, 2});
        auto m = take();
        ASSERT_TRUE(m);
        EXPECT_EQ(Bytes(m->bytes.begin() + 0x2E, m->bytes.begin() + 0x3A),
                  bytes(c.dst) + bytes(c.src));
        EXPECT_EQ(m->status(), 0) << "monitor mode classifies nothing";
    }
}

TEST_F(CardRx, OneReceiveEventPerFidAndTheAcknowledgementReleasesIt) {
    up();
    hear(from_ap(snap_ip(10), kOwn, 0, 1));
    hear(from_ap(snap_ip(20), kOwn, 0, 2));
    world.stall(card.timing().rx_deliver_us);
    uint16_t first = rd(reg::RxFid);
    EXPECT_EQ(card.rx_waiting(), 2u);
    // Acknowledging anything else leaves the FID where it is.
    wr(reg::EvAck, ev::Alloc);
    EXPECT_EQ(rd(reg::RxFid), first);

    auto a = take();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->fid, first);
    EXPECT_FALSE(card.frames().allocated(first)) << "released by the acknowledgement";
    EXPECT_TRUE(rd(reg::EvStat) & ev::Rx) << "the next FID's event rose with it";
    auto b = take();
    ASSERT_TRUE(b);
    EXPECT_NE(b->fid, first);
    EXPECT_EQ(b->data_len(), 28);
    EXPECT_FALSE(take());
    EXPECT_EQ(card.rx_waiting(), 0u);
}

TEST_F(CardRx, FullPoolDropsFramesAndCountsThem) {
    up();
    size_t room = card.frames().free_count();
    for (size_t i = 0; i < room + 3; ++i)
        hear(from_ap(snap_ip(10), kOwn, 0, (uint16_t)i));
    EXPECT_EQ(card.rx_stats().no_buffer, 3u);
    EXPECT_EQ(card.rx_waiting(), room);
}

// ---- WEP, duplicates, reassembly ----

TEST_F(CardRx, WepOnReceiveFollowsTheFlagsWord) {
    const Bytes plain = snap_ip(40);
    Bytes good = card_wep_seal(0x10203, 0, kKey, plain);
    Bytes bad = good;
    bad[10] ^= 1;
    const uint16_t fw = wepflag::Privacy, host = wepflag::Privacy | wepflag::HostDecrypt;
    struct Case {
        const char *name;
        uint16_t flags;
        Bytes body;
        bool is_protected;
        std::optional<Bytes> up_body; // nullopt: dropped
        uint16_t status;
    } cases[] = {
        {"opened by the firmware", fw, good, true, plain, 0x2000},
        {"ICV mismatch dropped", fw, bad, true, std::nullopt, 0},
        {"host decrypts: as on the air", host, good, true, good, 0},
        {"protected with privacy off dropped", 0, good, true, std::nullopt, 0},
        {"plain with privacy on", fw, plain, false, plain, 0x2000},
        {"plain excluded", fw | wepflag::ExcludeUnencrypted, plain, false, std::nullopt, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        up(true, c.flags);
        hear(from_ap(c.body, kOwn, c.is_protected ? wire::fc::Protected : 0));
        auto rx = take();
        ASSERT_EQ(rx.has_value(), c.up_body.has_value());
        if (rx) {
            EXPECT_EQ(rx->body(), *c.up_body);
            EXPECT_EQ(rx->status(), c.status);
        }
    }
    EXPECT_EQ(card.rx_stats().undecryptable, 2u);
    EXPECT_EQ(card.rx_stats().unencrypted, 1u);
}

TEST_F(CardRx, RetransmissionOfTheLastFrameIsADuplicate) {
    up();
    Bytes body = snap_ip(10);
    hear(from_ap(body, kOwn, 0, 40));
    hear(from_ap(body, kOwn, wire::fc::Retry, 40)); // the same again: dropped
    hear(from_ap(body, kOwn, wire::fc::Retry, 41)); // a retry of a frame we missed
    hear(from_ap(body, kOwn, 0, 41));               // no retry bit: a new frame
    EXPECT_EQ(card.rx_stats().duplicates, 1u);
    EXPECT_EQ(card.rx_waiting(), 3u);
}

TEST_F(CardRx, FragmentsAreReassembledUnlessTheHostDecrypts) {
    const Bytes whole = snap_ip(700);
    const Bytes p0(whole.begin(), whole.begin() + 300),
        p1(whole.begin() + 300, whole.begin() + 600), p2(whole.begin() + 600, whole.end());
    const uint16_t more = wire::fc::MoreFragments;
    up();
    hear(from_ap(p0, kOwn, more, 9, 0));
    hear(from_ap(p1, kOwn, more, 9, 1));
    hear(from_ap(p2, kOwn, 0, 9, 2));
    auto rx = take();
    ASSERT_TRUE(rx);
    EXPECT_EQ(rx->body(), whole);
    EXPECT_EQ(rx->bytes[0x0F] & 0x04, 0) << "more-fragments cleared";
    EXPECT_EQ(rx->bytes[0x24] & 0x0F, 0) << "fragment number cleared";
    EXPECT_EQ(rx->status(), 0x2000);
    EXPECT_FALSE(take());

    // A gap drops the partial frame.
    hear(from_ap(p0, kOwn, more, 10, 0));
    hear(from_ap(p2, kOwn, 0, 10, 2));
    EXPECT_FALSE(take());
    // So does a fragment of another frame.
    hear(from_ap(p0, kOwn, more, 12, 0));
    hear(from_ap(p1, kOwn, 0, 13, 1));
    EXPECT_FALSE(take());
    EXPECT_EQ(card.rx_stats().reassembly_dropped, 2u);

    // Protected fragments the host opens go up one by one, as on the air.
    card.reset();
    up(true, wepflag::Privacy | wepflag::HostDecrypt);
    Bytes s0 = card_wep_seal(1, 0, kKey, p0), s1 = card_wep_seal(2, 0, kKey, p1);
    hear(from_ap(s0, kOwn, more | wire::fc::Protected, 11, 0));
    hear(from_ap(s1, kOwn, wire::fc::Protected, 11, 1));
    auto f0 = take(), f1 = take();
    ASSERT_TRUE(f0 && f1);
    EXPECT_EQ(f0->body(), s0);
    EXPECT_EQ(f1->body(), s1);
    EXPECT_EQ(f1->bytes[0x24] & 0x0F, 1);
}

// ---- Monitor mode ----

TEST_F(CardRx, MonitorModeTakesEveryFrameAsItWasOnTheAir) {
    up();
    ASSERT_EQ(command(0x0B38), result::Ok);
    EXPECT_TRUE(card.monitor_mode());
    const Mac other_bss{9, 9, 9, 9, 9, 9};
    Bytes sealed = card_wep_seal(7, 0, kKey, snap_ip(8));
    Bytes beacon =
        wire::MacHeader{wire::fc::TypeMgmt, 8, 0, 0, wire::kBroadcast, other_bss, other_bss}
            .to_bytes() +
        Bytes{1, 2, 3, 4};
    hear(beacon);
    hear(frame(wire::fc::Protected, kPeer, kPeer, other_bss, sealed));
    auto b = take(), s = take();
    ASSERT_TRUE(b && s);
    EXPECT_EQ(Bytes(b->bytes.begin() + 0x0E, b->bytes.begin() + 0x26),
              Bytes(beacon.begin(), beacon.begin() + 24));
    EXPECT_EQ(b->body(), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(s->body(), sealed) << "not decrypted";

    ASSERT_EQ(command(0x0F38), result::Ok);
    hear(beacon);
    EXPECT_FALSE(take());
    EXPECT_EQ(command(0x0C38), result::BadParameter) << "an unknown test code";
}

} // namespace

namespace {

// ---- The medium ----

struct Ear : Radio {
    uint8_t channel;
    std::vector<AirFrame> heard;
    explicit Ear(uint8_t c) : channel(c) {}
    uint8_t radio_channel() const override { return channel; }
    void radio_receive(const AirFrame &f) override { heard.push_back(f); }
};

TEST(Medium, FrameReachesEveryOtherRadioOnItsChannelAndTheObserverOnce) {
    talhost::World world;
    Medium medium(world);
    AirRecorder observer;
    medium.set_observer(&observer);
    Ear sender(6), same(6), other(11);
    AirSink *port = medium.attach(&sender);
    medium.attach(&same);
    medium.attach(&other);

    AirFrame f;
    f.bytes = {1, 2, 3};
    f.channel = 6;
    port->on_air(f);
    EXPECT_TRUE(sender.heard.empty()) << "a radio does not hear itself";
    EXPECT_EQ(same.heard.size(), 1u);
    EXPECT_TRUE(other.heard.empty());
    EXPECT_EQ(observer.frames().size(), 1u);
    EXPECT_EQ(medium.stats().of(Drop::OtherChannel), 1u);

    // A radio without a clock of its own: delivered at the frame's end.
    f.start_us = 100;
    f.end_us = 300;
    medium.transmit(&other, f);
    world.run_until(299);
    EXPECT_EQ(same.heard.size(), 1u);
    world.run_until(300);
    EXPECT_EQ(same.heard.size(), 2u);
    EXPECT_EQ(sender.heard.size(), 1u);

    medium.detach(&same);
    port->on_air(f);
    EXPECT_EQ(same.heard.size(), 2u) << "detached";
}

} // namespace
