// Wire views: each parses exactly what it emits, reads known bytes at the
// right offsets, and refuses input shorter than its header once, at parse.
#include "card/cardframe.h"
#include "wire/ethernet.h"
#include "wire/ieee80211.h"
#include "wire/inet.h"
#include "wire/llc.h"
#include "wire/mgmt.h"
#include "wire/radiotap.h"

#include "support/bytes.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talsim::wire;

namespace {

using Bytes = std::vector<uint8_t>;

std::span<const uint8_t> cspan(const Bytes &b) {
    return b;
}

using taltest::operator+;

// ---- 802.11 MAC header ----

// A ToDS, protected data frame: 08 41, duration 0x00D5, BSSID, SA, DA, seq 5.
const Bytes kDataHeader{0x08, 0x41, 0xD5, 0x00, 0x00, 0x60, 0x1D, 0x11, 0x22, 0x33, 0x02, 0x00,
                        0x54, 0x41, 0x4C, 0x01, 0x00, 0xA0, 0xC9, 0x01, 0x02, 0x03, 0x50, 0x00};

TEST(MacHeaderView, EmitThenParseGivesTheSameHeaderAndTheKnownOneItsBytes) {
    MacHeader h;
    h.flags = fc::FromDs | fc::Retry | fc::Protected;
    h.duration = 0x1234;
    h.addr1 = {1, 2, 3, 4, 5, 6};
    h.addr2 = {7, 8, 9, 10, 11, 12};
    h.addr3 = {13, 14, 15, 16, 17, 18};
    h.sequence = 0xABC;
    h.fragment = 3;
    Bytes b = h.to_bytes();
    ASSERT_EQ(b.size(), 24u);
    EXPECT_EQ(b[0], 0x08);
    EXPECT_EQ(b[1], 0x4A);
    EXPECT_EQ(b[22], 0xC3);
    EXPECT_EQ(b[23], 0xAB);
    auto v = MacHeaderView<const uint8_t>::parse(cspan(b));
    ASSERT_TRUE(v);
    EXPECT_EQ(MacHeader::parse(*v), h);

    // The known header: its fields read back into the same bytes.
    Bytes frame = kDataHeader + Bytes{0xAA};
    auto known = MacHeaderView<const uint8_t>::parse(cspan(frame));
    ASSERT_TRUE(known);
    EXPECT_TRUE(known->to_ds() && !known->from_ds() && known->protected_frame());
    EXPECT_EQ(known->addr1(), (MacAddr{0x00, 0x60, 0x1D, 0x11, 0x22, 0x33}));
    EXPECT_EQ(known->sequence(), 5);
    EXPECT_EQ(Bytes(known->payload().begin(), known->payload().end()), Bytes{0xAA});
    auto back = MacHeader::parse(*known);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->to_bytes(), kDataHeader);
}

TEST(MacHeaderView, RefusesShortInputIncludingAMissingFourthAddress) {
    Bytes short_header(kDataHeader.begin(), kDataHeader.end() - 1);
    EXPECT_FALSE(MacHeaderView<const uint8_t>::parse(cspan(short_header)));
    EXPECT_FALSE(MacHeaderView<const uint8_t>::parse(std::span<const uint8_t>{}));

    Bytes wds = kDataHeader;
    wds[1] = 0x03; // ToDS and FromDS: 30 bytes
    EXPECT_FALSE(MacHeaderView<const uint8_t>::parse(cspan(wds)));
    wds.resize(30, 0x77);
    auto v = MacHeaderView<const uint8_t>::parse(cspan(wds));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->header_len(), 30u);
    EXPECT_EQ(v->addr4(), (MacAddr{0x77, 0x77, 0x77, 0x77, 0x77, 0x77}));
    EXPECT_TRUE(v->payload().empty()) << "the fourth address is header, not payload";
    EXPECT_FALSE(MacHeader::parse(*v)) << "the value type holds three addresses only";
}

