// The receive path: receive frames the card model hands the driver (through
// inject_rx, so that any control block, header and body can be tried)
// become Ethernet frames or monitor records in the adapter's receive
// buffer, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card/cardwep.h"
#include "datapath/transfer.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "support/adapter_fixture.h"
#include "support/bytes.h"

using taltest::AdapterTest;
using taltest::be16;
using taltest::Bytes;
using taltest::cat;
using taltest::counting;

namespace {

const Bytes kStation = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
const Bytes kPeer = {0x00, 0x60, 0x1D, 0x0A, 0x0B, 0x0C};
const Bytes kOther = {0x00, 0x60, 0x1D, 0x0A, 0x0B, 0x0D};
const Bytes kKey1 = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5};
const Bytes kRfc1042 = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
const Bytes kTunnel = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};
const Bytes kVendor = {0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39, 0x81, 0xAE};

// A receive frame as the card fills a FID.
struct CardRx {
    uint16_t status = 0;
    uint16_t fc = 0x0208;      // data, FromDS
    uint16_t sequence = 0x123; // sequence number
    uint8_t fragment = 0;
    Bytes transmitter = kPeer;
    Bytes body;
    int data_len = -1; // -1: the body's length

    Bytes bytes() const {
        Bytes f(0x3C, 0);
        f[0] = (uint8_t)status;
        f[1] = (uint8_t)(status >> 8);
        f[0x0E] = (uint8_t)fc;
        f[0x0F] = (uint8_t)(fc >> 8);
        std::copy(kStation.begin(), kStation.end(), f.begin() + 0x12);
        std::copy(transmitter.begin(), transmitter.end(), f.begin() + 0x18);
        uint16_t sc = (uint16_t)(sequence << 4 | fragment);
        f[0x24] = (uint8_t)sc;
        f[0x25] = (uint8_t)(sc >> 8);
        size_t dl = data_len < 0 ? body.size() : (size_t)data_len;
        f[0x2C] = (uint8_t)dl;
        f[0x2D] = (uint8_t)(dl >> 8);
        std::copy(kStation.begin(), kStation.end(), f.begin() + 0x2E);
        std::copy(kPeer.begin(), kPeer.end(), f.begin() + 0x34);
        f[0x3A] = (uint8_t)(body.size() >> 8);
        f[0x3B] = (uint8_t)body.size();
        return cat({f, body});
    }
};

struct Received {
    USHORT status;
    USHORT length;
    Bytes frame; // what pRxPacket holds, header (or record) included
};

class RxTest : public AdapterTest {
protected:
    void up(talhost::AdapterConfig c = default_config()) {
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
    }

    static talhost::AdapterConfig wep_config() { return with_host_wep(default_config()); }

    // A data field sealed as a sender holding key 1 seals it.
    static Bytes sealed(const Bytes &plain, uint32_t iv = 0x112233) {
        return talsim::card_wep_seal(iv, 1, kKey1, plain);
    }

    // Serves the receive event as the event loop does: TalReceive into the
    // receive buffer under Lock, then the acknowledgement.
    Received receive(const CardRx &rx) {
        EXPECT_TRUE(card.inject_rx(rx.bytes()));
        host.world().run_for(100);
        EXPECT_TRUE(card.events() & TAL_EV_RX);
        TAL_ADAPTER *a = adapter.get();
        USHORT length = 0xFFFF;
        NdisAcquireSpinLock(&a->Lock);
        USHORT status = TalReceive(a, a->pRxPacket, &length);
        NdisReleaseSpinLock(&a->Lock);
        issueEventACK(a, TAL_EV_RX);
        Received r{status, length, {}};
        size_t n = (a->sniffer_state ? 0 : 14) + length;
        if (status == 0 && length)
            r.frame.assign(a->pRxPacket, a->pRxPacket + n);
        a->PacketRecv = a->pRxPacket;
        a->PacketLength = (USHORT)n;
        return r;
    }

    Bytes ethernet(const Bytes &type, const Bytes &body) {
        return cat({kStation, kPeer, type, body});
    }
};

// ---- Classification and encapsulation removal ----

