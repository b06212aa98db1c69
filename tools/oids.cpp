#include "oids.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

#include "driver/taloids.h"
#include "registry.h" // printable

namespace talsim {

namespace {

using V = Value;

const std::vector<OidInfo> kTable = {
    // ---- Standard: general ----
    {"OID_GEN_SUPPORTED_LIST", OID_GEN_SUPPORTED_LIST, V::OidList, V::None},
    {"OID_GEN_HARDWARE_STATUS", OID_GEN_HARDWARE_STATUS, V::Number, V::None},
    {"OID_GEN_MEDIA_SUPPORTED", OID_GEN_MEDIA_SUPPORTED, V::Number, V::None},
    {"OID_GEN_MEDIA_IN_USE", OID_GEN_MEDIA_IN_USE, V::Number, V::None},
    {"OID_GEN_MAXIMUM_LOOKAHEAD", OID_GEN_MAXIMUM_LOOKAHEAD, V::Number, V::None},
    {"OID_GEN_MAXIMUM_FRAME_SIZE", OID_GEN_MAXIMUM_FRAME_SIZE, V::Number, V::None},
    {"OID_GEN_LINK_SPEED", OID_GEN_LINK_SPEED, V::LinkSpeed, V::None},
    {"OID_GEN_TRANSMIT_BUFFER_SPACE", OID_GEN_TRANSMIT_BUFFER_SPACE, V::Number, V::None},
    {"OID_GEN_RECEIVE_BUFFER_SPACE", OID_GEN_RECEIVE_BUFFER_SPACE, V::Number, V::None},
    {"OID_GEN_TRANSMIT_BLOCK_SIZE", OID_GEN_TRANSMIT_BLOCK_SIZE, V::Number, V::None},
    {"OID_GEN_RECEIVE_BLOCK_SIZE", OID_GEN_RECEIVE_BLOCK_SIZE, V::Number, V::None},
    {"OID_GEN_VENDOR_ID", OID_GEN_VENDOR_ID, V::Blob, V::None},
    {"OID_GEN_VENDOR_DESCRIPTION", OID_GEN_VENDOR_DESCRIPTION, V::Text, V::None},
    {"OID_GEN_CURRENT_PACKET_FILTER", OID_GEN_CURRENT_PACKET_FILTER, V::None, V::Number},
    {"OID_GEN_CURRENT_LOOKAHEAD", OID_GEN_CURRENT_LOOKAHEAD, V::Number, V::Number},
    {"OID_GEN_DRIVER_VERSION", OID_GEN_DRIVER_VERSION, V::NdisVersion, V::None},
    {"OID_GEN_MAXIMUM_TOTAL_SIZE", OID_GEN_MAXIMUM_TOTAL_SIZE, V::Number, V::None},
    {"OID_GEN_PROTOCOL_OPTIONS", OID_GEN_PROTOCOL_OPTIONS, V::None, V::None},
    {"OID_GEN_MAC_OPTIONS", OID_GEN_MAC_OPTIONS, V::Hex32, V::None},
    {"OID_GEN_MEDIA_CONNECT_STATUS", OID_GEN_MEDIA_CONNECT_STATUS, V::MediaState, V::None},
    {"OID_GEN_MAXIMUM_SEND_PACKETS", OID_GEN_MAXIMUM_SEND_PACKETS, V::Number, V::None},
    {"OID_GEN_VENDOR_DRIVER_VERSION", OID_GEN_VENDOR_DRIVER_VERSION, V::Hex32, V::None},
    {"OID_GEN_XMIT_OK", OID_GEN_XMIT_OK, V::Number, V::None},
    {"OID_GEN_RCV_OK", OID_GEN_RCV_OK, V::Number, V::None},
    {"OID_GEN_XMIT_ERROR", OID_GEN_XMIT_ERROR, V::Number, V::None},
    {"OID_GEN_RCV_ERROR", OID_GEN_RCV_ERROR, V::Number, V::None},
    {"OID_GEN_RCV_NO_BUFFER", OID_GEN_RCV_NO_BUFFER, V::Number, V::None},
    // ---- Standard: 802.3 ----
    {"OID_802_3_PERMANENT_ADDRESS", OID_802_3_PERMANENT_ADDRESS, V::Mac, V::None},
    {"OID_802_3_CURRENT_ADDRESS", OID_802_3_CURRENT_ADDRESS, V::Mac, V::None},
    {"OID_802_3_MULTICAST_LIST", OID_802_3_MULTICAST_LIST, V::None, V::MacList, 0, 32},
    {"OID_802_3_MAXIMUM_LIST_SIZE", OID_802_3_MAXIMUM_LIST_SIZE, V::Number, V::None},
    {"OID_802_3_RCV_ERROR_ALIGNMENT", OID_802_3_RCV_ERROR_ALIGNMENT, V::Number, V::None},
    {"OID_802_3_XMIT_ONE_COLLISION", OID_802_3_XMIT_ONE_COLLISION, V::Number, V::None},
    {"OID_802_3_XMIT_MORE_COLLISIONS", OID_802_3_XMIT_MORE_COLLISIONS, V::Number, V::None},
    // ---- Private: settings and link state ----
    {"OID_PRIV_NETWORK_MODE", OID_PRIV_NETWORK_MODE, V::Number, V::Number, 0, 255},
    {"OID_PRIV_DESIRED_ESSID", OID_PRIV_DESIRED_ESSID, V::Text, V::Chars, 0, 32},
    {"OID_PRIV_CHANNEL", OID_PRIV_CHANNEL, V::Number16, V::Number, 1, 14},
    {"OID_PRIV_SSID", OID_PRIV_SSID, V::Text, V::None},
    {"OID_PRIV_AP_DENSITY", OID_PRIV_AP_DENSITY, V::Number, V::Number, 0, 255},
    {"OID_PRIV_POWER_MANAGEMENT", OID_PRIV_POWER_MANAGEMENT, V::Words, V::Number, 0, 255,
     "enabled,multicast receive"},
    {"OID_PRIV_STATION_NAME", OID_PRIV_STATION_NAME, V::Chars, V::None},
    {"OID_PRIV_RTS_THRESHOLD", OID_PRIV_RTS_THRESHOLD, V::Number, V::Number, 0, 65535},
    {"OID_PRIV_TX_RATE", OID_PRIV_TX_RATE, V::Number16, V::Number, 0, 255},
    {"OID_PRIV_PROMISCUOUS", OID_PRIV_PROMISCUOUS, V::None, V::Number, 0, 255},
    {"OID_PRIV_AVAILABLE_CHANNELS", OID_PRIV_AVAILABLE_CHANNELS, V::Hex32, V::None},
    {"OID_PRIV_REG_DOMAIN", OID_PRIV_REG_DOMAIN, V::Hex32, V::None},
    {"OID_PRIV_PORT_STATUS", OID_PRIV_PORT_STATUS, V::Number16, V::None},
    {"OID_PRIV_CURRENT_ESSID", OID_PRIV_CURRENT_ESSID, V::Text, V::None},
    {"OID_PRIV_CURRENT_BSSID", OID_PRIV_CURRENT_BSSID, V::BssidText, V::None},
    {"OID_PRIV_COMMS_QUALITY", OID_PRIV_COMMS_QUALITY, V::Words, V::None, 0, 0,
     "quality,signal,noise"},
    {"OID_PRIV_CURRENT_TX_RATE", OID_PRIV_CURRENT_TX_RATE, V::Number16, V::None},
    {"OID_PRIV_CURRENT_CHANNEL", OID_PRIV_CURRENT_CHANNEL, V::Number16, V::None},
    {"OID_PRIV_CURRENT_POWER_STATE", OID_PRIV_CURRENT_POWER_STATE, V::Number16, V::None},
    {"OID_PRIV_TALLIES", OID_PRIV_TALLIES, V::Tallies, V::None},
    {"OID_PRIV_SCAN_RESULTS", OID_PRIV_SCAN_RESULTS, V::ScanResults, V::None},
    {"OID_PRIV_LINK_STATUS", OID_PRIV_LINK_STATUS, V::LinkStatus, V::None},
    {"OID_PRIV_RESET_CARD", OID_PRIV_RESET_CARD, V::None, V::Action},
    // ---- Private: WEP ----
    {"OID_PRIV_WEP_KEY_ID", OID_PRIV_WEP_KEY_ID, V::Number, V::Number, 0, 3},
    {"OID_PRIV_WEP_KEY0", OID_PRIV_WEP_KEY0, V::Blob, V::KeyText, 10, 26},
    {"OID_PRIV_WEP_KEY1", OID_PRIV_WEP_KEY1, V::Blob, V::KeyText, 10, 10},
    {"OID_PRIV_WEP_KEY2", OID_PRIV_WEP_KEY2, V::Blob, V::KeyText, 10, 10},
    {"OID_PRIV_WEP_KEY3", OID_PRIV_WEP_KEY3, V::Blob, V::KeyText, 10, 10},
    {"OID_PRIV_WEP_FLAGS", OID_PRIV_WEP_FLAGS, V::Number16, V::Number, 0, 255},
    // ---- Private: versions, modes, registers, download ----
    {"OID_PRIV_DRIVER_VERSION", OID_PRIV_DRIVER_VERSION, V::Words, V::None, 0, 0,
     "major,minor,build"},
    {"OID_PRIV_PRIMARY_FW_VERSION", OID_PRIV_PRIMARY_FW_VERSION, V::Words, V::None, 0, 0,
     "variant,major,minor"},
    {"OID_PRIV_STATION_FW_VERSION", OID_PRIV_STATION_FW_VERSION, V::Words, V::None, 0, 0,
     "variant,major,minor"},
    {"OID_PRIV_SNIFFER_ON", OID_PRIV_SNIFFER_ON, V::None, V::Action},
    {"OID_PRIV_SNIFFER_OFF", OID_PRIV_SNIFFER_OFF, V::None, V::Action},
    {"OID_PRIV_PDA", OID_PRIV_PDA, V::Pda, V::None},
    {"OID_PRIV_DOWNLOAD_HEADER", OID_PRIV_DOWNLOAD_HEADER, V::None, V::Blob},
    {"OID_PRIV_DOWNLOAD_DATA", OID_PRIV_DOWNLOAD_DATA, V::None, V::Blob},
    {"OID_PRIV_DOWNLOAD_ERROR", OID_PRIV_DOWNLOAD_ERROR, V::Byte, V::None},
    {"OID_PRIV_DOWNLOAD_COUNT", OID_PRIV_DOWNLOAD_COUNT, V::None, V::Byte, 0, 255},
    {"OID_PRIV_REGISTER_DUMP", OID_PRIV_REGISTER_DUMP, V::RegisterDump, V::None},
    {"OID_PRIV_REGISTER_WRITE", OID_PRIV_REGISTER_WRITE, V::None, V::Blob},
    {"OID_PRIV_DOWNLOAD_BEGIN", OID_PRIV_DOWNLOAD_BEGIN, V::None, V::Action},
    {"OID_PRIV_DOWNLOAD_END", OID_PRIV_DOWNLOAD_END, V::None, V::Action},
    // ---- Private: answered, not in the supported list ----
    {"OID_PRIV_AP_INFO", OID_PRIV_AP_INFO, V::ApInfo, V::None},
    {"OID_PRIV_SITE_SURVEY_START", OID_PRIV_SITE_SURVEY_START, V::Survey, V::None},
    {"OID_PRIV_SITE_SURVEY_END", OID_PRIV_SITE_SURVEY_END, V::Survey, V::None},
    {"OID_PRIV_SITE_SURVEY_CONTINUE", OID_PRIV_SITE_SURVEY_CONTINUE, V::Survey, V::None},
    {"OID_PRIV_PACKET_MONITOR", OID_PRIV_PACKET_MONITOR, V::Monitor, V::None},
};

std::string upper(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = (char)std::toupper((unsigned char)c);
    return out;
}

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

uint16_t le16_at(const Bytes &b, size_t offset) {
    return offset + 1 < b.size() ? (uint16_t)(b[offset] | b[offset + 1] << 8) : 0;
}

// Characters up to the first zero (or `n`), quoted and printable.
std::string quoted(const uint8_t *p, size_t n) {
    size_t len = std::find(p, p + n, 0) - p;
    return "\"" + talhost::printable(std::string_view((const char *)p, len), 64) + "\"";
}

std::string hex_bytes(const Bytes &b) {
    std::string out;
    char buf[24];
    for (size_t i = 0; i < b.size(); i++) {
        if (b.size() > 16 && i % 16 == 0) {
            std::snprintf(buf, sizeof buf, "%s%04zX:", i ? "\n" : "", i);
            out += buf;
        }
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() || out.back() == '\n' ? "" : " ",
                      b[i]);
        out += buf;
    }
    return out;
}

std::vector<std::string> split_labels(const char *labels) {
    std::vector<std::string> out;
    std::string cur;
    for (const char *p = labels; p && *p; p++) {
        if (*p == ',') {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (labels)
        out.push_back(cur);
    return out;
}

std::string show_words(const Bytes &b, const char *labels) {
    std::vector<std::string> names = split_labels(labels);
    std::string out;
    size_t n = names.empty() ? b.size() / 2 : std::min(names.size(), b.size() / 2);
    for (size_t i = 0; i < n; i++) {
        if (i)
            out += names.empty() ? " " : ", ";
        if (!names.empty())
            out += names[i] + " ";
        out += std::to_string(le16_at(b, 2 * i));
    }
    return out;
}

std::string show_counters(const Bytes &b, const char *const *names, size_t n) {
    std::string out;
    char line[96];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(line, sizeof line, "%s%-32s %u", i ? "\n" : "", names[i], le32_at(b, 4 * i));
        out += line;
    }
    return out;
}

} // namespace

std::string networks_text(const std::vector<Network> &nets) {
    if (nets.empty())
        return "no networks";
    std::string out = "BSSID              channel  signal  noise  security  SSID";
    char line[160];
    for (const Network &n : nets) {
        std::snprintf(line, sizeof line, "\n%s  %7u  %6u  %5u  %-8s  \"%s\"",
                      mac_text(n.bssid).c_str(), n.channel, n.signal, n.noise,
                      n.privacy() ? "WEP" : "open", talhost::printable(n.ssid, 32).c_str());
        out += line;
    }
    return out;
}

std::string ap_info_text(const ApInfo &ap) {
    if (!ap.present)
        return "no answer from the access point yet";
    char line[256];
    std::snprintf(line, sizeof line,
                  "model \"%s\", version \"%s\"\ndescription \"%s\"\nNAT %u, DHCP %u, connections "
                  "%u, internet type %u, address by DHCP %u, connectivity %u",
                  talhost::printable(ap.model, 32).c_str(),
                  talhost::printable(ap.version, 32).c_str(),
                  talhost::printable(ap.description, 128).c_str(), ap.nat, ap.dhcp, ap.connections,
                  ap.internet_type, ap.dhcp_acquired, ap.connectivity);
    return line;
}

namespace {

// 64 registers, indexes 0, 2, ... 126, high byte first; eight a line.
std::string show_register_dump(const Bytes &b) {
    std::string out = "index  +0   +2   +4   +6   +8   +10  +12  +14";
    char buf[16];
    for (size_t i = 0; i < 64 && 2 * i + 1 < b.size(); i++) {
        if (i % 8 == 0) {
            std::snprintf(buf, sizeof buf, "\n%5zu ", 2 * i);
            out += buf;
        }
        std::snprintf(buf, sizeof buf, " %04X", (unsigned)(b[2 * i] << 8 | b[2 * i + 1]));
        out += buf;
    }
    return out;
}

// The production data as words, eight a line with the word offset.
std::string show_pda(const Bytes &b) {
    std::string out;
    char buf[24];
    for (size_t w = 0; 2 * w + 1 < b.size(); w++) {
        if (w % 8 == 0) {
            std::snprintf(buf, sizeof buf, "%s%04zX:", w ? "\n" : "", w);
            out += buf;
        }
        std::snprintf(buf, sizeof buf, " %04X", le16_at(b, 2 * w));
        out += buf;
    }
    return out;
}

bool parse_u32(std::string_view s, uint32_t &out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = (char)std::tolower((unsigned char)c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool parse_mac(std::string_view s, uint8_t *out) {
    if (s.size() != 17)
        return false;
    for (size_t i = 0; i < 6; i++) {
        int hi = hex_digit(s[3 * i]), lo = hex_digit(s[3 * i + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && s[3 * i + 2] != ':' && s[3 * i + 2] != '-'))
            return false;
        out[i] = (uint8_t)(hi << 4 | lo);
    }
    return true;
}

std::string range_text(const OidInfo &row) {
    return std::to_string(row.min) + " to " + std::to_string(row.max);
}

} // namespace

const std::vector<OidInfo> &oid_table() {
    return kTable;
}

const char *value_name(Value kind) {
    switch (kind) {
    case V::None:
        return "-";
    case V::Number:
    case V::Number16:
        return "number";
    case V::Hex32:
        return "hex";
    case V::Byte:
        return "byte";
    case V::MediaState:
        return "state";
    case V::LinkStatus:
        return "link";
    case V::LinkSpeed:
        return "speed";
    case V::NdisVersion:
        return "version";
    case V::Mac:
        return "address";
    case V::Text:
    case V::Chars:
        return "text";
    case V::BssidText:
        return "bssid";
    case V::Words:
    case V::Pda:
        return "words";
    case V::Blob:
        return "bytes";
    case V::OidList:
        return "codes";
    case V::Tallies:
    case V::Monitor:
        return "counters";
    case V::ScanResults:
        return "networks";
    case V::ApInfo:
        return "ap info";
    case V::RegisterDump:
        return "registers";
    case V::Survey:
    case V::Action:
        return "action";
    case V::KeyText:
        return "key text";
    case V::MacList:
        return "addresses";
    }
    return "?";
}

const OidInfo *oid_by_code(NDIS_OID code) {
    for (const OidInfo &row : kTable)
        if (row.code == code)
            return &row;
    return nullptr;
}

std::optional<OidRef> find_oid(std::string_view text, std::string &why) {
    uint32_t code;
    if (!text.empty() && std::isdigit((unsigned char)text[0])) {
        if (!parse_u32(text, code)) {
            why = "'" + talhost::printable(text) + "' is not an OID code (0 to 0xFFFFFFFF)";
            return std::nullopt;
        }
        return OidRef{code, oid_by_code(code)};
    }
    std::string name = upper(text);
    const OidInfo *found = nullptr;
    int matches = 0;
    for (const OidInfo &row : kTable) {
        std::string_view full = row.name;
        if (full == name)
            return OidRef{row.code, &row};
        for (std::string_view prefix : {"OID_GEN_", "OID_802_3_", "OID_PRIV_"})
            if (full.substr(0, prefix.size()) == prefix && full.substr(prefix.size()) == name) {
                found = &row;
                matches++;
            }
    }
    if (matches == 1)
        return OidRef{found->code, found};
    why = matches
              ? "'" + talhost::printable(text) + "' names more than one OID; give its whole name"
              : "unknown OID '" + talhost::printable(text) + "' (`oids` lists the names)";
    return std::nullopt;
}

std::string oid_name(NDIS_OID code) {
    const OidInfo *row = oid_by_code(code);
    return row ? row->name : hex32(code);
}

uint32_t le32_at(const Bytes &b, size_t offset) {
    if (offset + 3 >= b.size())
        return 0;
    return (uint32_t)b[offset] | (uint32_t)b[offset + 1] << 8 | (uint32_t)b[offset + 2] << 16 |
           (uint32_t)b[offset + 3] << 24;
}

std::string mac_text(const uint8_t *m) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return buf;
}

const char *const kTallyNames[21] = {"tx unicast frames",
                                     "tx multicast frames",
                                     "tx fragments",
                                     "tx unicast octets",
                                     "tx multicast octets",
                                     "tx deferred",
                                     "tx single retry frames",
                                     "tx multiple retry frames",
                                     "tx retry limit exceeded",
                                     "tx discards",
                                     "rx unicast frames",
                                     "rx multicast frames",
                                     "rx fragments",
                                     "rx unicast octets",
                                     "rx multicast octets",
                                     "rx FCS errors",
                                     "rx discards no buffer",
                                     "tx discards wrong SA",
                                     "rx discards WEP undecryptable",
                                     "rx message in message",
                                     "rx message in bad message"};

const char *const kMonitorNames[6] = {"packets sent",     "bytes sent",     "send errors",
                                      "packets received", "bytes received", "receive errors"};

const char *link_status_text(uint32_t code) {
    static const char *const kText[] = {"none yet",          "connected",    "disconnected",
                                        "AP changed",        "out of range", "back in range",
                                        "association failed"};
    return code < 7 ? kText[code] : "unknown";
}

std::vector<Network> parse_scan_results(const Bytes &answer) {
    constexpr size_t kEntryWords = 25;
    std::vector<Network> out;
    size_t words = std::min<size_t>(le16_at(answer, 0) + 1u, answer.size() / 2);
    for (size_t e = 2; e + kEntryWords <= words; e += kEntryWords) {
        Network n;
        n.channel = le16_at(answer, 2 * e);
        n.noise = le16_at(answer, 2 * (e + 1));
        n.signal = le16_at(answer, 2 * (e + 2));
        std::copy_n(answer.begin() + (long)(2 * (e + 3)), 6, n.bssid);
        n.beacon_interval = le16_at(answer, 2 * (e + 6));
        n.capability = le16_at(answer, 2 * (e + 7));
        size_t len = std::min<size_t>(le16_at(answer, 2 * (e + 8)), 32);
        n.ssid.assign((const char *)answer.data() + 2 * (e + 9), len);
        out.push_back(n);
    }
    return out;
}

ApInfo parse_ap_info(const Bytes &answer) {
    ApInfo ap;
    if (answer.size() < 199)
        return ap;
    auto text = [&](size_t at, size_t n) {
        const uint8_t *p = answer.data() + at;
        return std::string((const char *)p, std::find(p, p + n, 0) - p);
    };
    ap.present = answer[0] == 1;
    ap.model = text(1, 32);
    ap.version = text(33, 32);
    ap.description = text(65, 128);
    ap.nat = answer[193];
    ap.dhcp = answer[194];
    ap.connections = answer[195];
    ap.internet_type = answer[196];
    ap.dhcp_acquired = answer[197];
    ap.connectivity = answer[198];
    return ap;
}

std::string show_answer(Value kind, const Bytes &b, const char *labels) {
    uint32_t v = le32_at(b, 0);
    switch (kind) {
    case V::Number:
        return std::to_string(v);
    case V::Hex32:
        return hex32(v);
    case V::Number16:
        return std::to_string(le16_at(b, 0));
    case V::Byte:
        return b.empty() ? "" : std::to_string(b[0]);
    case V::MediaState:
        return std::to_string(v) + (v == 0 ? " (connected)" : v == 1 ? " (disconnected)" : "");
    case V::LinkStatus:
        return std::to_string(v) + " (" + link_status_text(v) + ")";
    case V::LinkSpeed:
        return std::to_string(v) + " (" + std::to_string(v / 10000) + " Mbit/s)";
    case V::NdisVersion:
        return b.size() < 2 ? hex_bytes(b) : std::to_string(b[1]) + "." + std::to_string(b[0]);
    case V::Mac:
        return b.size() < 6 ? hex_bytes(b) : mac_text(b.data());
    case V::Text:
    case V::Chars:
        return quoted(b.data(), b.size());
    case V::BssidText: {
        uint8_t mac[6];
        bool hex = b.size() == 12;
        for (size_t i = 0; hex && i < 6; i++) {
            int hi = hex_digit((char)b[2 * i]), lo = hex_digit((char)b[2 * i + 1]);
            hex = hi >= 0 && lo >= 0;
            mac[i] = (uint8_t)(hi << 4 | lo);
        }
        return hex ? mac_text(mac) : quoted(b.data(), b.size());
    }
    case V::Words:
        return show_words(b, labels);
    case V::OidList: {
        std::string out;
        for (size_t i = 0; i + 3 < b.size(); i += 4)
            out += (i ? "\n" : "") + hex32(le32_at(b, i)) + "  " +
                   (oid_by_code(le32_at(b, i)) ? oid_name(le32_at(b, i)) : "(no name)");
        return out;
    }
    case V::Tallies:
        return show_counters(b, kTallyNames, 21);
    case V::Monitor:
        return show_counters(b, kMonitorNames, 6);
    case V::ScanResults:
        return networks_text(parse_scan_results(b));
    case V::ApInfo:
        return ap_info_text(parse_ap_info(b));
    case V::RegisterDump:
        return show_register_dump(b);
    case V::Pda:
        return show_pda(b);
    case V::Survey:
        return "done";
    default:
        break;
    }
    return hex_bytes(b);
}

std::optional<Bytes> parse_set_value(const OidInfo &row, std::string_view text, std::string &why) {
    const std::string shown = "'" + talhost::printable(text) + "'";
    switch (row.set) {
    case V::Action:
        if (!text.empty()) {
            why = std::string(row.name) + " takes no value";
            return std::nullopt;
        }
        return Bytes{};
    case V::Number:
    case V::Byte: {
        uint32_t v;
        if (!parse_u32(text, v) || v < row.min || v > row.max) {
            why = std::string(row.name) + " takes a number from " + range_text(row) + ", not " +
                  shown;
            return std::nullopt;
        }
        if (row.set == V::Byte)
            return Bytes{(uint8_t)v};
        return Bytes{(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    }
    case V::Chars:
        if (text.size() > row.max) {
            why = std::string(row.name) + " takes at most " + std::to_string(row.max) +
                  " characters, not " + std::to_string(text.size());
            return std::nullopt;
        }
        return Bytes(text.begin(), text.end());
    case V::KeyText: {
        bool hex = std::all_of(text.begin(), text.end(), [](char c) { return hex_digit(c) >= 0; });
        if (!hex || (text.size() != row.min && text.size() != row.max)) {
            why =
                std::string(row.name) + " takes a key of " +
                (row.min == row.max ? std::to_string(row.min)
                                    : std::to_string(row.min) + " or " + std::to_string(row.max)) +
                " hexadecimal digits, not " + shown;
            return std::nullopt;
        }
        return Bytes(text.begin(), text.end());
    }
    case V::MacList: {
        Bytes out;
        size_t from = 0;
        while (from < text.size()) {
            size_t end = std::min(text.find(',', from), text.size());
            uint8_t mac[6];
            if (!parse_mac(text.substr(from, end - from), mac)) {
                why = std::string(row.name) +
                      " takes addresses like 01:00:5e:00:00:01, separated by "
                      "commas, not " +
                      shown;
                return std::nullopt;
            }
            out.insert(out.end(), mac, mac + 6);
            from = end + 1;
        }
        if (out.size() / 6 > row.max) {
            why =
                std::string(row.name) + " takes at most " + std::to_string(row.max) + " addresses";
            return std::nullopt;
        }
        return out;
    }
    case V::Blob: {
        Bytes out;
        std::string digits;
        for (char c : text)
            if (c != ' ' && c != ':')
                digits += c;
        bool hex = digits.size() % 2 == 0 && std::all_of(digits.begin(), digits.end(),
                                                         [](char c) { return hex_digit(c) >= 0; });
        if (!hex) {
            why = std::string(row.name) +
                  " takes bytes in hexadecimal (such as 00 01 0A FF), not " + shown;
            return std::nullopt;
        }
        for (size_t i = 0; i < digits.size(); i += 2)
            out.push_back((uint8_t)(hex_digit(digits[i]) << 4 | hex_digit(digits[i + 1])));
        return out;
    }
    default:
        break;
    }
    why = std::string(row.name) + " cannot be set: the driver only answers it";
    return std::nullopt;
}

} // namespace talsim
