// The card's station firmware in the radio world, read on the bus face as
// a host reads it: information frames (link status, scan results,
// tallies) in the information FID with the information event, and the
// live status records; the medium's delivery chain; the access points.
#include "air/radioworld.h"
#include "card/cardwep.h"
#include "support/bytes.h"
#include "support/card_bus.h"
#include "support/info_frames.h"
#include "wire/inet.h"
#include "wire/mgmt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;
using Mac = wire::MacAddr;
using Words = std::vector<uint16_t>;

const Mac kOwn{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01}; // the factory address
const Mac kTalNet{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};
const Mac kHarbour{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x02};
const Mac kLighthouse{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x03};
const Mac kHostMac{0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02};
const Bytes kKeys[4] = {{0x01, 0x02, 0x03, 0x04, 0x05},
                        {0xA1, 0xB2, 0xC3, 0xD4, 0xE5},
                        {0xDE, 0xAD, 0xBE, 0xEF, 0x00},
                        {0x11, 0x22, 0x33, 0x44, 0xCC}};
constexpr uint64_t kMs = 1000;

using taltest::operator+;

Words ssid_record(const std::string &s) {
    Bytes b(s.begin(), s.end());
    b.resize(32, 0);
    Words w{(uint16_t)s.size()};
    for (uint16_t x : bytes_to_words(b))
        w.push_back(x);
    return w;
}

struct Station {
    std::string ssid = "TalNet";
    uint16_t auth = 2;     // record 0xFC2A: 1 open, 2 shared key
    uint16_t wep = 0x0091; // privacy, the host seals and opens (as examples/adapter.reg)
    Bytes key0 = kKeys[0];
    uint16_t port_type = 1;
};

class WorldCard : public taltest::CardBusFixture {
protected:
    void build(const WorldConfig &config = default_world()) {
        air = std::make_unique<RadioWorld>(world, config);
        air->attach(card);
    }

    // The configuration a driver writes, then enable.
    void enable(const Station &s = {}) {
        card.records().set(rid::PortType, {s.port_type});
        card.records().set(rid::DesiredSsid, ssid_record(s.ssid));
        card.records().set(rid::AuthType, {s.auth, 0, 0});
        card.records().set(rid::WepFlags, {s.wep});
        card.records().set(rid::WepDefaultKeyId, {0});
        card.records().set(rid::WepDefaultKey0, bytes_to_words(s.key0 + Bytes{0}));
        for (uint16_t i = 1; i < 4; ++i)
            card.records().set((uint16_t)(rid::WepDefaultKey0 + i),
                               bytes_to_words(kKeys[i] + Bytes{0}));
        ASSERT_EQ(command(0x0001), result::Ok);
    }

    // Link status frames through the bus face, as a host reads them.
    std::vector<uint16_t> link_codes(uint64_t us) { return reader.link_codes(us); }

    Mac current_bssid() {
        Bytes b = words_to_bytes(*card.records().data(rid::CurrentBssid));
        Mac m;
        std::copy_n(b.begin(), 6, m.begin());
        return m;
    }

    std::unique_ptr<RadioWorld> air;
    taltest::InfoReader reader{bus, world, kBase};
};

TEST_F(WorldCard, JoinOutcomesFollowTheNetworkItsKeyAndItsRules) {
    struct Case {
        const char *name;
        Station station;
        bool refuse = false;
        uint16_t first_code;
        Mac bssid; // joined, when connected
        uint16_t channel;
    } cases[] = {
        {"shared key with the network's key", {}, false, linkstatus::Connected, kTalNet, 6},
        {"any network: the strongest", {.ssid = ""}, false, linkstatus::Connected, kTalNet, 6},
        {"open network without WEP",
         {.ssid = "Harbour", .auth = 1, .wep = 0},
         false,
         linkstatus::Connected,
         kHarbour,
         1},
        {"shared key with a wrong key",
         {.key0 = {1, 2, 3, 4, 6}},
         false,
         linkstatus::AssocFailed,
         {},
         0},
        {"open system to a shared-key AP", {.auth = 1}, false, linkstatus::AssocFailed, {}, 0},
        {"no privacy asked of a WEP AP",
         {.ssid = "Lighthouse", .auth = 1, .wep = 0},
         false,
         linkstatus::AssocFailed,
         {},
         0},
        {"association refused", {}, true, linkstatus::AssocFailed, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        WorldConfig w = default_world();
        w.aps[0].refuse_association = c.refuse;
        build(w);
        enable(c.station);
        std::vector<uint16_t> codes = link_codes(1500 * kMs);
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes[0], c.first_code);
        if (c.first_code == linkstatus::Connected) {
            EXPECT_EQ(codes.size(), 1u);
            EXPECT_EQ(current_bssid(), c.bssid);
            EXPECT_EQ(*card.records().data(rid::CurrentSsid),
                      ssid_record(air->ap(c.bssid)->config().ssid));
            EXPECT_EQ(card.records().word(rid::CurrentChannel, 0), c.channel);
            EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::EssConnected);
            uint16_t signal = air->ap(c.bssid)->config().signal;
            EXPECT_EQ(*card.records().data(rid::CommsQuality),
                      (Words{(uint16_t)(signal - 10), signal, 10}))
                << "quality, signal and the noise level of 10";
            EXPECT_TRUE(air->ap(c.bssid)->associated(kOwn));
        } else {
            EXPECT_EQ(std::count(codes.begin(), codes.end(), linkstatus::Connected), 0);
            EXPECT_EQ(current_bssid(), Mac{});
            EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::Searching);
        }
        air.reset();
    }
    EXPECT_EQ(card.device_error_count(), 0u);
}