TEST_F(RxTest, StatusBitsDecideWhichHeadersAreRemoved) {
    const Bytes ip = {0x08, 0x00}, ipx = {0x81, 0x37}, aarp = {0x80, 0xF3};
    const Bytes payload = counting(100);
    struct Case {
        const char *name;
        uint16_t status;
        Bytes body;
        Bytes expect; // the Ethernet frame
        uint16_t fc = 0x0208;
    } cases[] = {
        {"RFC 1042", 0x2000, cat({kRfc1042, ip, payload}), ethernet(ip, payload)},
        {"bridge tunnel", 0x4000, cat({kTunnel, ipx, payload}), ethernet(ipx, payload)},
        {"both bits: tunnel", 0x6000, cat({kTunnel, ipx, payload}), ethernet(ipx, payload)},
        {"RFC 1042 with IPX kept", 0x2000, cat({kRfc1042, ipx, payload}),
         ethernet(be16(108), cat({kRfc1042, ipx, payload}))},
        {"RFC 1042 with AARP kept", 0x2000, cat({kRfc1042, aarp, payload}),
         ethernet(be16(108), cat({kRfc1042, aarp, payload}))},
        {"neither bit", 0x0000, cat({kRfc1042, ip, payload}),
         ethernet(be16(108), cat({kRfc1042, ip, payload}))},
        {"short body padded", 0x2000, cat({kRfc1042, ip, counting(20)}),
         ethernet(ip, cat({counting(20), Bytes(26, 0)}))},
        {"6-byte plain body padded", 0x0000, counting(6),
         ethernet(be16(6), cat({counting(6), Bytes(40, 0)}))},
        {"more-fragments bit without reassembly: a whole frame", 0x2000,
         cat({kRfc1042, ip, counting(60)}), ethernet(ip, counting(60)), 0x0608},
    };
    up();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Received r = receive(CardRx{c.status, c.fc, 1, 0, kPeer, c.body});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.length, c.expect.size() - 14);
        EXPECT_EQ(r.frame, c.expect);
    }
}

TEST_F(RxTest, BodiesTooShortOrTooLongAreRefused) {
    struct Case {
        const char *name;
        uint16_t status;
        size_t body;
        int data_len;
        bool monitor;
        USHORT length; // 0: refused
        bool counted;  // as a receive error
    } cases[] = {
        {"6 bytes under the tunnel bit", 0x4000, 6, -1, false, 0, false},
        {"6 bytes under the RFC 1042 bit", 0x2000, 6, -1, false, 0, false},
        {"DataLen 0", 0x0000, 0, 0, false, 0, false},
        {"DataLen 2305", 0x0000, 2304, 2305, false, 0, false},
        {"1500 bytes after the header", 0x0000, 1500, -1, false, 1500, false},
        {"1501: longer than the protocols take", 0x0000, 1501, -1, false, 0, true},
        {"2304 outside monitor mode", 0x0000, 2304, -1, false, 0, true},
        {"2304 in monitor mode", 0x0000, 2304, -1, true, 2304 + 46, false},
    };
    up();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        adapter->sniffer_state = c.monitor;
        ULONG errors = adapter->PacketMonitor.RxPacketErrCounter;
        Received r = receive(CardRx{c.status, 0x0208, 1, 0, kPeer, counting(c.body), c.data_len});
        EXPECT_EQ(r.status, c.length ? 0 : 0x7F);
        EXPECT_EQ(r.length, c.length);
        EXPECT_EQ(adapter->PacketMonitor.RxPacketErrCounter - errors, c.counted ? 1u : 0u);
    }
}

// ---- Host decryption ----

TEST_F(RxTest, HostDecryptedFramesAreClassifiedByTheirPlaintext) {
    const Bytes ip = {0x08, 0x00}, ipx = {0x81, 0x37};
    struct Case {
        const char *name;
        uint16_t card_status;
        Bytes plain;
        Bytes expect;
    } cases[] = {
        {"RFC 1042 whatever the card said", 0x0000, cat({kRfc1042, ip, counting(50)}),
         ethernet(ip, counting(50))},
        {"tunnel whatever the card said", 0x2000, cat({kTunnel, ipx, counting(50)}),
         ethernet(ipx, counting(50))},
        {"other plaintext keeps the card's status", 0x2000,
         cat({counting(6, 0x40), ip, counting(50)}), ethernet(ip, counting(50))},
        {"5-byte plaintext is not classified", 0x0000, Bytes{0xAA, 0xAA, 0x03, 0x00, 0x00},
         ethernet(be16(5), cat({Bytes{0xAA, 0xAA, 0x03, 0x00, 0x00}, Bytes(41, 0)}))},
    };
    up(wep_config());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Received r = receive(CardRx{c.card_status, 0x4208, 1, 0, kPeer, sealed(c.plain)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.frame, c.expect);
    }
}

