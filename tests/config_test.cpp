// The initialize handler's first half: medium, record, registry keywords.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/talmain.h"
#include "support/host_fixture.h"

using talhost::AdapterConfig;
using taltest::HostTest;

namespace {

constexpr ULONG kIoBase = 0x300;

AdapterConfig base_config() {
    AdapterConfig c;
    c.set_dword("IoBaseAddress", kIoBase);
    return c;
}

std::vector<uint8_t> bytes(const UCHAR *p, size_t n) {
    return std::vector<uint8_t>(p, p + n);
}

class ConfigTest : public HostTest {
protected:
    // Runs the configuration pass on a fresh record as TalInitialize does.
    std::unique_ptr<TAL_ADAPTER> configure(AdapterConfig cfg, NDIS_STATUS expect = 0) {
        NDIS_HANDLE h = host.add_adapter(std::move(cfg));
        auto a = taltest::zeroed<TAL_ADAPTER>();
        std::memset(a.get(), 0x5A, sizeof(TAL_ADAPTER)); // the zeroing must be the driver's
        TalInitAdapterRecord(a.get(), h);
        EXPECT_EQ(TalReadConfiguration(a.get(), host.config_context(h)), expect);
        return a;
    }

    NDIS_STATUS initialize(AdapterConfig cfg, std::vector<NDIS_MEDIUM> media, UINT *selected,
                           NDIS_HANDLE *handle = nullptr) {
        NDIS_HANDLE h = host.add_adapter(std::move(cfg));
        if (handle)
            *handle = h;
        NDIS_STATUS open_error = 0x1234;
        NDIS_STATUS s = TalInitialize(&open_error, selected, media.data(), (UINT)media.size(), h,
                                      host.config_context(h));
        EXPECT_EQ(open_error, 0x1234) << "OpenErrorStatus is never written";
        return s;
    }
};

// ---- Medium ----

TEST_F(ConfigTest, MediumSearchTakesTheHighestIndexOfferingEthernet) {
    struct Case {
        std::vector<NDIS_MEDIUM> media;
        NDIS_STATUS status;
        UINT index;
    } cases[] = {
        {{NdisMedium802_5, NdisMedium802_3, NdisMedium802_3}, NDIS_STATUS_FAILURE, 2},
        {{NdisMedium802_3}, NDIS_STATUS_FAILURE, 0},
        {{NdisMedium802_3, NdisMediumFddi}, NDIS_STATUS_FAILURE, 0},
        {{}, NDIS_STATUS_UNSUPPORTED_MEDIA, 99},
        {{NdisMedium802_5, NdisMediumWan}, NDIS_STATUS_UNSUPPORTED_MEDIA, 99},
    };
    for (const Case &c : cases) {
        UINT selected = 99;
        size_t read = host.keywords_read().size();
        // No card answers at the configured ports, so a found medium still
        // ends in NDIS_STATUS_FAILURE, at the card's bring-up.
        EXPECT_EQ(initialize(base_config(), c.media, &selected), c.status);
        EXPECT_EQ(selected, c.index);
        if (c.status == NDIS_STATUS_UNSUPPORTED_MEDIA) {
            EXPECT_EQ(host.keywords_read().size(), read) << "nothing is taken";
        }
        EXPECT_EQ(host.live_allocations(), 0u);
    }
}

// ---- Failure paths ----

// The record is freed; nothing is read after the failure; only a failed
// allocation is logged.
TEST_F(ConfigTest, InitializationFailuresBeforeTheCardFreeTheRecordAndReadNoFurther) {
    AdapterConfig no_port;
    no_port.set_dword("Channel", 11);
    no_port.set_string("ESSID", "net");
    struct Case {
        const char *name;
        bool fail_allocation, fail_open;
        AdapterConfig config;
        NDIS_STATUS status;
        std::vector<std::string> read;
        bool logged;
    } cases[] = {
        {"allocation", true, false, base_config(), NDIS_STATUS_RESOURCES, {}, true},
        {"configuration opening", false, true, base_config(), NDIS_STATUS_FAILURE, {}, false},
        {"no IoBaseAddress", false, false, no_port, NDIS_STATUS_FAILURE, {"IoBaseAddress"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host.faults().fail_all_allocations = c.fail_allocation;
        host.faults().fail_open_configuration = c.fail_open;
        size_t read = host.keywords_read().size(), logged = host.error_log().size();
        UINT selected;
        NDIS_HANDLE h;
        EXPECT_EQ(initialize(c.config, {NdisMedium802_3}, &selected, &h), c.status);
        EXPECT_EQ(std::vector<std::string>(host.keywords_read().begin() + (long)read,
                                           host.keywords_read().end()),
                  c.read);
        EXPECT_EQ(host.live_allocations(), 0u);
        EXPECT_EQ(host.open_config_handles(), 0u);
        ASSERT_EQ(host.error_log().size() - logged, c.logged ? 1u : 0u);
        if (c.logged) {
            EXPECT_EQ(host.error_log().back().handle, h);
            EXPECT_EQ(host.error_log().back().code, 0xC0001389u);
            EXPECT_EQ(host.error_log().back().values, std::vector<ULONG>{1});
        }
    }
}

TEST_F(ConfigTest, KeywordsAreReadInTheirOrder) {
    UINT selected;
    initialize(base_config(), {NdisMedium802_3}, &selected);
    std::vector<std::string> expected = {"IoBaseAddress",
                                         "InterruptNumber",
                                         "NetworkMode",
                                         "ESSID",
                                         "StationName",
                                         "APDensity",
                                         "Channel",
                                         "TransmitRate",
                                         "MediumReservation",
                                         "PSMode",
                                         "PSLevel",
                                         "WepReq",
                                         "DefaultKeyId",
                                         "DefaultKeys",
                                         "DecryptInDriver",
                                         "EncryptInDriver",
                                         "WEPFactor",
                                         "ShortPreamble",
                                         "AuthenticationType",
                                         "FragThresh",
                                         "PollInDriver",
                                         "NetworkAddress",
                                         "IVCount",
                                         "VendorDesc"};
    EXPECT_EQ(host.keywords_read(), expected);
}

// ---- Values ----

TEST_F(ConfigTest, OnlyIoBaseAddressGivesEveryDefault) {
    auto a = configure(base_config());
    EXPECT_EQ(a->IoBaseAddr, kIoBase);
    EXPECT_EQ(a->InterruptNumber, 0u);
    EXPECT_EQ(a->NetworkMode, 1u);
    EXPECT_EQ(bytes(a->Desired_ESSID, 4), (std::vector<uint8_t>{'A', 'N', 'Y', 0}));
    EXPECT_EQ(a->Desired_ESSID_Length, 3);
    EXPECT_EQ(a->StationName[0], 0);
    EXPECT_EQ(a->StationNameLength, 0);
    EXPECT_EQ(a->APDensity, 1u);
    EXPECT_EQ(a->Channel, 4u);
    EXPECT_EQ(a->TransmitRate, 15u);
    EXPECT_EQ(a->Threshold, 3000u);
    EXPECT_EQ(a->PSModeValue, 0u);
    EXPECT_EQ(a->PSLevel, 0u);
    EXPECT_EQ(a->WepRequired, 0u);
    EXPECT_EQ(a->WepDefaultKeyId, 255u);
    EXPECT_EQ(bytes(a->WepDefaultKeys, 40), std::vector<uint8_t>(40, 0));
    for (const UCHAR *k :
         {a->WepDefaultKey0, a->WepDefaultKey1, a->WepDefaultKey2, a->WepDefaultKey3})
        EXPECT_EQ(bytes(k, 14), std::vector<uint8_t>(14, 0));
    EXPECT_EQ(a->DecryptInDriver, 1u);
    EXPECT_EQ(a->EncryptInDriver, 1u);
    EXPECT_EQ(a->WEPIVReuse, 3u);
    EXPECT_EQ(a->ShortPreamble, 1u);
    EXPECT_EQ(a->AuthenticationType, 2u);
    EXPECT_EQ(a->FragThresh, 2346u);
    EXPECT_EQ(a->PollInDriver, 0u);
    EXPECT_EQ(bytes(a->CurrentNetworkAddress, 6), std::vector<uint8_t>(6, 0));
    EXPECT_EQ(a->ivCountMax, 1000);
    const char desc[] = "QUENLIX 11Mbps WirelessLAN";
    EXPECT_EQ(bytes(a->VendorDescription, sizeof desc), bytes((const UCHAR *)desc, sizeof desc));
    EXPECT_EQ(a->VendorDescriptionLength, 27);
    EXPECT_EQ(a->MaxLookAhead, 1508u);
    EXPECT_EQ(a->MaxMulticastList, 32);
    // Fields no keyword sets are zero.
    EXPECT_EQ(a->IoBaseAddrR, 0u);
    EXPECT_EQ(a->reclaimStatus, 0);
    EXPECT_EQ(a->Lock.Held, 0u);
}

// Integers are stored unchecked (the interrupt number and IVCount in their
// low bits); a keyword given as the other kind is converted, or a string
// keyword keeps its default.
TEST_F(ConfigTest, IntegerKeywordsStoreTheirValueUncheckedOrConvertedFromText) {
    AdapterConfig c;
    c.set_string("IoBaseAddress", "3e0"); // the hexadecimal kind
    c.set_dword("InterruptNumber", 0x1234);
    c.set_dword("IVCount", 70000);
    c.set_dword("NetworkMode", 0xDEADBEEF);
    c.set_dword("PollInDriver", 2);
    c.set_string("Channel", "11");
    c.set_string("TransmitRate", "fast"); // no digits: 0, as the system converts
    c.set_string("APDensity", "0x2");     // decimal: the digits up to the 'x'
    c.set_string("MediumReservation", " 3 (rts)");
    c.set_dword("ESSID", 5); // a string keyword: its default stays
    auto a = configure(c);
    EXPECT_EQ(a->IoBaseAddr, 0x3E0u);
    EXPECT_EQ(a->InterruptNumber, 0x34u);
    EXPECT_EQ(a->ivCountMax, 4464);
    EXPECT_EQ(a->NetworkMode, 0xDEADBEEFu);
    EXPECT_EQ(a->PollInDriver, 2u);
    EXPECT_EQ(a->Channel, 11u);
    EXPECT_EQ(a->TransmitRate, 0u);
    EXPECT_EQ(a->APDensity, 0u);
    EXPECT_EQ(a->Threshold, 3u);
    EXPECT_EQ(a->Desired_ESSID_Length, 3);
}

// ---- Strings ----

TEST_F(ConfigTest, StringsFillTheirFieldsWithoutEverWritingPastThem) {
    struct Case {
        const char *keyword;
        std::string value;
        std::string stored; // significant bytes
        int length;
    } cases[] = {
        {"ESSID", "Office", "Office", 6},
        {"ESSID", "", "", 0},
        {"ESSID", std::string(32, 'e'), std::string(32, 'e'), 32},
        {"ESSID", std::string(40, 'e'), std::string(32, 'e'), 32},
        {"StationName", std::string(33, 's'), std::string(32, 's'), 32},
        {"StationName", "caf\xC3\xA9\xE2\x82\xAC", "caf\xE9?", 5},
        {"VendorDesc", "Acme", std::string("Acme\0", 5), 4},
        {"VendorDesc", std::string(127, 'v'), std::string(127, 'v') + '\0', 127},
        {"VendorDesc", std::string(128, 'v'), std::string(127, 'v') + '\0', 127},
        {"VendorDesc", std::string(300, 'v'), std::string(127, 'v') + '\0', 127},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.keyword) + " of " + std::to_string(c.value.size()) + " bytes");
        AdapterConfig cfg = base_config();
        cfg.set_string(c.keyword, c.value);
        auto a = configure(cfg);
        const UCHAR *field;
        int len;
        const UCHAR *after; // the byte right behind the field
        if (std::string(c.keyword) == "ESSID") {
            field = a->Desired_ESSID;
            len = a->Desired_ESSID_Length;
            after = &a->Desired_ESSID_Length;
        } else if (std::string(c.keyword) == "StationName") {
            field = a->StationName;
            len = a->StationNameLength;
            after = &a->StationNameLength;
        } else {
            field = a->VendorDescription;
            len = a->VendorDescriptionLength;
            after = &a->VendorDescriptionLength;
        }
        EXPECT_EQ(len, c.length);
        EXPECT_EQ(std::string((const char *)field, c.stored.size()), c.stored);
        EXPECT_EQ(*after, (UCHAR)c.length) << "the byte after the field is its length";
    }
}

// ---- "DefaultKeys" ----

struct KeyCase {
    const char *name;
    ULONG wep_required;
    std::string text;
    bool narrow;                            // 8-bit buffer instead of UTF-16
    std::vector<std::vector<uint8_t>> keys; // expected bytes 0..5 of keys 0..3 (or 0..13 of key 0)
};

std::vector<uint8_t> k6(std::initializer_list<uint8_t> b) {
    std::vector<uint8_t> v(b);
    v.resize(6, 0);
    return v;
}

const std::string kFourKeys = "0102030405A1B2C3D4E5deadbeef00112233445F";
const std::vector<std::vector<uint8_t>> kFourKeyBytes = {
    k6({0x01, 0x02, 0x03, 0x04, 0x05}), k6({0xA1, 0xB2, 0xC3, 0xD4, 0xE5}),
    k6({0xDE, 0xAD, 0xBE, 0xEF, 0x00}), k6({0x11, 0x22, 0x33, 0x44, 0x5F})};
const std::vector<std::vector<uint8_t>> kZeroKeys(4, std::vector<uint8_t>(6, 0));

TEST_F(ConfigTest, DefaultKeysTextBecomesKeyBytes) {
    std::string bad_in_key1 = kFourKeys;
    bad_in_key1[13] = 'x';
    std::string bad_first_pair = kFourKeys;
    bad_first_pair[0] = 'g';
    const KeyCase cases[] = {
        {"four keys", 3, kFourKeys, false, kFourKeyBytes},
        {"first digit is the high nibble",
         3,
         std::string("1aF0") + std::string(36, '0'),
         false,
         {k6({0x1A, 0xF0}), k6({}), k6({}), k6({})}},
        {"bad character in key 1 zeroes key 1 only",
         3,
         bad_in_key1,
         false,
         {kFourKeyBytes[0], k6({}), kFourKeyBytes[2], kFourKeyBytes[3]}},
        {"bad first pair zeroes key 0",
         3,
         bad_first_pair,
         false,
         {k6({}), kFourKeyBytes[1], kFourKeyBytes[2], kFourKeyBytes[3]}},
        {"39 characters in 40-bit mode give zero keys", 3, kFourKeys.substr(0, 39), false,
         kZeroKeys},
        {"more than 40 characters: the first 40 count", 3, kFourKeys + "FFFFFFFF", false,
         kFourKeyBytes},
        {"8-bit buffer with its terminator", 3, kFourKeys + '\0', true, kFourKeyBytes},
        {"8-bit buffer without terminator loses its last character", 3, kFourKeys, true, kZeroKeys},
        {"empty 8-bit buffer, never read past its end", 3, "", true, kZeroKeys},
        {"8-bit buffer of one byte", 3, "7", true, kZeroKeys},
        {"count is taken modulo 256", 3, kFourKeys + std::string(256, 'F'), false, kFourKeyBytes},
        {"count modulo 256 can fall below 40", 3, kFourKeys + std::string(220, 'F'), false,
         kZeroKeys},
        {"WEP off still converts four keys", 0, kFourKeys, false, kFourKeyBytes},
        {"WEP off with a short text leaves the missing digits unconverted",
         0,
         kFourKeys.substr(0, 25),
         false,
         {kFourKeyBytes[0], kFourKeyBytes[1], k6({}), k6({})}},
    };
    for (const KeyCase &c : cases) {
        SCOPED_TRACE(c.name);
        AdapterConfig cfg = base_config();
        cfg.set_dword("WepReq", c.wep_required);
        if (c.narrow)
            cfg.set_raw_string("DefaultKeys", std::vector<uint8_t>(c.text.begin(), c.text.end()));
        else
            cfg.set_string("DefaultKeys", c.text);
        auto a = configure(cfg);
        const UCHAR *keys[4] = {a->WepDefaultKey0, a->WepDefaultKey1, a->WepDefaultKey2,
                                a->WepDefaultKey3};
        for (int n = 0; n < 4; n++)
            EXPECT_EQ(bytes(keys[n], 6), c.keys[n]) << "key " << n;
    }
}

TEST_F(ConfigTest, DefaultKeysTextIsKeptAsReadOrAsZeros) {
    AdapterConfig cfg = base_config();
    cfg.set_dword("WepReq", 3);
    cfg.set_string("DefaultKeys", "12345");
    auto a = configure(cfg);
    EXPECT_EQ(std::string((const char *)a->WepDefaultKeys, 40), std::string(40, '0'));

    AdapterConfig cfg2 = base_config();
    cfg2.set_string("DefaultKeys", "12345");
    auto b = configure(cfg2);
    EXPECT_EQ(std::string((const char *)b->WepDefaultKeys, 40),
              std::string("12345") + std::string(35, '\0'));
}

TEST_F(ConfigTest, OneLongKeyIn104BitMode) {
    const std::string text = "000102030405060708090A0B0C";
    struct Case {
        const char *name;
        std::string text;
        std::vector<uint8_t> key0; // 14 bytes
    } cases[] = {
        {"26 digits", text, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0}},
        {"25 characters give a zero key", text.substr(0, 25), std::vector<uint8_t>(14, 0)},
        {"a bad pair leaves its byte and conversion goes on",
         "0001zz030405060708090A0B0C",
         {0, 1, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0}},
        {"40 digits: only 26 count",
         text + "FFFFFFFFFFFFFF",
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        AdapterConfig cfg = base_config();
        cfg.set_dword("WepReq", 7);
        cfg.set_string("DefaultKeys", c.text);
        auto a = configure(cfg);
        EXPECT_EQ(bytes(a->WepDefaultKey0, 14), c.key0);
        for (const UCHAR *k : {a->WepDefaultKey1, a->WepDefaultKey2, a->WepDefaultKey3})
            EXPECT_EQ(bytes(k, 14), std::vector<uint8_t>(14, 0)) << "untouched in 104-bit mode";
    }
}

// ---- Network address ----

TEST_F(ConfigTest, NetworkAddressIsTakenOnlyWhenItIsSixBytesOfAStation) {
    const std::vector<uint8_t> none(6, 0);
    struct Case {
        const char *text;
        std::vector<uint8_t> expected;
        bool logged; // NDIS_ERROR_CODE_NETWORK_ADDRESS
    } cases[] = {
        {"00A0C9112233", {0x00, 0xA0, 0xC9, 0x11, 0x22, 0x33}, false},
        {"02-00-00-00-00-01", {0x02, 0, 0, 0, 0, 0x01}, false},
        {"02-0000-000-001", {0x02, 0, 0, 0, 0, 0x01}, false}, // hyphens anywhere
        {"00A0C91122", none, false},                          // 5 bytes
        {"00A0C9112233FF", none, false},                      // 7 bytes
        {"00A0C911223", none, false},                         // odd digit count
        {"00:A0:C9:11:22:33", none, false},
        {"not an address", none, false},
        {"01005E000001", none, true}, // a group address
        {"FFFFFFFFFFFF", none, true}, // broadcast
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        AdapterConfig cfg = base_config();
        cfg.set_string("NetworkAddress", c.text);
        size_t logged = host.error_log().size();
        auto a = configure(cfg);
        EXPECT_EQ(bytes(a->CurrentNetworkAddress, 6), c.expected);
        ASSERT_EQ(host.error_log().size() - logged, c.logged ? 1u : 0u);
        if (c.logged) {
            EXPECT_EQ(host.error_log().back().code, NDIS_ERROR_CODE_NETWORK_ADDRESS);
            EXPECT_EQ(host.error_log().back().values, std::vector<ULONG>{1});
        }
    }
}

TEST_F(ConfigTest, HexadecimalReadTakesEitherIntegerKindBack) {
    for (NDIS_PARAMETER_TYPE kind : {NdisParameterInteger, NdisParameterHexInteger}) {
        SCOPED_TRACE(kind);
        host.options().hex_integer_type = kind;
        auto a = configure(base_config());
        EXPECT_EQ(a->IoBaseAddr, 0x300u) << "the adapter is not refused";
    }
}

} // namespace
