// An adapter in the default radio world, run by the driver alone with the
// example's configuration (interrupt mode, host WEP, shared key): it sees
// the link come, reaches the host behind the access point with ARP and
// ping, sees the link go and come back with the access point's range,
// counts with the firmware and surveys the networks around it.
#include "air/radioworld.h"
#include "binding.h"
#include "card/cardwep.h"
#include "mgmt/talmgmt.h"
#include "registry.h"
#include "support/host_fixture.h"
#include "support/station.h"
#include "wire/ethernet.h"
#include "wire/ieee80211.h"
#include "wire/inet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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
        binding.reset();
        air->detach(station->card);
        station.reset();
        air.reset();
        HostTest::TearDown();
    }

    // The frames indicated within `us`.
    std::vector<Bytes> receive_for(uint64_t us) {
        binding->clear();
        host.world().run_for(us);
        return binding->frames();
    }
    // The media indications since `from`: true for connect.
    std::vector<bool> media_since(size_t from) {
        std::vector<bool> out;
        const auto &st = host.block(station->handle).statuses;
        for (size_t i = from; i < st.size(); i++)
            if (st[i].status == NDIS_STATUS_MEDIA_CONNECT ||
                st[i].status == NDIS_STATUS_MEDIA_DISCONNECT)
                out.push_back(st[i].status == NDIS_STATUS_MEDIA_CONNECT);
        return out;
    }
    size_t statuses() { return host.block(station->handle).statuses.size(); }

    int registered = taltest::register_tal_handlers();
    AirRecorder seen;
    std::unique_ptr<RadioWorld> air;
    std::unique_ptr<taltest::Station> station;
    std::unique_ptr<talhost::TestBinding> binding;
};

TEST_F(WorldAdapter, JoinsPingsTheWiredHostLosesAndRegainsTheLinkAndSurveys) {
    talhost::ParseError err;
    auto config = talhost::load_reg_file(TAL_EXAMPLES_DIR "/adapter.reg", err);
    ASSERT_TRUE(config) << err.message();
    ASSERT_EQ(station->bring_up(*config), NDIS_STATUS_SUCCESS);
    TAL_ADAPTER *a = station->adapter;
    binding = std::make_unique<talhost::TestBinding>(host, station->handle);
    binding->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);

    host.world().run_for(500 * kMs);
    EXPECT_EQ(media_since(0), (std::vector<bool>{true})) << "one connect, when the card has joined";
    EXPECT_EQ(a->LinkStatus, 1u);
    EXPECT_TRUE(air->ap(kTalNet)->associated(kMac));
    EXPECT_EQ(air->ap(kTalNet)->stats().authentications, 1u)
        << "shared key, with the example's key 0";

    // ARP, then echo and reply, through the driver with host WEP.
    wire::Arp who{wire::arp::Request, kMac, kSelfIp, {}, kHostIp};
    ASSERT_EQ(binding->send(eth(wire::kBroadcast, wire::kEtherTypeArp, who.to_bytes())),
              NDIS_STATUS_PENDING);
    std::vector<Bytes> got = receive_for(20 * kMs);
    wire::Arp reply{wire::arp::Reply, kHost, kHostIp, kMac, kSelfIp};
    Bytes want = wire::EthernetHeader{kMac, kHost, wire::kEtherTypeArp}.to_bytes();
    Bytes body = reply.to_bytes();
    want.insert(want.end(), body.begin(), body.end());
    want.resize(60, 0);
    EXPECT_NE(std::find(got.begin(), got.end(), want), got.end()) << "the ARP reply";

    for (uint16_t seq = 1; seq <= 3; ++seq) {
        ASSERT_EQ(binding->send(ping(seq)), NDIS_STATUS_PENDING);
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
    for (const auto &c : binding->completions())
        EXPECT_EQ(c.status, NDIS_STATUS_SUCCESS);

    // The access point goes out of range at 2 s and comes back at 3 s.
    size_t from = statuses();
    host.world().run_for(2500 * kMs - host.world().now());
    EXPECT_EQ(a->LinkStatus, 4u);
    host.world().run_for(4000 * kMs - host.world().now());
    EXPECT_EQ(media_since(from), (std::vector<bool>{false, true}));
    EXPECT_EQ(a->LinkStatus, 5u);

    // The firmware counted them: frames the host sealed and opens itself too.
    ASSERT_EQ(CardUpdateTallies(a), TAL_RESULT_OK);
    host.world().run_for(5 * kMs);
    EXPECT_EQ((std::vector<ULONG>{a->tallies.txUnicastFrames, a->tallies.txMulticastFrames,
                                  a->tallies.rxUnicastFrames, a->tallies.rxMulticastFrames}),
              (std::vector<ULONG>{3 + 2, 1, 4 + 2, 1}))
        << "tx unicast (three pings, a vendor request at each connect), tx multicast (the ARP "
           "request), rx unicast (the ARP reply, three echo replies, two vendor answers), rx "
           "multicast (the ARP request, relayed)";
    EXPECT_EQ(a->APCard_Info_Flag, 1) << "the access point's answer was taken";

    // A survey: any network; the scan lists the three of the default world;
    // its end brings the configured network back.
    siteSurvey_start(a);
    siteSurvey_cont(a);
    host.world().run_for(1000 * kMs);
    ASSERT_EQ(CardUpdateScanResult(a), TAL_RESULT_OK);
    host.world().run_for(5 * kMs);
    const USHORT *scan = (const USHORT *)(const void *)a->scan_buffer;
    ASSERT_EQ(scan[0], 1u + 3 * 25) << "the length word: type and three entries";
    std::vector<USHORT> channels;
    for (size_t e = 0; e < 3; e++)
        channels.push_back(scan[2 + 25 * e]);
    EXPECT_EQ(channels, (std::vector<USHORT>{1, 6, 11}));
    from = statuses();
    siteSurvey_end(a);
    host.world().run_for(1000 * kMs);
    EXPECT_EQ(std::string((const char *)a->Desired_ESSID, a->Desired_ESSID_Length), "TalNet");
    EXPECT_EQ(a->LinkStatus, 1u);
    EXPECT_TRUE(air->ap(kTalNet)->associated(kMac));

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
    EXPECT_EQ(a->EventLoopStops, 0u);
}