TEST_F(RxTest, FrameWithABadIcvIsDroppedAndCounted) {
    up(wep_config());
    Bytes body = sealed(cat({kRfc1042, Bytes{0x08, 0x00}, counting(40)}));
    body[20] ^= 0x01;
    Received r = receive(CardRx{0, 0x4208, 1, 0, kPeer, body});
    EXPECT_EQ(r.status, 0x7F);
    EXPECT_EQ(r.length, 0);
    EXPECT_EQ(adapter->PacketMonitor.RxPacketErrCounter, 1u);
    // Too short to hold an IV header and ICV: refused, not counted.
    r = receive(CardRx{0, 0x4208, 2, 0, kPeer, counting(7)});
    EXPECT_EQ(r.status, 0x7F);
    EXPECT_EQ(adapter->PacketMonitor.RxPacketErrCounter, 1u);
}

// ---- Reassembly ----

class ReassemblyTest : public RxTest {
protected:
    // Fragment n of sequence `seq` from `from`, sealed, more-fragments as told.
    CardRx fragment(const Bytes &plain, uint8_t n, bool more, uint16_t seq = 7,
                    const Bytes &from = kPeer) {
        return CardRx{
            0, (uint16_t)(0x4208 | (more ? 0x0400 : 0)), seq, n, from, sealed(plain, 0x100 + n)};
    }
    Bytes whole = cat({kRfc1042, Bytes{0x08, 0x00}, counting(1200)});
    Bytes part(size_t from, size_t n) {
        return Bytes(whole.begin() + (long)from, whole.begin() + (long)(from + n));
    }
};

TEST_F(ReassemblyTest, ThreeHostDecryptedFragmentsMakeOneFrameARepeatedOneIsIgnored) {
    up(wep_config());
    // 508, 500 and 200 plaintext bytes: 500 + 500 + 200 after the header goes.
    EXPECT_EQ(receive(fragment(part(0, 508), 0, true)).length, 0);
    EXPECT_EQ(receive(fragment(part(508, 500), 1, true)).length, 0);
    Received again = receive(fragment(part(508, 500), 1, true));
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.length, 0);
    Received r = receive(fragment(part(1008, 200), 2, false));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.length, 1200);
    EXPECT_EQ(r.frame, ethernet({0x08, 0x00}, counting(1200)));
    EXPECT_EQ(adapter->reassemblyInProgress, 0);
}

TEST_F(ReassemblyTest, FragmentsThatDoNotContinueTheFrameDropIt) {
    struct Case {
        const char *name;
        CardRx second;
        USHORT status; // of the second fragment
        bool still_gathering;
        ULONG errors = 0; // counted
    };
    up(wep_config());
    CardRx bad_icv = fragment(part(508, 500), 1, true);
    bad_icv.body[30] ^= 0x80;
    const Case cases[] = {
        {"another sequence number", fragment(part(508, 500), 1, true, 8), 0x7F, false},
        {"another transmitter", fragment(part(508, 500), 1, true, 7, kOther), 0x7F, false},
        {"a fragment number skipped", fragment(part(508, 500), 2, true), 0x7F, false},
        {"the first again: a new frame", fragment(part(0, 508), 0, true), 0, true},
        {"a bad ICV", bad_icv, 0x7F, false, 1},
        {"too short for an IV and ICV: refused, the frame kept",
         CardRx{0, 0x4608, 7, 1, kPeer, counting(7)}, 0x7F, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        receive(fragment(part(0, 508), 0, true));
        ULONG errors = adapter->PacketMonitor.RxPacketErrCounter;
        Received r = receive(c.second);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.length, 0);
        EXPECT_EQ(adapter->PacketMonitor.RxPacketErrCounter - errors, c.errors);
        EXPECT_EQ(adapter->reassemblyInProgress, c.still_gathering ? 1 : 0);
        if (c.still_gathering) {
            EXPECT_EQ(adapter->savePos, 14 + 500);
        }
        talEndReassembly(adapter.get());
    }
    // A continuation with no first fragment is refused, also when a whole
    // frame came in between.
    EXPECT_EQ(receive(fragment(part(508, 500), 1, true)).status, 0x7F);
    receive(fragment(part(0, 508), 0, true));
    EXPECT_EQ(receive(CardRx{0, 0x4208, 3, 0, kPeer, sealed(whole)}).length, 1200);
    EXPECT_EQ(receive(fragment(part(508, 500), 1, true)).status, 0x7F);
}

