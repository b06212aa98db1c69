// The air capture: a tap that writes every frame to a classic pcap file
// (magic a1b2c3d4, microsecond timestamps, link type 127 = 802.11 with a
// radiotap header) through libpcap, and forwards it. Each record is a
// radiotap header (flags: short preamble; rate; channel frequency with
// the 2 GHz and CCK flags) followed by the 802.11 frame without FCS,
// stamped with the frame's end time on the virtual clock.
#pragma once

#include "air/airport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace talsim {

// The radiotap header the capture writes for `frame`, then the frame.
std::vector<uint8_t> radiotap_record(const AirFrame &frame);

class PcapTap : public AirTap {
public:
    static constexpr int kLinkType = 127;      // DLT_IEEE802_11_RADIO
    static constexpr int kSnapLen = 65535;

    // Opens (truncates) `path`. On failure ok() is false, error() says why,
    // and frames are only forwarded.
    explicit PcapTap(const std::string &path, AirSink *next = nullptr);
    ~PcapTap() override;
    PcapTap(const PcapTap &) = delete;
    PcapTap &operator=(const PcapTap &) = delete;

    bool ok() const { return dumper_ != nullptr; }
    const std::string &error() const { return error_; }
    uint64_t frames_written() const { return written_; }
    // Pushes written records to the file; close() also ends the file.
    void flush();
    void close();

protected:
    void observe(const AirFrame &frame) override;

private:
    void *pcap_ = nullptr;    // pcap_t
    void *dumper_ = nullptr;  // pcap_dumper_t
    std::string error_;
    uint64_t written_ = 0;
};

} // namespace talsim
