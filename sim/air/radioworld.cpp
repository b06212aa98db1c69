#include "air/radioworld.h"

#include <toml++/toml.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>

namespace talsim {

namespace {

constexpr wire::MacAddr kTalNet{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};

wire::MacAddr mac(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
    return {a, b, c, d, e, f};
}

// Reads one world file's tables; the first error wins and names its line.
class Reader {
public:
    Reader(const std::string &name, std::string &error) : name_(name), error_(error) {}

    bool fail(const toml::node &at, const std::string &what) {
        if (error_.empty())
            error_ = name_ + ":" + std::to_string(at.source().begin.line) + ": " + what;
        return false;
    }

    bool known_keys(const toml::table &t, std::initializer_list<std::string_view> keys) {
        for (auto &&[k, v] : t)
            if (std::find(keys.begin(), keys.end(), k.str()) == keys.end())
                return fail(v, "unknown key \"" + std::string(k.str()) + "\"");
        return true;
    }

    bool integer(const toml::table &t, std::string_view key, int64_t min, int64_t max,
                 int64_t &out) {
        const toml::node *n = t.get(key);
        if (!n)
            return true;
        auto v = n->value<int64_t>();
        if (!n->is_integer() || !v || *v < min || *v > max)
            return fail(*n, std::string(key) + " must be an integer from " + std::to_string(min) +
                                " to " + std::to_string(max));
        out = *v;
        return true;
    }

    bool fraction(const toml::table &t, std::string_view key, uint32_t &ppm) {
        const toml::node *n = t.get(key);
        if (!n)
            return true;
        auto v = n->value<double>();
        // Written so that NaN fails it too.
        if (!(n->is_floating_point() || n->is_integer()) || !v || !(*v >= 0 && *v <= 1))
            return fail(*n, std::string(key) + " must be a fraction from 0 to 1");
        ppm = (uint32_t)std::lround(*v * 1e6);
        return true;
    }

    bool boolean(const toml::table &t, std::string_view key, bool &out) {
        const toml::node *n = t.get(key);
        if (!n)
            return true;
        if (!n->is_boolean())
            return fail(*n, std::string(key) + " must be true or false");
        out = *n->value<bool>();
        return true;
    }

    bool text(const toml::table &t, std::string_view key, std::optional<std::string> &out) {
        const toml::node *n = t.get(key);
        if (!n)
            return true;
        if (!n->is_string())
            return fail(*n, std::string(key) + " must be a string");
        out = *n->value<std::string>();
        return true;
    }

    bool address(const toml::table &t, std::string_view key, std::optional<wire::MacAddr> &out) {
        std::optional<std::string> s;
        if (!text(t, key, s) || !s)
            return !error_.size();
        wire::MacAddr a{};
        unsigned b[6];
        char tail;
        if (std::sscanf(s->c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4],
                        &b[5], &tail) != 6 ||
            s->size() != 17)
            return fail(*t.get(key),
                        std::string(key) + " must be a MAC address like 00:0b:0e:aa:00:01");
        for (int i = 0; i < 6; ++i)
            a[i] = (uint8_t)b[i];
        out = a;
        return true;
    }

    bool ip(const toml::table &t, std::string_view key, std::optional<wire::Ipv4Addr> &out) {
        std::optional<std::string> s;
        if (!text(t, key, s) || !s)
            return !error_.size();
        unsigned b[4];
        char tail;
        if (std::sscanf(s->c_str(), "%u.%u.%u.%u%c", &b[0], &b[1], &b[2], &b[3], &tail) != 4 ||
            b[0] > 255 || b[1] > 255 || b[2] > 255 || b[3] > 255)
            return fail(*t.get(key), std::string(key) + " must be an IPv4 address like 192.0.2.1");
        out = wire::Ipv4Addr{(uint8_t)b[0], (uint8_t)b[1], (uint8_t)b[2], (uint8_t)b[3]};
        return true;
    }