TEST(FrameStartView, ReadsAndWritesFrameControlAndDurationOfAnyFrameFromFourBytesOn) {
    Bytes ack = Ack{{1, 2, 3, 4, 5, 6}}.to_bytes();
    auto v = FrameStartView<uint8_t>::parse(ack);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type(), fc::TypeControl);
    EXPECT_EQ(v->subtype(), kSubtypeAck);
    v->set_frame_control((uint16_t)(v->frame_control() | fc::Retry));
    v->set_duration(0x013A);
    EXPECT_EQ(ack, (Bytes{0xD4, 0x08, 0x3A, 0x01, 1, 2, 3, 4, 5, 6}));

    auto data = FrameStartView<const uint8_t>::parse(cspan(kDataHeader));
    ASSERT_TRUE(data);
    EXPECT_EQ(data->frame_control(), 0x4108);
    EXPECT_EQ(data->type(), fc::TypeData);
    EXPECT_EQ(data->duration(), 0x00D5);
    Bytes three{0xD4, 0x00, 0x00};
    EXPECT_FALSE(FrameStartView<const uint8_t>::parse(cspan(three)));
}

// ---- LLC/SNAP ----

// The first six bytes classify a body as the whole header does; a whole
// header gives its protocol and writes back its bytes; LLC that is not
// SNAP is no Snap.
TEST(SnapView, ClassifiesRfc1042BridgeTunnelAndVendorHeaders) {
    struct Case {
        Bytes bytes;
        std::optional<SnapKind> kind;
        uint16_t protocol = 0; // of a whole header
    };
    const Case cases[] = {
        {{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00}, SnapKind::Rfc1042, 0x0800},
        {{0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8, 0x81, 0x37, 0x42}, SnapKind::BridgeTunnel, 0x8137},
        {{0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39, 0x81, 0xAE}, SnapKind::Vendor, 0x81AE},
        {{0xAA, 0xAA, 0x03, 0x00, 0x01, 0xF8, 0x81, 0x37}, SnapKind::Vendor, 0x8137},
        {{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00}, SnapKind::Rfc1042},
        {{0xAA, 0xAA, 0x03, 0x00, 0x00}, std::nullopt},
        {{0xF0, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00}, std::nullopt},
        {{0xAA, 0xF0, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00}, std::nullopt},
        {{0xAA, 0xAA, 0x13, 0x00, 0x00, 0x00, 0x08, 0x00}, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        EXPECT_EQ(snap_kind(cspan(c.bytes)), c.kind);
        auto v = SnapView<const uint8_t>::parse(cspan(c.bytes));
        EXPECT_EQ(v.has_value(), c.bytes.size() >= 8);
        auto whole = v ? Snap::parse(*v) : std::nullopt;
        EXPECT_EQ(whole.has_value(), v && c.kind);
        if (whole) {
            EXPECT_EQ(whole->kind(), c.kind);
            EXPECT_EQ(whole->protocol, c.protocol);
            EXPECT_EQ(whole->to_bytes(), Bytes(c.bytes.begin(), c.bytes.begin() + 8));
        }
    }
}

// ---- Ethernet II ----

TEST(EthernetView, EmitThenParseGivesTheSameHeader) {
    EthernetHeader h{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x02, 0, 0x54, 0x41, 0x4C, 1}, 0x0806};
    Bytes b = h.to_bytes();
    EXPECT_EQ(b, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x54, 0x41, 0x4C, 0x01,
                        0x08, 0x06}));
    b.push_back(0x42);
    auto v = EthernetView<const uint8_t>::parse(cspan(b));
    ASSERT_TRUE(v);
    EXPECT_EQ(EthernetHeader::parse(*v), h);
    EXPECT_EQ(v->payload().size(), 1u);
    Bytes thirteen(13, 0);
    EXPECT_FALSE(EthernetView<const uint8_t>::parse(cspan(thirteen)));
}

// ---- The card's frames ----

