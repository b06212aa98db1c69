// Information requests as protocols and the configuration utility make them:
// a binding on an adapter the wrapper created through DriverEntry queries
// and sets every OID. Answers are predicted from the card model's state,
// which each test chooses through the model's backend.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "binding.h"
#include "card/cardlink.h"
#include "card/cardwep.h"
#include "driver/taloids.h"
#include "mgmt/talmgmt.h"
#include "support/adapter_fixture.h"
#include "support/bytes.h"

using talhost::kNotWritten;
using talhost::RequestResult;
using taltest::Bytes;
using taltest::cat;
using taltest::le;
using taltest::le32;
using taltest::words_le;

namespace {

Bytes text(const std::string &s, bool zero = false) {
    Bytes b(s.begin(), s.end());
    if (zero)
        b.push_back(0);
    return b;
}
// A counted-string record's data words.
std::vector<uint16_t> counted(const std::string &s, uint16_t length_word) {
    std::vector<uint16_t> w(17, 0);
    w[0] = length_word;
    for (size_t i = 0; i < s.size(); i++)
        w[1 + i / 2] |= (uint16_t)((uint8_t)s[i] << (8 * (i % 2)));
    return w;
}
const Bytes kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x09};

// The supported list, in its order: 105 codes, 30 of them without a handler.
const std::vector<NDIS_OID> kSupported = {
    0x00010113, 0x00010101, 0x00010102, 0x00010104, 0x00010105, 0x00010106, 0x00010111, 0x00010107,
    0x00010108, 0x00010109, 0x0001010A, 0x0001010B, 0x0001010C, 0x0001010D, 0x00010116, 0x00010110,
    0x0001010F, 0x00010103, 0x0001010E, 0x00010112, 0x00010114, 0x00010115, 0x00020101, 0x00020102,
    0x00020103, 0x00020104, 0x00020105, 0x01010101, 0x01010102, 0x01010104, 0x01010103, 0x01020101,
    0x01020102, 0x01020103, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC, 0xFFFFFFFB, 0xFFFFFFFA, 0xFFFFFFF9,
    0xFFFFFFF8, 0xFFFFFFF7, 0xFFFFFFF6, 0xFFFFFFF5, 0xFFFFFFF4, 0xFFFFFFF3, 0xFFFFFFF2, 0xFFFFFFEF,
    0xFFFFFFEE, 0xFFFFFFED, 0xFFFFFFEC, 0xFFFFFFEB, 0xFFFFFFDF, 0xFFFFFFDE, 0xFFFFFFDC, 0xFFFFFFDB,
    0xFFFFFFDA, 0xFFFFFFD9, 0xFFFFFFD8, 0xFFFFFFD7, 0xFFFFFFD6, 0xFFFFFFD5, 0xFFFFFFD4, 0xFFFFFFD3,
    0xFFFFFFD2, 0xFFFFFFD1, 0xFFFFFFCF, 0xFFFFFFCE, 0xFFFFFFCD, 0xFFFFFFBF, 0xFFFFFFBE, 0xFFFFFFBD,
    0xFFFFFFBC, 0xFFFFFFBB, 0xFFFFFFAF, 0xFFFFFFAE, 0xFFFFFFAC, 0xFFFFFFAB, 0xFFFFFFA9, 0xFFFFFFA8,
    0xFFFFFFA7, 0xFFFFFFA6, 0xFFFFFFA5, 0xFFFFFF9F, 0xFFFFFF7F, 0xFFFFFF7D, 0xFFFFFF7C, 0xFFFFFF7B,
    0xFFFFFF7A, 0xFFFFFF79, 0xFFFFFF6F, 0xFFFFFF6E, 0xFFFFFF6D, 0xFFFFFF6C, 0xFFFFFF6B, 0xFFFFFF6A,
    0xFFFFFF68, 0xFFFFFF67, 0xFFFFFF66, 0xFFFFFF65, 0xFFFFFF64, 0xFFFFFF5B, 0xFFFFFF5A, 0xFFFFFF63,
    0xFFFFFF62};
// Listed codes that only a set takes.
const std::vector<NDIS_OID> kSetOnly = {0x0001010E, 0x01010103, 0xFFFFFFEB, 0xFFFFFF9F,
                                        0xFFFFFF6B, 0xFFFFFF6A, 0xFFFFFF67, 0xFFFFFF66,
                                        0xFFFFFF64, 0xFFFFFF5B, 0xFFFFFF5A, 0xFFFFFF62};

