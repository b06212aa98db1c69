// The card model's station firmware: scanning, joining an access point or an
// ad hoc cell, authentication, association, beacon loss and roaming, and the
// link status frames that tell the host. card.h documents the rules.
#include "card/card.h"

#include "wire/ieee80211.h"
#include "wire/mgmt.h"

#include <algorithm>

namespace talsim {

namespace {

using Header = wire::MacHeaderView<const uint8_t>;
using Addr = std::array<uint8_t, 6>;

constexpr uint32_t kDwellUs = 10000;    // listening on each channel of a scan
constexpr uint32_t kAnswerUs = 50000;   // an AP's answer after the request's ACK
constexpr uint32_t kRescanUs = 1000000; // after a failure, or nothing heard
constexpr uint32_t kRejoinUs = 50000;   // after a deauthentication
constexpr uint32_t kBeaconsLost = 4;    // beacon intervals without one: lost
constexpr uint32_t kTuUs = 1024;
constexpr uint16_t kNoise = 10;        // the noise level every entry reports
constexpr uint8_t kMgmtRate = 4;       // management frames at the basic 2 Mb/s
constexpr uint16_t kAuthSharedKey = 2; // record 0xFC2A word 0
const std::vector<uint8_t> kRates{0x82, 0x84, 0x8B, 0x96};

std::string counted_string(const std::vector<uint16_t> &record) {
    if (record.empty())
        return {};
    std::vector<uint8_t> bytes = words_to_bytes(std::span(record).subspan(1));
    size_t len = std::min<size_t>(record[0], std::min<size_t>(bytes.size(), 32));
    return std::string(bytes.begin(), bytes.begin() + (long)len);
}

std::vector<uint16_t> counted_record(const std::string &s) {
    std::vector<uint8_t> bytes(s.begin(), s.end());
    bytes.resize(32, 0);
    std::vector<uint16_t> words{(uint16_t)std::min<size_t>(s.size(), 32)};
    std::vector<uint16_t> data = bytes_to_words(bytes);
    words.insert(words.end(), data.begin(), data.end());
    return words;
}

} // namespace

Addr CardModel::address_record(uint16_t id) const {
    Addr a{};
    std::vector<uint8_t> b = words_to_bytes(*records_.data(id));
    std::copy_n(b.begin(), a.size(), a.begin());
    return a;
}

Addr CardModel::own_address() const {
    return address_record(rid::OwnMacAddress);
}

void CardModel::sta_after(uint64_t delay_us, std::function<void()> fn) {
    if (sta_.timer)
        cancel(sta_.timer);
    sta_.timer = schedule(delay_us, true, [this, fn = std::move(fn)] {
        sta_.timer = 0;
        fn();
    });
}

void CardModel::sta_start() {
    sta_ = Sta{};
    sta_scan(ScanFor::Join);
}

void CardModel::sta_stop() {
    if (sta_.timer)
        cancel(sta_.timer);
    if (sta_.beacon_timer)
        cancel(sta_.beacon_timer);
    sta_ = Sta{};
}

void CardModel::sta_send_mgmt(uint8_t subtype, const Addr &da, const Addr &bssid,
                              std::vector<uint8_t> body, bool sealed,
                              std::function<void()> on_acknowledged) {
    bool directed = !wire::is_group(da);
    if (sealed)
        body = firmware_seal(body);
    TxJob job;
    job.mpdus.push_back(wire::mgmt_frame(subtype, sealed ? wire::fc::Protected : 0,
                                         directed ? ack_duration(kMgmtRate, false) : 0, da,
                                         own_address(), bssid, sequence_, body));
    sequence_ = (uint16_t)((sequence_ + 1) & 0xFFF);
    job.rate = kMgmtRate;
    job.directed = directed;
    if (on_acknowledged) {
        StaState state = sta_.state;
        job.done = [this, state, fn = std::move(on_acknowledged)](const TxOutcome &o) {
            if (sta_.state != state)
                return; // the firmware has moved on
            if (o.delivered)
                fn();
            else
                sta_failed();
        };
    }
    tx_.send(std::move(job));
}

// ---- Scanning ----

void CardModel::sta_scan(ScanFor why) {
    sta_.state = StaState::Scanning;
    sta_.scan_for = why;
    sta_.heard.clear();
    sta_.channels.clear();
    uint16_t list = records_.word(rid::ChannelList, 0);
    for (uint8_t ch = 1; ch <= 14; ++ch)
        if (list & (1u << (ch - 1)))
            sta_.channels.push_back(ch);
    sta_.next_channel = 0;
    records_.set(rid::CurrentBssid, {0, 0, 0});
    records_.set_word(rid::PortStatus, 0, portstatus::Searching);
    sta_scan_channel();
}

void CardModel::sta_scan_channel() {
    if (sta_.next_channel >= sta_.channels.size()) {
        sta_scan_done();
        return;
    }
    uint8_t ch = sta_.channels[sta_.next_channel++];
    records_.set_word(rid::CurrentChannel, 0, ch);
    wire::Elements probe;
    probe.ssid = std::string();
    probe.rates = kRates;
    std::vector<uint8_t> body;
    probe.emit(body);
    sta_send_mgmt(wire::mgmt::ProbeRequest, wire::kBroadcast, wire::kBroadcast, body);
    sta_after(kDwellUs, [this] { sta_scan_channel(); });
}

void CardModel::sta_heard(const AirFrame &frame, const Addr &bssid, std::span<const uint8_t> body) {
    auto b = wire::BeaconBody::parse(body);
    if (!b)
        return;
    ScanEntry e;
    e.channel = b->elements.channel.value_or(radio_channel());
    e.noise = kNoise;
    e.signal = frame.signal;
    e.bssid = bssid;
    e.beacon_interval = b->interval;
    e.capability = b->capability;
    e.ssid = b->elements.ssid.value_or("");
    auto it = std::find_if(sta_.heard.begin(), sta_.heard.end(),
                           [&](const ScanEntry &h) { return h.bssid == bssid; });
    if (it == sta_.heard.end())
        sta_.heard.push_back(e);
    else
        *it = e;
}

void CardModel::sta_scan_done() {
    scan_results_ = sta_.heard;
    bool infra = records_.word(rid::PortType, 0) == kPortTypeInfrastructure;
    std::string want = counted_string(*records_.data(rid::DesiredSsid));
    uint16_t kind = infra ? wire::cap::Ess : wire::cap::Ibss;
    const ScanEntry *best = nullptr;
    for (const ScanEntry &e : sta_.heard) {
        if (!(e.capability & kind) || (!want.empty() && e.ssid != want))
            continue;
        if (sta_.previous && e.bssid == *sta_.previous) {
            best = &e; // its own AP is back
            break;
        }
        if (!best || e.signal > best->signal)
            best = &e;
    }
    if (!best) {
        if (!infra) {
            sta_start_cell();
            return;
        }
        if (sta_.scan_for == ScanFor::Lost && !sta_.lost_announced) {
            sta_.lost_announced = true;
            announce_link_status(linkstatus::OutOfRange);
        }
        sta_.state = sta_.scan_for == ScanFor::Lost ? StaState::Lost : StaState::Idle;
        sta_after(kRescanUs, [this] { sta_scan(sta_.scan_for); });
        return;
    }
    sta_.target = *best;
    records_.set_word(rid::CurrentChannel, 0, best->channel);
    if (!infra) {
        sta_connected();
        return;
    }
    sta_authenticate();
}

// ---- Joining an access point ----

void CardModel::sta_authenticate() {
    sta_.state = StaState::Authenticating;
    wire::AuthBody a;
    a.algorithm = records_.word(rid::AuthType, 0) == kAuthSharedKey ? wire::auth::SharedKey
                                                                    : wire::auth::OpenSystem;
    a.sequence = 1;
    sta_send_mgmt(wire::mgmt::Auth, sta_.target.bssid, sta_.target.bssid, a.to_bytes(), false,
                  [this] { sta_after(kAnswerUs, [this] { sta_failed(); }); });
}

void CardModel::sta_auth_answer(std::span<const uint8_t> body) {
    auto a = wire::AuthBody::parse(body);
    if (!a)
        return;
    if (a->status != wire::status::Success) {
        sta_failed();
        return;
    }
    if (a->algorithm == wire::auth::SharedKey && a->sequence == 2) {
        if (!a->elements.challenge) {
            sta_failed();
            return;
        }
        // The challenge goes back sealed with the firmware's default key.
        wire::AuthBody reply;
        reply.algorithm = wire::auth::SharedKey;
        reply.sequence = 3;
        reply.elements.challenge = a->elements.challenge;
        sta_send_mgmt(wire::mgmt::Auth, sta_.target.bssid, sta_.target.bssid, reply.to_bytes(),
                      true, [this] { sta_after(kAnswerUs, [this] { sta_failed(); }); });
        return;
    }
    bool done = a->algorithm == wire::auth::OpenSystem ? a->sequence == 2 : a->sequence == 4;
    if (done)
        sta_associate();
}

void CardModel::sta_associate() {
    sta_.state = StaState::Associating;
    bool privacy = records_.word(rid::WepFlags, 0) & wepflag::Privacy;
    wire::AssocRequestBody r;
    r.capability = (uint16_t)(wire::cap::Ess | (privacy ? wire::cap::Privacy : 0));
    r.listen_interval = 1;
    bool roaming = sta_.previous && *sta_.previous != sta_.target.bssid;
    if (roaming)
        r.current_ap = *sta_.previous;
    r.elements.ssid = sta_.target.ssid;
    r.elements.rates = kRates;
    sta_send_mgmt(roaming ? wire::mgmt::ReassocRequest : wire::mgmt::AssocRequest,
                  sta_.target.bssid, sta_.target.bssid, r.to_bytes(), false,
                  [this] { sta_after(kAnswerUs, [this] { sta_failed(); }); });
}

void CardModel::set_bss_records(const ScanEntry &bss, uint16_t port_status) {
    records_.set(rid::CurrentBssid, bytes_to_words(bss.bssid));
    records_.set(rid::CurrentSsid, counted_record(bss.ssid));
    records_.set_word(rid::CurrentChannel, 0, bss.channel);
    records_.set(
        rid::CommsQuality,
        {(uint16_t)(bss.signal > bss.noise ? bss.signal - bss.noise : 0), bss.signal, bss.noise});
    records_.set_word(rid::PortStatus, 0, port_status);
}

void CardModel::sta_connected() {
    bool infra = records_.word(rid::PortType, 0) == kPortTypeInfrastructure;
    uint16_t code = linkstatus::Connected;
    if (sta_.previous)
        code = *sta_.previous == sta_.target.bssid ? linkstatus::InRange : linkstatus::ApChanged;
    if (sta_.scan_for == ScanFor::Join)
        code = linkstatus::Connected;
    sta_.state = StaState::Connected;
    sta_.previous = sta_.target.bssid;
    sta_.lost_announced = false;
    set_bss_records(sta_.target, infra ? portstatus::EssConnected : portstatus::IbssConnected);
    announce_link_status(code);
    if (infra)
        sta_arm_beacon_loss();
}

void CardModel::sta_arm_beacon_loss() {
    uint64_t interval = (uint64_t)std::max<uint16_t>(sta_.target.beacon_interval, 1) * kTuUs;
    sta_after(kBeaconsLost * interval, [this] { sta_lost(); });
}

void CardModel::sta_lost() {
    sta_.state = StaState::Lost;
    sta_scan(ScanFor::Lost);
}

void CardModel::sta_failed() {
    announce_link_status(linkstatus::AssocFailed);
    sta_.state = StaState::Idle;
    records_.set(rid::CurrentBssid, {0, 0, 0});
    records_.set_word(rid::PortStatus, 0, portstatus::Searching);
    ScanFor why = sta_.scan_for;
    sta_after(kRescanUs, [this, why] { sta_scan(why); });
}

// The AP sent it away (deauthentication or disassociation).
void CardModel::sta_left(uint16_t code) {
    announce_link_status(code);
    sta_.state = StaState::Idle;
    sta_.previous.reset();
    records_.set(rid::CurrentBssid, {0, 0, 0});
    records_.set_word(rid::PortStatus, 0, portstatus::Searching);
    sta_after(kRejoinUs, [this] { sta_scan(ScanFor::Join); });
}

// ---- Ad hoc: a cell of its own ----

void CardModel::sta_start_cell() {
    Addr own = own_address();
    ScanEntry cell;
    cell.bssid = {0x02, own[1], own[2], own[3], own[4], (uint8_t)(own[5] ^ 0x11)};
    cell.channel = records_.word(rid::OwnChannel, 0);
    std::string own_ssid = counted_string(*records_.data(rid::OwnSsid));
    cell.ssid = own_ssid.empty() ? counted_string(*records_.data(rid::DesiredSsid)) : own_ssid;
    cell.capability =
        (uint16_t)(wire::cap::Ibss |
                   ((records_.word(rid::WepFlags, 0) & wepflag::Privacy) ? wire::cap::Privacy : 0));
    cell.noise = kNoise;
    sta_.target = cell;
    sta_.started_cell = true;
    records_.set_word(rid::CurrentChannel, 0, cell.channel);
    sta_connected();
    sta_cell_beacon();
}

std::vector<uint8_t> CardModel::cell_beacon_body() const {
    wire::BeaconBody b;
    b.timestamp = world_.now();
    b.interval = sta_.target.beacon_interval;
    b.capability = sta_.target.capability;
    b.elements.ssid = sta_.target.ssid;
    b.elements.rates = kRates;
    b.elements.channel = (uint8_t)sta_.target.channel;
    return b.to_bytes();
}

void CardModel::sta_cell_beacon() {
    sta_send_mgmt(wire::mgmt::Beacon, wire::kBroadcast, sta_.target.bssid, cell_beacon_body());
    sta_.beacon_timer = schedule((uint64_t)sta_.target.beacon_interval * kTuUs, true, [this] {
        sta_.beacon_timer = 0;
        sta_cell_beacon();
    });
}

// ---- Management frames heard ----

void CardModel::sta_receive_mgmt(const AirFrame &frame) {
    auto v = *Header::parse(std::span<const uint8_t>(frame.bytes));
    std::span<const uint8_t> body = v.payload();
    Addr own = own_address();
    bool to_me = v.addr1() == own;
    bool from_target = v.addr2() == sta_.target.bssid;
    switch (v.subtype()) {
    case wire::mgmt::Beacon:
    case wire::mgmt::ProbeResponse:
        if (sta_.state == StaState::Scanning) {
            sta_heard(frame, v.addr3(), body);
        } else if (sta_.state == StaState::Connected && from_target && !sta_.started_cell &&
                   records_.word(rid::PortType, 0) == kPortTypeInfrastructure) {
            sta_.target.signal = frame.signal;
            records_.set(rid::CommsQuality,
                         {(uint16_t)(frame.signal > kNoise ? frame.signal - kNoise : 0),
                          frame.signal, kNoise});
            sta_arm_beacon_loss();
        }
        return;
    case wire::mgmt::ProbeRequest:
        if (sta_.started_cell && sta_.state == StaState::Connected) {
            auto e = wire::Elements::parse(body);
            if (e && (!e->ssid || e->ssid->empty() || *e->ssid == sta_.target.ssid))
                sta_send_mgmt(wire::mgmt::ProbeResponse, v.addr2(), sta_.target.bssid,
                              cell_beacon_body());
        }
        return;
    case wire::mgmt::Auth:
        if (to_me && from_target && sta_.state == StaState::Authenticating)
            sta_auth_answer(body);
        return;
    case wire::mgmt::AssocResponse:
    case wire::mgmt::ReassocResponse:
        if (to_me && from_target && sta_.state == StaState::Associating) {
            auto r = wire::AssocResponseBody::parse(body);
            if (r && r->status == wire::status::Success)
                sta_connected();
            else if (r)
                sta_failed();
        }
        return;
    case wire::mgmt::Deauth:
    case wire::mgmt::Disassoc:
        if (!to_me || !from_target)
            return;
        if (sta_.state == StaState::Connected)
            sta_left(linkstatus::Disconnected);
        else if (sta_.state == StaState::Authenticating || sta_.state == StaState::Associating)
            sta_failed();
        return;
    default:
        return;
    }
}

} // namespace talsim
