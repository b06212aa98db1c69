// The transmit path: Ethernet frames handed to the send handler become the
// card's transmit frame in the transmit buffer, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "mac/talregs.h"
#include "support/adapter_fixture.h"
#include "support/bytes.h"
#include "wep/talwep.h"
#include "wep_reference.h"

using taltest::AdapterTest;
using taltest::Bytes;
using taltest::cat;

namespace {

const Bytes kDst = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const Bytes kSrc = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};

// An Ethernet frame: addresses, type/length field, payload 0, 1, 2, ...
Bytes ethernet(uint16_t type, size_t payload) {
    Bytes f = kDst;
    f.insert(f.end(), kSrc.begin(), kSrc.end());
    f.push_back((uint8_t)(type >> 8));
    f.push_back((uint8_t)type);
    for (size_t i = 0; i < payload; i++)
        f.push_back((uint8_t)i);
    return f;
}

Bytes slice(const Bytes &b, size_t from, size_t n) {
    return Bytes(b.begin() + (long)from, b.begin() + (long)(from + n));
}

class TxTest : public AdapterTest {
protected:
    // Polling mode with the timers held: each send serves a returned
    // buffer, so frames sent some time apart complete one another.
    TxTest() { hold_timers = true; }

    static talhost::AdapterConfig default_config() {
        auto c = AdapterTest::default_config();
        c.set_dword("PollInDriver", 1);
        return c;
    }

    void up(talhost::AdapterConfig c = default_config()) {
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        start_measuring();
    }

    static talhost::AdapterConfig wep_config() { return with_host_wep(default_config()); }

    // The transmit buffer as the card holds it.
    Bytes txbuf() {
        const std::vector<uint8_t> *b = card.frames().buffer(adapter->FIDValue);
        return b ? Bytes(b->begin(), b->end()) : Bytes();
    }

    size_t data_words_written() { return writes_to(TAL_REG_DATA1).size(); }
    long transmit_commands() {
        std::vector<uint16_t> c = writes_to(TAL_REG_COMMAND);
        return std::count(c.begin(), c.end(), 0x010B);
    }

    // A frame the card did not take - its buffer write failed, or it refused
    // the transmit command - leaves the buffer free and the packet at the head.
    void refused_frame_stays_queued(bool stuck_path) {
        SCOPED_TRACE(stuck_path ? "buffer write failed" : "transmit command refused");
        up();
        if (stuck_path)
            card.set_stuck_busy(talsim::Busy::Path1, true);
        else
            card.fail_command(0x010B, 0x0A, 1);
        auto p = packet(ethernet(0x0800, 40));
        EXPECT_EQ(send(*p), NDIS_STATUS_PENDING);
        EXPECT_EQ(transmit_commands(), stuck_path ? 0 : 1);
        EXPECT_EQ(adapter->reclaimStatus, 1) << "the buffer is still free";
        EXPECT_EQ(adapter->NumPacketsQueued, 1u);
        EXPECT_EQ(adapter->FirstTxQueue, p->ndis());
        EXPECT_EQ(adapter->PacketMonitor.TxPacketErrCounter, 1u);
        EXPECT_EQ(adapter->PacketMonitor.TxPacketBytes, 54u);

        // The next send tries the old head first, then leaves the new one queued.
        card.set_stuck_busy(talsim::Busy::Path1, false);
        auto q = packet(ethernet(0x0806, 28));
        send(*q);
        EXPECT_EQ(adapter->txPacket, p->ndis());
        EXPECT_EQ(adapter->FirstTxQueue, q->ndis());
        EXPECT_EQ(adapter->PacketMonitor.TxPacketBytes, 108u) << "counted again on the retry";
    }

    // Sends one frame with the buffer free; returns the card frame bytes.
    Bytes transmit(const Bytes &frame) {
        EXPECT_EQ(send(*packet(frame)), NDIS_STATUS_PENDING);
        return txbuf();
    }
};

// ---- Frame layout ----