TEST_F(ReassemblyTest, OversizedRunsAreDroppedNeverWrittenPastTheBuffer) {
    up(wep_config());
    // Two 1500-byte fragments would reach 3014 bytes.
    receive(fragment(counting(1500), 0, true));
    EXPECT_EQ(receive(fragment(counting(1500), 1, true)).status, 0x7F);
    EXPECT_EQ(adapter->reassemblyInProgress, 0);
    // 1000 + 600 bytes fit the buffer but not an Ethernet frame: counted.
    receive(fragment(counting(1000), 0, true, 9));
    Received r = receive(fragment(counting(600), 1, false, 9));
    EXPECT_EQ(r.status, 0x7F);
    EXPECT_EQ(adapter->PacketMonitor.RxPacketErrCounter, 1u);
}

TEST_F(ReassemblyTest, CardResetAndMonitorSwitchEndAReassembly) {
    up(wep_config());
    receive(fragment(part(0, 508), 0, true));
    ASSERT_EQ(cardReset(adapter.get()), 0);
    EXPECT_EQ(adapter->reassemblyInProgress, 0);
    receive(fragment(part(0, 508), 0, true));
    ASSERT_EQ(OnSniffer(adapter.get()), 0);
    EXPECT_EQ(adapter->reassemblyInProgress, 0);
    ASSERT_EQ(OffSniffer(adapter.get()), 0);
    EXPECT_EQ(receive(fragment(part(508, 500), 1, true)).status, 0x7F) << "nothing to continue";
}

TEST_F(ReassemblyTest, LengthFieldOfAnUnencapsulatedFrameCountsTheWholeBody) {
    up(wep_config());
    Bytes body = counting(700, 0x30);
    receive(fragment(Bytes(body.begin(), body.begin() + 400), 0, true));
    Received r = receive(fragment(Bytes(body.begin() + 400, body.end()), 1, false));
    EXPECT_EQ(r.frame, ethernet(be16(700), body));
}

// ---- Vendor answers ----

// The end-to-end vendor test has the answers of another version and a
// text longer than its field.
TEST_F(RxTest, VendorAnswersAreConsumedAndParsedWithinTheirBounds) {
    struct Case {
        const char *name;
        Bytes payload;
        UCHAR flag;
        std::string model;
        std::string description;
        UCHAR nat;
        UCHAR connectivity;
    };
    const Bytes model = {1, 5, 'A', 'P', '-', '1', 0};
    const Case cases[] = {
        {"nine items", cat({{0, 1, 9, 0}, model, {3, 3, 'a', 'b', 0}, {4, 1, 7}, {9, 1, 2}}), 1,
         "AP-1", "ab", 7, 2},
        {"count 0: only the flag", cat({{0, 1, 0, 0}, model}), 1, "", "", 0, 0},
        {"unknown type skipped by its length", cat({{0, 1, 9, 0}, {10, 2, 5, 5}, model}), 1, "AP-1",
         "", 0, 0},
        {"byte item of length 0 stores nothing", cat({{0, 1, 9, 0}, {4, 0}, {9, 1, 3}}), 1, "", "",
         0, 3},
        {"text without terminator cut at its length",
         cat({{0, 1, 9, 0}, {1, 3, 'X', 'Y', 'Z', 'W'}}), 1, "XYZ", "", 0, 0},
        {"item running past the payload is cut there", cat({{0, 1, 9, 0}, {3, 90, 'd', 'e'}}), 1,
         "", "de", 0, 0},
        {"count 12 walks 9 items",
         cat({{0, 1, 12, 0},
              {4, 1, 1},
              {4, 1, 2},
              {4, 1, 3},
              {4, 1, 4},
              {4, 1, 5},
              {4, 1, 6},
              {4, 1, 7},
              {4, 1, 8},
              {4, 1, 9},
              {4, 1, 10}}),
         1, "", "", 9, 0},
        {"no item starts at offset 129 or later",
         cat({{0, 1, 9, 0}, {3, 123}, Bytes(122, 'x'), {0}, {9, 1, 5}}), 1, "",
         std::string(122, 'x'), 0, 0},
    };
    up();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(&adapter->APCard_Info, 0, sizeof adapter->APCard_Info);
        adapter->APCard_Info_Flag = 0;
        Received r = receive(CardRx{0, 0x0208, 1, 0, kPeer, cat({kVendor, c.payload})});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.length, 0) << "a vendor frame is not indicated";
        EXPECT_EQ(adapter->APCard_Info_Flag, c.flag);
        EXPECT_EQ(std::string((const char *)adapter->APCard_Info.Model), c.model);
        EXPECT_EQ(std::string((const char *)adapter->APCard_Info.Description), c.description);
        EXPECT_EQ(adapter->APCard_Info.NAT_val, c.nat);
        EXPECT_EQ(adapter->APCard_Info.Connectivity, c.connectivity);
    }
    // Seven bytes of a vendor header are an ordinary body.
    Received r = receive(CardRx{0, 0x0208, 1, 0, kPeer, Bytes(kVendor.begin(), kVendor.end() - 1)});
    EXPECT_EQ(r.length, 46);
}