class OidTest : public taltest::AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        auto c = with_host_wep(default_config());
        c.set_string("VendorDesc", "Tal test card");
        c.set_string("NetworkAddress", "02AABBCCDDEE");
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        utility = std::make_unique<talhost::TestBinding>(host, handle);
        card.trace().enable();
    }
    void TearDown() override {
        utility.reset();
        AdapterTest::TearDown();
    }

    size_t commands() {
        size_t n = 0;
        for (const auto &r : card.trace().records())
            n += r.kind == talsim::TraceKind::CommandStart;
        return n;
    }
    void record(uint16_t rid, std::vector<uint16_t> data) {
        ASSERT_TRUE(card.records().set(rid, std::move(data))) << std::hex << rid;
    }
    Bytes record_bytes(uint16_t rid) { return words_le(*card.records().data(rid)); }
    // The event loop as the wrapper runs it (information frames, allocations).
    void run() {
        host.world().run_for(500);
        host.block(handle).ndis.LockAcquired = TRUE;
        TalHandleInterrupt(adapter.get());
        host.block(handle).ndis.LockAcquired = FALSE;
    }
    RequestResult set(NDIS_OID oid, const Bytes &in) { return utility->set(oid, in); }
    void expect_set(NDIS_OID oid, const Bytes &in) {
        RequestResult r = set(oid, in);
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << std::hex << oid;
        EXPECT_EQ(r.bytes, in.size());
        EXPECT_EQ(r.needed, 0u);
    }

    // One row per code the driver answers: the state the test chooses (card
    // records through the backend, or a driver field the card does not
    // hold), whether the query acts on the card, and the predicted answer.
    struct Answered {
        NDIS_OID oid;
        bool acts;
        std::function<void()> arrange;
        std::function<Bytes()> expect;
    };
    std::vector<Answered> answered() {
        auto is = [](Bytes b) { return [b] { return b; }; };
        auto none = [] {};
        // A version record's words 1 to 3, then a zero word.
        auto version = [this](uint16_t rid) {
            Bytes b = record_bytes(rid);
            return cat({Bytes(b.begin() + 2, b.end()), {0, 0}});
        };
        auto mac = [] {
            auto m = talsim::FactoryData{}.mac;
            return Bytes(m.begin(), m.end());
        };
        return {
            {OID_GEN_MAC_OPTIONS, false, none, is(le32(0x0E))},
            {OID_GEN_SUPPORTED_LIST, false, none,
             [] {
                 Bytes b;
                 for (NDIS_OID o : kSupported)
                     b = cat({b, le32(o)});
                 return b;
             }},
            {OID_GEN_HARDWARE_STATUS, false, none, is(le32(0))},
            {OID_GEN_MEDIA_IN_USE, false, none, is(le32(0))},
            {OID_GEN_MEDIA_SUPPORTED, false, none, is(le32(0))},
            {OID_GEN_MAXIMUM_LOOKAHEAD, false, none, is(le32(1508))},
            {OID_GEN_CURRENT_LOOKAHEAD, false,
             [this] { set(OID_GEN_CURRENT_LOOKAHEAD, le32(100)); }, is(le32(1508))},
            {OID_GEN_MAXIMUM_FRAME_SIZE, false, none, is(le32(1500))},
            {OID_GEN_MAXIMUM_TOTAL_SIZE, false, none, is(le32(1514))},
            {OID_GEN_LINK_SPEED, false, none, is(le32(110000))},
            {OID_GEN_TRANSMIT_BUFFER_SPACE, false, none, is(le32(12112))},
            {OID_GEN_RECEIVE_BUFFER_SPACE, false, none, is(le32(12112))},
            {OID_GEN_TRANSMIT_BLOCK_SIZE, false, none, is(le32(1514))},
            {OID_GEN_RECEIVE_BLOCK_SIZE, false, none, is(le32(1514))},
            {OID_GEN_VENDOR_ID, false, none,
             [mac] {
                 Bytes m = mac();
                 return Bytes{m[0], m[1], m[2], 1};
             }},
            {OID_GEN_VENDOR_DESCRIPTION, false, none, is(text("Tal test card", true))},
            {OID_GEN_VENDOR_DRIVER_VERSION, false, none, is(le32(0x00036300))},
            {OID_GEN_DRIVER_VERSION, false, none, is({0x00, 0x03})},
            {OID_GEN_MEDIA_CONNECT_STATUS, false,
             [this] {
                 card.announce_link_status(1);
                 run();
             },
             is(le32(0))},
            {OID_GEN_MAXIMUM_SEND_PACKETS, false, none, is(le32(8))},
            {OID_GEN_XMIT_OK, false,
             [this] { adapter->PacketMonitor.TxPacketCounter = 0x01020304; }, is(le32(0x01020304))},
            {OID_GEN_RCV_OK, false, [this] { adapter->PacketMonitor.RxPacketCounter = 77; },
             is(le32(77))},
            {OID_GEN_XMIT_ERROR, false, [this] { adapter->PacketMonitor.TxPacketErrCounter = 5; },
             is(le32(5))},
            {OID_GEN_RCV_ERROR, false, [this] { adapter->PacketMonitor.RxPacketErrCounter = 6; },
             is(le32(6))},
            {OID_GEN_RCV_NO_BUFFER, false, none, is(le32(1))},
            {OID_802_3_PERMANENT_ADDRESS, false, none, mac},
            {OID_802_3_CURRENT_ADDRESS, false, none, is({0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE})},
            {OID_802_3_MAXIMUM_LIST_SIZE, false, none, is(le32(32))},
            {OID_802_3_RCV_ERROR_ALIGNMENT, false, none, is(le32(1))},
            {OID_802_3_XMIT_ONE_COLLISION, false, none, is(le32(1))},
            {OID_802_3_XMIT_MORE_COLLISIONS, false, none, is(le32(1))},
            {OID_PRIV_NETWORK_MODE, false, [this] { set(OID_PRIV_NETWORK_MODE, le32(0x301)); },
             is(le32(1))},
            {OID_PRIV_DESIRED_ESSID, false, [this] { record(0xFC02, counted("cellNet", 7)); },
             is(text("cellNet", true))},
            {OID_PRIV_CHANNEL, false, [this] { record(0xFC03, {0x1209}); }, is(le32(9))},
            {OID_PRIV_SSID, false, [this] { record(0xFC04, counted("ownName", 7)); },
             is(text("ownName", true))},
            {OID_PRIV_AP_DENSITY, false, [this] { set(OID_PRIV_AP_DENSITY, le32(2)); },
             is(le32(2))},
            {OID_PRIV_POWER_MANAGEMENT, false,
             [this] {
                 record(0xFC09, {0x0101});
                 record(0xFC0A, {0x0203});
             },
             is({1, 0, 3, 0})},
            {OID_PRIV_STATION_NAME, false, [this] { record(0xFC0E, counted("stn4", 4)); },
             is(text("stn4"))},
            {OID_PRIV_RTS_THRESHOLD, false, [this] { set(OID_PRIV_RTS_THRESHOLD, le32(0x12345)); },
             is(le32(0x12345))},
            {OID_PRIV_TX_RATE, false, [this] { record(0xFC84, {0x0F0B}); }, is(le32(0x0B))},
            {OID_PRIV_AVAILABLE_CHANNELS, false, none,
             [this] { return le32(card.records().word(0xFD10, 0) & 0x3FFF); }},
            {OID_PRIV_REG_DOMAIN, false, none,
             [this] { return le32(card.records().word(0xFD11, 1) & 0xFF); }},
            {OID_PRIV_PORT_STATUS, false, [this] { record(0xFD40, {0x0104}); }, is(le32(4))},
            {OID_PRIV_CURRENT_ESSID, false, [this] { record(0xFD41, counted("curNet", 6)); },
             is(text("curNet", true))},
            {OID_PRIV_CURRENT_BSSID, false,
             [this] {
                 record(0xFD42, {0x0A00, 0x10FF, 0xC32B});
             },
             is(text("000aff102bc3"))},
            {OID_PRIV_COMMS_QUALITY, false,
             [this] {
                 record(0xFD43, {0x1234, 0x0056, 0x0078});
             },
             is({0x34, 0x12, 0x56, 0, 0x78, 0, 0, 0})},
            {OID_PRIV_CURRENT_TX_RATE, false, [this] { record(0xFD44, {0x0304}); },
             is(le32(0x0304))},
            {OID_PRIV_CURRENT_CHANNEL, false, [this] { record(0xFDC1, {0x0B0C}); },
             is(le32(0x0B0C))},
            {OID_PRIV_CURRENT_POWER_STATE, false, [this] { record(0xFDC2, {0x0102}); },
             is(le32(0x0102))},
            // The inquiry's answer arrives with the next information event.
            {OID_PRIV_TALLIES, true,
             [this] {
                 card.tallies().tx_fragments = 0x00030002;
                 card.tallies().rx_msg_in_bad_msg = 9;
                 utility->query(OID_PRIV_TALLIES, 84);
                 run();
             },
             [this] {
                 Bytes b(84);
                 std::memcpy(b.data(), &card.tallies(), 84);
                 return b;
             }},
            {OID_PRIV_SCAN_RESULTS, true,
             [this] {
                 card.scan_results() = {{3, 0x11, 0x22, {1, 2, 3, 4, 5, 6}, 100, 0x21, "ap"}};
                 utility->query(OID_PRIV_SCAN_RESULTS, 980);
                 run();
             },
             [] {
                 Bytes b = cat({le(26, 2),
                                le(0xF101, 2),
                                le(3, 2),
                                le(0x11, 2),
                                le(0x22, 2),
                                {1, 2, 3, 4, 5, 6},
                                le(100, 2),
                                le(0x21, 2),
                                le(2, 2),
                                text("ap")});
                 b.resize(980, 0);
                 return b;
             }},
            {OID_PRIV_LINK_STATUS, false,
             [this] {
                 card.announce_link_status(2);
                 run();
             },
             is(le32(2))},
            {OID_PRIV_WEP_KEY_ID, false, none, is(le32(1))},
            {OID_PRIV_WEP_KEY0, false, none, is({1, 2, 3, 4, 5, 0})},
            {OID_PRIV_WEP_KEY1, false, none, is({0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0})},
            {OID_PRIV_WEP_KEY2, false, none, is({0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0})},
            {OID_PRIV_WEP_KEY3, false, none, is({0x11, 0x22, 0x33, 0x44, 0xCC, 0})},
            {OID_PRIV_WEP_FLAGS, false, [this] { record(0xFC28, {0x1193}); }, is(le32(0x93))},
            {OID_PRIV_DRIVER_VERSION, false, none, is({3, 0, 6, 0, 3, 0, 0, 0})},
            // The configuration pass reads the identities the card reports.
            {OID_PRIV_PRIMARY_FW_VERSION, false,
             [this] {
                 record(0xFD02, {0x15, 2, 3, 4});
                 record(0xFD20, {0x1F, 5, 6, 7});
                 cardInitialSet(adapter.get());
             },
             [version] { return version(0xFD02); }},
            {OID_PRIV_STATION_FW_VERSION, false, none, [version] { return version(0xFD20); }},
            {OID_PRIV_PDA, true, none, [this] { return words_le(card.records().pda()); }},
            {OID_PRIV_DOWNLOAD_ERROR, false, [this] { adapter->downerrcheck = 1; }, is({1})},
            {OID_PRIV_REGISTER_DUMP, true,
             [this] {
                 for (uint16_t i = 0; i < 128; i++)
                     card.set_controller_register(i, (uint16_t)(0x8000 + i * 3));
             },
             [] {
                 Bytes b(255, 0);
                 for (int i = 0; i < 64; i++) {
                     uint16_t v = (uint16_t)(0x8000 + 2 * i * 3);
                     b[2 * i] = (uint8_t)(v >> 8);
                     b[2 * i + 1] = (uint8_t)v;
                 }
                 return b;
             }},
            {OID_PRIV_AP_INFO, true,
             [this] {
                 adapter->APCard_Info_Flag = 1;
                 std::memcpy(adapter->APCard_Info.Model, "AP-1", 5);
             },
             [] {
                 Bytes b(200, 0);
                 b[0] = 1;
                 std::memcpy(&b[1], "AP-1", 4);
                 return b;
             }},
            {OID_PRIV_SITE_SURVEY_START, true, none, is(le32(0))},
            {OID_PRIV_SITE_SURVEY_CONTINUE, true, none, is(le32(0))},
            {OID_PRIV_SITE_SURVEY_END, true, none, is(le32(0))},
            {OID_PRIV_PACKET_MONITOR, false,
             [this] { adapter->PacketMonitor = {1, 2, 3, 4, 0x0A0B, 6}; },
             is(cat({le32(1), le32(2), le32(3), le32(4), le32(0x0A0B), le32(6)}))},
        };
    }

    std::unique_ptr<talhost::TestBinding> utility;
};