TEST_F(TxTest, Ipv4FrameLayoutWithoutHostWep) {
    up();
    Bytes frame = ethernet(0x0800, 84);
    Bytes card_frame = transmit(frame);
    // Control block and 802.11 header zero, the 802.3 header with the body's
    // length, the RFC 1042 header and the payload.
    EXPECT_EQ(slice(card_frame, 0, 0x3C + 92),
              cat({Bytes(0x2E, 0),
                   kDst,
                   kSrc,
                   {0x00, 0x5C},
                   {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00},
                   slice(frame, 14, 84)}));
    EXPECT_EQ(data_words_written(), 76u);
    EXPECT_EQ(transmit_commands(), 1);
    EXPECT_EQ(adapter->reclaimStatus, 0);
    EXPECT_EQ(adapter->NumPacketsQueued, 0u);
    EXPECT_EQ(adapter->PacketMonitor.TxPacketBytes, 98u);
}

TEST_F(TxTest, Ipv4FrameLayoutWithHostWep) {
    up(wep_config());
    Bytes frame = ethernet(0x0800, 84);
    Bytes card_frame = transmit(frame);
    EXPECT_EQ(slice(card_frame, 0x3A, 2), (Bytes{0x00, 0x64}));
    EXPECT_EQ(data_words_written(), 80);
    // IV header in clear: counter 0 and key id 1.
    EXPECT_EQ(slice(card_frame, 0x3C, 4), (Bytes{0x00, 0x00, 0x00, 0x40}));
    // The body opens with the seed IV + key 1 into the SNAP header, the
    // payload and the CRC-32 of both.
    Bytes seed = {0x00, 0x00, 0x00, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5};
    Bytes ks(96);
    talref::keystream(seed, ks);
    Bytes plain = slice(card_frame, 0x40, 96);
    for (size_t i = 0; i < plain.size(); i++)
        plain[i] ^= ks[i];
    Bytes body = cat({{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00}, slice(frame, 14, 84)});
    EXPECT_EQ(slice(plain, 0, 92), body);
    uint32_t icv = talref::crc32(body);
    EXPECT_EQ(slice(plain, 92, 4), (Bytes{(uint8_t)icv, (uint8_t)(icv >> 8), (uint8_t)(icv >> 16),
                                          (uint8_t)(icv >> 24)}));
}

// The first frames after bring-up carry the key-id byte registration wrote;
// a receiver that picks its key by that byte (the engine's receive on a
// record holding the same keys) must open them.
struct KeyIdCase {
    const char *name;
    uint32_t wep_req;
    long key_id; // -1: "DefaultKeyId" absent
    uint8_t id_byte;
};

void PrintTo(const KeyIdCase &c, std::ostream *os) {
    *os << c.name;
}

class TxKeyIdTest : public TxTest, public ::testing::WithParamInterface<KeyIdCase> {};

TEST_P(TxKeyIdTest, HostWepHeaderNamesTheKeyTheFrameWasSealedWith) {
    const KeyIdCase &c = GetParam();
    auto config = default_config();
    config.set_dword("WepReq", c.wep_req);
    config.set_string("DefaultKeys", c.wep_req == 7 ? "0102030405060708090A0B0C0D"
                                                    : "0102030405A1B2C3D4E5DEADBEEF0011223344CC");
    if (c.key_id >= 0)
        config.set_dword("DefaultKeyId", (uint32_t)c.key_id);
    up(config);
    Bytes frame = ethernet(0x0800, 40);
    Bytes field = slice(transmit(frame), 0x3C, 4 + 8 + 40 + 4);
    EXPECT_EQ(field[3], c.id_byte);

    auto rx = taltest::zeroed<TAL_ADAPTER>();
    rx->WepRequired = adapter->WepRequired;
    std::memcpy(rx->WepDefaultKey0, adapter->WepDefaultKey0, sizeof rx->WepDefaultKey0);
    std::memcpy(rx->WepDefaultKey1, adapter->WepDefaultKey1, sizeof rx->WepDefaultKey1);
    std::memcpy(rx->WepDefaultKey2, adapter->WepDefaultKey2, sizeof rx->WepDefaultKey2);
    std::memcpy(rx->WepDefaultKey3, adapter->WepDefaultKey3, sizeof rx->WepDefaultKey3);
    crc32_mktable(rx.get());
    EXPECT_TRUE(wep_rx_open(rx.get(), field.data(), (USHORT)field.size()));
    EXPECT_EQ(slice(field, 12, 40), slice(frame, 14, 40));
}