TEST_F(WorldCard, LinkComesAndGoesWithRangeRoamingAndDeauthentication) {
    struct Case {
        const char *name;
        std::string world;
        uint64_t deauth_at_ms; // 0: none
        std::vector<uint16_t> codes;
        Mac end_bssid;
    } cases[] = {
        {"out of range and back",
         R"([[ap]]
bssid = "00:0b:0e:aa:00:01"
ssid = "TalNet"
channel = 6
out_of_range = [[600, 1600]])",
         0,
         {1, 4, 5},
         kTalNet},
        {"roams when its AP goes",
         R"([[ap]]
bssid = "00:0b:0e:aa:00:01"
ssid = "TalNet"
channel = 6
signal = 60
out_of_range = [[600, 4000]]
[[ap]]
bssid = "00:0b:0e:aa:00:03"
ssid = "TalNet"
channel = 11
signal = 30)",
         0,
         {1, 3},
         kLighthouse},
        {"deauthenticated, then joins again",
         R"([[ap]]
bssid = "00:0b:0e:aa:00:01"
ssid = "TalNet"
channel = 6)",
         600,
         {1, 2, 1},
         kTalNet},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        std::string error;
        auto w = parse_world(c.world, "case.toml", error);
        ASSERT_TRUE(w) << error;
        build(*w);
        enable({.auth = 1, .wep = 0});
        if (c.deauth_at_ms)
            world.schedule_in(c.deauth_at_ms * kMs, talhost::EventKind::Device,
                              [this] { air->ap(kTalNet)->deauthenticate(kOwn); });
        EXPECT_EQ(link_codes(3000 * kMs), c.codes);
        EXPECT_EQ(current_bssid(), c.end_bssid);
        EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::EssConnected);
        air.reset();
    }
}

// ---- Traffic: what the card sends and hears, counted ----

Bytes snap(uint16_t ethertype, const Bytes &payload) {
    return Bytes{
               0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, (uint8_t)(ethertype >> 8), (uint8_t)ethertype} +
           payload;
}

Bytes arp_request(const wire::Ipv4Addr &from, const wire::Ipv4Addr &who) {
    return snap(wire::kEtherTypeArp, wire::Arp{wire::arp::Request, kOwn, from, {}, who}.to_bytes());
}

Bytes echo_request(const wire::Ipv4Addr &from, const wire::Ipv4Addr &to, uint16_t seq,
                   size_t data) {
    wire::IcmpEcho e{wire::icmp::EchoRequest, 0, 0x7A1, seq, {}};
    for (size_t i = 0; i < data; ++i)
        e.data.push_back((uint8_t)(i * 13 + seq));
    Bytes icmp = e.to_bytes();
    wire::Ipv4 ip;
    ip.total_length = (uint16_t)(20 + icmp.size());
    ip.id = seq;
    ip.src = from;
    ip.dst = to;
    return snap(wire::kEtherTypeIpv4, ip.to_bytes() + icmp);
}

const wire::Ipv4Addr kSelfIp{198, 51, 100, 10};
const wire::Ipv4Addr kHarbourHostIp{198, 51, 100, 1};
const Mac kHarbourHost{0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x12};
const wire::Ipv4Addr kTalNetHostIp{192, 0, 2, 1};
const Mac kB{0x02, 0x00, 0x54, 0x41, 0x4C, 0x0B}; // a second card's factory address

class WorldTraffic : public WorldCard {
protected:
    // Joined to `ssid`; the link status frame read.
    void joined(const Station &s) {
        build(world_config);
        enable(s);
        ASSERT_EQ(link_codes(500 * kMs), (std::vector<uint16_t>{linkstatus::Connected}));
    }

    // Hands the card one frame; returns the events that brought the buffer back.
    uint16_t send(const Mac &dst, const Bytes &body) {
        transmit(taltest::card_tx_frame(dst, kOwn, body));
        uint16_t events = rd(reg::EvStat) & (ev::Alloc | ev::TxExc);
        wr(reg::EvAck, events);
        EXPECT_EQ(rd(reg::AllocFid), tx_fid);
        return events;
    }

    // The bodies of every receive FID waiting, read and acknowledged.
    std::vector<Bytes> received() {
        std::vector<Bytes> out;
        while (auto rx = take_rx())
            out.push_back(rx->body());
        return out;
    }

    std::vector<uint32_t> tallies() {
        Words f = reader.inquire(info::Tallies);
        EXPECT_EQ(f.size(), 2u + 2 * kTallyCount);
        std::vector<uint32_t> t;
        for (size_t i = 2; i + 1 < f.size(); i += 2)
            t.push_back(f[i] | (uint32_t)f[i + 1] << 16);
        return t;
    }

    // A second card, B, on the same bus at 0x340 and in the same world.
    std::unique_ptr<CardModel> second_card() {
        FactoryData fb;
        fb.mac = kB;
        auto b = std::make_unique<CardModel>(world, fb);
        bus.map(0x340, kPortCount, b.get());
        air->attach(*b);
        return b;
    }
    void remove(CardModel &b) {
        air->detach(b);
        bus.unmap(&b);
    }

    WorldConfig world_config = default_world();
};

