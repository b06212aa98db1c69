// The card model's transmit command on its bus face: the host writes the
// card transmit frame into a FID through path 1 and issues 0x010B, as a
// driver does; the frames the card puts on the air are read from an
// AirRecorder, byte for byte.
#include "air/airport.h"
#include "card/card.h"
#include "support/bytes.h"
#include "support/card_bus.h"
#include "wep_reference.h"

#include "portbus.h"
#include "world.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

constexpr Mac kBssid{0x00, 0x60, 0x1D, 0x11, 0x22, 0x33};
constexpr Mac kDst{0x00, 0xA0, 0xC9, 0x01, 0x02, 0x03};
constexpr Mac kSrc{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
constexpr Mac kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

using taltest::card_tx_frame;
using taltest::operator+;
Bytes bytes(const Mac &m) {
    return Bytes(m.begin(), m.end());
}

// An LLC/SNAP-encapsulated IPv4 body of `n` bytes with a recognisable payload.
Bytes snap_body(size_t n) {
    Bytes b{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    for (size_t i = b.size(); i < n; ++i)
        b.push_back((uint8_t)(i * 7 + 1));
    b.resize(n);
    return b;
}

class CardTx : public taltest::CardBusFixture {
protected:
    CardTx() { card.set_air_sink(&air); }

    // Enables the port and, in infrastructure mode, joins kBssid.
    void bring_up(bool infrastructure = true) {
        card.records().set(rid::PortType, {(uint16_t)(infrastructure ? 1 : 0)});
        card.join(kBssid);
        ASSERT_EQ(command(0x0001), result::Ok);
    }

    Bytes on_air(size_t i = 0) const {
        return i < air.frames().size() ? air.frames()[i].bytes : Bytes{};
    }

    AirRecorder air;
};

// ---- Addressing ----

// Infrastructure: ToDS, the BSSID first; duration = SIFS + the ACK at the
// basic 2 Mb/s, long preamble: 10 + 192 + 56. Ad hoc: no DS bits, the
// BSSID third; a group destination takes no acknowledgement: duration 0.
TEST_F(CardTx, AddressesAndDurationFollowTheModeAndTheDestination) {
    const Bytes body = snap_body(20);
    for (bool infrastructure : {true, false}) {
        SCOPED_TRACE(infrastructure);
        card.reset();
        air.clear();
        tx_fid = 0;
        bring_up(infrastructure);
        const Mac &dst = infrastructure ? kDst : kBroadcast;
        transmit(card_tx_frame(dst, kSrc, body));
        Bytes expect =
            infrastructure
                ? Bytes{0x08, 0x01, 0x02, 0x01} + bytes(kBssid) + bytes(kSrc) + bytes(kDst)
                : Bytes{0x08, 0x00, 0x00, 0x00} + bytes(kBroadcast) + bytes(kSrc) + bytes(kBssid);
        ASSERT_EQ(air.frames().size(), 1u);
        EXPECT_EQ(on_air(), expect + (Bytes{0x00, 0x00}) + body);
        EXPECT_EQ(air.frames()[0].channel, 3);
        EXPECT_EQ(air.frames()[0].rate, 22);
    }
}

TEST_F(CardTx, JoinSetsTheLiveStatusRecords) {
    card.records().set(rid::DesiredSsid, {4, 0x6174, 0x316C}); // "tal1"
    card.join(kBssid, 6);
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::Disabled)
        << "port not enabled yet";

    ASSERT_EQ(command(0x0001), result::Ok);
    EXPECT_EQ(*card.records().data(rid::CurrentBssid),
              (std::vector<uint16_t>{0x6000, 0x111D, 0x3322}));
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::EssConnected);
    EXPECT_EQ(card.records().word(rid::CurrentChannel, 0), 6);
    EXPECT_EQ(*card.records().data(rid::CurrentSsid), *card.records().data(rid::DesiredSsid));

    // The join belongs to the backend: an initialize and enable find it again.
    ASSERT_EQ(command(0x0000), result::Ok);
    ASSERT_EQ(command(0x0001), result::Ok);
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::EssConnected);

    card.leave();
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::Searching);
    EXPECT_FALSE(card.joined());
}

// ---- Length ----