// The conformance matrix: every answered code with no buffer, one byte
// short, exact and larger. A short buffer gets the length needed, nothing
// written, no state changed and nothing done to the card; the verifier
// watches the guard bytes and the bytes after each answer.
TEST_F(OidTest, EveryAnsweredCodeHonoursItsBufferAndAnswersFromTheCard) {
    for (const Answered &row : answered()) {
        SCOPED_TRACE(testing::Message() << std::hex << "oid 0x" << row.oid);
        row.arrange();
        Bytes want = row.expect();
        ULONG n = (ULONG)want.size();
        for (ULONG length : {ULONG{0}, n - 1, n, n + 7}) {
            if (length == n - 1 && n == 0)
                continue;
            std::vector<uint8_t> before((uint8_t *)adapter.get(),
                                        (uint8_t *)adapter.get() + sizeof(TAL_ADAPTER));
            card.trace().clear();
            RequestResult r = utility->query(row.oid, length);
            if (length < n) {
                EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH) << length;
                EXPECT_EQ(r.needed, n);
                EXPECT_EQ(r.bytes, kNotWritten);
                EXPECT_EQ(0, std::memcmp(before.data(), adapter.get(), sizeof(TAL_ADAPTER)))
                    << "a refused query changed the adapter";
                if (row.acts) {
                    EXPECT_EQ(commands(), 0u) << "a refused query acted on the card";
                }
            } else {
                EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << length;
                EXPECT_EQ(r.bytes, n);
                EXPECT_EQ(r.needed, kNotWritten);
                EXPECT_EQ(r.answer(), want);
            }
        }
    }
    // The survey's end leaves no scan results behind.
    utility->query(OID_PRIV_SITE_SURVEY_END, 4);
    EXPECT_EQ(utility->query(OID_PRIV_SCAN_RESULTS, 980).answer(), Bytes(980, 0));
}