TEST(CardFrameView, FieldsSitAtTheCardsOffsetsAndReadBack) {
    const MacAddr dst{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, src{0x02, 0, 0x54, 0x41, 0x4C, 1};
    Bytes f(0x3C + 4, 0);
    auto w = talsim::CardFrameView<uint8_t>::parse(f);
    ASSERT_TRUE(w);
    w->set_status(0x2000);
    w->set_time(0x12345678);
    w->set_rate(110);
    std::copy(kDataHeader.begin(), kDataHeader.end(), w->mac_slot().begin());
    w->set_data_len(4);
    w->set_ieee8023(dst, src, 4);
    std::fill(w->body().begin(), w->body().end(), 0xEE);

    Bytes want(0x3C + 4, 0);
    const Bytes control{0x00, 0x20, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x6E};
    std::copy(control.begin(), control.end(), want.begin());
    std::copy(kDataHeader.begin(), kDataHeader.end(), want.begin() + 0x0E);
    want[0x2C] = 0x04;
    const Bytes ieee8023 = EthernetHeader{dst, src, 4}.to_bytes();
    std::copy(ieee8023.begin(), ieee8023.end(), want.begin() + 0x2E);
    std::fill(want.begin() + 0x3C, want.end(), 0xEE);
    EXPECT_EQ(f, want);

    f[0x0C] = 0x02; // the transmit frame's control word
    auto r = talsim::CardFrameView<const uint8_t>::parse(cspan(f));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status(), 0x2000);
    EXPECT_EQ(r->tx_control(), 0x0002);
    EXPECT_EQ(r->data_len(), 4);
    EXPECT_EQ(r->dest(), dst);
    EXPECT_EQ(r->src(), src);
    EXPECT_EQ(r->length(), 4);
    auto header = MacHeader::parse(r->mac_header());
    ASSERT_TRUE(header);
    EXPECT_EQ(header->to_bytes(), kDataHeader);
    EXPECT_EQ(r->body().size(), 4u);
    Bytes short_frame(0x3B, 0);
    EXPECT_FALSE(talsim::CardFrameView<const uint8_t>::parse(cspan(short_frame)));
}

// ---- Radiotap ----

TEST(RadiotapView, EmitsFlagsRateAndAlignedChannel) {
    Radiotap r{radiotap::FlagShortPreamble, 22, radiotap::channel_mhz(6),
               (uint16_t)(radiotap::Chan2Ghz | radiotap::ChanCck)};
    EXPECT_EQ(r.to_bytes(), (Bytes{0x00, 0x00, 0x0E, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x02, 0x16, 0x85,
                                   0x09, 0xA0, 0x00}));
    // Without the rate the channel still starts on an even offset.
    Radiotap no_rate{0x00, std::nullopt, 2412, 0x00A0};
    EXPECT_EQ(no_rate.to_bytes(), (Bytes{0x00, 0x00, 0x0E, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x6C, 0x09, 0xA0, 0x00}));
}

TEST(RadiotapView, RoundTripsEverySubsetOfItsFields) {
    for (unsigned mask = 0; mask < 8; ++mask) {
        Radiotap r;
        if (mask & 1)
            r.flags = 0x10;
        if (mask & 2)
            r.rate = 11;
        if (mask & 4) {
            r.channel_mhz = 2484;
            r.channel_flags = 0x00A0;
        }
        Bytes b = r.to_bytes();
        b.push_back(0x08); // the frame behind the header
        auto v = RadiotapView<const uint8_t>::parse(cspan(b));
        ASSERT_TRUE(v) << mask;
        EXPECT_EQ(Radiotap::parse(*v), r) << mask;
        EXPECT_EQ(v->payload().size(), 1u);
    }
}

TEST(RadiotapView, StepsOverTsftAndExtraPresentWords) {
    // Present word 1: TSFT, flags, rate + ext; word 2: nothing. TSFT aligned to 8 at 16.
    Bytes b{0x00, 0x00, 0x1A, 0x00, 0x07, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x00, 1,    2,    3,    4,    5,    6,    7,    8,    0x02, 0x04};
    auto v = RadiotapView<const uint8_t>::parse(cspan(b));
    ASSERT_TRUE(v);
    EXPECT_EQ(v->flags(), 0x02);
    EXPECT_EQ(v->rate(), 0x04);
    EXPECT_FALSE(v->channel_mhz());
}

TEST(RadiotapView, RefusesMalformedHeaders) {
    const Bytes good = Radiotap{0, 2, 2412, 0x00A0}.to_bytes();
    struct Case {
        const char *what;
        Bytes bytes;
    };
    Bytes bad_version = good;
    bad_version[0] = 1;
    Bytes too_long = good;
    too_long[2] = (uint8_t)(good.size() + 1);
    Bytes too_short_len = good;
    too_short_len[2] = 7;
    Bytes field_outside = good;
    field_outside[2] = 12; // channel at 10..13 would cross the stated end
    Bytes ext_outside{0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x80};
    const Case cases[] = {
        {"shorter than the fixed header", Bytes(good.begin(), good.begin() + 7)},
        {"version not 0", bad_version},
        {"length beyond the input", too_long},
        {"length below 8", too_short_len},
        {"field beyond the length", field_outside},
        {"present word beyond the length", ext_outside},
    };
    for (const Case &c : cases)
        EXPECT_FALSE(RadiotapView<const uint8_t>::parse(cspan(c.bytes))) << c.what;
}

