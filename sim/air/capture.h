// The air capture: a tap that writes every frame to a classic pcap file
// (magic a1b2c3d4, microsecond timestamps, link type 127 = 802.11 with a
// radiotap header) through libpcap, and forwards it. Each record is a
// radiotap header (flags: short preamble; rate; channel frequency with
// the 2 GHz and CCK flags) followed by the 802.11 frame without FCS,
// stamped with the frame's end time on the virtual clock.
//
// PcapFile is the file underneath, for any link type: the protocol side of
// an adapter goes to one of link type 1 (Ethernet). A write that fails (a
// full disk) shows at flush() or close(), which return false and say why.
#pragma once

#include "air/airport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace talsim {

// The radiotap header the capture writes for `frame`, then the frame.
std::vector<uint8_t> radiotap_record(const AirFrame &frame);

class PcapFile {
public:
    static constexpr int kEthernet = 1; // DLT_EN10MB
    static constexpr int kSnapLen = 65535;

    // Opens (truncates) `path`. On failure ok() is false and error() says
    // why, naming the file.
    PcapFile(const std::string &path, int link_type);
    ~PcapFile();
    PcapFile(const PcapFile &) = delete;
    PcapFile &operator=(const PcapFile &) = delete;

    bool ok() const { return dumper_ != nullptr; }
    const std::string &error() const { return error_; }
    uint64_t records() const { return written_; }
    // One record stamped `time_us` on the virtual clock.
    void write(const std::vector<uint8_t> &record, uint64_t time_us);
    // False (and error()) when a write since the file opened failed.
    bool flush();
    // Ends the file; false when it could not be written whole. Closing
    // again does nothing and repeats the answer.
    bool close();

private:
    bool note_failure(bool failed);

    std::string path_;
    void *pcap_ = nullptr;   // pcap_t
    void *dumper_ = nullptr; // pcap_dumper_t
    std::string error_;
    uint64_t written_ = 0;
};

class PcapTap : public AirTap {
public:
    static constexpr int kLinkType = 127; // DLT_IEEE802_11_RADIO

    // Opens (truncates) `path`. On failure ok() is false, error() says why,
    // and frames are only forwarded.
    explicit PcapTap(const std::string &path, AirSink *next = nullptr);
    ~PcapTap() override;
    PcapTap(const PcapTap &) = delete;
    PcapTap &operator=(const PcapTap &) = delete;

    bool ok() const { return file_.ok(); }
    const std::string &error() const { return file_.error(); }
    uint64_t frames_written() const { return file_.records(); }
    // Pushes written records to the file; close() also ends the file. Both
    // are false when a write failed.
    bool flush() { return file_.flush(); }
    bool close() { return file_.close(); }

protected:
    void observe(const AirFrame &frame) override;

private:
    PcapFile file_;
};

} // namespace talsim