TEST_F(WorldTraffic, TalliesAfterAnExchangeCountWhatWentOutAndCameIn) {
    joined({.ssid = "Harbour", .auth = 1, .wep = 0});
    AirRecorder air_seen;
    air->medium().set_observer(&air_seen);
    Bytes arp = arp_request(kSelfIp, kHarbourHostIp);
    std::vector<Bytes> pings = {echo_request(kSelfIp, kHarbourHostIp, 1, 32),
                                echo_request(kSelfIp, kHarbourHostIp, 2, 100),
                                echo_request(kSelfIp, kHarbourHostIp, 3, 1000)};
    EXPECT_EQ(send(wire::kBroadcast, arp), ev::Alloc);
    for (const Bytes &p : pings)
        EXPECT_EQ(send(kHarbourHost, p), ev::Alloc);
    world.run_for(20 * kMs);

    std::vector<Bytes> got = received();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], arp) << "the access point relays a broadcast to its stations, the sender too";
    EXPECT_EQ(
        got[1],
        snap(wire::kEtherTypeArp,
             wire::Arp{wire::arp::Reply, kHarbourHost, kHarbourHostIp, kOwn, kSelfIp}.to_bytes()));
    for (size_t i = 0; i < 3; ++i) {
        auto ip =
            wire::Ipv4View<const uint8_t>::parse(std::span<const uint8_t>(got[2 + i]).subspan(8));
        ASSERT_TRUE(ip && ip->checksum_ok());
        EXPECT_EQ(ip->src(), kHarbourHostIp);
        EXPECT_EQ(ip->dst(), kSelfIp);
        auto echo = wire::IcmpEchoView<const uint8_t>::parse(ip->payload());
        ASSERT_TRUE(echo && echo->checksum_ok());
        wire::IcmpEcho asked = wire::IcmpEcho::parse(*wire::IcmpEchoView<const uint8_t>::parse(
            std::span<const uint8_t>(pings[i]).subspan(28)));
        asked.type = wire::icmp::EchoReply;
        EXPECT_EQ(wire::IcmpEcho::parse(*echo), asked);
    }

    uint32_t out_octets = 0, in_octets = 0;
    for (const Bytes &p : pings)
        out_octets += (uint32_t)p.size();
    for (size_t i = 1; i < 5; ++i)
        in_octets += (uint32_t)got[i].size();
    std::vector<uint32_t> expect(kTallyCount, 0);
    expect[0] = 3;                     // tx unicast frames
    expect[1] = 1;                     // tx multicast frames
    expect[2] = 4;                     // tx fragments
    expect[3] = out_octets;            // tx unicast octets
    expect[4] = (uint32_t)arp.size();  // tx multicast octets
    expect[5] = 3;                     // tx deferred: the AP's answers were on the air
    expect[10] = 4;                    // rx unicast frames
    expect[11] = 1;                    // rx multicast frames
    expect[12] = 5;                    // rx fragments
    expect[13] = in_octets;            // rx unicast octets
    expect[14] = (uint32_t)arp.size(); // rx multicast octets
    EXPECT_EQ(tallies(), expect);
    size_t acks =
        std::count_if(air_seen.frames().begin(), air_seen.frames().end(), [](const AirFrame &f) {
            return wire::Ack::parse(f.bytes) && f.rate == 4 && f.bytes.size() == 10;
        });
    EXPECT_EQ(acks, 4u + 4u)
        << "every frame to the BSSID (the broadcast too) and every answer to the "
           "card acknowledged, at 2 Mb/s";
}

TEST_F(WorldTraffic, DamagedFramesCountAsFcsErrorsAndQuestionsForOtherHostsGoUnanswered) {
    joined({.ssid = "Harbour", .auth = 1, .wep = 0});
    AccessPoint &ap = *air->ap(kHarbour);
    air->corruption().rates.set_link(&ap, &card, 1000000);
    air->trace().clear();
    world.run_for(250 * kMs); // beacons
    uint64_t damaged = std::count_if(
        air->trace().entries().begin(), air->trace().entries().end(),
        [&](const AirTraceEntry &e) { return e.to == &card && e.dropped == Drop::Corrupted; });
    EXPECT_GE(damaged, 2u);
    EXPECT_EQ(tallies()[15], damaged) << "rx FCS errors";
    air->corruption().rates.set_link(&ap, &card, 0);

    EXPECT_EQ(send(wire::kBroadcast, arp_request(kSelfIp, {198, 51, 100, 2})), ev::Alloc);
    EXPECT_EQ(send(kHarbourHost, echo_request(kSelfIp, {198, 51, 100, 2}, 1, 8)), ev::Alloc);
    world.run_for(20 * kMs);
    EXPECT_EQ(received().size(), 1u) << "only the relayed broadcast";
    EXPECT_EQ(ap.wired_host()->stats().arp_replies + ap.wired_host()->stats().echo_replies, 0u);
}

// Drops the first `count` frames of one kind on their way to `to`.
struct DropFirst : DeliveryFilter {
    DropFirst(const Radio *t, bool a, int n) : to(t), acks(a), count(n) {}
    const Radio *to;
    bool acks; // acknowledgements, else data frames
    int count;
    std::optional<Drop> judge(Reception &r) override {
        bool ack = wire::Ack::parse(r.frame.bytes).has_value();
        bool data = !ack && r.frame.bytes.size() >= 24 &&
                    ((r.frame.bytes[0] >> 2) & 3) == wire::fc::TypeData;
        if (r.to != to || (acks ? !ack : !data) || count <= 0)
            return std::nullopt;
        --count;
        return Drop::Lost;
    }
};