TEST(RadiotapView, ChannelFrequencies) {
    struct Case {
        unsigned channel;
        uint16_t mhz;
    };
    for (Case c : {Case{1, 2412}, Case{6, 2437}, Case{11, 2462}, Case{13, 2472}, Case{14, 2484},
                   Case{0, 0}, Case{15, 0}})
        EXPECT_EQ(radiotap::channel_mhz(c.channel), c.mhz) << c.channel;
}

// ---- Management bodies ----

// A beacon body as an access point sends it: timestamp 0x0102030405060708,
// interval 100, capability ESS + privacy, SSID "Tal", rates 1 and 2 Mb/s
// basic, channel 6, and a vendor element kept as it came.
const Bytes kBeacon{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0x64, 0x00,
                    0x11, 0x00, 0x00, 0x03, 'T',  'a',  'l',  0x01, 0x02, 0x82,
                    0x84, 0x03, 0x01, 0x06, 0xDD, 0x02, 0xAB, 0xCD};

TEST(MgmtBodies, ABeaconReadsAtItsOffsetsAndWritesBackTheSameBytes) {
    auto b = BeaconBody::parse(kBeacon);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->timestamp, 0x0102030405060708u);
    EXPECT_EQ(b->interval, 100);
    EXPECT_EQ(b->capability, cap::Ess | cap::Privacy);
    EXPECT_EQ(b->elements.ssid, "Tal");
    EXPECT_EQ(b->elements.rates, (Bytes{0x82, 0x84}));
    EXPECT_EQ(b->elements.channel, 6);
    ASSERT_EQ(b->elements.other.size(), 1u);
    EXPECT_EQ(b->to_bytes(), kBeacon);
}