    bool key_bytes(const toml::node &n, std::vector<uint8_t> &out) {
        auto s = n.value<std::string>();
        if (s && s->empty()) {
            out.clear(); // no key of this id
            return true;
        }
        if (!n.is_string() || !s || (s->size() != 10 && s->size() != 26) ||
            s->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return fail(n, "a key must be 10 or 26 hexadecimal digits (5 or 13 bytes)");
        out.clear();
        for (size_t i = 0; i < s->size(); i += 2)
            out.push_back((uint8_t)std::stoul(s->substr(i, 2), nullptr, 16));
        return true;
    }

    bool link(const toml::table &t, LinkRule &r) {
        return known_keys(t, {"from", "to", "loss", "corruption"}) && address(t, "from", r.from) &&
               address(t, "to", r.to) && fraction(t, "loss", r.loss_ppm) &&
               fraction(t, "corruption", r.corruption_ppm);
    }

    bool ap(const toml::table &t, ApConfig &ap);

private:
    const std::string &name_;
    std::string &error_;
};

bool Reader::ap(const toml::table &t, ApConfig &ap) {
    if (!known_keys(t, {"bssid", "ssid", "channel", "auth", "wep", "keys", "tx_key",
                        "beacon_interval", "frag_threshold", "rate", "signal", "refuse_association",
                        "out_of_range", "host_mac", "host_ip"}))
        return false;
    std::optional<wire::MacAddr> bssid, host_mac;
    std::optional<std::string> ssid, auth;
    std::optional<wire::Ipv4Addr> host_ip;
    int64_t channel = 0, tx_key = 0, interval = 100, frag = 2346, signal = ap.signal;
    if (!address(t, "bssid", bssid) || !text(t, "ssid", ssid) ||
        !integer(t, "channel", 1, 14, channel) || !text(t, "auth", auth) ||
        !boolean(t, "wep", ap.wep) || !integer(t, "tx_key", 0, 3, tx_key) ||
        !integer(t, "beacon_interval", 1, 65535, interval) ||
        !integer(t, "frag_threshold", 256, 2346, frag) || !integer(t, "signal", 0, 255, signal) ||
        !boolean(t, "refuse_association", ap.refuse_association) ||
        !address(t, "host_mac", host_mac) || !ip(t, "host_ip", host_ip))
        return false;
    if (!bssid)
        return fail(t, "an access point needs a bssid");
    if (wire::is_group(*bssid))
        return fail(*t.get("bssid"), "bssid must be an individual address, not a group one");
    if (!ssid || ssid->size() > 32)
        return fail(t, "an access point needs an ssid of at most 32 bytes");
    if (!channel)
        return fail(t, "an access point needs a channel");
    if (auth && *auth != "open" && *auth != "shared")
        return fail(*t.get("auth"), "auth must be \"open\" or \"shared\"");
    ap.bssid = *bssid;
    ap.ssid = *ssid;
    ap.channel = (uint8_t)channel;
    ap.auth = auth && *auth == "shared" ? ApAuth::SharedKey : ApAuth::Open;
    ap.tx_key = (uint8_t)tx_key;
    ap.beacon_interval_tu = (uint16_t)interval;
    ap.frag_threshold = (uint16_t)frag;
    ap.signal = (uint8_t)signal;
    if (const toml::node *r = t.get("rate")) {
        auto v = r->value<double>();
        if (!v || (*v != 1 && *v != 2 && *v != 5.5 && *v != 11))
            return fail(*r, "rate must be 1, 2, 5.5 or 11 (Mb/s)");
        ap.rate = (uint8_t)std::lround(*v * 2);
    }
    if (const toml::node *k = t.get("keys")) {
        const toml::array *a = k->as_array();
        if (!a || a->size() > 4)
            return fail(*k, "keys must be a list of at most four keys");
        for (size_t i = 0; i < a->size(); ++i)
            if (!key_bytes(*a->get(i), ap.keys[i]))
                return false;
    }
    if (ap.wep && ap.keys[ap.tx_key].empty())
        return fail(t,
                    "wep is on but the transmit key " + std::to_string(tx_key) + " is not given");
    if (ap.auth == ApAuth::SharedKey && !ap.wep)
        return fail(t, "shared key authentication needs wep = true and keys");
    if (const toml::node *r = t.get("out_of_range")) {
        const toml::array *a = r->as_array();
        if (!a)
            return fail(*r, "out_of_range must be a list of [from, to] pairs in milliseconds");
        for (const toml::node &p : *a) {
            const toml::array *pair = p.as_array();
            auto from = pair && pair->size() == 2 ? pair->get(0)->value<int64_t>() : std::nullopt;
            auto to = pair && pair->size() == 2 ? pair->get(1)->value<int64_t>() : std::nullopt;
            if (!from || !to || *from < 0 || *to <= *from)
                return fail(
                    p,
                    "an out_of_range entry must be [from, to] with 0 <= from < to (milliseconds)");
            ap.out_of_range.emplace_back((uint64_t)*from * 1000, (uint64_t)*to * 1000);
        }
    }
    if (host_mac.has_value() != host_ip.has_value())
        return fail(t, "a wired host needs both host_mac and host_ip");
    if (host_mac)
        ap.wired_host = WiredHostConfig{*host_mac, *host_ip};
    return true;
}

} // namespace

WorldConfig default_world() {
    WorldConfig w;
    ApConfig talnet;
    talnet.bssid = kTalNet;
    talnet.ssid = "TalNet";
    talnet.channel = 6;
    talnet.auth = ApAuth::SharedKey;
    talnet.wep = true;
    talnet.keys = {std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05},
                   {0xA1, 0xB2, 0xC3, 0xD4, 0xE5},
                   {0xDE, 0xAD, 0xBE, 0xEF, 0x00},
                   {0x11, 0x22, 0x33, 0x44, 0xCC}};
    talnet.signal = 60;
    talnet.wired_host = WiredHostConfig{mac(0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02), {192, 0, 2, 1}};

