// 802.11 management frame bodies (after the 24-byte header, which
// MacHeaderView reads) and the acknowledgement control frame. Each body is
// a value type: parse() makes the one length check - the fixed fields,
// then every information element (id, length, data) inside the body - and
// to_bytes() writes the same bytes back for a body parse() accepted.
//
//   beacon, probe response   timestamp (8, LE), interval (2), capability (2), elements
//   probe request            elements
//   authentication           algorithm (2), sequence (2), status (2), elements
//   association request      capability (2), listen interval (2), elements
//   reassociation request    capability (2), listen interval (2), current AP (6), elements
//   association response     capability (2), status (2), association id (2), elements
//   deauthentication,
//   disassociation           reason (2)
//
// Elements the world uses: SSID (0), supported rates (1), DS parameter set
// (3, the channel), challenge text (16). Others are kept in `other` and
// written back after the known ones.
#pragma once

#include "wire/bytes.h"
#include "wire/ieee80211.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace talsim::wire {

namespace mgmt {
inline constexpr uint8_t AssocRequest = 0;
inline constexpr uint8_t AssocResponse = 1;
inline constexpr uint8_t ReassocRequest = 2;
inline constexpr uint8_t ReassocResponse = 3;
inline constexpr uint8_t ProbeRequest = 4;
inline constexpr uint8_t ProbeResponse = 5;
inline constexpr uint8_t Beacon = 8;
inline constexpr uint8_t Disassoc = 10;
inline constexpr uint8_t Auth = 11;
inline constexpr uint8_t Deauth = 12;
} // namespace mgmt

inline constexpr uint8_t kSubtypeAck = 13; // control frame

namespace cap {
inline constexpr uint16_t Ess = 0x0001;
inline constexpr uint16_t Ibss = 0x0002;
inline constexpr uint16_t Privacy = 0x0010;
inline constexpr uint16_t ShortPreamble = 0x0020;
} // namespace cap

namespace eid {
inline constexpr uint8_t Ssid = 0;
inline constexpr uint8_t Rates = 1;
inline constexpr uint8_t DsParams = 3;
inline constexpr uint8_t Challenge = 16;
} // namespace eid

namespace auth {
inline constexpr uint16_t OpenSystem = 0;
inline constexpr uint16_t SharedKey = 1;
} // namespace auth

// Status codes of authentication and association responses.
namespace status {
inline constexpr uint16_t Success = 0;
inline constexpr uint16_t Unspecified = 1;
inline constexpr uint16_t AssocDenied = 12; // not authenticated, or refused
inline constexpr uint16_t AlgorithmUnsupported = 13;
inline constexpr uint16_t SequenceUnexpected = 14;
inline constexpr uint16_t ChallengeFailure = 15;
} // namespace status

// The information elements of a body, known ones by name.
struct Elements {
    std::optional<std::string> ssid;
    std::vector<uint8_t> rates;     // absent when empty
    std::optional<uint8_t> channel; // DS parameter set
    std::optional<std::vector<uint8_t>> challenge;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> other;

    bool operator==(const Elements &) const = default;

    // nullopt: an element runs past the end, or a known one has a length it cannot have.
    static std::optional<Elements> parse(std::span<const uint8_t> b);
    void emit(std::vector<uint8_t> &out) const;
};

// Beacon and probe response.
struct BeaconBody {
    static constexpr size_t kTimestamp = 0;
    static constexpr size_t kInterval = 8;
    static constexpr size_t kCapability = 10;
    static constexpr size_t kLen = 12;

    uint64_t timestamp = 0;
    uint16_t interval = 100; // time units of 1024 us
    uint16_t capability = 0;
    Elements elements;

    bool operator==(const BeaconBody &) const = default;
    static std::optional<BeaconBody> parse(std::span<const uint8_t> b);
    std::vector<uint8_t> to_bytes() const;
};

struct AuthBody {
    static constexpr size_t kAlgorithm = 0;
    static constexpr size_t kSequence = 2;
    static constexpr size_t kStatus = 4;
    static constexpr size_t kLen = 6;

    uint16_t algorithm = auth::OpenSystem;
    uint16_t sequence = 1;
    uint16_t status = status::Success;
    Elements elements;

    bool operator==(const AuthBody &) const = default;
    static std::optional<AuthBody> parse(std::span<const uint8_t> b);
    std::vector<uint8_t> to_bytes() const;
};

// Association and (with current_ap) reassociation request.
struct AssocRequestBody {
    static constexpr size_t kCapability = 0;
    static constexpr size_t kListenInterval = 2;
    static constexpr size_t kCurrentAp = 4;
    static constexpr size_t kLen = 4;
    static constexpr size_t kReassocLen = 10;

    uint16_t capability = 0;
    uint16_t listen_interval = 1;
    std::optional<MacAddr> current_ap;
    Elements elements;

    bool operator==(const AssocRequestBody &) const = default;
    static std::optional<AssocRequestBody> parse(std::span<const uint8_t> b, bool reassoc);
    std::vector<uint8_t> to_bytes() const;
};

struct AssocResponseBody {
    static constexpr size_t kCapability = 0;
    static constexpr size_t kStatus = 2;
    static constexpr size_t kAid = 4;
    static constexpr size_t kLen = 6;

    uint16_t capability = 0;
    uint16_t status = status::Success;
    uint16_t aid = 0; // the two top bits set on the air
    Elements elements;

    bool operator==(const AssocResponseBody &) const = default;
    static std::optional<AssocResponseBody> parse(std::span<const uint8_t> b);
    std::vector<uint8_t> to_bytes() const;
};

// Deauthentication and disassociation.
struct ReasonBody {
    static constexpr size_t kReason = 0;
    static constexpr size_t kLen = 2;

    uint16_t reason = 0;

    bool operator==(const ReasonBody &) const = default;
    static std::optional<ReasonBody> parse(std::span<const uint8_t> b);
    std::vector<uint8_t> to_bytes() const;
};

// The acknowledgement: frame control, duration, receiver address (10 bytes).
struct Ack {
    static constexpr size_t kRa = 4;
    static constexpr size_t kLen = 10;

    MacAddr ra{};

    bool operator==(const Ack &) const = default;
    // nullopt: not an acknowledgement, or too short.
    static std::optional<Ack> parse(std::span<const uint8_t> b);
    std::vector<uint8_t> to_bytes() const;
};

// A management frame: the header (type management, `subtype`) and the body.
std::vector<uint8_t> mgmt_frame(uint8_t subtype, uint16_t flags, uint16_t duration,
                                const MacAddr &da, const MacAddr &sa, const MacAddr &bssid,
                                uint16_t sequence, std::span<const uint8_t> body);

} // namespace talsim::wire
