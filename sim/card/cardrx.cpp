// The card model's receive side: the firmware's station filter, WEP on
// receive, duplicate detection, reassembly, the receive FIDs and the one
// receive event per FID. card.h documents the rules.
#include "card/card.h"

#include "card/cardframe.h"
#include "card/cardwep.h"

#include "wire/ieee80211.h"
#include "wire/llc.h"
#include "wire/mgmt.h"

#include <algorithm>

namespace talsim {

namespace {

using Header = wire::MacHeaderView<const uint8_t>;

// The receive status word's classification of a body by its LLC and OUI.
uint16_t classify(std::span<const uint8_t> body) {
    switch (wire::snap_kind(body).value_or(wire::SnapKind::Vendor)) {
    case wire::SnapKind::Rfc1042:
        return rxstatus::Rfc1042;
    case wire::SnapKind::BridgeTunnel:
        return rxstatus::BridgeTunnel;
    default:
        return 0;
    }
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

bool CardModel::accepts_destination(const wire::MacAddr &addr) const {
    if (addr == own_address())
        return true;
    if (!wire::is_group(addr))
        return false;
    if (addr == wire::kBroadcast)
        return true;
    std::vector<uint8_t> list = words_to_bytes(*records_.data(rid::MulticastList));
    for (size_t at = 0; at + addr.size() <= list.size(); at += addr.size())
        if (std::equal(addr.begin(), addr.end(), list.begin() + (long)at))
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
    wire::MacAddr bssid = address_record(rid::CurrentBssid);
    bool infra = records_.word(rid::PortType, 0) == kPortTypeInfrastructure;
    bool ours = infra ? (v->from_ds() && !v->to_ds() && v->addr2() == bssid)
                      : (!v->from_ds() && !v->to_ds() && v->addr3() == bssid);
    if (!associated() || !ours || !accepts_destination(v->addr1())) {
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
    bool group = wire::is_group(Header::parse(header)->addr1());
    (group ? tallies_.rx_multicast_frames : tallies_.rx_unicast_frames)++;
    (group ? tallies_.rx_multicast_octets : tallies_.rx_unicast_octets) += (uint32_t)body.size();
}

// Builds the receive frame and queues it in a FID.
void CardModel::fill_rx(std::span<const uint8_t> header, std::span<const uint8_t> body,
                        uint16_t status, uint8_t rate) {
    size_t len = std::min<size_t>(body.size(), rxf::MaxBody);
    std::vector<uint8_t> f(rxf::Body + len, 0);
    auto rx = *CardFrameView<uint8_t>::parse(f);
    rx.set_status(status);
    rx.set_time((uint32_t)world_.now());
    rx.set_rate((uint8_t)(rate * 5));
    std::span<uint8_t> slot = rx.mac_slot();
    std::copy_n(header.begin(), std::min(header.size(), slot.size()), slot.begin());
    rx.set_data_len((uint16_t)len);

    // The 802.3 addresses by the DS bits.
    auto h = rx.mac_header();
    wire::MacAddr dst = h.to_ds() ? h.addr3() : h.addr1();
    wire::MacAddr src = h.from_ds() ? (h.to_ds() ? h.addr4() : h.addr3()) : h.addr2();
    rx.set_ieee8023(dst, src, (uint16_t)len);
    std::copy_n(body.begin(), len, rx.body().begin());
    queue_rx(std::move(f));
}

bool CardModel::inject_rx(std::span<const uint8_t> frame) {
    std::vector<uint8_t> f(frame.begin(),
                           frame.begin() +
                               (long)std::min<size_t>(frame.size(), FrameMemory::kMaxBytes));
    // A receive buffer is never smaller than the firmware's own.
    if (f.size() < rxf::BufferBytes)
        f.resize(rxf::BufferBytes, 0);
    return queue_rx(std::move(f));
}

bool CardModel::queue_rx(std::vector<uint8_t> frame) {
    auto rx = *CardFrameView<const uint8_t>::parse(frame);
    uint16_t data_len = rx.data_len();
    uint16_t status = rx.status();
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