TEST_F(OidTest, ListedCodesWithoutAQueryHandlerAreInvalidAndSetsOfQueryOnlyCodesToo) {
    std::vector<NDIS_OID> answers;
    for (const Answered &row : answered())
        answers.push_back(row.oid);
    size_t without_handler = 0;
    for (NDIS_OID oid : kSupported) {
        bool answered_here = std::find(answers.begin(), answers.end(), oid) != answers.end();
        bool set_only = std::find(kSetOnly.begin(), kSetOnly.end(), oid) != kSetOnly.end();
        if (answered_here)
            continue;
        RequestResult q = utility->query(oid, 64);
        EXPECT_EQ(q.status, NDIS_STATUS_INVALID_OID) << std::hex << oid;
        EXPECT_EQ(q.bytes, kNotWritten);
        EXPECT_EQ(q.needed, kNotWritten);
        if (set_only)
            continue;
        without_handler++;
        RequestResult s = set(oid, le32(1));
        EXPECT_EQ(s.status, NDIS_STATUS_INVALID_OID) << std::hex << oid;
        EXPECT_EQ(s.bytes, 0u);
        EXPECT_EQ(s.needed, 0u);
    }
    EXPECT_EQ(without_handler, 30u);
    EXPECT_EQ(set(OID_GEN_LINK_SPEED, le32(1)).status, NDIS_STATUS_INVALID_OID);
}