INSTANTIATE_TEST_SUITE_P(KeyIds, TxKeyIdTest,
                         ::testing::Values(KeyIdCase{"Absent40", 3, -1, 0x00},
                                           KeyIdCase{"Two40", 3, 2, 0x80},
                                           KeyIdCase{"Four40", 3, 4, 0x00},
                                           KeyIdCase{"Two104", 7, 2, 0x00}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(TxTest, EncapsulationFollowsTheEtherTypeAndTheVendorFlag) {
    const Bytes rfc1042 = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
    const Bytes tunnel = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};
    const Bytes vendor = {0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39};
    struct Case {
        uint16_t type;
        UCHAR vendor_flag;
        Bytes header;
    } cases[] = {
        {0x0800, 0, rfc1042}, {0x0806, 0, rfc1042}, {0x86DD, 0, rfc1042}, {0x8137, 0, tunnel},
        {0x80F3, 0, tunnel},  {0x0800, 1, vendor},  {0x8137, 1, vendor},  {0x05DD, 0, rfc1042},
    };
    up();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        adapter->QuenlixOUI = c.vendor_flag;
        host.world().run_for(2000); // the buffer comes back; the next send serves it
        Bytes frame = ethernet(c.type, 20);
        Bytes card_frame = transmit(frame);
        EXPECT_EQ(slice(card_frame, 0x3C, 8),
                  cat({c.header, {(uint8_t)(c.type >> 8), (uint8_t)c.type}}));
        EXPECT_EQ(slice(card_frame, 0x3A, 2), (Bytes{0x00, 28}));
    }
    adapter->QuenlixOUI = 0;
}

// A length frame goes as it is, its own length field kept; with host WEP
// the field carries the sealed body's length. A header alone carries the
// encapsulation.
TEST_F(TxTest, LengthFramesGoAsTheyAreAndHeaderOnlyFramesCarryTheEncapsulation) {
    struct Case {
        const char *name;
        bool wep;
        uint16_t field;
        size_t payload;
        Bytes length_bytes; // in the card frame
        size_t words;       // data words written
    } cases[] = {
        {"1500 is a length", false, 0x05DC, 46, {0x05, 0xDC}, (60 + 46 + 1) / 2},
        {"field shorter than the frame", false, 0x0010, 46, {0x00, 0x10}, (60 + 46 + 1) / 2},
        {"host WEP: the sealed length", true, 46, 46, {0x00, 54}, (60 + 54) / 2},
        {"header only", false, 0x0800, 0, {0x00, 0x08}, 34},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        up(c.wep ? wep_config() : default_config());
        Bytes frame = ethernet(c.field, c.payload);
        Bytes card_frame = transmit(frame);
        EXPECT_EQ(slice(card_frame, 0x3A, 2), c.length_bytes);
        EXPECT_EQ(data_words_written(), c.words);
        if (!c.wep && c.payload) {
            EXPECT_EQ(slice(card_frame, 0x2E, 14), slice(frame, 0, 14)) << "header as it was";
            EXPECT_EQ(slice(card_frame, 0x3C, c.payload), slice(frame, 14, c.payload));
        }
    }
}

// ---- Queue and completions ----

TEST_F(TxTest, PacketsWaitInOrderAndCompleteAsTheBufferComesBack) {
    up();
    std::vector<talhost::Packet *> p;
    for (int i = 0; i < 3; i++)
        p.push_back(packet(ethernet(0x0800, 50 + i)));

    send(*p[0]);
    send(*p[1]); // the buffer is still on the air: p1 waits
    EXPECT_EQ(adapter->NumPacketsQueued, 1u);
    EXPECT_TRUE(completions().empty());

    host.world().run_for(2000);
    send(*p[2]); // finds the buffer back: completes p0, starts p1
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].packet, p[0]->ndis());
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->txPacket, p[1]->ndis());
    EXPECT_EQ(adapter->FirstTxQueue, p[2]->ndis());
    EXPECT_EQ(adapter->NumPacketsQueued, 1u);
    EXPECT_EQ(adapter->PacketMonitor.TxPacketCounter, 1u);
    EXPECT_EQ(adapter->Lock.Held, 0u);
    EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN);
}