TEST_F(WorldTraffic, AFrameWithoutAcknowledgementGoesAgainWithTheRetryBitUpToTheLimit) {
    struct Case {
        const char *name;
        bool drop_acks;
        int dropped;
        size_t copies;  // on the air
        uint16_t event; // with the buffer
        uint32_t single, multiple, exceeded;
        uint64_t ap_received, ap_duplicates;
    } cases[] = {
        {"acknowledged at once", false, 0, 1, ev::Alloc, 0, 0, 0, 1, 0},
        {"one copy lost", false, 1, 2, ev::Alloc, 1, 0, 0, 1, 0},
        {"three copies lost", false, 3, 4, ev::Alloc, 0, 1, 0, 1, 0},
        {"every try lost", false, 100, 7, ev::Alloc | ev::TxExc, 0, 0, 1, 0, 0},
        {"the acknowledgement lost", true, 1, 2, ev::Alloc, 1, 0, 0, 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        tx_fid = 0;
        joined({.ssid = "Harbour", .auth = 1, .wep = 0});
        AccessPoint &ap = *air->ap(kHarbour);
        DropFirst drop(c.drop_acks ? (const Radio *)&card : &ap, c.drop_acks, c.dropped);
        air->medium().add_filter(&drop);
        AirRecorder seen;
        air->medium().set_observer(&seen);

        EXPECT_EQ(send(kHarbourHost, echo_request(kSelfIp, kHarbourHostIp, 9, 64)), c.event);
        std::vector<AirFrame> copies;
        for (const AirFrame &f : seen.frames())
            if (f.bytes.size() > 24 &&
                wire::MacHeaderView<const uint8_t>::parse(f.bytes)->addr2() == kOwn)
                copies.push_back(f);
        ASSERT_EQ(copies.size(), c.copies);
        for (size_t i = 0; i < copies.size(); ++i) {
            auto v = *wire::MacHeaderView<const uint8_t>::parse(copies[i].bytes);
            EXPECT_EQ(v.retry(), i > 0) << "copy " << i;
            EXPECT_EQ(v.seq_ctrl(),
                      wire::MacHeaderView<const uint8_t>::parse(copies[0].bytes)->seq_ctrl());
            if (i > 0) {
                EXPECT_GE(copies[i].start_us, copies[i - 1].end_us + kSifsUs +
                                                  ack_air_us(22, false) + kSlotUs + kDifsUs)
                    << "a retry waits out the acknowledgement timeout and DIFS";
            }
        }
        if (c.event & ev::TxExc) {
            EXPECT_EQ(rd(reg::TxComplFid), tx_fid);
        }
        std::vector<uint32_t> t = tallies();
        EXPECT_EQ(t[2], c.copies) << "tx fragments";
        EXPECT_EQ(t[6], c.single);
        EXPECT_EQ(t[7], c.multiple);
        EXPECT_EQ(t[8], c.exceeded);
        EXPECT_EQ(t[9], c.exceeded) << "tx discards";
        EXPECT_EQ(t[0], 1 - c.exceeded) << "tx unicast frames";
        EXPECT_EQ(ap.stats().data_received, c.ap_received);
        EXPECT_EQ(ap.stats().duplicates, c.ap_duplicates);
        EXPECT_EQ(air->medium().stats().of(Drop::Lost),
                  (uint64_t)std::min<int>(c.dropped, (int)c.copies));
        air->medium().set_observer(nullptr);
        air.reset();
    }
}

TEST_F(WorldTraffic, ScanResultsListEveryAccessPointHeardInTheDocumentedLayout) {
    joined({.ssid = ""}); // a site survey: any network
    Words f = reader.inquire(info::ScanResults);
    ASSERT_EQ(f.size(), 2u + 3 * 25);
    EXPECT_EQ(f[0], 1 + 3 * 25);
    EXPECT_EQ(f[1], info::ScanResults);
    Words talnet = {6, 10, 60, 0x0B00, 0xAA0E, 0x0100, 100, 0x0011, 6};
    for (uint16_t w : bytes_to_words(Bytes{'T', 'a', 'l', 'N', 'e', 't'} + Bytes(26, 0)))
        talnet.push_back(w);
    EXPECT_EQ(Words(f.begin() + 2 + 25, f.begin() + 2 + 50), talnet);
    std::vector<std::tuple<uint16_t, uint16_t, uint16_t, std::string>> seen;
    for (size_t e = 2; e < f.size(); e += 25) {
        Bytes name = words_to_bytes(std::span(f).subspan(e + 9, 16));
        seen.emplace_back(f[e], f[e + 2], f[e + 7],
                          std::string(name.begin(), name.begin() + f[e + 8]));
    }
    EXPECT_EQ(seen, (std::vector<std::tuple<uint16_t, uint16_t, uint16_t, std::string>>{
                        {1, 45, 0x0001, "Harbour"},
                        {6, 60, 0x0011, "TalNet"},
                        {11, 35, 0x0011, "Lighthouse"}}));
}

TEST_F(WorldTraffic, TheAccessPointAnswersArpEchoAndVendorRequestsWithItsOwnWepAndFragments) {
    world_config.aps[0].frag_threshold = 400;
    joined({.wep = 0x0001}); // the firmware seals and opens
    AirRecorder seen;
    air->medium().set_observer(&seen);
    struct Case {
        const char *name;
        Mac dst;
        Bytes body;
        Bytes answer;     // empty: check the echo reply below
        Mac source;       // of the answer (Address3)
        size_t fragments; // the answer's, on the air
    } cases[] = {
        {"ARP", wire::kBroadcast, arp_request(kSelfIp, kTalNetHostIp),
         snap(wire::kEtherTypeArp,
              wire::Arp{wire::arp::Reply, kHostMac, kTalNetHostIp, kOwn, kSelfIp}.to_bytes()),
         kHostMac, 1},
        {"vendor request", kTalNet,
         Bytes{0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39, 0x81, 0xAE, 0x00, 0x01, 0x00, 0x00},
         Bytes(kVendorHeader.begin(), kVendorHeader.end()) + vendor_answer_payload(VendorInfo{}),
         kTalNet, 1},
        {"echo of 1000 bytes",
         kHostMac,
         echo_request(kSelfIp, kTalNetHostIp, 4, 1000),
         {},
         kHostMac,
         3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        seen.clear();
        EXPECT_EQ(send(c.dst, c.body), ev::Alloc);
        world.run_for(20 * kMs);
        std::vector<Bytes> got = received();
        if (c.dst == wire::kBroadcast)
            got.erase(got.begin()); // its own broadcast, relayed
        ASSERT_EQ(got.size(), 1u);
        if (!c.answer.empty()) {
            EXPECT_EQ(got[0], c.answer);
        } else {
            auto ip =
                wire::Ipv4View<const uint8_t>::parse(std::span<const uint8_t>(got[0]).subspan(8));
            ASSERT_TRUE(ip);
            EXPECT_EQ(ip->total_length(), 20 + 8 + 1000);
            EXPECT_TRUE(wire::IcmpEchoView<const uint8_t>::parse(ip->payload())->checksum_ok());
        }
        // Each fragment of the answer sealed on its own: it opens alone.
        std::vector<AirFrame> pieces;
        for (const AirFrame &f : seen.frames()) {
            auto v = wire::MacHeaderView<const uint8_t>::parse(f.bytes);
            if (v && v->type() == wire::fc::TypeData && v->addr1() == kOwn && !v->retry())
                pieces.push_back(f);
        }
        ASSERT_EQ(pieces.size(), c.fragments);
        std::set<Bytes> ivs;
        for (size_t i = 0; i < pieces.size(); ++i) {
            auto v = *wire::MacHeaderView<const uint8_t>::parse(pieces[i].bytes);
            EXPECT_TRUE(v.protected_frame() && v.from_ds());
            EXPECT_EQ(v.addr2(), kTalNet);
            EXPECT_EQ(v.addr3(), c.source);
            ivs.insert(Bytes(v.payload().begin(), v.payload().begin() + 3));
            EXPECT_EQ(v.fragment(), i);
            EXPECT_EQ(v.more_fragments(), i + 1 < pieces.size());
            EXPECT_LE(pieces[i].bytes.size() + kFcsBytes, 400u);
            EXPECT_TRUE(card_wep_open(kKeys[0], v.payload())) << "fragment " << i;
        }
        EXPECT_EQ(ivs.size(), pieces.size()) << "an IV of its own for each fragment";
    }
}

} // namespace

namespace {

TEST_F(WorldTraffic, AdHocStationsStartACellOrJoinTheOneTheyHear) {
    WorldConfig empty;
    build(empty);
    // B, a second card on the same bus, enables after A has started the cell.
    auto owned = second_card();
    CardModel &b = *owned;
    for (CardModel *c : {&card, &b}) {
        c->records().set(rid::PortType, {0});
        c->records().set(rid::DesiredSsid, ssid_record("Cell"));
        c->records().set(rid::OwnChannel, {c == &card ? (uint16_t)9 : (uint16_t)2});
    }
    ASSERT_EQ(command(0x0001), result::Ok);
    EXPECT_EQ(link_codes(300 * kMs), (std::vector<uint16_t>{linkstatus::Connected}));
    const Mac cell{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01 ^ 0x11};
    EXPECT_EQ(current_bssid(), cell);
    EXPECT_EQ(card.records().word(rid::CurrentChannel, 0), 9) << "its own channel";
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::IbssConnected);

    bus.write16(0x340 + reg::Command, 0x0001);
    world.run_for(300 * kMs);
    EXPECT_EQ(b.records().image(rid::CurrentBssid), card.records().image(rid::CurrentBssid));
    EXPECT_EQ(b.records().word(rid::CurrentChannel, 0), 9) << "the cell's channel, not its own";
    EXPECT_EQ(b.records().word(rid::PortStatus, 0), portstatus::IbssConnected);
    EXPECT_EQ(b.info_waiting(), 1u) << "its link status frame";

    EXPECT_EQ(send(kB, echo_request(kSelfIp, kHarbourHostIp, 1, 40)), ev::Alloc);
    world.run_for(5 * kMs);
    EXPECT_EQ(b.rx_stats().delivered, 1u);
    std::vector<uint32_t> t = tallies();
    EXPECT_EQ(t[0], 1u) << "delivered";
    EXPECT_EQ(t[6] + t[7] + t[8], 0u) << "acknowledged at the first try";
    remove(b);
}

TEST_F(WorldTraffic, TheAccessPointRelaysBetweenItsStationsAndSendsAwayOneItDoesNotKnow) {
    joined({.ssid = "Harbour", .auth = 1, .wep = 0});
    auto owned = second_card();
    CardModel &b = *owned;
    b.records().set(rid::DesiredSsid, ssid_record("Harbour"));
    bus.write16(0x340 + reg::Command, 0x0001);
    world.run_for(300 * kMs);
    ASSERT_TRUE(air->ap(kHarbour)->associated(kB));

    Bytes body = echo_request(kSelfIp, {198, 51, 100, 11}, 1, 30);
    EXPECT_EQ(send(kB, body), ev::Alloc);
    world.run_for(5 * kMs);
    ASSERT_EQ(b.rx_waiting(), 1u);
    EXPECT_EQ(air->ap(kHarbour)->stats().relayed, 1u);
    EXPECT_EQ(air->ap(kHarbour)->wired_host()->stats().frames, 0u) << "not to the wired side";

    // The AP forgets the card, whose copy of the deauthentication is lost:
    // the card's next frame is answered by another one, and nothing it says counts.
    AccessPoint &ap = *air->ap(kHarbour);
    air->loss().rates.set_link(&ap, &card, 1000000);
    ap.deauthenticate(kOwn);
    world.run_for(30 * kMs);
    air->loss().rates.set_link(&ap, &card, 0);
    EXPECT_EQ(link_codes(1 * kMs), std::vector<uint16_t>{}) << "the card has not heard";
    EXPECT_EQ(send(kB, body), ev::Alloc);
    EXPECT_EQ(link_codes(10 * kMs), (std::vector<uint16_t>{linkstatus::Disconnected}));
    EXPECT_EQ(ap.stats().relayed, 1u);
    remove(b);
}

TEST_F(WorldTraffic, ALinkRuleOfTheWorldFileLosesThatLinksFramesOnly) {
    world_config.links.push_back(LinkRule{kOwn, kHarbour, 1000000, 0});
    world_config.links.push_back(
        LinkRule{Mac{0x02, 0, 0, 0, 0, 0x99}, kTalNet, 1000000, 0}); // nobody's
    build(world_config);
    enable({.ssid = "Harbour", .auth = 1, .wep = 0});
    std::vector<uint16_t> codes = link_codes(500 * kMs);
    ASSERT_FALSE(codes.empty());
    EXPECT_EQ(codes[0], linkstatus::AssocFailed) << "its authentication never reaches the AP";
    uint64_t lost = 0;
    for (const AirTraceEntry &e : air->trace().entries())
        if (e.dropped == Drop::Lost) {
            ++lost;
            EXPECT_EQ(e.from, &card);
            EXPECT_EQ(e.to, air->ap(kHarbour));
        }
    EXPECT_EQ(lost, 1 + kRetryLimit)
        << "its probe request, and every try of its authentication request";
    EXPECT_EQ(air->ap(kHarbour)->stats().authentications, 0u);
}

// A station of the test's own, speaking to an access point frame by frame;
// it acknowledges what comes to it and keeps the management frames.
struct FakeStation : Radio {
    FakeStation(Medium &m, const Mac &ap, uint8_t ch) : medium(m), bssid(ap), channel(ch) {
        medium.attach(this);
    }
    ~FakeStation() override { medium.detach(this); }
    uint8_t radio_channel() const override { return channel; }
    void radio_receive(const AirFrame &f) override {
        auto v = wire::MacHeaderView<const uint8_t>::parse(f.bytes);
        if (!v || v->addr1() != kOwn)
            return;
        AirFrame ack;
        ack.bytes = wire::Ack{v->addr2()}.to_bytes();
        ack.rate = 4;
        ack.channel = channel;
        ack.start_us = f.end_us + kSifsUs;
        ack.end_us = ack.start_us + ack_air_us(4, false);
        medium.transmit(this, ack);
        if (v->type() == wire::fc::TypeMgmt && !v->retry())
            heard.emplace_back(v->subtype(), Bytes(v->payload().begin(), v->payload().end()));
        if (v->type() == wire::fc::TypeMgmt && v->subtype() == wire::mgmt::Auth)
            answers.push_back(*wire::AuthBody::parse(v->payload()));
    }
    // A data fragment gives its sequence number and fragment number.
    void send(uint8_t type, uint8_t subtype, const Mac &a1, const Bytes &body, uint16_t flags = 0,
              std::optional<std::pair<uint16_t, uint8_t>> fragment = {}) {
        AirFrame f;
        uint16_t s = fragment ? fragment->first : seq++;
        uint8_t n = fragment ? fragment->second : 0;
        f.bytes = wire::MacHeader{type, subtype, flags, 0, a1, kOwn, bssid, s, n}.to_bytes() + body;
        f.rate = 4;
        f.channel = channel;
        f.start_us = medium.world().now();
        f.end_us = f.start_us + 500;
        medium.transmit(this, f);
        medium.world().run_for(5 * kMs);
    }
    void send_auth(const wire::AuthBody &a, std::optional<Bytes> key = {}) {
        Bytes body = a.to_bytes();
        if (key)
            body = card_wep_seal(0x123456, 0, *key, body);
        send(wire::fc::TypeMgmt, wire::mgmt::Auth, bssid, body, key ? wire::fc::Protected : 0);
    }
    Medium &medium;
    Mac bssid;
    uint8_t channel;
    uint16_t seq = 0;
    std::vector<wire::AuthBody> answers;
    std::vector<std::pair<uint8_t, Bytes>> heard; // subtype, body
};

TEST(AccessPointRules, ProbesForItsNameOrAnyAreAnsweredAndDataBeforeAssociationIsSentAway) {
    talhost::World world;
    WorldConfig w = default_world();
    w.aps = {w.aps[1]}; // Harbour: open, channel 1
    RadioWorld air(world, w);
    FakeStation sta(air.medium(), kHarbour, 1);
    auto probes = [&](const std::optional<std::string> &ssid) {
        wire::Elements e;
        e.ssid = ssid;
        Bytes body;
        e.emit(body);
        sta.heard.clear();
        sta.send(wire::fc::TypeMgmt, wire::mgmt::ProbeRequest, wire::kBroadcast, body);
        return std::count_if(sta.heard.begin(), sta.heard.end(),
                             [](const auto &h) { return h.first == wire::mgmt::ProbeResponse; });
    };
    EXPECT_EQ(probes("Harbour"), 1);
    EXPECT_EQ(probes(""), 1) << "any network";
    EXPECT_EQ(probes("TalNet"), 0);

    sta.send_auth(wire::AuthBody{0, 1, 0, {}});
    ASSERT_EQ(sta.answers.size(), 1u);
    EXPECT_EQ(sta.answers[0].status, wire::status::Success);
    sta.heard.clear();
    sta.send(wire::fc::TypeData, 0, kHarbour, Bytes{0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00},
             wire::fc::ToDs);
    ASSERT_EQ(sta.heard.size(), 1u);
    EXPECT_EQ(sta.heard[0].first, wire::mgmt::Deauth);
    EXPECT_EQ(wire::ReasonBody::parse(sta.heard[0].second)->reason, 7) << "not associated";
    EXPECT_EQ(air.ap(kHarbour)->stats().data_received, 0u);
}

TEST(AccessPointRules, FragmentsJoinInOrderAndOnlyARetriedRepeatIsADuplicate) {
    talhost::World world;
    WorldConfig w = default_world();
    w.aps = {w.aps[1]}; // Harbour: open, channel 1
    RadioWorld air(world, w);
    FakeStation sta(air.medium(), kHarbour, 1);
    sta.send_auth(wire::AuthBody{0, 1, 0, {}});
    wire::AssocRequestBody assoc;
    assoc.elements.ssid = "Harbour";
    sta.send(wire::fc::TypeMgmt, wire::mgmt::AssocRequest, kHarbour, assoc.to_bytes());
    const Bytes first = {0xAA, 0xAA, 0x03, 0, 0, 0, 0x08, 0x00}, rest(40, 0x45);
    auto fragment = [&](uint16_t seq, uint8_t n, bool more) {
        uint16_t flags = wire::fc::ToDs | (more ? wire::fc::MoreFragments : 0);
        sta.send(wire::fc::TypeData, 0, kHarbour, n ? rest : first, flags, std::pair{seq, n});
    };
    fragment(5, 0, true);
    fragment(6, 1, false); // another frame's second fragment
    fragment(5, 1, false); // too late: the partial frame is gone
    fragment(7, 1, false); // no first fragment
    EXPECT_EQ(air.ap(kHarbour)->stats().data_received, 0u);
    fragment(8, 0, true);
    fragment(8, 1, false);
    EXPECT_EQ(air.ap(kHarbour)->stats().data_received, 1u);

    // The same sequence control again is a new frame unless it is a retry.
    auto whole = [&](uint16_t flags) {
        sta.send(wire::fc::TypeData, 0, kHarbour, first, wire::fc::ToDs | flags, std::pair{9, 0});
    };
    whole(0);
    whole(0);
    whole(wire::fc::Retry);
    EXPECT_EQ(air.ap(kHarbour)->stats().data_received, 3u);
    EXPECT_EQ(air.ap(kHarbour)->stats().duplicates, 1u);
}

TEST(AccessPointRules, SharedKeyTakesOnlyItsOwnChallengeSealedWithItsKey) {
    struct Case {
        const char *name;
        uint16_t algorithm;
        bool first; // send the first frame
        std::optional<Bytes> key;
        bool same_challenge;
        uint16_t last_status;
    } cases[] = {
        {"the challenge back under its key", 1, true, kKeys[0], true, wire::status::Success},
        {"under another key", 1, true, Bytes{9, 9, 9, 9, 9}, true, wire::status::ChallengeFailure},
        {"another challenge under its key", 1, true, kKeys[0], false,
         wire::status::ChallengeFailure},
        {"the third frame unsealed", 1, true, std::nullopt, true, wire::status::ChallengeFailure},
        {"a third frame with no first", 1, false, kKeys[0], true, wire::status::ChallengeFailure},
        {"open system", 0, true, std::nullopt, true, wire::status::AlgorithmUnsupported},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        talhost::World world;
        WorldConfig w = default_world();
        w.aps.resize(1);
        RadioWorld air(world, w);
        FakeStation sta(air.medium(), kTalNet, 6);
        Bytes challenge(128, 0x77);
        if (c.first) {
            sta.send_auth(wire::AuthBody{c.algorithm, 1, 0, {}});
            ASSERT_EQ(sta.answers.size(), 1u);
            if (c.algorithm == 0) {
                EXPECT_EQ(sta.answers[0].status, c.last_status);
                continue;
            }
            ASSERT_TRUE(sta.answers[0].elements.challenge);
            EXPECT_EQ(sta.answers[0].elements.challenge->size(), 128u);
            if (c.same_challenge)
                challenge = *sta.answers[0].elements.challenge;
        }
        wire::AuthBody third{1, 3, 0, {}};
        third.elements.challenge = challenge;
        sta.send_auth(third, c.key);
        ASSERT_FALSE(sta.answers.empty());
        EXPECT_EQ(sta.answers.back().sequence, 4);
        EXPECT_EQ(sta.answers.back().status, c.last_status);
    }
}

TEST(WorldFile, ReadsAccessPointsLinksAndRates) {
    const char *text = R"(seed = 42
loss = 0.25
corruption = 0.001
[[link]]
from = "00:0b:0e:aa:00:09"
loss = 1.0
[[ap]]
bssid = "00:0b:0e:aa:00:09"
ssid = "Quay"
channel = 3
auth = "shared"
wep = true
keys = ["0102030405", "", "000102030405060708090A0B0C"]
tx_key = 2
beacon_interval = 50
frag_threshold = 512
rate = 5.5
signal = 20
out_of_range = [[100, 200], [300, 450]]
host_mac = "00:0b:0e:0a:00:09"
host_ip = "192.0.2.9"
)";
    std::string error;
    auto w = parse_world(text, "quay.toml", error);
    ASSERT_TRUE(w) << error;
    EXPECT_EQ(w->seed, 42u);
    EXPECT_EQ(w->loss_ppm, 250000u);
    EXPECT_EQ(w->corruption_ppm, 1000u);
    ASSERT_EQ(w->links.size(), 1u);
    EXPECT_EQ(w->links[0].from, (Mac{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x09}));
    EXPECT_FALSE(w->links[0].to);
    EXPECT_EQ(w->links[0].loss_ppm, 1000000u);
    ASSERT_EQ(w->aps.size(), 1u);
    const ApConfig &ap = w->aps[0];
    EXPECT_EQ(ap.ssid, "Quay");
    EXPECT_EQ(ap.channel, 3);
    EXPECT_EQ(ap.auth, ApAuth::SharedKey);
    EXPECT_EQ(ap.keys[0], (Bytes{1, 2, 3, 4, 5}));
    EXPECT_TRUE(ap.keys[1].empty());
    EXPECT_EQ(ap.keys[2].size(), 13u);
    EXPECT_EQ(ap.tx_key, 2);
    EXPECT_EQ(ap.beacon_interval_tu, 50);
    EXPECT_EQ(ap.frag_threshold, 512);
    EXPECT_EQ(ap.rate, 11);
    EXPECT_EQ(ap.signal, 20);
    EXPECT_EQ(ap.out_of_range,
              (std::vector<std::pair<uint64_t, uint64_t>>{{100000, 200000}, {300000, 450000}}));
    ASSERT_TRUE(ap.wired_host);
    EXPECT_EQ(ap.wired_host->ip, (wire::Ipv4Addr{192, 0, 2, 9}));
}