// Lengths the sets take; a refused set reads nothing, says what it needs,
// changes no field and does nothing to the card.
TEST_F(OidTest, SetsRefuseLengthsTheyCannotTakeAndChangeNothing) {
    struct Case {
        NDIS_OID oid;
        Bytes input;
        NDIS_STATUS status;
        ULONG needed;
    } cases[] = {
        {OID_GEN_CURRENT_PACKET_FILTER, Bytes(3, 1), NDIS_STATUS_INVALID_LENGTH, 4},
        {OID_GEN_CURRENT_PACKET_FILTER, Bytes(5, 1), NDIS_STATUS_INVALID_LENGTH, 4},
        {OID_GEN_CURRENT_LOOKAHEAD, le32(1509), NDIS_STATUS_INVALID_LENGTH, 0},
        {OID_GEN_CURRENT_LOOKAHEAD, Bytes(2, 1), NDIS_STATUS_INVALID_LENGTH, 4},
        {OID_802_3_MULTICAST_LIST, Bytes(7, 1), NDIS_STATUS_INVALID_LENGTH, 12},
        {OID_802_3_MULTICAST_LIST, Bytes(33 * 6, 1), NDIS_STATUS_MULTICAST_FULL, 0},
        {OID_802_3_MULTICAST_LIST, Bytes(200, 1), NDIS_STATUS_MULTICAST_FULL, 0},
        {OID_PRIV_DESIRED_ESSID, Bytes(33, 'a'), NDIS_STATUS_INVALID_LENGTH, 0},
        {OID_PRIV_WEP_KEY1, text("A1B2C3D4E"), NDIS_STATUS_INVALID_LENGTH, 10},
        {OID_PRIV_WEP_KEY3, text("A1B2C3D4EG"), NDIS_STATUS_INVALID_DATA, 0},
        {OID_PRIV_REGISTER_WRITE, Bytes(49, 1), NDIS_STATUS_INVALID_LENGTH, 50},
        {OID_PRIV_REGISTER_WRITE, Bytes(1025, 1), NDIS_STATUS_INVALID_LENGTH, 0},
        {OID_PRIV_DOWNLOAD_HEADER, Bytes(5, 1), NDIS_STATUS_INVALID_LENGTH, 6},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    for (NDIS_OID value_oid : {OID_PRIV_NETWORK_MODE, OID_PRIV_CHANNEL, OID_PRIV_AP_DENSITY,
                               OID_PRIV_POWER_MANAGEMENT, OID_PRIV_RTS_THRESHOLD, OID_PRIV_TX_RATE,
                               OID_PRIV_PROMISCUOUS, OID_PRIV_WEP_FLAGS, OID_PRIV_WEP_KEY_ID})
        all.push_back({value_oid, Bytes(3, 7), NDIS_STATUS_INVALID_LENGTH, 4});
    for (const Case &c : all) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << "oid 0x" << c.oid << " length " << std::dec << c.input.size());
        std::vector<uint8_t> before((uint8_t *)adapter.get(),
                                    (uint8_t *)adapter.get() + sizeof(TAL_ADAPTER));
        card.trace().clear();
        RequestResult r = set(c.oid, c.input);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.bytes, 0u);
        EXPECT_EQ(r.needed, c.needed);
        EXPECT_EQ(0, std::memcmp(before.data(), adapter.get(), sizeof(TAL_ADAPTER)));
        EXPECT_EQ(commands(), 0u);
    }
    // What is taken: the edges, and a value in a longer buffer read whole.
    expect_set(OID_GEN_CURRENT_LOOKAHEAD, le32(1508));
    EXPECT_EQ(adapter->MaxLookAhead, 1508u);
    expect_set(OID_PRIV_CHANNEL, cat({le32(0x0107), Bytes(60, 0xEE)}));
    EXPECT_EQ(adapter->Channel, 7u);
    expect_set(OID_802_3_MULTICAST_LIST, Bytes(32 * 6, 0x01));
    EXPECT_EQ(adapter->NumberOfAddress, 32u);
    expect_set(OID_802_3_MULTICAST_LIST, {});
    EXPECT_EQ(adapter->NumberOfAddress, 0u);
}