// 40 body bytes in the buffer, the length field says 30; a non-zero
// DataLen says 16 and wins.
TEST_F(CardTx, BodyLengthComesFromDataLenOrElseThe8023LengthField) {
    bring_up();
    Bytes body = snap_body(40);
    Bytes frame = card_tx_frame(kDst, kSrc, body, 30);
    transmit(frame);
    Bytes f = on_air();
    EXPECT_EQ(Bytes(f.begin() + 24, f.end()), Bytes(body.begin(), body.begin() + 30));
    wr(reg::EvAck, ev::Alloc);
    frame[txf::DataLen] = 16;
    transmit(frame);
    EXPECT_EQ(on_air(1).size(), 24u + 16u);
}

TEST_F(CardTx, BodyOf2304IsSentAnd2305IsRefusedWithTheBufferBack) {
    struct Case {
        uint16_t length;
        bool sent;
    };
    for (Case c : {Case{2304, true}, Case{2305, false}}) {
        SCOPED_TRACE(c.length);
        card.reset();
        air.clear();
        tx_fid = 0;
        bring_up();
        transmit(card_tx_frame(kDst, kSrc, snap_body(c.length)));
        uint16_t ev = rd(reg::EvStat);
        EXPECT_EQ(rd(reg::AllocFid), tx_fid);
        EXPECT_TRUE(card.frames().allocated(tx_fid)) << "the buffer is the host's again";
        if (c.sent) {
            ASSERT_EQ(air.frames().size(), 1u);
            EXPECT_EQ(on_air().size(), 24u + 2304u);
            EXPECT_FALSE(ev & ev::TxExc);
        } else {
            EXPECT_TRUE(air.frames().empty());
            EXPECT_TRUE(ev & ev::TxExc);
            EXPECT_EQ(rd(reg::TxComplFid), tx_fid);
            EXPECT_EQ(card.tx_stats().refused, 1u);
        }
    }
}

// ---- Air time ----

TEST_F(CardTx, AirTimeFollowsPreambleAndHighestRate) {
    struct Case {
        uint16_t rate_mask;
        uint16_t short_preamble;
        uint8_t rate; // 500 kb/s
        bool short_used;
        uint32_t airtime; // preamble + ceil((24 + 100 + 4) * 8 / Mb/s)
    };
    const Case cases[] = {
        {0x000F, 0, 22, false, 192 + 94}, // 1024 bits / 11
        {0x000F, 1, 22, true, 96 + 94},    {0x0008, 1, 22, true, 96 + 94},
        {0x0007, 0, 11, false, 192 + 187}, // 1024 / 5.5 = 186.2
        {0x0007, 1, 11, true, 96 + 187},   {0x0003, 0, 4, false, 192 + 512},
        {0x0003, 1, 4, true, 96 + 512},    {0x0001, 0, 2, false, 192 + 1024},
        {0x0001, 1, 2, false, 192 + 1024}, // 1 Mb/s has only the long preamble
        {0x0000, 0, 2, false, 192 + 1024}, // no rate allowed: the basic 1 Mb/s
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "mask " << c.rate_mask << " short " << c.short_preamble);
        card.reset();
        air.clear();
        tx_fid = allocate(2400);
        bring_up();
        card.records().set(rid::TxRateControl, {c.rate_mask});
        card.records().set(rid::ShortPreamble, {c.short_preamble});
        write_bytes(tx_fid, card_tx_frame(kDst, kSrc, snap_body(100)));
        ASSERT_EQ(command(0x010B, tx_fid), result::Ok);
        uint64_t t0 = world.now();

        world.stall(c.airtime - 1);
        EXPECT_FALSE(rd(reg::EvStat) & ev::Alloc) << "buffer back before the air time ended";
        EXPECT_TRUE(air.frames().empty());
        world.stall(1);
        EXPECT_TRUE(rd(reg::EvStat) & ev::Alloc);
        ASSERT_EQ(air.frames().size(), 1u);
        const AirFrame &f = air.frames()[0];
        EXPECT_EQ(f.rate, c.rate);
        EXPECT_EQ(f.short_preamble, c.short_used);
        EXPECT_EQ(f.start_us, t0);
        EXPECT_EQ(f.end_us, t0 + c.airtime);
    }
}

TEST_F(CardTx, FramesQueuedTogetherGoOutOneAfterAnotherWithAdvancingSequence) {
    bring_up();
    uint16_t a = allocate(), b = allocate(), c = allocate();
    for (uint16_t fid : {a, b, c})
        write_bytes(fid, card_tx_frame(kDst, kSrc, snap_body(100)));
    for (uint16_t fid : {a, b, c})
        ASSERT_EQ(command(0x010B, fid), result::Ok);
    world.stall(5000);

    ASSERT_EQ(air.frames().size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        Bytes f = on_air(i);
        EXPECT_EQ(f[22] | f[23] << 8, (int)(i << 4)) << "sequence number " << i;
        if (i > 0) {
            EXPECT_EQ(air.frames()[i].start_us, air.frames()[i - 1].end_us) << "one medium";
        }
    }
    EXPECT_EQ(rd(reg::AllocFid), c) << "the last buffer came back last";
}