    ApConfig harbour;
    harbour.bssid = mac(0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x02);
    harbour.ssid = "Harbour";
    harbour.channel = 1;
    harbour.signal = 45;
    harbour.wired_host =
        WiredHostConfig{mac(0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x12), {198, 51, 100, 1}};

    ApConfig lighthouse;
    lighthouse.bssid = mac(0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x03);
    lighthouse.ssid = "Lighthouse";
    lighthouse.channel = 11;
    lighthouse.wep = true;
    lighthouse.keys[0] = {0x0F, 0x0E, 0x0D, 0x0C, 0x0B};
    lighthouse.signal = 35;
    lighthouse.wired_host =
        WiredHostConfig{mac(0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x22), {203, 0, 113, 1}};

    w.aps = {talnet, harbour, lighthouse};
    return w;
}

std::optional<WorldConfig> parse_world(std::string_view text, const std::string &name,
                                       std::string &error) {
    error.clear();
    toml::table root;
    try {
        root = toml::parse(text, name);
    } catch (const toml::parse_error &e) {
        error = name + ":" + std::to_string(e.source().begin.line) + ": " +
                std::string(e.description());
        return std::nullopt;
    }
    Reader r(name, error);
    WorldConfig w;
    int64_t seed = 1;
    if (!r.known_keys(root, {"seed", "loss", "corruption", "link", "ap"}) ||
        !r.integer(root, "seed", 0, INT64_MAX, seed) || !r.fraction(root, "loss", w.loss_ppm) ||
        !r.fraction(root, "corruption", w.corruption_ppm))
        return std::nullopt;
    w.seed = (uint64_t)seed;
    auto tables = [&](const char *key, auto &&read) {
        const toml::node *n = root.get(key);
        if (!n)
            return true;
        const toml::array *a = n->as_array();
        if (!a || !a->is_array_of_tables())
            return r.fail(*n, std::string("write each ") + key + " as a [[" + key + "]] table");
        for (const toml::node &e : *a)
            if (!read(*e.as_table()))
                return false;
        return true;
    };
    if (!tables("link", [&](const toml::table &t) { return r.link(t, w.links.emplace_back()); }) ||
        !tables("ap", [&](const toml::table &t) {
            if (!r.ap(t, w.aps.emplace_back()))
                return false;
            for (size_t i = 0; i + 1 < w.aps.size(); i++)
                if (w.aps[i].bssid == w.aps.back().bssid)
                    return r.fail(*t.get("bssid"), "bssid is that of another access point");
            return true;
        }))
        return std::nullopt;
    return w;
}