TEST_F(RxTest, VendorRequestGoesToTheBssidOnlyWhenTheBufferIsFree) {
    up();
    const Bytes request = {0x00, 0x01, 0x09, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04,
                           0x00, 0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x09, 0x00};
    ASSERT_EQ(QuenlixOUIRequest(adapter.get()), 1);
    const std::vector<uint8_t> &tx = *card.frames().buffer(adapter->FIDValue);
    Bytes bssid(taltest::kApBssid.begin(), taltest::kApBssid.end());
    EXPECT_EQ(Bytes(tx.begin() + 0x2E, tx.begin() + 0x3C + 30),
              cat({bssid, kStation, be16(30), kVendor, request}));
    EXPECT_EQ(adapter->QuenlixOUI, 0);
    EXPECT_EQ(adapter->reclaimStatus, 0);

    // The buffer is busy now: skipped, reported as nothing sent.
    card.trace().enable();
    EXPECT_EQ(QuenlixOUIRequest(adapter.get()), 1);
    EXPECT_TRUE(card.trace().port_accesses().empty()) << "the card is not touched";

    // Packets queued behind the request's frame fail at a reset, though
    // none of them is in the card.
    send(*packet(ethernet({0x08, 0x00}, counting(40))));
    send(*packet(ethernet({0x08, 0x00}, counting(40))));
    ASSERT_EQ(adapter->txPacket, nullptr);
    ASSERT_EQ(cardReset(adapter.get()), 0);
    ASSERT_EQ(completions().size(), 2u);
    EXPECT_EQ(completions()[1].status, NDIS_STATUS_FAILURE);

    // A transmit the card refuses: reported, the flag back to 0.
    host.world().run_for(2000);
    adapter->reclaimStatus = 1;
    card.fail_command(0x010B, 0x0A, 1);
    EXPECT_EQ(QuenlixOUIRequest(adapter.get()), 0);
    EXPECT_EQ(adapter->QuenlixOUI, 0);
}

// ---- Monitor mode ----

TEST_F(RxTest, MonitorRecordCarriesTheHeaderAndTheWholeBody) {
    up();
    // A frame whose plaintext would be classified leaves its bytes behind.
    receive(CardRx{0x2000, 0x0208, 1, 0, kPeer, cat({kRfc1042, Bytes{0x08, 0x00}, counting(60)})});
    adapter->sniffer_state = 1;
    CardRx rx{0x2000, 0x4A08, 0x0AB, 3, kPeer, counting(100, 0x80)};
    Received r = receive(rx);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.length, 146);
    Bytes card_frame = rx.bytes();
    EXPECT_EQ(Bytes(r.frame.begin(), r.frame.begin() + 32),
              Bytes(card_frame.begin() + 0x0E, card_frame.begin() + 0x2E));
    EXPECT_EQ(Bytes(r.frame.begin() + 32, r.frame.begin() + 46), Bytes(14, 0));
    EXPECT_EQ(Bytes(r.frame.begin() + 46, r.frame.end()), counting(100, 0x80));
}