TEST(WorldFile, AnErrorNamesTheFileTheLineAndWhatIsWrong) {
    const std::string ap = "[[ap]]\nbssid = \"00:0b:0e:aa:00:09\"\nssid = \"Quay\"\n";
    struct Case {
        std::string text;
        std::string error; // a prefix of it
    } cases[] = {
        {"seed = \n", "w.toml:1: "},
        {"seed = 1\ncolour = 3\n", "w.toml:2: unknown key \"colour\""},
        {"loss = 1.5\n", "w.toml:1: loss must be a fraction from 0 to 1"},
        {"ap = 3\n", "w.toml:1: write each ap as a [[ap]] table"},
        {ap + "channel = 15\n", "w.toml:4: channel must be an integer from 1 to 14"},
        {ap, "w.toml:1: an access point needs a channel"},
        {"[[ap]]\nbssid = \"00:0b:0e:aa:00\"\n", "w.toml:2: bssid must be a MAC address"},
        {ap + "channel = 1\nkeys = [\"01020304\"]\n",
         "w.toml:5: a key must be 10 or 26 hexadecimal digits"},
        {ap + "channel = 1\nauth = \"shared\"\n",
         "w.toml:1: shared key authentication needs wep = true"},
        {ap + "channel = 1\nwep = true\ntx_key = 1\nkeys = [\"0102030405\"]\n",
         "w.toml:1: wep is on but the transmit key 1 is not given"},
        {ap + "channel = 1\nout_of_range = [[300, 200]]\n",
         "w.toml:5: an out_of_range entry must be"},
        {ap + "channel = 1\nhost_ip = \"192.0.2.300\"\n",
         "w.toml:5: host_ip must be an IPv4 address"},
        {ap + "channel = 1\nhost_ip = \"192.0.2.3\"\n",
         "w.toml:1: a wired host needs both host_mac and host_ip"},
        {ap + "channel = 1\nrate = 3\n", "w.toml:5: rate must be 1, 2, 5.5 or 11"},
        {"[[link]]\nfrom = \"00:0b:0e:aa:00:09\"\nloss = \"all\"\n",
         "w.toml:3: loss must be a fraction"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_FALSE(parse_world(c.text, "w.toml", error));
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << error;
    }
    std::string error;
    EXPECT_FALSE(load_world_file("/nonexistent/world.toml", error));
    EXPECT_EQ(error, "/nonexistent/world.toml: cannot be read");
}

} // namespace