std::optional<WorldConfig> load_world_file(const std::string &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parse_world(text.str(), path, error);
}

RadioWorld::RadioWorld(talhost::World &clock, const WorldConfig &config)
    : config_(config), medium_(clock), loss_(config.seed * 2 + 1, config.loss_ppm),
      corruption_(config.seed * 2 + 2, config.corruption_ppm) {
    medium_.add_filter(&loss_);
    medium_.add_filter(&corruption_);
    medium_.set_trace(&trace_);
    for (size_t i = 0; i < config_.aps.size(); ++i) {
        aps_.push_back(
            std::make_unique<AccessPoint>(medium_, config_.aps[i], config_.seed * 1000 + i));
        radios_.emplace_back(config_.aps[i].bssid, aps_.back().get());
    }
    apply_links();
    for (auto &ap : aps_)
        ap->start();
}

RadioWorld::~RadioWorld() {
    aps_.clear();
    medium_.set_observer(nullptr);
}

void RadioWorld::attach(CardModel &card) {
    medium_.detach(&card); // one way onto the air
    card.set_air_sink(medium_.attach(&card));
    card.set_station_firmware(true);
    std::vector<uint8_t> own = words_to_bytes(*card.records().data(rid::OwnMacAddress));
    wire::MacAddr a{};
    std::copy_n(own.begin(), a.size(), a.begin());
    radios_.emplace_back(a, &card);
    apply_links();
}

void RadioWorld::detach(CardModel &card) {
    medium_.detach(&card);
    card.set_air_sink(nullptr);
    std::erase_if(radios_, [&](const auto &r) { return r.second == &card; });
}

void RadioWorld::apply_links() {
    auto radio = [this](const std::optional<wire::MacAddr> &addr, bool &known) -> const Radio * {
        known = true;
        if (!addr)
            return nullptr;
        for (auto &[a, r] : radios_)
            if (a == *addr)
                return r;
        known = false;
        return nullptr;
    };
    for (const LinkRule &rule : config_.links) {
        bool from_known, to_known;
        const Radio *from = radio(rule.from, from_known), *to = radio(rule.to, to_known);
        if (!from_known || !to_known)
            continue; // a radio not attached yet
        loss_.rates.set_link(from, to, rule.loss_ppm);
        corruption_.rates.set_link(from, to, rule.corruption_ppm);
    }
}

bool RadioWorld::capture(const std::string &path, std::string &error) {
    close_capture();
    pcap_ = std::make_unique<PcapTap>(path, watcher_);
    if (!pcap_->ok()) {
        error = pcap_->error();
        pcap_.reset();
        return false;
    }
    medium_.set_observer(pcap_.get());
    return true;
}

void RadioWorld::close_capture() {
    medium_.set_observer(watcher_);
    pcap_.reset();
}

void RadioWorld::watch(AirSink *sink) {
    watcher_ = sink;
    if (pcap_)
        pcap_->set_next(sink);
    else
        medium_.set_observer(sink);
}

AccessPoint *RadioWorld::ap(const wire::MacAddr &bssid) {
    for (auto &a : aps_)
        if (a->config().bssid == bssid)
            return a.get();
    return nullptr;
}

} // namespace talsim
