// The radio world: one entry point that builds a medium with its
// middleware, the access points with their wired hosts, and attaches
// cards, from a world file or the built-in default.
//
//     std::string error;
//     auto config = talsim::load_world_file("world.toml", error); // or default_world()
//     talsim::RadioWorld air(clock, *config);
//     air.capture("air.pcap");            // every frame on the air, once
//     air.attach(card);                   // station firmware on, on the medium
//     clock.run_for(500000);              // the card scans, joins, ...
//
// World file (TOML; every key optional but an access point's bssid, ssid and
// channel; an unknown key is an error):
//
//     seed = 7                 # the middleware's and the access points' generators
//     loss = 0.01              # fraction of frames lost on every link
//     corruption = 0.0         # fraction of frames with one bit flipped
//
//     [[link]]                 # a rate for one link; from/to name a BSSID or
//     from = "00:0b:0e:aa:00:01"   # a card's address (absent: any radio)
//     to = "02:00:54:41:4c:01"
//     loss = 0.5
//     corruption = 0.0
//
//     [[ap]]
//     bssid = "00:0b:0e:aa:00:01"
//     ssid = "TalNet"
//     channel = 6              # 1-14
//     auth = "shared"          # or "open" (the default)
//     wep = true               # data sealed with the keys below
//     keys = ["0102030405", "A1B2C3D4E5", "DEADBEEF00", "11223344CC"] # 5 or 13 bytes each, hex; "" none
//     tx_key = 0
//     beacon_interval = 100    # time units of 1024 us
//     frag_threshold = 2346    # 256-2346
//     rate = 11                # Mb/s: 1, 2, 5.5 or 11
//     signal = 60              # level the cards hear
//     refuse_association = false
//     out_of_range = [[1000, 2500]]   # [from, to) in ms from the world's start, any number
//     host_mac = "00:0b:0e:0a:00:02"  # the wired host (both or neither)
//     host_ip = "192.0.2.1"
//
// An error names the file, the line and what is wrong: "world.toml:7: channel
// must be 1 to 14".
//
// The default world (default_world()): seed 1, no loss, three access points
//   TalNet      00:0b:0e:aa:00:01  channel 6   shared key, WEP with the four
//               40-bit keys of examples/adapter.reg, transmit key 0, signal 60,
//               wired host 00:0b:0e:0a:00:02 at 192.0.2.1
//   Harbour     00:0b:0e:aa:00:02  channel 1   open, no WEP, signal 45,
//               wired host 00:0b:0e:0a:00:12 at 198.51.100.1
//   Lighthouse  00:0b:0e:aa:00:03  channel 11  open, WEP key 0 = 0F0E0D0C0B, signal 35,
//               wired host 00:0b:0e:0a:00:22 at 203.0.113.1
#pragma once

#include "air/accesspoint.h"
#include "air/capture.h"
#include "air/medium.h"
#include "card/card.h"

#include "world.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talsim {

struct LinkRule {
    std::optional<wire::MacAddr> from;
    std::optional<wire::MacAddr> to;
    uint32_t loss_ppm = 0;
    uint32_t corruption_ppm = 0;
};

struct WorldConfig {
    uint64_t seed = 1;
    uint32_t loss_ppm = 0;
    uint32_t corruption_ppm = 0;
    std::vector<LinkRule> links;
    std::vector<ApConfig> aps;
};

WorldConfig default_world();
// `name` is what errors call the text (a file name).
std::optional<WorldConfig> parse_world(std::string_view text, const std::string &name,
                                       std::string &error);
std::optional<WorldConfig> load_world_file(const std::string &path, std::string &error);

class RadioWorld {
public:
    RadioWorld(talhost::World &clock, const WorldConfig &config);
    ~RadioWorld();
    RadioWorld(const RadioWorld &) = delete;
    RadioWorld &operator=(const RadioWorld &) = delete;

    // Puts the card on the medium (off any other way onto it) with its
    // station firmware on; it joins at its next enable. The card's air sink
    // is the world's: a card that outlives the world must not transmit
    // after it (detach it, or give it another sink).
    void attach(CardModel &card);
    // Takes the card off the medium (and its air sink away); a card that
    // goes before the world must be detached first.
    void detach(CardModel &card);
    // Writes every frame on the air to `path` from now on; false (and
    // `error`) when the file cannot be opened.
    bool capture(const std::string &path, std::string &error);
    void close_capture();
    // `sink` (a tap chain) sees every frame on the air too, after the capture.
    void watch(AirSink *sink);

    Medium &medium() { return medium_; }
    AirTrace &trace() { return trace_; }
    LossFilter &loss() { return loss_; }
    CorruptionFilter &corruption() { return corruption_; }
    size_t ap_count() const { return aps_.size(); }
    AccessPoint &ap(size_t i) { return *aps_[i]; }
    AccessPoint *ap(const wire::MacAddr &bssid);

private:
    void apply_links();

    WorldConfig config_;
    Medium medium_;
    LossFilter loss_;
    CorruptionFilter corruption_;
    AirTrace trace_;
    std::unique_ptr<PcapTap> pcap_;
    AirSink *watcher_ = nullptr;
    std::vector<std::unique_ptr<AccessPoint>> aps_;
    std::vector<std::pair<wire::MacAddr, const Radio *>> radios_; // by address, for link rules
};

} // namespace talsim