// ---- WEP ----

// The body goes as given: with the protected bit when the host sealed it,
// without whatever the host bits say when privacy is off.
TEST_F(CardTx, HostSealedOrPrivacyOffBodiesGoAsGiven) {
    const Bytes body{0x01, 0x02, 0x03, 0x00, 0xDE, 0xAD, 0xBE, 0xEF, 0x10, 0x20, 0x30, 0x40};
    const uint16_t host = wepflag::HostEncrypt | wepflag::HostDecrypt;
    for (uint16_t flags :
         {(uint16_t)(wepflag::Privacy | host), (uint16_t)(host | wepflag::IvReuseMask)}) {
        SCOPED_TRACE(flags);
        card.reset();
        air.clear();
        tx_fid = 0;
        bring_up();
        card.records().set(rid::WepFlags, {flags});
        transmit(card_tx_frame(kDst, kSrc, body));
        Bytes f = on_air();
        EXPECT_EQ(Bytes(f.begin(), f.begin() + 2),
                  (Bytes{0x08, (uint8_t)(flags & wepflag::Privacy ? 0x41 : 0x01)}));
        EXPECT_EQ(Bytes(f.begin() + 24, f.end()), body);
    }
}

// Opens a firmware-sealed body with the reference RC4 and CRC-32.
struct Opened {
    uint32_t iv;
    uint8_t key_id;
    Bytes plain;
    bool icv_ok;
};
Opened open_wep(const Bytes &sealed, const Bytes &key) {
    Bytes seed{sealed[0], sealed[1], sealed[2]};
    seed = seed + key;
    Bytes data(sealed.begin() + 4, sealed.end());
    Bytes ks(data.size());
    talref::keystream(seed, ks);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] ^= ks[i];
    Bytes plain(data.begin(), data.end() - 4);
    uint32_t icv = (uint32_t)data[data.size() - 4] | (uint32_t)data[data.size() - 3] << 8 |
                   (uint32_t)data[data.size() - 2] << 16 | (uint32_t)data[data.size() - 1] << 24;
    return Opened{(uint32_t)(sealed[0] | sealed[1] << 8 | sealed[2] << 16),
                  (uint8_t)(sealed[3] >> 6), plain, icv == talref::crc32(plain)};
}

std::vector<uint16_t> key_record(const Bytes &key) {
    Bytes padded = key;
    padded.push_back(0);
    return bytes_to_words(padded);
}

TEST_F(CardTx, FirmwareEncryptionDecryptsBackWithTheDefaultKey) {
    struct Case {
        const char *name;
        uint16_t key_id; // record 0xFC23
        bool wide;
        uint8_t used; // the key that seals and is announced
    };
    const Bytes k40[4] = {
        {1, 2, 3, 4, 5}, {0x11, 0x22, 0x33, 0x44, 0x55}, {9, 9, 9, 9, 9}, {7, 6, 5, 4, 3}};
    const Bytes k104{0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9, 0xBA, 0xCB, 0xDC};
    for (const Case &c :
         {Case{"40-bit key 1", 1, false, 1}, Case{"40-bit key 3", 3, false, 3},
          Case{"40-bit id 255 is key 3", 255, false, 3}, Case{"104-bit key 0", 0, true, 0}}) {
        SCOPED_TRACE(c.name);
        card.reset();
        air.clear();
        tx_fid = 0;
        bring_up();
        card.records().set(rid::WepFlags, {wepflag::Privacy});
        card.records().set(rid::WepDefaultKeyId, {c.key_id});
        if (c.wide) {
            ASSERT_TRUE(card.records().set(rid::WepDefaultKey0, key_record(k104)));
        } else {
            for (uint16_t k = 0; k < 4; ++k)
                ASSERT_TRUE(
                    card.records().set((uint16_t)(rid::WepDefaultKey0 + k), key_record(k40[k])));
        }
        Bytes body = snap_body(64);
        transmit(card_tx_frame(kDst, kSrc, body));

        Bytes f = on_air();
        ASSERT_EQ(f.size(), 24u + 4u + body.size() + 4u);
        EXPECT_EQ(f[1], 0x41);
        Opened o = open_wep(Bytes(f.begin() + 24, f.end()), c.wide ? k104 : k40[c.used]);
        EXPECT_EQ(o.iv, 1u) << "first IV after power-on";
        EXPECT_EQ(o.key_id, c.used);
        EXPECT_EQ(f[27] & 0x3F, 0) << "key id byte carries only the key id";
        EXPECT_EQ(o.plain, body);
        EXPECT_TRUE(o.icv_ok);
    }
}

