// An adapter in the default radio world, driven through the driver's own
// bring-up, transmit and receive paths with the example's configuration
// (host WEP, shared key): its card joins the access point of its network,
// the host behind that access point answers ARP and ping, the link goes
// and comes back with the access point's range, and the card's scan lists
// every network around. Information frames are read on the card's bus face
// (the driver's event loop is not part of this test).
#include "air/radioworld.h"
#include "card/cardwep.h"
#include "registry.h"
#include "support/host_fixture.h"
#include "support/info_frames.h"
#include "support/station.h"
#include "wire/ethernet.h"
#include "wire/ieee80211.h"
#include "wire/inet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;

const std::array<uint8_t, 6> kMac{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
const wire::MacAddr kTalNet{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};
const wire::MacAddr kHost{0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02};
const wire::Ipv4Addr kSelfIp{192, 0, 2, 10};
const wire::Ipv4Addr kHostIp{192, 0, 2, 1};
constexpr uint64_t kMs = 1000;

Bytes eth(const wire::MacAddr &dst, uint16_t type, const Bytes &payload) {
    Bytes f = wire::EthernetHeader{dst, kMac, type}.to_bytes();
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Bytes ping(uint16_t seq) {
    wire::IcmpEcho e{wire::icmp::EchoRequest, 0, 0x51, seq, Bytes(56, (uint8_t)seq)};
    Bytes icmp = e.to_bytes();
    wire::Ipv4 ip;
    ip.total_length = (uint16_t)(20 + icmp.size());
    ip.src = kSelfIp;
    ip.dst = kHostIp;
    Bytes p = ip.to_bytes();
    p.insert(p.end(), icmp.begin(), icmp.end());
    return eth(kHost, wire::kEtherTypeIpv4, p);
}

class WorldAdapter : public taltest::HostTest {
protected:
    void SetUp() override {
        WorldConfig w = default_world();
        w.aps[0].out_of_range = {{2000 * kMs, 3000 * kMs}};
        air = std::make_unique<RadioWorld>(host.world(), w);
        air->watch(&seen);
        station = std::make_unique<taltest::Station>(host, air->medium(), 0x300, kMac);
        air->attach(station->card);
    }
    void TearDown() override {
        air->detach(station->card);
        station.reset();
        air.reset();
        HostTest::TearDown();
    }

    // The frames the driver indicates within `us`, as Ethernet frames.
    std::vector<Bytes> receive_for(uint64_t us) {
        std::vector<Bytes> got;
        for (uint64_t t = 0; t < us; t += kMs) {
            host.world().run_for(kMs);
            for (Bytes &f : station->receive())
                got.push_back(std::move(f));
        }
        return got;
    }

    AirRecorder seen;
    std::unique_ptr<RadioWorld> air;
    std::unique_ptr<taltest::Station> station;
};

TEST_F(WorldAdapter, JoinsPingsTheWiredHostLosesAndRegainsTheLinkAndSurveys) {
    talhost::ParseError err;
    auto config = talhost::load_reg_file(TAL_EXAMPLES_DIR "/adapter.reg", err);
    ASSERT_TRUE(config) << err.message();
    config->set_dword("PollInDriver", 1); // the send handler serves the returned buffer
    ASSERT_EQ(station->bring_up(*config), NDIS_STATUS_SUCCESS);
    taltest::InfoReader info(host.bus(), host.world(), 0x300);

    EXPECT_EQ(info.link_codes(500 * kMs), (std::vector<uint16_t>{linkstatus::Connected}));
    EXPECT_TRUE(air->ap(kTalNet)->associated(kMac));
    EXPECT_EQ(air->ap(kTalNet)->stats().authentications, 1u) << "shared key, with the example's key 0";

    // ARP, then echo and reply, through the driver with host WEP.
    wire::Arp who{wire::arp::Request, kMac, kSelfIp, {}, kHostIp};
    ASSERT_EQ(station->send(eth(wire::kBroadcast, wire::kEtherTypeArp, who.to_bytes())), NDIS_STATUS_PENDING);
    std::vector<Bytes> got = receive_for(20 * kMs);
    wire::Arp reply{wire::arp::Reply, kHost, kHostIp, kMac, kSelfIp};
    Bytes want = wire::EthernetHeader{kMac, kHost, wire::kEtherTypeArp}.to_bytes();
    Bytes body = reply.to_bytes();
    want.insert(want.end(), body.begin(), body.end());
    want.resize(60, 0);
    EXPECT_NE(std::find(got.begin(), got.end(), want), got.end()) << "the ARP reply";

    for (uint16_t seq = 1; seq <= 3; ++seq) {
        ASSERT_EQ(station->send(ping(seq)), NDIS_STATUS_PENDING);
        got = receive_for(20 * kMs);
        ASSERT_EQ(got.size(), 1u) << "ping " << seq;
        auto e = wire::EthernetView<const uint8_t>::parse(got[0]);
        auto ip = wire::Ipv4View<const uint8_t>::parse(e->payload());
        ASSERT_TRUE(ip && ip->checksum_ok());
        EXPECT_EQ(ip->src(), kHostIp);
        auto echo = wire::IcmpEchoView<const uint8_t>::parse(ip->payload());
        ASSERT_TRUE(echo && echo->checksum_ok());
        EXPECT_EQ(echo->type(), wire::icmp::EchoReply);
        EXPECT_EQ(echo->sequence(), seq);
    }
    EXPECT_EQ(air->ap(kTalNet)->wired_host()->stats().echo_replies, 3u);

    // The access point goes out of range at 2 s and comes back at 3 s.
    EXPECT_EQ(info.link_codes(4000 * kMs - host.world().now()),
              (std::vector<uint16_t>{linkstatus::OutOfRange, linkstatus::InRange}));

    // The firmware counted them: frames the host sealed and opens itself too.
    std::vector<uint16_t> t = info.inquire(info::Tallies);
    ASSERT_EQ(t.size(), 2u + 2 * kTallyCount);
    EXPECT_EQ((std::vector<uint16_t>{t[2], t[4], t[22], t[24]}), (std::vector<uint16_t>{3, 1, 4, 1}))
        << "tx unicast, tx multicast, rx unicast (the ARP reply and three echo replies), rx multicast "
           "(the ARP request, relayed)";

    // The scan lists the three networks of the default world.
    std::vector<uint16_t> scan = info.inquire(info::ScanResults);
    ASSERT_EQ(scan.size(), 2u + 3 * 25);
    std::vector<uint16_t> channels;
    for (size_t e = 2; e < scan.size(); e += 25)
        channels.push_back(scan[e]);
    EXPECT_EQ(channels, (std::vector<uint16_t>{1, 6, 11}));

    // Every protected frame on the air opens with the example's key 0.
    size_t sealed = 0;
    const WorldConfig world = default_world();
    for (const AirFrame &f : seen.frames()) {
        auto v = wire::MacHeaderView<const uint8_t>::parse(f.bytes);
        if (!v || !v->protected_frame())
            continue;
        ++sealed;
        const Bytes &key = world.aps[0].keys[card_wep_key_id(v->payload())];
        EXPECT_TRUE(card_wep_open(key, v->payload())) << "frame at " << f.end_us;
    }
    EXPECT_GE(sealed, 9u) << "ARP, three pings, their answers and the shared-key challenge";
    EXPECT_EQ(station->card.device_error_count(), 0u);
}

} // namespace
