#include "session.h"

#include <charconv>

#include "card/cardlink.h"
#include "driver/talmain.h"
#include "driver/taloids.h"
#include "wire/ethernet.h"

namespace talsim {

// Counts the frames on the air and hands them on (to the capture).
class Session::AirCounter : public AirTap {
public:
    explicit AirCounter(uint64_t &count) : count_(count) {}

protected:
    void observe(const AirFrame &) override { ++count_; }

private:
    uint64_t &count_;
};

Session::Session(std::optional<WorldConfig> world)
    : card_(std::make_unique<CardModel>(host_.world())),
      counter_(std::make_unique<AirCounter>(air_frames_)) {
    if (world) {
        world_ = std::make_unique<RadioWorld>(host_.world(), *world);
        world_->attach(*card_);
        world_->watch(counter_.get());
    } else {
        card_->set_air_sink(counter_.get());
        card_->join(kLoneBssid);
    }
}

Session::~Session() {
    binding_.reset();
    if (running_)
        host_.halt(handle_);
    if (world_) {
        world_->detach(*card_);
        world_->watch(nullptr);
    }
    card_->set_irq_observer(nullptr);
    if (mapped_)
        host_.bus().unmap(card_.get());
}

bool Session::capture_air(const std::string &path, std::string &error) {
    air_ = std::make_unique<PcapTap>(path);
    if (!air_->ok()) {
        error = air_->error();
        air_.reset();
        return false;
    }
    counter_->set_next(air_.get());
    return true;
}

bool Session::capture_ethernet(const std::string &path, std::string &error) {
    eth_ = std::make_unique<PcapFile>(path, PcapFile::kEthernet);
    if (!eth_->ok()) {
        error = eth_->error();
        eth_.reset();
        return false;
    }
    return true;
}

bool Session::close_captures(std::string &error) {
    error.clear();
    if (air_ && !air_->close())
        error += air_->error() + "\n";
    if (eth_ && !eth_->close())
        error += eth_->error() + "\n";
    if (!error.empty())
        error.pop_back();
    return error.empty();
}

NTSTATUS Session::load_driver() {
    return host_.load_driver(DriverEntry);
}

std::optional<uint32_t> io_base(const talhost::AdapterConfig &config) {
    const talhost::RegValue *v = config.find("IoBaseAddress");
    if (!v)
        return std::nullopt;
    if (v->kind == talhost::RegValue::Kind::Dword)
        return v->dword;
    std::string digits = v->kind == talhost::RegValue::Kind::String
                             ? talhost::utf16_to_utf8(v->str)
                             : std::string(v->raw.begin(), v->raw.end());
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

NDIS_STATUS Session::start(talhost::AdapterConfig config) {
    std::optional<uint32_t> base = io_base(config);
    handle_ = host_.add_adapter(std::move(config));
    // The card sits where the registry says; without a port base the
    // driver refuses the adapter before it looks for one.
    if (base) {
        host_.bus().map(*base, kPortCount, card_.get());
        mapped_ = true;
    }
    connect_interrupt_line(*card_, host_, handle_);
    NDIS_STATUS status = host_.initialize(handle_);
    if (status != NDIS_STATUS_SUCCESS)
        return status;
    running_ = true;
    // The wrapper's filter learns the adapter's address, as from the
    // address request at binding time.
    talhost::RequestResult address = host_.query(handle_, OID_802_3_CURRENT_ADDRESS, 6);
    if (address.status == NDIS_STATUS_SUCCESS && address.answer().size() == 6)
        std::copy_n(address.answer().begin(), 6, station_.begin());
    host_.set_station_address(handle_, station_);
    binding_ = std::make_unique<talhost::TestBinding>(host_, handle_);
    binding_->on_receive = [this](const Received &r) {
        inbox_.push_back(r);
        if (eth_)
            eth_->write(r.frame, r.time);
    };
    binding_->set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
    return NDIS_STATUS_SUCCESS;
}

talhost::RequestResult Session::query(NDIS_OID oid, ULONG length) {
    return binding_->query(oid, length);
}

talhost::RequestResult Session::set(NDIS_OID oid, const Bytes &input) {
    return binding_->set(oid, input);
}

NDIS_STATUS Session::send(const Bytes &frame) {
    if (eth_)
        eth_->write(frame, now());
    return binding_->send(frame);
}

void Session::step(uint64_t us) {
    host_.world().run_for(us);
    if (!binding_)
        return;
    const auto &done = binding_->completions();
    completions_.insert(completions_.end(), done.begin(), done.end());
    binding_->clear(); // the inbox has the frames
}

void Session::run_for(uint64_t us) {
    for (uint64_t t = 0; t < us; t += kMs)
        step(std::min(kMs, us - t));
}

bool Session::run_until(uint64_t us, const std::function<bool(const Received &)> &take) {
    size_t from = inbox_.size();
    for (uint64_t t = 0; t < us; t += kMs) {
        step(std::min(kMs, us - t));
        for (; from < inbox_.size(); from++)
            if (take(inbox_[from]))
                return true;
    }
    return false;
}

std::vector<Session::Media> Session::take_media() {
    std::vector<Media> out;
    if (!handle_)
        return out;
    const auto &st = host_.block(handle_).statuses;
    for (; media_seen_ < st.size(); media_seen_++)
        if (st[media_seen_].status == NDIS_STATUS_MEDIA_CONNECT ||
            st[media_seen_].status == NDIS_STATUS_MEDIA_DISCONNECT)
            out.push_back(
                Media{st[media_seen_].time, st[media_seen_].status == NDIS_STATUS_MEDIA_CONNECT});
    return out;
}

std::vector<Session::Received> Session::take_frames() {
    return std::exchange(inbox_, {});
}

std::vector<talhost::SendCompletion> Session::take_completions() {
    if (binding_)
        step(0); // completions the last request or send brought
    return std::exchange(completions_, {});
}

namespace {

Bytes joined(const Bytes &head, const Bytes &tail) {
    Bytes out(head.size() + tail.size());
    std::copy(head.begin(), head.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.begin() + (long)head.size());
    return out;
}

Bytes ethernet(const wire::MacAddr &dst, const wire::MacAddr &src, uint16_t type,
               const Bytes &payload) {
    return joined(wire::EthernetHeader{dst, src, type}.to_bytes(), payload);
}

// An ICMP echo request in an IPv4 packet. Out of line: inlined where the
// data's size is a constant, GCC 12 warns falsely about the copy.
[[gnu::noinline]] Bytes echo_request(const wire::Ipv4Addr &from, const wire::Ipv4Addr &to,
                                     uint16_t id, uint16_t seq, const Bytes &data) {
    Bytes icmp = wire::IcmpEcho{wire::icmp::EchoRequest, 0, id, seq, data}.to_bytes();
    wire::Ipv4 ip;
    ip.total_length = (uint16_t)(20 + icmp.size());
    ip.id = seq;
    ip.src = from;
    ip.dst = to;
    return joined(ip.to_bytes(), icmp);
}

} // namespace

std::optional<wire::MacAddr> Session::resolve(const wire::Ipv4Addr &self,
                                              const wire::Ipv4Addr &target, uint64_t wait_us) {
    wire::Arp who{wire::arp::Request, station_, self, {}, target};
    send(ethernet(wire::kBroadcast, station_, wire::kEtherTypeArp, who.to_bytes()));
    wire::MacAddr found{};
    bool answered = run_until(wait_us, [&](const Received &r) {
        auto e = wire::EthernetView<const uint8_t>::parse(r.frame);
        auto v = e && e->ethertype() == wire::kEtherTypeArp
                     ? wire::ArpView<const uint8_t>::parse(e->payload())
                     : std::nullopt;
        auto a = v ? wire::Arp::parse(*v) : std::nullopt;
        if (!a || a->operation != wire::arp::Reply || a->sender_ip != target)
            return false;
        found = a->sender_mac;
        return true;
    });
    return answered ? std::optional(found) : std::nullopt;
}

std::optional<uint64_t> Session::ping(const wire::MacAddr &to, const wire::Ipv4Addr &self,
                                      const wire::Ipv4Addr &target, uint16_t seq,
                                      uint64_t wait_us) {
    constexpr uint16_t kIdentifier = 0x7A1;
    uint64_t sent = now();
    send(ethernet(to, station_, wire::kEtherTypeIpv4,
                  echo_request(self, target, kIdentifier, seq, Bytes(56, (uint8_t)seq))));
    uint64_t answered_at = 0;
    bool answered = run_until(wait_us, [&](const Received &r) {
        auto e = wire::EthernetView<const uint8_t>::parse(r.frame);
        auto v = e ? wire::Ipv4View<const uint8_t>::parse(e->payload()) : std::nullopt;
        auto m = v && v->src() == target ? wire::IcmpEchoView<const uint8_t>::parse(v->payload())
                                         : std::nullopt;
        if (!m || m->type() != wire::icmp::EchoReply || m->id() != kIdentifier ||
            m->sequence() != seq || !m->checksum_ok())
            return false;
        answered_at = r.time;
        return true;
    });
    return answered ? std::optional(answered_at - sent) : std::nullopt;
}

std::string Session::halt() {
    if (running_) {
        binding_.reset();
        host_.halt(handle_);
        running_ = false;
    }
    host_.check_released();
    std::string findings = host_.verifier().clean() ? "" : host_.verifier().text();
    if (card_->device_error_count())
        findings +=
            "the card saw " + std::to_string(card_->device_error_count()) +
            " accesses it does not allow, the first: " + card_->device_errors().front().what + "\n";
    return findings;
}

std::optional<wire::Ipv4Addr> parse_ipv4(std::string_view text) {
    wire::Ipv4Addr a{};
    const char *p = text.data(), *end = text.data() + text.size();
    for (size_t i = 0; i < 4; i++) {
        unsigned v = 0;
        auto [next, ec] = std::from_chars(p, end, v);
        if (ec != std::errc() || v > 255 || next == p || next - p > 3)
            return std::nullopt;
        a[i] = (uint8_t)v;
        p = next;
        if (i < 3) {
            if (p == end || *p != '.')
                return std::nullopt;
            ++p;
        }
    }
    return p == end ? std::optional(a) : std::nullopt;
}

std::string ipv4_text(const wire::Ipv4Addr &a) {
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

} // namespace talsim