// Each filter bit alone: the refused ones leave the filter as it was; the
// card's multicast record holds the list exactly while the filter asks for
// multicast frames. Promiscuous is taken: monitor records reach such a binding.
TEST_F(OidTest, PacketFilterBitsAndTheMulticastRecordFollowTheFilter) {
    expect_set(OID_802_3_MULTICAST_LIST, kGroup);
    EXPECT_EQ(card.records().data(0xFC80)->size(), 0u) << "the list alone stays in the driver";
    const ULONG refused = 0x0004 | 0x0010 | 0x0040 | 0x1000 | 0x2000 | 0x4000 | 0x8000;
    for (int bit = 0; bit < 16; bit++) {
        ULONG filter = 1u << bit;
        ULONG was = adapter->PacketFilter;
        RequestResult r = set(OID_GEN_CURRENT_PACKET_FILTER, le32(filter));
        if (filter & refused) {
            EXPECT_EQ(r.status, NDIS_STATUS_NOT_SUPPORTED) << bit;
            EXPECT_EQ(r.bytes, 4u);
            EXPECT_EQ(adapter->PacketFilter, was);
            continue;
        }
        EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS) << bit;
        EXPECT_EQ(adapter->PacketFilter, filter);
        EXPECT_EQ(record_bytes(0xFC80), filter == NDIS_PACKET_TYPE_MULTICAST ? kGroup : Bytes{})
            << bit;
    }
    // With the filter on, a new list goes to the card, and every card reset
    // (a reset request, monitor mode off, a survey step) puts it back.
    expect_set(OID_GEN_CURRENT_PACKET_FILTER, le32(NDIS_PACKET_TYPE_MULTICAST | 1));
    Bytes two = cat({kGroup, {0x01, 0x00, 0x5E, 0x7F, 0x00, 0x01}});
    expect_set(OID_802_3_MULTICAST_LIST, two);
    EXPECT_EQ(record_bytes(0xFC80), two);
    expect_set(OID_PRIV_RESET_CARD, {});
    EXPECT_EQ(record_bytes(0xFC80), two);
    expect_set(OID_PRIV_SNIFFER_ON, {});
    EXPECT_TRUE(card.monitor_mode());
    expect_set(OID_PRIV_SNIFFER_OFF, {});
    EXPECT_FALSE(card.monitor_mode());
    EXPECT_EQ(record_bytes(0xFC80), two);
    EXPECT_EQ(utility->query(OID_PRIV_SITE_SURVEY_END, 4).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(record_bytes(0xFC80), two);
}

// The configuration utility's round: settings stored by sets reach the
// card's records at the reset request, and the queries that read the
// card's records then answer the new values.
TEST_F(OidTest, StoredSettingsReachTheCardAtTheResetRequest) {
    expect_set(OID_PRIV_NETWORK_MODE, le32(0x0100)); // ad hoc: low byte 0
    expect_set(OID_PRIV_DESIRED_ESSID, text("lab-5"));
    expect_set(OID_PRIV_CHANNEL, le32(11));
    expect_set(OID_PRIV_AP_DENSITY, le32(3));
    expect_set(OID_PRIV_POWER_MANAGEMENT, le32(1));
    expect_set(OID_PRIV_RTS_THRESHOLD, le32(0x10900)); // the card takes the low 16 bits
    expect_set(OID_PRIV_TX_RATE, le32(0x0203));
    expect_set(OID_PRIV_WEP_KEY2, text("0a0B0c0D0e"));
    expect_set(OID_PRIV_PROMISCUOUS, le32(1));
    EXPECT_EQ(record_bytes(0xFC03), le(4, 2)) << "stored only, until the reset";
    expect_set(OID_PRIV_RESET_CARD, {});
    EXPECT_EQ(record_bytes(0xFC00), le(0, 2));
    EXPECT_EQ(record_bytes(0xFC02), words_le(counted("lab-5", 5)));
    EXPECT_EQ(record_bytes(0xFC03), le(11, 2));
    EXPECT_EQ(record_bytes(0xFC06), le(3, 2));
    EXPECT_EQ(record_bytes(0xFC09), le(1, 2));
    EXPECT_EQ(record_bytes(0xFC83), le(0x0900, 2));
    EXPECT_EQ(record_bytes(0xFC84), le(3, 2));
    EXPECT_EQ(record_bytes(0xFC26), words_le({0x0B0A, 0x0D0C, 0x000E}));
    EXPECT_EQ(utility->query(OID_PRIV_DESIRED_ESSID, 40).answer(), text("lab-5", true));
    EXPECT_EQ(utility->query(OID_PRIV_CHANNEL, 4).answer(), le32(11));
    EXPECT_EQ(utility->query(OID_PRIV_SSID, 40).answer(), text("lab-5", true));
    EXPECT_EQ(adapter->PromiscuousMode, 1u);
    card.fail_command(0x000A, talsim::result::NoBuffer, 10);
    EXPECT_EQ(set(OID_PRIV_RESET_CARD, {}).status, NDIS_STATUS_FAILURE);
    expect_set(OID_PRIV_RESET_CARD, {});
}

