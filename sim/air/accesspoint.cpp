#include "air/accesspoint.h"

#include "card/cardwep.h"
#include "wire/ethernet.h"
#include "wire/ieee80211.h"
#include "wire/llc.h"
#include "wire/mgmt.h"

#include <algorithm>

namespace talsim {

namespace {

using Header = wire::MacHeaderView<const uint8_t>;

constexpr uint8_t kMgmtRate = 4; // management frames at the basic 2 Mb/s
constexpr uint32_t kTuUs = 1024;
constexpr size_t kChallengeBytes = 128;
constexpr size_t kMacHeaderBytes = Header::kLen;
constexpr size_t kWepOverhead = 8;
constexpr uint16_t kReasonNotAssociated = 7;
const std::vector<uint8_t> kRates{0x82, 0x84, 0x8B, 0x96}; // 1, 2 (basic), 5.5, 11 Mb/s

// IPX and AppleTalk ARP go in the bridge tunnel, everything else RFC 1042.
std::array<uint8_t, 3> oui_for(uint16_t ethertype) {
    return ethertype == 0x8137 || ethertype == 0x80F3 ? wire::kOuiBridgeTunnel : wire::kOuiRfc1042;
}

} // namespace

AccessPoint::AccessPoint(Medium &medium, ApConfig config, uint64_t seed)
    : medium_(medium), config_(std::move(config)), events_(medium.world()), rng_(seed),
      tx_(
          medium.world(), seed ^ 0x5A5A5A5A,
          [this](const TxJob *, const AirFrame &f) { sink_->on_air(f); },
          [this] { return config_.channel; }),
      sink_(medium.attach(this)), iv_((uint32_t)(seed & 0xFFFFFF)) {
    tx_.set_sink(sink_);
    tx_.set_acknowledged(true);
    medium_.set_signal(this, config_.signal);
    if (config_.wired_host)
        host_ = std::make_unique<WiredHost>(*config_.wired_host);
}

AccessPoint::~AccessPoint() {
    tx_.reset();
    medium_.detach(this);
}

void AccessPoint::start() {
    // Beacons of APs that started together do not all fall on one instant.
    events_.in((config_.bssid[5] % 16) * 1000 + 500, [this] { beacon(); });
    for (auto [from, to] : config_.out_of_range) {
        events_.in(from, [this] { medium_.set_in_range(this, false); });
        events_.in(to, [this] { medium_.set_in_range(this, true); });
    }
}

uint16_t AccessPoint::next_sequence() {
    uint16_t s = sequence_;
    sequence_ = (uint16_t)((sequence_ + 1) & 0xFFF);
    return s;
}

std::vector<uint8_t> AccessPoint::beacon_body() const {
    wire::BeaconBody b;
    b.timestamp = medium_.world().now();
    b.interval = config_.beacon_interval_tu;
    b.capability = (uint16_t)(wire::cap::Ess | (config_.wep ? wire::cap::Privacy : 0));
    b.elements.ssid = config_.ssid;
    b.elements.rates = kRates;
    b.elements.channel = config_.channel;
    return b.to_bytes();
}

void AccessPoint::beacon() {
    ++stats_.beacons;
    send_mgmt(wire::mgmt::Beacon, wire::kBroadcast, beacon_body());
    events_.in((uint64_t)config_.beacon_interval_tu * kTuUs, [this] { beacon(); });
}

void AccessPoint::send_mgmt(uint8_t subtype, const wire::MacAddr &da,
                            const std::vector<uint8_t> &body) {
    bool directed = !wire::is_group(da);
    TxJob job;
    job.mpdus.push_back(wire::mgmt_frame(subtype, 0, directed ? ack_duration(kMgmtRate, false) : 0,
                                         da, config_.bssid, config_.bssid, next_sequence(), body));
    job.rate = kMgmtRate;
    job.directed = directed;
    job.done = [this](const TxOutcome &o) { stats_.tx_failed += !o.delivered; };
    tx_.send(std::move(job));
}

void AccessPoint::deauthenticate(const wire::MacAddr &station, uint16_t reason) {
    send_mgmt(wire::mgmt::Deauth, station, wire::ReasonBody{reason}.to_bytes());
    clients_.erase(station);
}

bool AccessPoint::associated(const wire::MacAddr &station) const {
    auto it = clients_.find(station);
    return it != clients_.end() && it->second.associated;
}

void AccessPoint::radio_receive(const AirFrame &frame) {
    std::span<const uint8_t> bytes(frame.bytes);
    if (auto ack = wire::Ack::parse(bytes)) {
        if (ack->ra == config_.bssid)
            tx_.on_ack();
        return;
    }
    auto v = Header::parse(bytes);
    if (!v || v->version() != 0 || (v->addr1() != config_.bssid && !wire::is_group(v->addr1())))
        return;
    if (v->addr1() == config_.bssid)
        tx_.send_ack(v->addr2(), frame.rate, frame.short_preamble);
    if (v->type() == wire::fc::TypeMgmt)
        receive_mgmt(frame);
    else if (v->type() == wire::fc::TypeData && v->to_ds() && !v->from_ds() &&
             v->addr1() == config_.bssid)
        receive_data(frame);
}

void AccessPoint::receive_mgmt(const AirFrame &frame) {
    auto v = *Header::parse(std::span<const uint8_t>(frame.bytes));
    wire::MacAddr sta = v.addr2();
    std::span<const uint8_t> body = v.payload();
    switch (v.subtype()) {
    case wire::mgmt::ProbeRequest: {
        auto e = wire::Elements::parse(body);
        if (!e || (e->ssid && !e->ssid->empty() && *e->ssid != config_.ssid))
            return;
        ++stats_.probe_responses;
        send_mgmt(wire::mgmt::ProbeResponse, sta, beacon_body());
        return;
    }
    case wire::mgmt::Auth:
        if (v.addr1() == config_.bssid)
            receive_auth(sta, body, v.protected_frame());
        return;
    case wire::mgmt::AssocRequest:
    case wire::mgmt::ReassocRequest:
        if (v.addr1() == config_.bssid)
            receive_assoc(sta, body, v.subtype() == wire::mgmt::ReassocRequest);
        return;
    case wire::mgmt::Deauth:
        if (v.addr1() == config_.bssid)
            clients_.erase(sta);
        return;
    case wire::mgmt::Disassoc:
        if (v.addr1() == config_.bssid && clients_.count(sta))
            clients_[sta].associated = false;
        return;
    default:
        return;
    }
}

void AccessPoint::receive_auth(const wire::MacAddr &sta, std::span<const uint8_t> body,
                               bool protected_frame) {
    std::vector<uint8_t> plain(body.begin(), body.end());
    if (protected_frame) {
        const std::vector<uint8_t> &key = config_.keys[card_wep_key_id(body)];
        auto opened = key.empty() ? std::nullopt : card_wep_open(key, body);
        plain = opened ? std::move(*opened) : std::vector<uint8_t>{};
    }
    auto a = wire::AuthBody::parse(plain);
    uint16_t want =
        config_.auth == ApAuth::SharedKey ? wire::auth::SharedKey : wire::auth::OpenSystem;
    wire::AuthBody reply;
    reply.algorithm = want;
    Client &c = clients_[sta];
    auto answer = [&](uint16_t sequence, uint16_t status) {
        reply.sequence = sequence;
        reply.status = status;
        if (status == wire::status::Success && sequence != 2) {
            c.authenticated = true;
            ++stats_.authentications;
        } else if (status != wire::status::Success) {
            ++stats_.refused;
            clients_.erase(sta);
        }
        send_mgmt(wire::mgmt::Auth, sta, reply.to_bytes());
    };
    if (!a) {
        // A third frame that does not open with the key it names fails the challenge.
        if (protected_frame)
            answer(4, wire::status::ChallengeFailure);
        return;
    }
    if (a->algorithm != want) {
        reply.algorithm = a->algorithm;
        answer((uint16_t)(a->sequence + 1), wire::status::AlgorithmUnsupported);
        return;
    }
    if (a->sequence == 1) {
        c = Client{};
        if (want == wire::auth::OpenSystem) {
            answer(2, wire::status::Success);
            c.authenticated = true;
            ++stats_.authentications;
            return;
        }
        c.challenge.resize(kChallengeBytes);
        for (uint8_t &b : c.challenge)
            b = (uint8_t)rng_();
        reply.elements.challenge = c.challenge;
        answer(2, wire::status::Success);
        return;
    }
    if (a->sequence == 3 && want == wire::auth::SharedKey) {
        bool ok = protected_frame && !c.challenge.empty() && a->elements.challenge == c.challenge;
        answer(4, ok ? wire::status::Success : wire::status::ChallengeFailure);
        return;
    }
    answer((uint16_t)(a->sequence + 1), wire::status::SequenceUnexpected);
}

void AccessPoint::receive_assoc(const wire::MacAddr &sta, std::span<const uint8_t> body,
                                bool reassoc) {
    auto r = wire::AssocRequestBody::parse(body, reassoc);
    if (!r)
        return;
    auto it = clients_.find(sta);
    bool privacy = (r->capability & wire::cap::Privacy) != 0;
    wire::AssocResponseBody reply;
    reply.capability = (uint16_t)(wire::cap::Ess | (config_.wep ? wire::cap::Privacy : 0));
    reply.elements.rates = kRates;
    if (it == clients_.end() || !it->second.authenticated || privacy != config_.wep ||
        r->elements.ssid != config_.ssid || config_.refuse_association) {
        reply.status = wire::status::AssocDenied;
        ++stats_.refused;
    } else {
        ++stats_.associations;
        if (!it->second.associated)
            it->second.aid = next_aid_++;
        it->second.associated = true;
        reply.aid = it->second.aid;
    }
    send_mgmt(reassoc ? wire::mgmt::ReassocResponse : wire::mgmt::AssocResponse, sta,
              reply.to_bytes());
}

void AccessPoint::receive_data(const AirFrame &frame) {
    auto v = *Header::parse(std::span<const uint8_t>(frame.bytes));
    wire::MacAddr sta = v.addr2();
    auto it = clients_.find(sta);
    if (it == clients_.end() || !it->second.associated) {
        send_mgmt(wire::mgmt::Deauth, sta, wire::ReasonBody{kReasonNotAssociated}.to_bytes());
        return;
    }
    Client &c = it->second;
    if (v.retry() && c.last_seq == v.seq_ctrl()) {
        ++stats_.duplicates;
        return;
    }
    c.last_seq = v.seq_ctrl();
    std::vector<uint8_t> body(v.payload().begin(), v.payload().end());
    if (v.protected_frame() != config_.wep) {
        ++stats_.undecryptable;
        return;
    }
    if (v.protected_frame()) {
        const std::vector<uint8_t> &key = config_.keys[card_wep_key_id(body)];
        auto plain = key.empty() ? std::nullopt : card_wep_open(key, body);
        if (!plain) {
            ++stats_.undecryptable;
            return;
        }
        body = std::move(*plain);
    }
    // Fragments in order, per station; anything else drops the partial frame.
    if (v.more_fragments() || v.fragment() != 0) {
        if (v.fragment() == 0) {
            c.partial_seq = v.sequence();
            c.next_fragment = 0;
            c.partial.clear();
        }
        if (v.sequence() != c.partial_seq || v.fragment() != c.next_fragment) {
            c.partial.clear();
            c.next_fragment = 0;
            return;
        }
        c.partial.insert(c.partial.end(), body.begin(), body.end());
        ++c.next_fragment;
        if (v.more_fragments())
            return;
        body = std::move(c.partial);
        c.partial.clear();
        c.next_fragment = 0;
    }
    ++stats_.data_received;
    deliver_msdu(v.addr3(), sta, std::move(body));
}

void AccessPoint::deliver_msdu(const wire::MacAddr &da, const wire::MacAddr &sa,
                               std::vector<uint8_t> body) {
    if (da == config_.bssid) {
        if (!is_vendor_request(body))
            return;
        ++stats_.vendor_answers;
        send_data(sa, config_.bssid, vendor_answer(vendor_answer_payload(config_.vendor)));
        return;
    }
    if (wire::is_group(da)) {
        ++stats_.relayed;
        send_data(da, sa, body);
        to_wired(da, sa, body);
        return;
    }
    if (associated(da)) {
        ++stats_.relayed;
        send_data(da, sa, body);
        return;
    }
    to_wired(da, sa, body);
}

void AccessPoint::to_wired(const wire::MacAddr &da, const wire::MacAddr &sa,
                           std::span<const uint8_t> body) {
    auto snap = wire::SnapView<const uint8_t>::parse(body);
    auto s = snap ? wire::Snap::parse(*snap) : std::nullopt;
    if (!host_ || !s || s->kind() == wire::SnapKind::Vendor)
        return;
    ++stats_.to_wired;
    std::vector<uint8_t> eth = wire::EthernetHeader{da, sa, s->protocol}.to_bytes();
    eth.insert(eth.end(), snap->payload().begin(), snap->payload().end());
    for (std::vector<uint8_t> &reply : host_->receive(eth)) {
        events_.in(config_.wired_delay_us, [this, reply = std::move(reply)] {
            auto e = *wire::EthernetView<const uint8_t>::parse(reply);
            std::vector<uint8_t> llc = wire::Snap{oui_for(e.ethertype()), e.ethertype()}.to_bytes();
            llc.insert(llc.end(), e.payload().begin(), e.payload().end());
            send_data(e.dst(), e.src(), llc);
        });
    }
}

// A FromDS data frame to `da`, in fragments above the threshold, each
// sealed on its own with the transmit key when WEP is on.
void AccessPoint::send_data(const wire::MacAddr &da, const wire::MacAddr &sa,
                            std::span<const uint8_t> body) {
    bool directed = !wire::is_group(da);
    size_t threshold = std::clamp<size_t>(config_.frag_threshold, 256, 2346);
    size_t room = threshold - kMacHeaderBytes - kFcsBytes - (config_.wep ? kWepOverhead : 0);
    size_t count = std::max<size_t>(1, (body.size() + room - 1) / room);
    uint16_t seq = next_sequence();
    TxJob job;
    for (size_t i = 0; i < count; ++i) {
        std::span<const uint8_t> piece =
            body.subspan(i * room, std::min(room, body.size() - i * room));
        uint16_t flags =
            (uint16_t)(wire::fc::FromDs | (i + 1 < count ? wire::fc::MoreFragments : 0) |
                       (config_.wep ? wire::fc::Protected : 0));
        wire::MacHeader h{wire::fc::TypeData,
                          0,
                          flags,
                          directed ? ack_duration(config_.rate, false) : (uint16_t)0,
                          da,
                          config_.bssid,
                          sa,
                          seq,
                          (uint8_t)i};
        std::vector<uint8_t> mpdu = h.to_bytes();
        if (config_.wep) {
            iv_ = (iv_ + 1) & 0xFFFFFF;
            std::vector<uint8_t> sealed =
                card_wep_seal(iv_, config_.tx_key, config_.keys[config_.tx_key & 3], piece);
            mpdu.insert(mpdu.end(), sealed.begin(), sealed.end());
        } else {
            mpdu.insert(mpdu.end(), piece.begin(), piece.end());
        }
        job.mpdus.push_back(std::move(mpdu));
    }
    job.rate = config_.rate;
    job.directed = directed;
    job.done = [this](const TxOutcome &o) { stats_.tx_failed += !o.delivered; };
    tx_.send(std::move(job));
}

} // namespace talsim