TEST_F(TxTest, PollingSendServesAPendingAllocateEventWithoutStalling) {
    up();
    auto a = packet(ethernet(0x0800, 40));
    auto b = packet(ethernet(0x0800, 40));
    send(*a);
    host.world().run_for(2000);
    start_measuring();
    send(*b);
    std::vector<uint64_t> evstat_reads;
    for (const talsim::TraceRecord &r : card.trace().records())
        if (r.kind == talsim::TraceKind::PortRead && r.offset == TAL_REG_EVSTAT)
            evstat_reads.push_back(r.time);
    ASSERT_GE(evstat_reads.size(), 2u);
    EXPECT_EQ(evstat_reads[0], evstat_reads[1]) << "no 50 us stall between the two looks";
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(adapter->txPacket, b->ndis());
}

TEST_F(TxTest, PollingSendWaitsOneShortStallForTheBufferToComeBack) {
    up();
    // How long a 54-byte frame holds the buffer, from its send on.
    send(*packet(ethernet(0x0800, 40)));
    uint64_t t0 = host.world().now();
    while (!(card.events() & TAL_EV_ALLOC))
        host.world().run_for(1);
    uint64_t hold = host.world().now() - t0;

    auto b = packet(ethernet(0x0800, 40));
    send(*b); // serves the first buffer, starts b
    host.world().run_for(hold - 30);
    auto c2 = packet(ethernet(0x0800, 40));
    send(*c2); // b's buffer comes back within the stall
    ASSERT_EQ(completions().size(), 2u);
    EXPECT_EQ(completions()[1].packet, b->ndis());
    EXPECT_EQ(adapter->txPacket, c2->ndis());
}

TEST_F(TxTest, FrameTheCardDidNotTakeKeepsThePacketQueuedAndCountsTheError) {
    refused_frame_stays_queued(true);
    refused_frame_stays_queued(false);
}

TEST_F(TxTest, MonitorModeRefusesEverySendAtOnce) {
    up();
    adapter->sniffer_state = 1;
    auto p = packet(ethernet(0x0800, 40));
    EXPECT_EQ(send(*p), NDIS_STATUS_PENDING);
    ASSERT_EQ(completions().size(), 1u);
    EXPECT_EQ(completions()[0].status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(data_words_written(), 0);
    EXPECT_EQ(adapter->NumPacketsQueued, 0u);
    EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN);
}

TEST_F(TxTest, FramesThatAreNotEthernetSizedAreRefusedAndCounted) {
    up();
    struct Case {
        size_t length;
        bool accepted;
    } cases[] = {{0, false}, {13, false}, {14, true}, {1514, true}, {1515, false}, {4000, false}};
    ULONG errors = 0;
    auto failures = [&] {
        size_t n = 0;
        for (const talhost::SendCompletion &c : completions())
            n += c.status == NDIS_STATUS_FAILURE;
        return n;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        host.world().run_for(2000);
        Bytes frame = c.length >= 14 ? ethernet(0x0800, c.length - 14) : Bytes(c.length, 0xAB);
        // The longer ones in two buffers, the second of one byte.
        talhost::Packet *p =
            c.length > 1514 ? adopt(talhost::Packet::split(frame, {c.length - 1})) : packet(frame);
        send(*p);
        if (c.accepted) {
            EXPECT_EQ(adapter->txPacket, p->ndis());
        } else {
            ++errors;
            ASSERT_FALSE(completions().empty());
            EXPECT_EQ(completions().back().packet, p->ndis());
            EXPECT_EQ(completions().back().status, NDIS_STATUS_FAILURE);
        }
        EXPECT_EQ(failures(), errors);
        EXPECT_EQ(adapter->NumPacketsQueued, 0u);
        EXPECT_EQ(adapter->PacketMonitor.TxPacketErrCounter, errors);
    }
}

TEST_F(TxTest, BufferChainsAreGatheredWhateverTheirSplit) {
    up();
    Bytes frame = ethernet(0x0806, 28);
    Bytes expected = transmit(frame);
    for (std::vector<size_t> cuts :
         {std::vector<size_t>{0, 0, 14}, {6, 12, 13, 42}, {1, 2, 3, 4, 5, 41, 42, 42}}) {
        host.world().run_for(2000);
        auto split = talhost::Packet::split(frame, cuts);
        ASSERT_TRUE(split);
        send(*adopt(std::move(split)));
        EXPECT_EQ(slice(txbuf(), 0, 60 + 36), slice(expected, 0, 60 + 36));
    }
}

} // namespace