// Key text: valid and invalid; key 0 takes 26 digits in 104-bit mode.
// The key id set rebuilds the transmit key: a frame sent afterwards opens
// with the new key, names it, and the IV counter goes on.
TEST_F(OidTest, KeysAndTheKeyIdSetMakeFramesThatOpenWithTheNewKey) {
    talsim::AirRecorder air;
    card.set_air_sink(&air);
    expect_set(OID_PRIV_WEP_KEY2, text("0f1E2d3C4b"));
    EXPECT_EQ(set(OID_PRIV_WEP_KEY2, text("0f1E2d3C4x")).status, NDIS_STATUS_INVALID_DATA);
    EXPECT_EQ(utility->query(OID_PRIV_WEP_KEY2, 6).answer(),
              Bytes({0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0}));
    Bytes iv_before(adapter->iv, adapter->iv + 3);
    adapter->ivCount = 9;
    expect_set(OID_PRIV_WEP_KEY_ID, le32(2));
    EXPECT_EQ(adapter->ivCount, 0u);
    EXPECT_EQ(Bytes(adapter->iv, adapter->iv + 3), iv_before) << "the IV counter is kept";
    Bytes frame =
        cat({Bytes(6, 0x02), {0x02, 0, 0x54, 0x41, 0x4C, 1}, {0x08, 0x00}, Bytes(46, 0x5A)});
    utility->send(frame);
    host.world().run_for(3000);
    ASSERT_EQ(air.frames().size(), 1u);
    Bytes sealed(air.frames()[0].bytes.begin() + 24, air.frames()[0].bytes.end());
    EXPECT_EQ(talsim::card_wep_key_id(sealed), 2);
    auto body = talsim::card_wep_open(Bytes{0x0F, 0x1E, 0x2D, 0x3C, 0x4B}, sealed);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(Bytes(body->end() - 46, body->end()), Bytes(46, 0x5A));

    // 104-bit: key 0 reads 26 digits, the flags set rebuilds the seed at
    // once, and a key id of 2 announces key 0.
    expect_set(OID_PRIV_WEP_FLAGS, le32(7));
    EXPECT_EQ(adapter->iv[3], 0x00);
    EXPECT_EQ(set(OID_PRIV_WEP_KEY0, text("00112233445566778899AABBC")).needed, 26u);
    expect_set(OID_PRIV_WEP_KEY0, text("00112233445566778899AABBCC"));
    EXPECT_EQ(
        utility->query(OID_PRIV_WEP_KEY0, 14).answer(),
        Bytes({0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0}));
    expect_set(OID_PRIV_WEP_KEY_ID, le32(2));
    EXPECT_EQ(adapter->iv[3], 0x00);
    EXPECT_EQ(Bytes(adapter->key + 3, adapter->key + 16),
              Bytes({0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC}));
}