TEST_F(CardTx, ReuseFactorKeepsAnIvForThatManyFrames) {
    struct Case {
        uint16_t reuse;
        std::vector<uint32_t> ivs;
    };
    const Case cases[] = {
        {0, {1, 2, 3, 4}},
        {1, {1, 2, 3, 4}},
        {2, {1, 1, 2, 2}},
        {3, {1, 1, 1, 2}},
    };
    const Bytes key{1, 2, 3, 4, 5};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reuse);
        card.reset();
        air.clear();
        tx_fid = 0;
        bring_up();
        card.records().set(rid::WepFlags, {(uint16_t)(wepflag::Privacy | c.reuse << 5)});
        card.records().set(rid::WepDefaultKey0, key_record(key));
        std::vector<uint32_t> ivs;
        for (int i = 0; i < 4; ++i) {
            transmit(card_tx_frame(kDst, kSrc, snap_body(20)));
            wr(reg::EvAck, ev::Alloc);
            Bytes f = on_air((size_t)i);
            Opened o = open_wep(Bytes(f.begin() + 24, f.end()), key);
            EXPECT_TRUE(o.icv_ok);
            ivs.push_back(o.iv);
        }
        EXPECT_EQ(ivs, c.ivs);
    }
}

TEST_F(CardTx, NextIvCanBeSetFromTheBackend) {
    bring_up();
    card.records().set(rid::WepFlags, {wepflag::Privacy});
    card.set_next_iv(0xABCDEF);
    transmit(card_tx_frame(kDst, kSrc, snap_body(20)));
    Bytes f = on_air();
    EXPECT_EQ(Bytes(f.begin() + 24, f.begin() + 28), (Bytes{0xEF, 0xCD, 0xAB, 0x00}));
}

// ---- Refusals and completion ----

TEST_F(CardTx, FrameThatCannotGoOutRaisesTransmitExceptionAndGivesTheBufferBack) {
    struct Case {
        const char *name;
        bool enable;
        bool join;
        TxRefusal why;
    };
    for (const Case &c :
         {Case{"port disabled", false, true, TxRefusal::PortDisabled},
          Case{"infrastructure without a BSS", true, false, TxRefusal::NotJoined}}) {
        SCOPED_TRACE(c.name);
        card.reset();
        card.leave();
        card.trace().clear();
        card.trace().enable();
        air.clear();
        if (c.join)
            card.join(kBssid);
        if (c.enable) {
            ASSERT_EQ(command(0x0001), result::Ok);
        }
        uint16_t fid = allocate();
        write_bytes(fid, card_tx_frame(kDst, kSrc, snap_body(50)));
        ASSERT_EQ(command(0x010B, fid), result::Ok);
        run_until(ev::Alloc);
        EXPECT_TRUE(rd(reg::EvStat) & ev::TxExc);
        EXPECT_EQ(rd(reg::TxComplFid), fid);
        EXPECT_EQ(rd(reg::AllocFid), fid);
        EXPECT_TRUE(air.frames().empty());
        bool traced = false;
        for (const TraceRecord &r : card.trace().records())
            traced |= r.kind == TraceKind::TxRefused && r.offset == fid && r.aux == (uint16_t)c.why;
        EXPECT_TRUE(traced);
    }
}

TEST_F(CardTx, TransmitOfABufferTheHostDoesNotHoldFailsWithAResultCode) {
    bring_up();
    EXPECT_EQ(command(0x010B, 0x0200), result::BadParameter) << "never allocated";
    uint16_t fid = allocate();
    write_bytes(fid, card_tx_frame(kDst, kSrc, snap_body(1000)));
    ASSERT_EQ(command(0x010B, fid), result::Ok);
    EXPECT_EQ(command(0x010B, fid), result::BadParameter) << "already queued";
    EXPECT_EQ(command(0x030B, fid), result::BadParameter) << "unknown modifier";
    world.stall(2000);
    EXPECT_EQ(air.frames().size(), 1u);
}

