// The access point's side of the vendor information exchange: a data frame
// whose body starts with the vendor header AA AA 03 02 5C 39 and type
// 81 AE asks, and one of the same kind answers with items
// (type, length, value): 1 model, 2 version, 3 description (texts with
// their terminating zero), 4 NAT, 5 DHCP, 6 number of connections,
// 7 internet connection type, 8 address obtained by DHCP, 9 connectivity
// (one byte each). The payload after the header: 00 01 <items> 00, items.
//
// VendorResponder is a radio on the medium that answers requests addressed
// to it (before access points exist; they answer through the same
// vendor_answer_payload()). Its answer is configurable, raw bytes included
// (over-long and malformed answers for tests).
#pragma once

#include "air/medium.h"
#include "wire/bytes.h"
#include "wire/llc.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace talsim {

// The vendor header: an LLC/SNAP header with the vendor's OUI and type.
inline const wire::Snap kVendorSnap{{0x02, 0x5C, 0x39}, 0x81AE};
inline const std::vector<uint8_t> kVendorHeader = kVendorSnap.to_bytes();

struct VendorInfo {
    std::string model = "TAL-AP 100";
    std::string version = "1.4.2";
    std::string description = "Tal access point";
    uint8_t nat = 1;
    uint8_t dhcp = 1;
    uint8_t connections = 2;
    uint8_t internet_type = 3;
    uint8_t dhcp_acquired = 1;
    uint8_t connectivity = 1;
};

// The answer's payload (after the 8-byte header) with all nine items.
std::vector<uint8_t> vendor_answer_payload(const VendorInfo &info);
// An answer's body: the vendor header, then `payload`.
std::vector<uint8_t> vendor_answer(std::span<const uint8_t> payload);

// True when a plain body is a vendor information request.
bool is_vendor_request(std::span<const uint8_t> body);

struct VendorResponderConfig {
    wire::MacAddr address{}; // the station it is; requests go to it
    wire::MacAddr bssid{};   // the cell or BSS its answers carry
    uint8_t channel = 3;
    bool infrastructure = false; // answer FromDS as an access point would
    // WEP: the secret key bytes of key ids 0-3 (empty: none). Requests are
    // opened with the key their key-id byte names; answers are sealed with
    // `tx_key` when it is set.
    std::array<std::vector<uint8_t>, 4> keys{};
    std::optional<uint8_t> tx_key;
    uint32_t reply_delay_us = 50; // after the request's end
};

class VendorResponder : public Radio {
public:
    VendorResponder(Medium &medium, VendorResponderConfig config);
    ~VendorResponder() override;
    VendorResponder(const VendorResponder &) = delete;
    VendorResponder &operator=(const VendorResponder &) = delete;

    VendorInfo info;
    // When set, answered instead of the items of `info`, byte for byte.
    std::optional<std::vector<uint8_t>> raw_payload;

    uint64_t requests() const { return requests_; }
    uint64_t answers() const { return answers_; }

    uint8_t radio_channel() const override { return config_.channel; }
    void radio_receive(const AirFrame &frame) override;

private:
    Medium &medium_;
    VendorResponderConfig config_;
    uint16_t sequence_ = 0;
    uint32_t iv_ = 0x00A000;
    uint64_t requests_ = 0;
    uint64_t answers_ = 0;
};

} // namespace talsim
