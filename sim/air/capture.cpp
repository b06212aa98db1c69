#include "air/capture.h"

#include "wire/radiotap.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace talsim {

static_assert(PcapTap::kLinkType == DLT_IEEE802_11_RADIO);
static_assert(PcapFile::kEthernet == DLT_EN10MB);

std::vector<uint8_t> radiotap_record(const AirFrame &frame) {
    namespace rt = wire::radiotap;
    wire::Radiotap h;
    h.flags = frame.short_preamble ? rt::FlagShortPreamble : 0;
    h.rate = frame.rate;
    h.channel_mhz = rt::channel_mhz(frame.channel);
    h.channel_flags = (uint16_t)(rt::Chan2Ghz | rt::ChanCck);
    std::vector<uint8_t> out = h.to_bytes();
    out.insert(out.end(), frame.bytes.begin(), frame.bytes.end());
    return out;
}

PcapFile::PcapFile(const std::string &path, int link_type) : path_(path) {
    pcap_t *p =
        pcap_open_dead_with_tstamp_precision(link_type, kSnapLen, PCAP_TSTAMP_PRECISION_MICRO);
    if (!p) {
        error_ = "pcap_open_dead failed";
        return;
    }
    // libpcap takes "-" for standard output; here it is a file's name.
    pcap_dumper_t *d = pcap_dump_open(p, path == "-" ? "./-" : path.c_str());
    if (!d) {
        error_ = pcap_geterr(p); // it names the file
        pcap_close(p);
        return;
    }
    pcap_ = p;
    dumper_ = d;
}

PcapFile::~PcapFile() {
    close();
}

void PcapFile::write(const std::vector<uint8_t> &record, uint64_t time_us) {
    if (!dumper_)
        return;
    pcap_pkthdr h{};
    h.ts.tv_sec = (time_t)(time_us / 1000000);
    h.ts.tv_usec = (suseconds_t)(time_us % 1000000);
    h.len = (bpf_u_int32)record.size();
    h.caplen = (bpf_u_int32)std::min<size_t>(record.size(), kSnapLen);
    errno = 0;
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &h, record.data());
    note_failure(false);
    ++written_;
}

// libpcap writes through stdio: a failed write shows in the stream, and
// errno says why right after it.
bool PcapFile::note_failure(bool failed) {
    failed = failed || std::ferror(pcap_dump_file(static_cast<pcap_dumper_t *>(dumper_)));
    if (failed && error_.empty())
        error_ = path_ + ": " + std::strerror(errno ? errno : EIO);
    return !failed;
}

bool PcapFile::flush() {
    if (!dumper_)
        return error_.empty();
    errno = 0;
    return note_failure(pcap_dump_flush(static_cast<pcap_dumper_t *>(dumper_)) != 0) &&
           error_.empty();
}

bool PcapFile::close() {
    if (dumper_) {
        flush();
        pcap_dump_close(static_cast<pcap_dumper_t *>(dumper_));
        pcap_close(static_cast<pcap_t *>(pcap_));
        dumper_ = nullptr;
        pcap_ = nullptr;
    }
    return error_.empty();
}

PcapTap::PcapTap(const std::string &path, AirSink *next) : AirTap(next), file_(path, kLinkType) {}

PcapTap::~PcapTap() = default;

void PcapTap::observe(const AirFrame &frame) {
    file_.write(radiotap_record(frame), frame.end_us);
}

} // namespace talsim
