// The card model's receive side: the firmware's station filter, WEP on
// receive, duplicate detection, reassembly, the receive FIDs and the one
// receive event per FID. card.h documents the rules.
#include "card/card.h"

#include "card/cardwep.h"

#include "wire/ieee80211.h"
#include "wire/mgmt.h"

#include <algorithm>

namespace talsim {

namespace {

using Header = wire::MacHeaderView<const uint8_t>;

constexpr uint8_t kSnapRfc1042[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
constexpr uint8_t kSnapTunnel[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};

uint16_t classify(std::span<const uint8_t> body) {
    if (body.size() < 6)
        return 0;
    if (std::equal(kSnapRfc1042, kSnapRfc1042 + 6, body.begin()))
        return rxstatus::Rfc1042;
    if (std::equal(kSnapTunnel, kSnapTunnel + 6, body.begin()))
        return rxstatus::BridgeTunnel;
    return 0;
}

void put16(std::vector<uint8_t> &b, size_t off, uint16_t v) {
    b[off] = (uint8_t)v;
    b[off + 1] = (uint8_t)(v >> 8);
}

void put_addr(std::vector<uint8_t> &b, size_t off, const wire::MacAddr &a) {
    std::copy(a.begin(), a.end(), b.begin() + (long)off);
}

} // namespace

uint8_t CardModel::radio_channel() const {
    return (uint8_t)records_.word(rid::CurrentChannel, 0);
}

uint16_t CardModel::cmd_test(uint16_t word) {
    switch (word & 0xFF00) {
    case cmd::TestMonitorOn:
        monitor_ = true;
        partial_.clear();
        return result::Ok;
    case cmd::TestMonitorOff:
        monitor_ = false;
        return result::Ok;
    default:
        return result::BadParameter;
    }
}

// Initialize and power-on: the firmware starts counting and listening anew.
void CardModel::reset_rx_state() {
    monitor_ = false;
    rx_.clear();
    info_.clear();
    tallies_ = Tallies{};
    scan_results_.clear();
    last_seq_.clear();
    partial_.clear();
}

bool CardModel::accepts_destination(const uint8_t *addr) const {
    std::vector<uint8_t> own = words_to_bytes(*records_.data(rid::OwnMacAddress));
    if (std::equal(addr, addr + 6, own.begin()))
        return true;
    if (!(addr[0] & 1))
        return false;
    if (std::all_of(addr, addr + 6, [](uint8_t b) { return b == 0xFF; }))
        return true;
    std::vector<uint8_t> list = words_to_bytes(*records_.data(rid::MulticastList));
    for (size_t at = 0; at + 6 <= list.size(); at += 6)
        if (std::equal(addr, addr + 6, list.begin() + (long)at))
            return true;
    return false;
}

void CardModel::radio_receive(const AirFrame &frame) {
    if (removed_ || !port_enabled_)
        return;
    ++rx_stats_.heard;
    auto drop = [&](RxDrop why, uint64_t &counter) {
        ++counter;
        trace(TraceKind::RxDropped, 0, (uint16_t)frame.bytes.size(), (uint16_t)why);
    };
    std::span<const uint8_t> bytes(frame.bytes);
    // Monitor operation: every frame, as it was on the air; whatever the
    // header lacks stays zero.
    if (monitor_) {
        auto v = Header::parse(bytes);
        size_t hdr = v ? v->header_len() : std::min<size_t>(bytes.size(), Header::kLen4);
        fill_rx(bytes.first(hdr), bytes.subspan(hdr), 0, frame.rate);
        return;
    }
    if (station_firmware_) {
        // The MAC's own traffic: acknowledgements to it, management frames.
        if (auto ack = wire::Ack::parse(bytes)) {
            if (ack->ra == own_address())
                tx_.on_ack();
            drop(RxDrop::Filtered, rx_stats_.filtered);
            return;
        }
    }
    auto v = Header::parse(bytes);
    if (!v || v->version() != 0) {
        drop(RxDrop::Malformed, rx_stats_.filtered);
        return;
    }
    if (station_firmware_ && v->type() != wire::fc::TypeControl && v->addr1() == own_address())
        tx_.send_ack(v->addr2(), frame.rate, frame.short_preamble);
    if (station_firmware_ && v->type() == wire::fc::TypeMgmt) {
        sta_receive_mgmt(frame);
        drop(RxDrop::Filtered, rx_stats_.filtered);
        return;
    }
    if (v->type() != wire::fc::TypeData) {
        drop(RxDrop::Filtered, rx_stats_.filtered);
        return;
    }
    std::vector<uint8_t> bssid = words_to_bytes(*records_.data(rid::CurrentBssid));
    bool infra = records_.word(rid::PortType, 0) == kPortTypeInfrastructure;
    bool ours = infra ? (v->from_ds() && !v->to_ds() && std::equal(bssid.begin(), bssid.end(),
                                                                   bytes.begin() + Header::kAddr2))
                      : (!v->from_ds() && !v->to_ds() &&
                         std::equal(bssid.begin(), bssid.end(), bytes.begin() + Header::kAddr3));
    if (!associated() || !ours || !accepts_destination(bytes.data() + Header::kAddr1)) {
        drop(RxDrop::Filtered, rx_stats_.filtered);
        return;
    }
    wire::MacAddr ta = v->addr2();
    auto last = last_seq_.find(ta);
    if (v->retry() && last != last_seq_.end() && last->second == v->seq_ctrl()) {
        drop(RxDrop::Duplicate, rx_stats_.duplicates);
        return;
    }
    last_seq_[ta] = v->seq_ctrl();
    ++tallies_.rx_fragments;
    receive_data(frame);
}

void CardModel::radio_bad_frame(const AirFrame &) {
    if (!removed_ && port_enabled_)
        ++tallies_.rx_fcs_errors;
}

// A data frame the station filter let through: WEP, reassembly, the FID.
void CardModel::receive_data(const AirFrame &frame) {
    std::span<const uint8_t> bytes(frame.bytes);
    auto v = *Header::parse(bytes);
    std::vector<uint8_t> header(bytes.begin(), bytes.begin() + (long)v.header_len());
    std::vector<uint8_t> body(bytes.begin() + (long)v.header_len(), bytes.end());
    uint16_t wep = records_.word(rid::WepFlags, 0);
    bool privacy = wep & wepflag::Privacy;
    auto drop = [&](RxDrop why, uint64_t &counter) {
        ++counter;
        trace(TraceKind::RxDropped, 0, (uint16_t)bytes.size(), (uint16_t)why);
    };
    bool fragment = v.more_fragments() || v.fragment() != 0;

    if (v.protected_frame()) {
        if (!privacy) {
            drop(RxDrop::Undecryptable, rx_stats_.undecryptable);
            return;
        }
        if (wep & wepflag::HostDecrypt) {
            rx_stats_.fragments += fragment;
            count_rx(header, body);
            fill_rx(header, body, 0, frame.rate); // the host opens it
            return;
        }
        auto plain = card_wep_open(firmware_key(card_wep_key_id(body)), body);
        if (!plain) {
            ++tallies_.rx_discards_wep_undecryptable;
            drop(RxDrop::Undecryptable, rx_stats_.undecryptable);
            return;
        }
        body = std::move(*plain);
        auto hv = *wire::MacHeaderView<uint8_t>::parse(header);
        hv.set_frame_control((uint16_t)(hv.frame_control() & ~wire::fc::Protected));
    } else if (wep & wepflag::ExcludeUnencrypted) {
        drop(RxDrop::Unencrypted, rx_stats_.unencrypted);
        return;
    }

    if (fragment) {
        ++rx_stats_.fragments;
        wire::MacAddr ta = v.addr2();
        if (v.fragment() == 0) {
            partial_[ta] = Partial{v.sequence(), 1, header, body};
        } else {
            auto p = partial_.find(ta);
            if (p == partial_.end() || p->second.sequence != v.sequence() ||
                p->second.next_fragment != v.fragment() ||
                p->second.body.size() + body.size() > rxf::MaxBody) {
                if (p != partial_.end())
                    partial_.erase(p);
                drop(RxDrop::Reassembly, rx_stats_.reassembly_dropped);
                return;
            }
            p->second.body.insert(p->second.body.end(), body.begin(), body.end());
            p->second.next_fragment++;
        }
        if (v.more_fragments())
            return;
        Partial whole = std::move(partial_[ta]);
        partial_.erase(ta);
        header = std::move(whole.header);
        body = std::move(whole.body);
        auto hv = *wire::MacHeaderView<uint8_t>::parse(header);
        hv.set_frame_control((uint16_t)(hv.frame_control() & ~wire::fc::MoreFragments));
        hv.set_seq_ctrl((uint16_t)(hv.seq_ctrl() & ~0xF));
    }
    count_rx(header, body);
    fill_rx(header, body, classify(body), frame.rate);
}

// A data frame on its way to the host, in the receive tallies.
void CardModel::count_rx(std::span<const uint8_t> header, std::span<const uint8_t> body) {
    bool group = header[Header::kAddr1] & 1;
    (group ? tallies_.rx_multicast_frames : tallies_.rx_unicast_frames)++;
    (group ? tallies_.rx_multicast_octets : tallies_.rx_unicast_octets) += (uint32_t)body.size();
}

// Builds the receive frame and queues it in a FID.
void CardModel::fill_rx(std::span<const uint8_t> header, std::span<const uint8_t> body,
                        uint16_t status, uint8_t rate) {
    size_t len = std::min<size_t>(body.size(), rxf::MaxBody);
    std::vector<uint8_t> f(rxf::Body + len, 0);
    put16(f, rxf::Status, status);
    uint32_t t = (uint32_t)world_.now();
    put16(f, rxf::Time, (uint16_t)t);
    put16(f, rxf::Time + 2, (uint16_t)(t >> 16));
    f[rxf::Rate] = (uint8_t)(rate * 5);
    std::copy(header.begin(), header.begin() + (long)std::min<size_t>(header.size(), Header::kLen4),
              f.begin() + rxf::FrameControl);
    put16(f, rxf::DataLen, (uint16_t)len);

    // The 802.3 addresses by the DS bits.
    const uint8_t *h = f.data() + rxf::FrameControl;
    uint16_t fcw = (uint16_t)(h[0] | (h[1] << 8));
    bool to_ds = fcw & wire::fc::ToDs, from_ds = fcw & wire::fc::FromDs;
    auto addr = [&](size_t off) {
        wire::MacAddr a;
        std::copy_n(f.begin() + (long)off, 6, a.begin());
        return a;
    };
    wire::MacAddr dst = to_ds ? addr(rxf::Address3) : addr(rxf::Address1);
    wire::MacAddr src = from_ds ? (to_ds ? addr(rxf::Address4) : addr(rxf::Address3))
                                : addr(rxf::Address2);
    put_addr(f, rxf::DestAddr, dst);
    put_addr(f, rxf::SrcAddr, src);
    f[rxf::Length] = (uint8_t)(len >> 8);
    f[rxf::Length + 1] = (uint8_t)len;
    std::copy(body.begin(), body.begin() + (long)len, f.begin() + rxf::Body);
    queue_rx(std::move(f));
}

bool CardModel::inject_rx(std::span<const uint8_t> frame) {
    std::vector<uint8_t> f(frame.begin(), frame.begin() + (long)std::min<size_t>(frame.size(), FrameMemory::kMaxBytes));
    // A receive buffer is never smaller than the firmware's own.
    if (f.size() < rxf::BufferBytes)
        f.resize(rxf::BufferBytes, 0);
    return queue_rx(std::move(f));
}

bool CardModel::queue_rx(std::vector<uint8_t> frame) {
    uint16_t data_len = (uint16_t)(frame[rxf::DataLen] | (frame[rxf::DataLen + 1] << 8));
    uint16_t status = (uint16_t)(frame[rxf::Status] | (frame[rxf::Status + 1] << 8));
    size_t size = frame.size();
    if (!queue_fid(rx_, std::move(frame), timing_.rx_deliver_us)) {
        ++rx_stats_.no_buffer;
        ++tallies_.rx_discards_no_buffer;
        trace(TraceKind::RxDropped, 0, (uint16_t)size, (uint16_t)RxDrop::NoBuffer);
        return false;
    }
    ++rx_stats_.delivered;
    trace(TraceKind::RxFilled, rx_.queue.back(), data_len, status);
    return true;
}

// Fills a FID with `bytes` and queues it; the first in an empty queue is
// announced `delay_us` later.
bool CardModel::queue_fid(FidQueue &q, std::vector<uint8_t> bytes, uint32_t delay_us) {
    uint16_t fid = frames_.allocate((uint16_t)bytes.size());
    if (!fid)
        return false;
    *frames_.buffer(fid) = std::move(bytes);
    q.queue.push_back(fid);
    if (!q.current && !q.scheduled) {
        q.scheduled = true;
        schedule(delay_us, true, [this, &q] {
            q.scheduled = false;
            present(q);
        });
    }
    return true;
}

// The next waiting FID into its register, with its event.
void CardModel::present(FidQueue &q) {
    if (q.current || q.queue.empty())
        return;
    q.current = q.queue.front();
    q.queue.erase(q.queue.begin());
    set_reg(q.fid_reg, q.current);
    raise_event(q.event);
}

void CardModel::release(FidQueue &q) {
    frames_.release(q.current);
    q.current = 0;
    present(q);
}

} // namespace talsim