TEST_F(CardTx, TransmitWithoutReclaimFreesTheBufferAndRaisesNoAllocateEvent) {
    bring_up();
    uint16_t fid = allocate();
    write_bytes(fid, card_tx_frame(kDst, kSrc, snap_body(100)));
    ASSERT_EQ(command(0x000B, fid), result::Ok);
    world.stall(1000);
    EXPECT_EQ(air.frames().size(), 1u);
    EXPECT_FALSE(rd(reg::EvStat) & ev::Alloc);
    EXPECT_FALSE(card.frames().allocated(fid));
}

TEST_F(CardTx, TxControlBitAsksForTheTransmitEvent) {
    bring_up();
    Bytes frame = card_tx_frame(kDst, kSrc, snap_body(100));
    transmit(frame);
    EXPECT_FALSE(rd(reg::EvStat) & ev::Tx) << "the driver leaves the control block zero";
    wr(reg::EvAck, ev::Alloc);

    frame[txf::TxControl] = (uint8_t)txf::TxControlTxOk;
    transmit(frame);
    EXPECT_TRUE(rd(reg::EvStat) & ev::Tx);
    EXPECT_EQ(rd(reg::TxComplFid), tx_fid);
}

TEST_F(CardTx, InitializeDropsQueuedFrames) {
    bring_up();
    card.records().set(rid::TxRateControl, {ratebit::Mbps1}); // 8.4 ms on the air
    uint16_t fid = allocate();
    write_bytes(fid, card_tx_frame(kDst, kSrc, snap_body(1000)));
    ASSERT_EQ(command(0x010B, fid), result::Ok);
    ASSERT_EQ(command(0x0000), result::Ok);
    world.stall(10000);
    EXPECT_TRUE(air.frames().empty());
    EXPECT_FALSE(rd(reg::EvStat) & ev::Alloc);
}

} // namespace

// ---- Fragmentation ----

TEST_F(CardTx, BodyAboveTheThresholdGoesOutInFragmentsEachSealedOnItsOwn) {
    struct Case {
        const char *name;
        uint16_t wep;
        uint16_t threshold;
        size_t body;
        std::vector<size_t> pieces; // body bytes on the air per fragment
    };
    const Case cases[] = {
        {"plain, threshold 500", 0, 500, 1000, {472, 472, 56}},
        {"plain, exactly one fragment's room", 0, 500, 472, {472}},
        {"firmware WEP: 8 bytes fewer each",
         wepflag::Privacy,
         500,
         1000,
         {464 + 8, 464 + 8, 72 + 8}},
        {"host sealed: never cut", wepflag::Privacy | wepflag::HostEncrypt, 500, 1000, {1000}},
        {"threshold below 256 counts as 256", 0, 100, 500, {228, 228, 44}},
    };
    const Bytes key{1, 2, 3, 4, 5};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        card.reset();
        air.clear();
        tx_fid = 0;
        bring_up();
        card.records().set(rid::WepFlags, {c.wep});
        card.records().set(rid::WepDefaultKey0, key_record(key));
        card.records().set(rid::FragThreshold, {c.threshold});
        Bytes body = snap_body(c.body);
        uint64_t sent = card.tx_stats().sent;
        transmit(card_tx_frame(kDst, kSrc, body));

        ASSERT_EQ(air.frames().size(), c.pieces.size());
        Bytes joined;
        uint32_t last_iv = 0;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            const Bytes &f = air.frames()[i].bytes;
            ASSERT_EQ(f.size(), 24 + c.pieces[i]);
            bool more = i + 1 < c.pieces.size();
            EXPECT_EQ((f[1] & 0x04) != 0, more) << "more-fragments bit of fragment " << i;
            EXPECT_EQ(f[22] & 0x0F, c.pieces.size() > 1 ? (int)i : 0) << "fragment number";
            EXPECT_EQ(f[22] >> 4 | f[23] << 4, 0) << "one sequence number for all";
            Bytes piece(f.begin() + 24, f.end());
            if (c.wep == wepflag::Privacy) {
                Opened o = open_wep(piece, key);
                EXPECT_TRUE(o.icv_ok);
                EXPECT_NE(o.iv, last_iv) << "each fragment has its own IV";
                last_iv = o.iv;
                piece = o.plain;
            }
            joined = joined + piece;
            if (i > 0) {
                EXPECT_GE(air.frames()[i].start_us, air.frames()[i - 1].end_us);
            }
        }
        EXPECT_EQ(joined, body);
        EXPECT_EQ(card.tx_stats().sent - sent, 1u) << "one frame, however many fragments";
    }
}