// The register write's 49 commands reach indexes 2 to 98 with bytes 1 to
// 49; one failing write fails the request and the rest still go. One
// failing read fails the dump and nothing is copied.
TEST_F(OidTest, RegisterWritesAndReadsReachTheControllerRegisterFile) {
    Bytes values(60);
    for (size_t i = 0; i < values.size(); i++)
        values[i] = (uint8_t)(0xA0 + i);
    card.fail_command(0x0031, talsim::result::CardFailure, 1);
    RequestResult r = set(OID_PRIV_REGISTER_WRITE, values);
    EXPECT_EQ(r.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(card.controller_register(2), 0u) << "the first write failed";
    for (uint16_t i = 2; i <= 49; i++)
        EXPECT_EQ(card.controller_register(2 * i), values[i]) << i;
    EXPECT_EQ(card.controller_register(100), 0u);
    EXPECT_EQ(card.controller_register(1), 0u);
    card.fail_command(0x0030, talsim::result::CardFailure, 1);
    card.trace().clear();
    RequestResult dump = utility->query(OID_PRIV_REGISTER_DUMP, 255);
    EXPECT_EQ(dump.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(dump.bytes, kNotWritten);
    size_t reads = 0;
    for (const auto &t : card.trace().records())
        reads += t.kind == talsim::TraceKind::CommandStart && t.value == 0x0030;
    EXPECT_EQ(reads, 64u) << "the loop goes on after a failed read";
}

// DriverEntry: version 3.0, the ten handlers, four null slots; a failed
// registration comes back bit for bit with the wrapper handle given back.
TEST_F(OidTest, DriverEntryRegistersTenHandlersAndGivesTheWrapperBackOnFailure) {
    const NDIS30_MINIPORT_CHARACTERISTICS &c = host.driver().chars;
    EXPECT_EQ(c.MajorNdisVersion, 3);
    EXPECT_EQ(c.MinorNdisVersion, 0);
    EXPECT_EQ(host.driver().chars_length, sizeof(NDIS30_MINIPORT_CHARACTERISTICS));
    EXPECT_EQ(c.CheckForHangHandler, nullptr);
    EXPECT_EQ(c.DisableInterruptHandler, nullptr);
    EXPECT_EQ(c.EnableInterruptHandler, nullptr);
    EXPECT_EQ(c.ReconfigureHandler, nullptr);
    EXPECT_EQ(c.HaltHandler, &TalHalt);
    EXPECT_EQ(c.HandleInterruptHandler, &TalHandleInterrupt);
    EXPECT_EQ(c.InitializeHandler, &TalInitialize);
    EXPECT_EQ(c.ISRHandler, &TalIsr);
    EXPECT_EQ(c.QueryInformationHandler, &TalQueryInformation);
    EXPECT_EQ(c.ResetHandler, &TalReset);
    EXPECT_EQ(c.SendHandler, &TalSend);
    EXPECT_EQ(c.SetInformationHandler, &TalSetInformation);
    EXPECT_EQ(c.TransferDataHandler, &TalTransferData);

    talhost::Host other;
    other.faults().register_miniport_status = (NDIS_STATUS)0xC0010025L;
    EXPECT_EQ(other.load_driver(DriverEntry), (NTSTATUS)0xC0010025L);
    EXPECT_FALSE(other.driver().wrapper_initialized);
    EXPECT_EQ(other.driver().wrapper_terminations, 1);
    EXPECT_TRUE(other.verifier().clean()) << other.verifier().text();
}

// The filter library's requests: the OR of the bindings' filters and the
// union of their lists reach the driver, and a binding whose filter the
// driver refuses keeps the one it had.
TEST_F(OidTest, BindingsFiltersReachTheDriverAndARefusedOneIsUndone) {
    talhost::TestBinding other(host, handle);
    talhost::MacAddress g{};
    std::copy(kGroup.begin(), kGroup.end(), g.begin());
    EXPECT_EQ(utility->set_multicast({g}), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(utility->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(other.set_packet_filter(NDIS_PACKET_TYPE_MULTICAST), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->PacketFilter, 3u);
    EXPECT_EQ(record_bytes(0xFC80), kGroup);
    EXPECT_EQ(other.set_packet_filter(NDIS_PACKET_TYPE_ALL_MULTICAST), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(other.packet_filter(), (ULONG)NDIS_PACKET_TYPE_MULTICAST);
    EXPECT_EQ(adapter->PacketFilter, 3u);
    EXPECT_EQ(other.set_packet_filter(NDIS_PACKET_TYPE_PROMISCUOUS), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(adapter->PacketFilter, 0x21u);
    EXPECT_EQ(record_bytes(0xFC80), Bytes{});
}

// The wrapper creates an adapter from a registry file through the
// initialize handler; the card then runs with the file's settings.
TEST_F(OidTest, AnAdapterFromTheExampleFileAnswersWithTheFilesSettings) {
    halt();
    talhost::ParseError err;
    EXPECT_EQ(host.add_adapter_file(TAL_EXAMPLES_DIR "/missing.reg", err), nullptr);
    NDIS_HANDLE h = host.add_adapter_file(TAL_EXAMPLES_DIR "/adapter.reg", err);
    ASSERT_NE(h, nullptr) << err.message();
    talsim::connect_interrupt_line(card, host, h);
    ASSERT_EQ(host.initialize(h), NDIS_STATUS_SUCCESS);
    {
        talhost::TestBinding b(host, h);
        EXPECT_EQ(b.query(OID_PRIV_DESIRED_ESSID, 40).answer(), text("TalNet", true));
        EXPECT_EQ(b.query(OID_PRIV_CHANNEL, 4).answer(), le32(6));
        EXPECT_EQ(b.query(OID_PRIV_STATION_NAME, 40).answer(), text("tal-station"));
        EXPECT_EQ(b.query(OID_PRIV_WEP_KEY1, 6).answer(), Bytes({0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0}));
    }
    host.halt(h);
}

} // namespace