// ---- Transfer data ----

TEST_F(RxTest, TransferDataCopiesWhatTheFrameAndThePacketHold) {
    struct Case {
        const char *name;
        UINT offset;
        UINT wanted;
        std::vector<size_t> buffers; // cut points of the destination packet
        size_t packet_bytes;
        NDIS_STATUS status;
        UINT copied;
    } cases[] = {
        {"cut to the frame's end", 100, 2000, {}, 1500, NDIS_STATUS_SUCCESS, 1400},
        {"into three buffers", 0, 1500, {10, 700}, 1500, NDIS_STATUS_SUCCESS, 1500},
        {"packet too small", 0, 300, {}, 100, NDIS_STATUS_FAILURE, 100},
        {"offset at the end", 1500, 10, {}, 100, NDIS_STATUS_SUCCESS, 0},
        {"offset past the end", 4000, 10, {}, 100, NDIS_STATUS_SUCCESS, 0},
    };
    up();
    Bytes body = counting(1500);
    ASSERT_EQ(receive(CardRx{0, 0x0208, 1, 0, kPeer, body}).length, 1500);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto p = talhost::Packet::split(Bytes(c.packet_bytes, 0xEE), c.buffers);
        UINT copied = 0xDEAD;
        NDIS_STATUS s =
            TalTransferData(p->ndis(), &copied, adapter.get(), nullptr, c.offset, c.wanted);
        EXPECT_EQ(s, c.status);
        EXPECT_EQ(copied, c.copied);
        // Walk the buffers: the copied bytes in order, the rest untouched.
        Bytes got;
        for (PNDIS_BUFFER b = p->ndis()->Private.Head; b; b = b->Next)
            got.insert(got.end(), (uint8_t *)b->VirtualAddress,
                       (uint8_t *)b->VirtualAddress + b->Length);
        Bytes expect(body.begin() + std::min<size_t>(c.offset, 1500),
                     body.begin() + std::min<size_t>(c.offset, 1500) + c.copied);
        expect.resize(c.packet_bytes, 0xEE);
        EXPECT_EQ(got, expect);
    }
}

// ---- Monitor mode on and off ----

TEST_F(RxTest, MonitorModeFailsThePacketsHeldAndSendsNothing) {
    up();
    send(*packet(ethernet({0x08, 0x00}, counting(80)))); // in the card
    send(*packet(ethernet({0x08, 0x00}, counting(80)))); // queued
    card.trace().clear();
    card.trace().enable();
    ASSERT_EQ(OnSniffer(adapter.get()), 0);
    EXPECT_TRUE(card.monitor_mode());
    ASSERT_EQ(completions().size(), 2u);
    for (const auto &c : completions())
        EXPECT_EQ(c.status, NDIS_STATUS_FAILURE);
    send(*packet(ethernet({0x08, 0x00}, counting(80))));
    host.world().run_for(2000);
    adapter->reclaimStatus = 1; // the buffer came back: nothing else holds it
    EXPECT_EQ(QuenlixOUIRequest(adapter.get()), 1);
    for (const talsim::PortAccess &a : card.trace().port_accesses())
        EXPECT_FALSE(a.write && a.offset == TAL_REG_COMMAND && (a.value & 0xFF) == 0x0B)
            << "nothing transmitted";
    EXPECT_EQ(completions().back().status, NDIS_STATUS_FAILURE);

    ASSERT_EQ(OffSniffer(adapter.get()), 0);
    EXPECT_FALSE(card.monitor_mode());
    EXPECT_EQ(adapter->sniffer_state, 0);
    EXPECT_EQ(adapter->reclaimStatus, 1) << "the reset gave the card a transmit buffer again";
}

TEST_F(RxTest, RefusedTestCommandResetsTheCardAndLeavesMonitorModeOff) {
    up();
    card.fail_command(0x0B38, 0x0A, 1);
    card.trace().enable();
    EXPECT_EQ(OnSniffer(adapter.get()), 0x0A);
    EXPECT_EQ(adapter->sniffer_state, 0);
    bool reset = false;
    for (const talsim::PortAccess &a : card.trace().port_accesses())
        reset = reset || (a.write && a.offset == TAL_REG_COMMAND && a.value == 0x0000);
    EXPECT_TRUE(reset) << "the card was initialized again";
}

} // namespace