// The example's adapter in the default world: each failure the wrapper or
// the card can be made to show stops initialization cleanly; without one
// the adapter comes up, passes traffic both ways and halts leaving nothing.
TEST_F(WorldAdapter, ComesUpFromTheExampleOrFailsCleanlyAndHaltsLeavingNothing) {
    talhost::ParseError err;
    auto config = talhost::load_reg_file(TAL_EXAMPLES_DIR "/adapter.reg", err);
    ASSERT_TRUE(config) << err.message();
    using Fault = std::function<void(talsim::CardModel &)>;
    struct Case {
        const char *name;
        Fault fault;
        NDIS_STATUS status;
    } cases[] = {
        {"record allocation", [this](auto &) { host.fail_allocation(1); }, NDIS_STATUS_RESOURCES},
        {"configuration", [this](auto &) { host.faults().fail_open_configuration = true; },
         NDIS_STATUS_FAILURE},
        {"port range", [this](auto &) { host.faults().port_range_status = NDIS_STATUS_RESOURCES; },
         NDIS_STATUS_RESOURCES},
        {"interrupt", [this](auto &) { host.faults().interrupt_status = NDIS_STATUS_RESOURCES; },
         NDIS_STATUS_RESOURCES},
        {"initialize command", [](auto &card) { card.hang_command(0x0000); }, NDIS_STATUS_FAILURE},
        {"enable command", [](auto &card) { card.fail_command(0x0001, 0x05); },
         NDIS_STATUS_FAILURE},
        {"transmit buffer", [](auto &card) { card.fail_command(0x000A, 0x0C); }, 0x0C},
        {"none", [](auto &) {}, NDIS_STATUS_SUCCESS},
    };
    UINT base = 0x400;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host.faults() = talhost::HostFaults{};
        taltest::Station st(host, air->medium(), base += 0x40, kMac);
        air->attach(st.card);
        c.fault(st.card);
        ASSERT_EQ(st.bring_up(*config), c.status);
        EXPECT_TRUE(host.verifier().clean()) << host.verifier().text();
        if (c.status == NDIS_STATUS_SUCCESS) {
            talhost::TestBinding b(host, st.handle);
            b.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED);
            host.world().run_for(500 * kMs);
            ASSERT_FALSE(st.adapter->LinkIsActive) << "joined";
            wire::Arp who{wire::arp::Request, kMac, kSelfIp, {}, kHostIp};
            b.send(eth(wire::kBroadcast, wire::kEtherTypeArp, who.to_bytes()));
            b.send(ping(1));
            host.world().run_for(20 * kMs);
            EXPECT_EQ(b.completions().size(), 2u);
            EXPECT_EQ(b.frames().size(), 2u) << "the ARP reply and the echo reply";
            host.halt(st.handle);
        }
        air->detach(st.card);
        EXPECT_TRUE(host.verifier().clean()) << host.verifier().text();
        EXPECT_EQ(host.live_allocations(), 0u);
    }
}

} // namespace
