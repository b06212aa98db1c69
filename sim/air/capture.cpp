#include "air/capture.h"

#include "wire/radiotap.h"

#include <pcap/pcap.h>

#include <algorithm>

namespace talsim {

static_assert(PcapTap::kLinkType == DLT_IEEE802_11_RADIO);

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

PcapTap::PcapTap(const std::string &path, AirSink *next) : AirTap(next) {
    pcap_t *p = pcap_open_dead_with_tstamp_precision(kLinkType, kSnapLen, PCAP_TSTAMP_PRECISION_MICRO);
    if (!p) {
        error_ = "pcap_open_dead failed";
        return;
    }
    pcap_dumper_t *d = pcap_dump_open(p, path.c_str());
    if (!d) {
        error_ = std::string(path) + ": " + pcap_geterr(p);
        pcap_close(p);
        return;
    }
    pcap_ = p;
    dumper_ = d;
}

PcapTap::~PcapTap() { close(); }

void PcapTap::flush() {
    if (dumper_)
        pcap_dump_flush(static_cast<pcap_dumper_t *>(dumper_));
}

void PcapTap::close() {
    if (dumper_)
        pcap_dump_close(static_cast<pcap_dumper_t *>(dumper_));
    if (pcap_)
        pcap_close(static_cast<pcap_t *>(pcap_));
    dumper_ = nullptr;
    pcap_ = nullptr;
}

void PcapTap::observe(const AirFrame &frame) {
    if (!dumper_)
        return;
    std::vector<uint8_t> rec = radiotap_record(frame);
    pcap_pkthdr h{};
    h.ts.tv_sec = (time_t)(frame.end_us / 1000000);
    h.ts.tv_usec = (suseconds_t)(frame.end_us % 1000000);
    h.len = (bpf_u_int32)rec.size();
    h.caplen = (bpf_u_int32)std::min<size_t>(rec.size(), kSnapLen);
    pcap_dump(reinterpret_cast<u_char *>(dumper_), &h, rec.data());
    ++written_;
}

} // namespace talsim