TEST(MgmtBodies, EveryBodyRoundTripsAndAShortOrOverrunningOneIsRefused) {
    Elements e;
    e.ssid = "TalNet";
    e.rates = {0x82, 0x84, 0x8B, 0x96};
    Elements challenge;
    challenge.challenge = Bytes(128, 0x5A);
    AuthBody auth{auth::SharedKey, 3, status::Success, challenge};
    AssocRequestBody assoc{cap::Ess | cap::Privacy, 1, std::nullopt, e};
    AssocRequestBody reassoc{cap::Ess, 3, MacAddr{0, 0x0B, 0x0E, 0xAA, 0, 1}, e};
    AssocResponseBody response{cap::Ess, status::Success, 5, e};
    ReasonBody reason{7};

    EXPECT_EQ(AuthBody::parse(auth.to_bytes()), auth);
    EXPECT_EQ(AssocRequestBody::parse(assoc.to_bytes(), false), assoc);
    EXPECT_EQ(AssocRequestBody::parse(reassoc.to_bytes(), true), reassoc);
    EXPECT_EQ(AssocResponseBody::parse(response.to_bytes()), response);
    EXPECT_EQ(ReasonBody::parse(reason.to_bytes()), reason);
    EXPECT_EQ(auth.to_bytes().size(), 6u + 2 + 128);
    EXPECT_EQ(response.to_bytes()[4], 5);
    EXPECT_EQ(response.to_bytes()[5], 0xC0)
        << "the association id's top two bits are set on the air";

    Bytes overrun = kBeacon;
    overrun.pop_back();
    struct Case {
        const char *name;
        bool refused;
    } cases[] = {
        {"beacon shorter than its fixed fields", !BeaconBody::parse(Bytes(11, 0))},
        {"element past the end", !BeaconBody::parse(overrun)},
        {"SSID of 33 bytes", !Elements::parse(Bytes{0x00, 33} + Bytes(33, 'x'))},
        {"channel element of 2 bytes", !Elements::parse(Bytes{0x03, 0x02, 0x06, 0x06})},
        {"reassociation without the current AP", !AssocRequestBody::parse(Bytes(9, 0), true)},
        {"reason of one byte", !ReasonBody::parse(Bytes{7})},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(c.refused) << c.name;
}

TEST(MgmtBodies, AnAckIsTenBytesToItsReceiverAndNothingElseParsesAsOne) {
    MacAddr ra{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
    Bytes ack{0xD4, 0x00, 0x00, 0x00, 0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
    EXPECT_EQ(Ack{ra}.to_bytes(), ack);
    EXPECT_EQ(Ack::parse(ack), Ack{ra});
    EXPECT_FALSE(Ack::parse(Bytes(ack.begin(), ack.end() - 1)));
    EXPECT_FALSE(Ack::parse(kDataHeader)) << "a data frame";
    Bytes rts = ack;
    rts[0] = 0xB4;
    EXPECT_FALSE(Ack::parse(rts)) << "another control frame";
}

// ---- ARP, IPv4, ICMP ----

TEST(InetViews, ArpIpv4AndEchoWriteTheirKnownBytesAndReadThemBack) {
    Arp arp{arp::Request, {0x02, 0, 0x54, 0x41, 0x4C, 0x01}, {192, 0, 2, 10}, {}, {192, 0, 2, 1}};
    Bytes arp_bytes{0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01, 0x02, 0x00,
                    0x54, 0x41, 0x4C, 0x01, 192,  0,    2,    10,   0,    0,
                    0,    0,    0,    0,    192,  0,    2,    1};
    EXPECT_EQ(arp.to_bytes(), arp_bytes);
    EXPECT_EQ(Arp::parse(*ArpView<const uint8_t>::parse(cspan(arp_bytes))), arp);
    Bytes not_ethernet = arp_bytes;
    not_ethernet[1] = 6;
    EXPECT_FALSE(Arp::parse(*ArpView<const uint8_t>::parse(cspan(not_ethernet))));

    // An echo request of 4 data bytes: its checksum over the whole message.
    IcmpEcho echo{icmp::EchoRequest, 0, 0x1234, 1, {0xDE, 0xAD, 0xBE, 0xEF}};
    Bytes echo_bytes{0x08, 0x00, 0x48, 0x2D, 0x12, 0x34, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(echo.to_bytes(), echo_bytes);
    auto ev = IcmpEchoView<const uint8_t>::parse(cspan(echo_bytes));
    ASSERT_TRUE(ev && ev->checksum_ok());
    EXPECT_EQ(IcmpEcho::parse(*ev), echo);

    Ipv4 ip;
    ip.total_length = (uint16_t)(20 + echo_bytes.size());
    ip.id = 0x1C46;
    ip.ttl = 64;
    ip.src = {192, 0, 2, 10};
    ip.dst = {192, 0, 2, 1};
    Bytes packet = ip.to_bytes() + echo_bytes;
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 12),
              (Bytes{0x45, 0x00, 0x00, 0x20, 0x1C, 0x46, 0x40, 0x00, 0x40, 0x01, 0x9A, 0x8B}));
    auto iv = Ipv4View<const uint8_t>::parse(cspan(packet));
    ASSERT_TRUE(iv && iv->checksum_ok());
    EXPECT_EQ(Ipv4::parse(*iv), ip);
    EXPECT_EQ(Bytes(iv->payload().begin(), iv->payload().end()), echo_bytes);
}

TEST(InetViews, Ipv4RefusesWhatItsLengthFieldsDoNotCover) {
    Ipv4 ip;
    ip.total_length = 28;
    Bytes p = ip.to_bytes() + Bytes(8, 0);
    EXPECT_TRUE(Ipv4View<const uint8_t>::parse(cspan(p)));
    Bytes short_total = p;
    short_total.pop_back();
    EXPECT_FALSE(Ipv4View<const uint8_t>::parse(cspan(short_total)))
        << "total length past the bytes";
    Bytes ihl = p;
    ihl[0] = 0x44;
    EXPECT_FALSE(Ipv4View<const uint8_t>::parse(cspan(ihl))) << "header of 16 bytes";
    Bytes v6 = p;
    v6[0] = 0x65;
    EXPECT_FALSE(Ipv4View<const uint8_t>::parse(cspan(v6)));
    Bytes bad_sum = p;
    bad_sum[8] ^= 1;
    EXPECT_FALSE(Ipv4View<const uint8_t>::parse(cspan(bad_sum))->checksum_ok());
}

} // namespace
