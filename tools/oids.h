// The information requests by name, as a configuration utility shows them:
// one table of the standard and private codes the driver knows, each with
// the kind of value its query answers and its set takes, so that answers
// are shown decoded and values typed by a person become request bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hostndis.h"

namespace talsim {

using Bytes = std::vector<uint8_t>;

// How an answer reads, or what a set takes.
enum class Value : uint8_t {
    None,        // not answered (query) or not taken (set)
    Number,      // 32-bit, little-endian
    Hex32,       // 32-bit shown in hexadecimal (masks, options, versions)
    Number16,    // a 16-bit value in 4 bytes
    Byte,        // one byte
    MediaState,  // 0 connected, 1 disconnected
    LinkStatus,  // the card's link status code
    LinkSpeed,   // units of 100 bit/s
    NdisVersion, // 2 bytes: major, minor
    Mac,         // 6 bytes
    Text,        // characters ending in a zero
    Chars,       // characters, the length is the answer's
    BssidText,   // 12 hexadecimal characters
    Words,       // 16-bit words, named by the row's labels
    Blob,        // bytes in hexadecimal
    OidList,     // 32-bit codes
    Tallies,     // the firmware's 21 counters
    ScanResults, // the networks of the last scan
    ApInfo,      // the access point's vendor information
    Monitor,     // the driver's six packet counters
    RegisterDump,
    Pda,
    Survey, // a survey step: 4 bytes that say nothing
    // Set input only:
    Action,  // no input: the set does something
    KeyText, // a WEP key as hexadecimal text
    MacList, // multicast addresses
};

// A kind in a word or two, "-" for None.
const char *value_name(Value kind);

struct OidInfo {
    const char *name;
    NDIS_OID code;
    Value query;
    Value set;
    // A Number or Byte set's range; the length of a Chars or KeyText set's
    // text; the most addresses of a MacList.
    uint32_t min = 0, max = 0xFFFFFFFF;
    const char *labels = nullptr; // Words: the words' names, comma-separated
};

const std::vector<OidInfo> &oid_table();
const OidInfo *oid_by_code(NDIS_OID code);

// A name (any case, with or without its OID_GEN_, OID_802_3_ or OID_PRIV_
// prefix when that leaves one row) or a code (decimal or 0x hexadecimal).
// Nothing, with `why`, for an unknown or ambiguous name.
struct OidRef {
    NDIS_OID code;
    const OidInfo *info; // null for a code without a row
};
std::optional<OidRef> find_oid(std::string_view text, std::string &why);

// The shown name: the row's, or the code in hexadecimal.
std::string oid_name(NDIS_OID code);

// An answer as text: one line, or several for tables. `kind` Blob for a
// code without a row.
std::string show_answer(Value kind, const Bytes &answer, const char *labels = nullptr);

// The bytes a set request carries for `text`; nothing, with `why`, when the
// text is not a value of that kind or lies outside the row's range.
std::optional<Bytes> parse_set_value(const OidInfo &row, std::string_view text, std::string &why);

// ---- Answers the tools read field by field ----

// One network of a scan results answer.
struct Network {
    uint16_t channel = 0, noise = 0, signal = 0;
    uint8_t bssid[6] = {};
    uint16_t beacon_interval = 0, capability = 0;
    std::string ssid;
    bool privacy() const { return capability & 0x0010; }
};
std::vector<Network> parse_scan_results(const Bytes &answer);
// A table, a network a line under a heading.
std::string networks_text(const std::vector<Network> &networks);

struct ApInfo {
    bool present = false; // an answer from the access point was taken
    std::string model, version, description;
    uint8_t nat = 0, dhcp = 0, connections = 0, internet_type = 0, dhcp_acquired = 0,
            connectivity = 0;
};
ApInfo parse_ap_info(const Bytes &answer);
std::string ap_info_text(const ApInfo &info);

// A little-endian 32-bit value at `offset`, 0 past the end.
uint32_t le32_at(const Bytes &b, size_t offset);

extern const char *const kTallyNames[21];
extern const char *const kMonitorNames[6];
const char *link_status_text(uint32_t code);
std::string mac_text(const uint8_t *m);

} // namespace talsim
