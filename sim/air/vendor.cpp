#include "air/vendor.h"

#include "card/cardwep.h"
#include "wire/ieee80211.h"

#include <algorithm>

namespace talsim {

namespace {

constexpr uint8_t kRate = 22; // 11 Mb/s, long preamble

void put_text(std::vector<uint8_t> &out, uint8_t type, const std::string &text) {
    out.push_back(type);
    out.push_back((uint8_t)(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

} // namespace

std::vector<uint8_t> vendor_answer_payload(const VendorInfo &info) {
    std::vector<uint8_t> p{0x00, 0x01, 0x09, 0x00};
    put_text(p, 1, info.model);
    put_text(p, 2, info.version);
    put_text(p, 3, info.description);
    const uint8_t bytes[6] = {info.nat,           info.dhcp,          info.connections,
                              info.internet_type, info.dhcp_acquired, info.connectivity};
    for (uint8_t t = 4; t <= 9; ++t) {
        p.push_back(t);
        p.push_back(1);
        p.push_back(bytes[t - 4]);
    }
    return p;
}

std::vector<uint8_t> vendor_answer(std::span<const uint8_t> payload) {
    std::vector<uint8_t> body(wire::Snap::buffer_len() + payload.size());
    auto header = *wire::SnapView<uint8_t>::parse(body);
    kVendorSnap.emit(header);
    std::copy(payload.begin(), payload.end(), header.payload().begin());
    return body;
}

bool is_vendor_request(std::span<const uint8_t> body) {
    auto v = wire::SnapView<const uint8_t>::parse(body);
    if (!v || wire::Snap::parse(*v) != kVendorSnap)
        return false;
    std::span<const uint8_t> payload = v->payload();
    return payload.size() >= 2 && payload[0] == 0x00 && payload[1] == 0x01;
}

VendorResponder::VendorResponder(Medium &medium, VendorResponderConfig config)
    : medium_(medium), config_(std::move(config)) {
    medium_.attach(this);
}

VendorResponder::~VendorResponder() {
    medium_.detach(this);
}

void VendorResponder::radio_receive(const AirFrame &frame) {
    auto v = wire::MacHeaderView<const uint8_t>::parse(frame.bytes);
    if (!v || v->type() != wire::fc::TypeData || v->addr1() != config_.address)
        return;
    std::vector<uint8_t> body(v->payload().begin(), v->payload().end());
    if (v->protected_frame()) {
        const std::vector<uint8_t> &key = config_.keys[card_wep_key_id(body)];
        auto plain = key.empty() ? std::nullopt : card_wep_open(key, body);
        if (!plain)
            return;
        body = std::move(*plain);
    }
    if (!is_vendor_request(body))
        return;
    ++requests_;

    std::vector<uint8_t> answer =
        vendor_answer(raw_payload ? *raw_payload : vendor_answer_payload(info));
    bool sealed = config_.tx_key && !config_.keys[*config_.tx_key & 3].empty();
    if (sealed) {
        iv_ = (iv_ + 1) & 0xFFFFFF;
        answer = card_wep_seal(iv_, *config_.tx_key, config_.keys[*config_.tx_key & 3], answer);
    }

    wire::MacHeader h;
    h.flags = (uint16_t)((config_.infrastructure ? wire::fc::FromDs : 0) |
                         (sealed ? wire::fc::Protected : 0));
    h.addr1 = v->addr2();
    h.addr2 = config_.infrastructure ? config_.bssid : config_.address;
    h.addr3 = config_.infrastructure ? config_.address : config_.bssid;
    h.sequence = sequence_;
    sequence_ = (uint16_t)((sequence_ + 1) & 0xFFF);
    AirFrame out;
    out.bytes = h.to_bytes();
    out.bytes.insert(out.bytes.end(), answer.begin(), answer.end());
    out.rate = kRate;
    out.channel = config_.channel;
    out.start_us = medium_.world().now() + config_.reply_delay_us;
    out.end_us = out.start_us + air_time_us((uint32_t)out.bytes.size() + kFcsBytes, kRate, false);
    ++answers_;
    medium_.transmit(this, std::move(out));
}

} // namespace talsim
