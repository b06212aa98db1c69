// The card model's information frames: link status announcements, and the
// tallies and scan results frames the inquire command asks for. card.h
// documents the layouts.
#include "card/card.h"

#include <algorithm>
#include <cstring>

namespace talsim {

namespace {

constexpr uint32_t kInquireAnswerUs = 100; // the frame follows the command's event
constexpr size_t kScanEntryWords = 25;
constexpr size_t kMaxScanEntries = (FrameMemory::kMaxBytes / 2 - 2) / kScanEntryWords;

void push16(std::vector<uint8_t> &b, uint16_t v) {
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}

// An information buffer is never smaller than this; what the frame does
// not fill reads as zeros.
constexpr size_t kMinInfoBytes = 64;

// An information frame: length word (type and data words), type, data.
std::vector<uint8_t> info_frame(uint16_t type, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> f;
    push16(f, (uint16_t)(1 + (data.size() + 1) / 2));
    push16(f, type);
    f.insert(f.end(), data.begin(), data.end());
    if (f.size() & 1)
        f.push_back(0);
    return f;
}

} // namespace

std::vector<uint8_t> CardModel::tallies_frame() const {
    uint32_t counters[kTallyCount];
    std::memcpy(counters, &tallies_, sizeof counters);
    std::vector<uint8_t> data;
    for (uint32_t c : counters) {
        push16(data, (uint16_t)c);
        push16(data, (uint16_t)(c >> 16));
    }
    return info_frame(info::Tallies, data);
}

std::vector<uint8_t> CardModel::scan_results_frame() const {
    std::vector<uint8_t> data;
    size_t n = std::min(scan_results_.size(), kMaxScanEntries);
    for (size_t i = 0; i < n; ++i) {
        const ScanEntry &e = scan_results_[i];
        push16(data, e.channel);
        push16(data, e.noise);
        push16(data, e.signal);
        data.insert(data.end(), e.bssid.begin(), e.bssid.end());
        push16(data, e.beacon_interval);
        push16(data, e.capability);
        size_t len = std::min<size_t>(e.ssid.size(), 32);
        push16(data, (uint16_t)len);
        std::vector<uint8_t> name(32, 0);
        std::copy_n(e.ssid.begin(), len, name.begin());
        data.insert(data.end(), name.begin(), name.end());
    }
    return info_frame(info::ScanResults, data);
}

uint16_t CardModel::cmd_inquire(uint16_t word) {
    if (word & 0xFF00)
        return result::BadParameter;
    std::vector<uint8_t> frame;
    switch (latched_params_[0]) {
    case info::Tallies:
        frame = tallies_frame();
        break;
    case info::ScanResults:
        frame = scan_results_frame();
        break;
    default:
        return result::BadParameter;
    }
    // The answer is made now and announced a little after the command.
    frame.resize(std::max(frame.size(), kMinInfoBytes), 0);
    if (!queue_fid(info_, std::move(frame), kInquireAnswerUs))
        return result::NoBuffer;
    return result::Ok;
}

bool CardModel::inject_info(std::span<const uint8_t> frame) {
    std::vector<uint8_t> f(frame.begin(),
                           frame.begin() +
                               (long)std::min<size_t>(frame.size(), FrameMemory::kMaxBytes));
    f.resize(std::max(f.size(), kMinInfoBytes), 0);
    return queue_fid(info_, std::move(f), 0);
}

void CardModel::announce_link_status(uint16_t code) {
    std::vector<uint8_t> data;
    push16(data, code);
    std::vector<uint8_t> f = info_frame(info::LinkStatus, data);
    f.resize(kMinInfoBytes, 0);
    queue_fid(info_, std::move(f), 0);
}

} // namespace talsim
