// Card management: record accessors, the configuration pass, bring-up and
// the card reset, against the card model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mac/talregs.h"
#include "mac/talrid.h"
#include "mgmt/talmgmt.h"
#include "support/adapter_fixture.h"
#include "wep/talwepkey.h"

using taltest::AdapterTest;
using taltest::CardTest;

namespace {

// A record access as the card saw it: the access command word and its RID.
struct Access {
    uint16_t command;
    uint16_t rid;
    bool operator==(const Access &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Access &a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s %04X", a.command == 0x0121 ? "write" : "read", a.rid);
    return os << buf;
}

Access R(uint16_t rid) {
    return {0x0021, rid};
}
Access W(uint16_t rid) {
    return {0x0121, rid};
}

std::vector<Access> record_accesses(const talsim::CardModel &card_const) {
    auto &card = const_cast<talsim::CardModel &>(card_const);
    std::vector<Access> out;
    uint16_t p0 = 0;
    for (const talsim::PortAccess &a : card.trace().port_accesses()) {
        if (!a.write)
            continue;
        if (a.offset == TAL_REG_PARAM0)
            p0 = a.value;
        if (a.offset == TAL_REG_COMMAND && (a.value == 0x0021 || a.value == 0x0121))
            out.push_back({a.value, p0});
    }
    return out;
}

long count(const std::vector<uint16_t> &v, uint16_t value) {
    return std::count(v.begin(), v.end(), value);
}

std::vector<uint16_t> words(std::initializer_list<uint16_t> w) {
    return w;
}

class AccessorTest : public CardTest {
protected:
    std::vector<uint16_t> data(uint16_t rid) { return *card.records().data(rid); }
};

// ---- Accessors ----

TEST_F(AccessorTest, SettersEncodeBytesAndWordsAsTheRecordTakesThem) {
    struct Case {
        const char *name;
        USHORT (*set)(TAL_ADAPTER *, USHORT);
        uint16_t rid;
        USHORT value;
        uint16_t stored;
    } cases[] = {
        {"network mode", setNetworkMode, TAL_RID_NETWORK_MODE, 0x0101, 0x0001},
        {"channel", setChannel, TAL_RID_CHANNEL, 0x020B, 0x000B},
        {"AP density", setAPDensity, TAL_RID_AP_DENSITY, 0x1203, 0x0003},
        {"transmit rate", setTxRate, TAL_RID_TX_RATE, 0x0101, 0x0101},
        {"RTS threshold", setRTSThreshold, TAL_RID_RTS_THRESHOLD, 0x0BB8, 0x0BB8},
        {"fragmentation", setFragmentationThreshold, TAL_RID_FRAG_THRESHOLD, 0x092A, 0x092A},
        {"preamble", setShortPreamble, TAL_RID_SHORT_PREAMBLE, 0x8001, 0x8001},
        {"key id", setWEPDefaultKeyID, TAL_RID_WEP_KEY_ID, 0x0102, 0x0102},
        {"authentication", setAuthentication, TAL_RID_AUTHENTICATION, 0x0302, 0x0302},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.set(adapter.get(), c.value), 0);
        EXPECT_EQ(data(c.rid).at(0), c.stored);
    }
    EXPECT_EQ(data(TAL_RID_AUTHENTICATION), words({0x0302, 0, 0}));
}

TEST_F(AccessorTest, DesiredNameAnyIsWrittenEmptyOnlyToTheDesiredRecord) {
    struct Case {
        std::string name;
        std::vector<uint8_t> desired; // length, then name bytes
        std::vector<uint8_t> own;
    } cases[] = {
        {"any", {0}, {3, 'a', 'n', 'y'}},
        {"AnY", {0}, {3, 'A', 'n', 'Y'}},
        {"ANYONE", {6, 'A', 'N', 'Y', 'O', 'N', 'E'}, {6, 'A', 'N', 'Y', 'O', 'N', 'E'}},
        {"ANZ", {3, 'A', 'N', 'Z'}, {3, 'A', 'N', 'Z'}},
        {"", {0}, {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::memset(adapter->Desired_ESSID, 0, 32);
        std::memcpy(adapter->Desired_ESSID, c.name.data(), c.name.size());
        adapter->Desired_ESSID_Length = (UCHAR)c.name.size();
        ASSERT_EQ(setESSID(adapter.get(), nullptr, 99), 0);
        ASSERT_EQ(setSSID(adapter.get(), nullptr, 99), 0);
        auto d = talsim::words_to_bytes(data(TAL_RID_DESIRED_SSID));
        auto o = talsim::words_to_bytes(data(TAL_RID_OWN_SSID));
        EXPECT_EQ(d.size(), 34u);
        EXPECT_EQ(d[0], c.desired[0]);
        EXPECT_EQ(d[1], 0) << "length high byte";
        EXPECT_EQ(std::vector<uint8_t>(d.begin() + 2, d.begin() + 1 + c.desired.size()),
                  std::vector<uint8_t>(c.desired.begin() + 1, c.desired.end()));
        EXPECT_EQ(o[0], c.own[0]);
        EXPECT_EQ(std::vector<uint8_t>(o.begin() + 2, o.begin() + 1 + c.own.size()),
                  std::vector<uint8_t>(c.own.begin() + 1, c.own.end()));
    }
}

TEST_F(AccessorTest, StringGettersClampTheLengthAndTerminate) {
    std::vector<uint8_t> rec(34, 'x');
    rec[0] = 33; // a length the record cannot hold
    rec[1] = 0;
    ASSERT_TRUE(card.records().set(TAL_RID_CURRENT_SSID, talsim::bytes_to_words(rec)));
    UCHAR out[40];
    std::memset(out, 0xEE, sizeof out);
    USHORT len = 0;
    EXPECT_EQ(getCurrentESSID(adapter.get(), out, &len), 0);
    EXPECT_EQ(len, 32);
    EXPECT_EQ(std::string((char *)out, 32), std::string(32, 'x'));
    EXPECT_EQ(out[32], 0);
    EXPECT_EQ(out[33], 0xEE) << "nothing past the terminator";
}

TEST_F(AccessorTest, CurrentBssidReadsAllOnesWhenTheCardDoesNotAnswer) {
    ASSERT_TRUE(card.records().set(TAL_RID_CURRENT_BSSID, {0x1100, 0x3322, 0x5544}));
    UCHAR bssid[6];
    EXPECT_EQ(getCurrentBSSID(adapter.get(), bssid), 0);
    EXPECT_EQ(std::vector<uint8_t>(bssid, bssid + 6),
              (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    card.hang_command(0x0021);
    EXPECT_EQ(getCurrentBSSID(adapter.get(), bssid), TAL_RESULT_TIMEOUT);
    EXPECT_EQ(std::vector<uint8_t>(bssid, bssid + 6), std::vector<uint8_t>(6, 0xFF));
}

TEST_F(AccessorTest, PowerManagementReportsOnlyTheSecondRecordsStatus) {
    card.fail_command(0x0121, 0x0A, 1); // the first write is refused
    EXPECT_EQ(setPwrMgmt(adapter.get(), 0x0101, 0x0102), 0);
    EXPECT_EQ(data(TAL_RID_PM_LEVEL), words({0x0002}));
    card.fail_command(0x0021, 0x0A, 1);
    USHORT val[2] = {0xEEEE, 0xEEEE};
    EXPECT_EQ(getPwrMgmt(adapter.get(), val), 0);
    EXPECT_EQ(val[1], 0x0002);
}

TEST_F(AccessorTest, WepFlagsWordFollowsTheHostSettings) {
    struct Case {
        USHORT value;
        ULONG encrypt, decrypt, reuse;
        USHORT word;
    } cases[] = {
        {3, 1, 1, 3, 0x00F3}, {0, 1, 1, 3, 0x00F0}, {7, 1, 1, 3, 0x00F7}, {0x00FF, 0, 0, 1, 0x002F},
        {3, 1, 0, 2, 0x0053}, {3, 0, 1, 0, 0x0083}, {3, 2, 2, 5, 0x0003},
    };
    for (const Case &c : cases) {
        adapter->EncryptInDriver = c.encrypt;
        adapter->DecryptInDriver = c.decrypt;
        adapter->WEPIVReuse = c.reuse;
        EXPECT_EQ(setWEPFlags(adapter.get(), c.value), 0);
        EXPECT_EQ(data(TAL_RID_WEP_FLAGS), words({c.word})) << c.value << " " << c.reuse;
    }
}

TEST_F(AccessorTest, KeyZeroIsLongOnlyInOneKeyMode) {
    UCHAR key[14] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0};
    adapter->WepRequired = 7;
    EXPECT_EQ(setWEPDefaultKey0(adapter.get(), key), 0);
    EXPECT_EQ(card.records().image(TAL_RID_WEP_KEY0)->at(0), 8);
    EXPECT_EQ(talsim::words_to_bytes(data(TAL_RID_WEP_KEY0)), std::vector<uint8_t>(key, key + 14));
    adapter->WepRequired = 3;
    EXPECT_EQ(setWEPDefaultKey0(adapter.get(), key), 0);
    EXPECT_EQ(card.records().image(TAL_RID_WEP_KEY0)->at(0), 4);
    EXPECT_EQ(talsim::words_to_bytes(data(TAL_RID_WEP_KEY0)), std::vector<uint8_t>(key, key + 6));
    EXPECT_EQ(setWEPDefaultKey3(adapter.get(), key), 0);
    EXPECT_EQ(card.records().image(TAL_RID_WEP_KEY3)->at(0), 4);
}

// ---- Configuration pass ----

class ConfigurationPassTest : public AdapterTest {
protected:
    // The configuration pass alone, on the test's own record.
    void configure(talhost::AdapterConfig c) {
        if (!host.port_registered(taltest::kCardPortBase))
            NdisMRegisterIoPortRange(&port_base, handle, taltest::kCardPortBase,
                                     talsim::kPortCount);
        host.block(handle).config = std::move(c);
        TalInitAdapterRecord(adapter.get(), handle);
        ASSERT_EQ(TalReadConfiguration(adapter.get(), host.config_context(handle)), 0);
        adapter->IoBaseAddrR = (ULONG)(ULONG_PTR)port_base;
        start_measuring();
        EXPECT_EQ(cardInitialSet(adapter.get()), 0);
    }
};

TEST_F(ConfigurationPassTest, WritesEverySettingInOrderForFourKeys) {
    auto c = default_config();
    c.set_dword("WepReq", 3);
    configure(c);
    std::vector<Access> expected = {
        R(0xFC01), W(0xFC00), W(0xFC02), W(0xFC04), R(0xFD10), R(0xFD11), W(0xFC03),
        W(0xFC06), W(0xFC09), W(0xFC0A), W(0xFC0E), W(0xFC28), W(0xFC23), W(0xFC24),
        W(0xFC25), W(0xFC26), W(0xFC27), W(0xFC2A), W(0xFC82), W(0xFC83), W(0xFC84),
        W(0xFCB0), W(0xFCE0), R(0xFD01), R(0xFD02), R(0xFD20), R(0xFD4F)};
    EXPECT_EQ(record_accesses(card), expected);
    EXPECT_EQ(card.records().data(TAL_RID_WEP_FLAGS)->at(0), 0x00F3);
    EXPECT_EQ(card.records().data(TAL_RID_AUTHENTICATION)->at(0), 2);
}

TEST_F(ConfigurationPassTest, OneLongKeyForcesKeyIdZeroAndWritesOnlyKeyZero) {
    auto c = default_config();
    c.set_dword("WepReq", 7);
    c.set_dword("DefaultKeyId", 2);
    c.set_string("DefaultKeys", "000102030405060708090A0B0C");
    configure(c);
    std::vector<Access> all = record_accesses(card);
    std::vector<Access> wep(all.begin() + 11, all.begin() + 15);
    EXPECT_EQ(wep, (std::vector<Access>{W(0xFC28), W(0xFC23), W(0xFC24), W(0xFC2A)}));
    EXPECT_EQ(adapter->WepDefaultKeyId, 0u);
    EXPECT_EQ(card.records().data(TAL_RID_WEP_KEY_ID)->at(0), 0);
    EXPECT_EQ(card.records().image(TAL_RID_WEP_KEY0)->at(0), 8);
}

TEST_F(ConfigurationPassTest, WepOffWritesOpenAuthenticationWhateverIsConfigured) {
    auto c = default_config();
    c.set_dword("WepReq", 2);
    c.set_dword("AuthenticationType", 3);
    configure(c);
    EXPECT_EQ(card.records().data(TAL_RID_AUTHENTICATION)->at(0), 1);
}

TEST_F(ConfigurationPassTest, ConfiguredAddressIsWrittenAndAbsentOneIsTakenFromTheCard) {
    configure(default_config());
    auto card_mac = talsim::words_to_bytes(*card.records().data(TAL_RID_MAC_ADDRESS));
    EXPECT_EQ(
        std::vector<uint8_t>(adapter->CurrentNetworkAddress, adapter->CurrentNetworkAddress + 6),
        card_mac);
    EXPECT_EQ(std::vector<uint8_t>(adapter->NetworkAddress, adapter->NetworkAddress + 6), card_mac);
    EXPECT_EQ(record_accesses(card)[1], W(0xFC00)) << "nothing written to 0xFC01";

    auto c = default_config();
    c.set_string("NetworkAddress", "0000000000EF"); // zero but for its last byte
    configure(c);
    EXPECT_EQ(record_accesses(card)[1], W(0xFC01));
    EXPECT_EQ(talsim::words_to_bytes(*card.records().data(TAL_RID_MAC_ADDRESS)),
              (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x00, 0x00, 0xEF}));
}

TEST_F(ConfigurationPassTest, UnreadableCardRecordsGiveTheirDefaults) {
    card.make_record_unreadable(TAL_RID_CHANNEL_LIST);
    card.make_record_unreadable(TAL_RID_REG_DOMAINS);
    card.make_record_unreadable(TAL_RID_WEP_AVAILABLE);
    configure(default_config());
    EXPECT_EQ(adapter->AvailableChannel, 0x1FFF);
    EXPECT_EQ(adapter->CurrentRegDomain, 0x30u);
    EXPECT_EQ(adapter->AvailableWEP, 0);

    card.clear_faults();
    ASSERT_TRUE(card.records().set(TAL_RID_CHANNEL_LIST, {0xFFFF}));
    ASSERT_TRUE(card.records().set(TAL_RID_REG_DOMAINS, {0x0001, 0x1210, 0, 0}));
    configure(default_config());
    EXPECT_EQ(adapter->AvailableChannel, 0x3FFF);
    EXPECT_EQ(adapter->CurrentRegDomain, 0x10u);
    EXPECT_NE(adapter->PRIMajorVersion + adapter->STAMajorVersion, 0);
}

// ---- Bring-up ----

// The link: down until the card reports one with an access point, up from
// the start otherwise; no indication either way.
TEST_F(AdapterTest, BringUpLeavesTheTransmitBufferFreeEventsUnmaskedAndTheLinkByMode) {
    for (ULONG mode : {1u, 0u}) {
        SCOPED_TRACE(mode);
        auto c = default_config();
        c.set_dword("NetworkMode", mode);
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(adapter->reclaimStatus, 1);
        EXPECT_TRUE(card.frames().allocated(adapter->FIDValue));
        EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN);
        EXPECT_TRUE(card.port_enabled());
        EXPECT_EQ(adapter->LinkIsActive, mode == 1 ? 1 : 0);
        EXPECT_EQ(adapter->LinkStatus, mode == 1 ? 0u : 1u);
        EXPECT_TRUE(host.block(handle).statuses.empty());
    }
}

TEST_F(AdapterTest, AllocateRetriesAcknowledgeEachFailure) {
    card.fail_command(0x000A, 0x0C, 9);
    start_measuring();
    ASSERT_EQ(bring_up(), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(count(writes_to(TAL_REG_EVACK), 0x0008), 9 + 1)
        << "nine failures and the allocate event";
    card.clear_faults();
    card.fail_command(0x000A, 0x0C);
    start_measuring();
    auto c = default_config();
    c.set_dword("PollInDriver", 0);
    EXPECT_EQ(bring_up(c), 0x0C);
    EXPECT_FALSE(adapter->Interrupt.Registered) << "the interrupt is given back too";
    EXPECT_EQ(count(writes_to(TAL_REG_EVACK), 0x0008), 10);
}

// ---- Reset ----

TEST_F(AdapterTest, ResetFailsThePacketInTheCardAndEveryQueuedOneInOrder) {
    ASSERT_EQ(bring_up(), NDIS_STATUS_SUCCESS);
    std::vector<talhost::Packet *> pk;
    std::vector<uint8_t> frame(60, 0);
    frame[12] = 0x08;
    for (int i = 0; i < 4; i++)
        pk.push_back(packet(frame));
    for (auto &p : pk)
        send(*p);
    ASSERT_EQ(adapter->NumPacketsQueued, 3u) << "one in the card, three waiting";
    ASSERT_EQ(adapter->txPacket, pk[0]->ndis());

    EXPECT_EQ(cardReset(adapter.get()), 0);
    ASSERT_EQ(completions().size(), 4u);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(completions()[i].packet, pk[i]->ndis()) << i;
        EXPECT_EQ(completions()[i].status, NDIS_STATUS_FAILURE);
    }
    EXPECT_EQ(adapter->NumPacketsQueued, 0u);
    EXPECT_EQ(adapter->FirstTxQueue, nullptr);
    EXPECT_EQ(adapter->txPacket, nullptr);
    EXPECT_EQ(adapter->reclaimStatus, 1);
    EXPECT_EQ(adapter->Lock.Held, 0u);
    EXPECT_EQ(card.int_enable(), TAL_INTEN_RUN);
}

TEST_F(AdapterTest, ResetIndicatesConnectOnlyOutsideInfrastructureMode) {
    for (ULONG mode : {1u, 0u, 3u}) {
        SCOPED_TRACE(mode);
        card.reset();
        auto c = default_config();
        c.set_dword("NetworkMode", mode);
        ASSERT_EQ(bring_up(c), NDIS_STATUS_SUCCESS);
        host.block(handle).statuses.clear();
        adapter->sniffer_state = 1;
        adapter->PacketMonitor.TxPacketCounter = 9;
        EXPECT_EQ(cardReset(adapter.get()), 0);
        auto &st = host.block(handle).statuses;
        if (mode == 1) {
            EXPECT_TRUE(st.empty());
            EXPECT_EQ(adapter->LinkStatus, 4);
            EXPECT_EQ(adapter->LinkIsActive, 1);
        } else {
            ASSERT_EQ(st.size(), 2u);
            EXPECT_EQ(st[0].status, NDIS_STATUS_MEDIA_CONNECT);
            EXPECT_EQ(st[1].status, talhost::kStatusComplete);
            EXPECT_EQ(adapter->LinkIsActive, 0);
        }
        EXPECT_EQ(adapter->sniffer_state, 0);
        EXPECT_EQ(adapter->PacketMonitor.TxPacketCounter, 0u);
    }
}

TEST_F(AdapterTest, ResetGetsTheBufferBeforeEnablingAndReleasesTheLockOnFailure) {
    ASSERT_EQ(bring_up(), NDIS_STATUS_SUCCESS);
    start_measuring();
    EXPECT_EQ(cardReset(adapter.get()), 0);
    std::vector<uint16_t> cmds;
    for (uint16_t c : writes_to(TAL_REG_COMMAND))
        if (c != 0x0021 && c != 0x0121)
            cmds.push_back(c);
    EXPECT_EQ(cmds, (std::vector<uint16_t>{0x0002, 0x0000, 0x000A, 0x0001}));

    card.fail_command(0x000A, 0x0C);
    EXPECT_EQ(cardReset(adapter.get()), 0x0C);
    EXPECT_EQ(adapter->reclaimStatus, 0);
    EXPECT_EQ(adapter->Lock.Held, 0u);
    EXPECT_EQ(card.int_enable(), 0) << "a reset that fails before the end leaves events masked";
}

} // namespace
