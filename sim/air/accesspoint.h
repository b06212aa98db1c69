// An access point of the radio world: a radio on the medium with its BSS,
// its keys and a wired side.
//
// - Beacons every beacon interval (time units of 1024 us, the first one
//   0.5 to 15.5 ms after start(), by the BSSID's last byte), at 2 Mb/s, to the
//   broadcast address: timestamp, interval, capability (ESS, and privacy
//   when its WEP is on), SSID, supported rates 1, 2, 5.5, 11 Mb/s, the
//   DS parameter set with its channel. A probe request for its SSID or for
//   any (an empty SSID element) gets a probe response with the same body.
// - Authentication by its own rule: open system takes algorithm 0 only,
//   shared key algorithm 1 only (else status 13). Shared key: the second
//   frame carries a 128-byte challenge text from the AP's seeded generator;
//   the third must come protected and open with the key its key-id byte
//   names into that same challenge, else the fourth says status 15. An
//   association (or reassociation) request from an authenticated station
//   whose privacy capability matches the AP's WEP, for its SSID, is
//   answered with status 0 and an association id (1, 2, ...); otherwise
//   status 12 (not authenticated, privacy mismatch, or refuse_association).
// - Data: every directed frame to the BSSID is acknowledged (Transmitter,
//   with acknowledgements); a retry that repeats the last sequence control
//   of its transmitter is a duplicate and dropped. Data from a station that
//   is not associated is answered by a deauthentication (reason 7) and
//   dropped. With WEP on, a protected frame is opened with the key its
//   key-id byte names (ICV wrong: dropped, counted) and an unprotected one
//   is dropped; fragments are reassembled per transmitter. The MSDU (ToDS:
//   destination Address3, source Address2) goes: to the AP itself when it
//   is a vendor information request (answered as the vendor responder
//   answers, from the AP: FromDS, Address2 and Address3 the BSSID); to an
//   associated station (FromDS, Address1 = it, Address3 = the source); to
//   every station and the wired side when it is a group address; else to
//   the wired side.
// - The wired side: an MSDU whose body starts with an RFC 1042 or bridge
//   tunnel SNAP header becomes an Ethernet II frame for the wired host;
//   what the host answers comes back, after wired_delay_us, as FromDS data
//   to its destination with an RFC 1042 header (bridge tunnel for IPX and
//   AppleTalk ARP), sealed with the transmit key when WEP is on, in
//   fragments above the fragmentation threshold, each sealed on its own.
// - Range: the out-of-range intervals of its configuration (counted from
//   start()) take it off the medium (Medium::set_in_range); deauthenticate()
//   sends a deauthentication to a station and forgets it.
#pragma once

#include "air/events.h"
#include "air/medium.h"
#include "air/transmitter.h"
#include "air/vendor.h"
#include "air/wiredhost.h"
#include "wire/bytes.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace talsim {

enum class ApAuth : uint8_t { Open, SharedKey };

struct ApConfig {
    wire::MacAddr bssid{};
    std::string ssid;
    uint8_t channel = 1;
    ApAuth auth = ApAuth::Open;
    bool wep = false;                           // data sealed, privacy capability
    std::array<std::vector<uint8_t>, 4> keys{}; // secret key bytes of key ids 0-3
    uint8_t tx_key = 0;
    uint16_t beacon_interval_tu = 100;
    uint16_t frag_threshold = 2346;
    uint8_t rate = 22; // data rate, 500 kb/s units
    uint8_t signal = Medium::kDefaultSignal;
    bool refuse_association = false;
    // [from, to) in microseconds from start().
    std::vector<std::pair<uint64_t, uint64_t>> out_of_range;
    std::optional<WiredHostConfig> wired_host;
    uint32_t wired_delay_us = 100;
    VendorInfo vendor;
};

struct ApStats {
    uint64_t beacons = 0;
    uint64_t probe_responses = 0;
    uint64_t authentications = 0; // successful
    uint64_t associations = 0;    // successful
    uint64_t refused = 0;         // authentication or association refused
    uint64_t data_received = 0;   // MSDUs taken from stations
    uint64_t duplicates = 0;
    uint64_t undecryptable = 0;
    uint64_t relayed = 0; // MSDUs sent on to stations
    uint64_t to_wired = 0;
    uint64_t vendor_answers = 0;
    uint64_t tx_failed = 0; // frames whose retries ran out
};

class AccessPoint : public Radio {
public:
    AccessPoint(Medium &medium, ApConfig config, uint64_t seed);
    ~AccessPoint() override;
    AccessPoint(const AccessPoint &) = delete;
    AccessPoint &operator=(const AccessPoint &) = delete;

    // Starts beaconing and the range schedule.
    void start();
    void deauthenticate(const wire::MacAddr &station, uint16_t reason = 3);
    bool associated(const wire::MacAddr &station) const;

    const ApConfig &config() const { return config_; }
    const ApStats &stats() const { return stats_; }
    WiredHost *wired_host() { return host_.get(); }

    uint8_t radio_channel() const override { return config_.channel; }
    void radio_receive(const AirFrame &frame) override;

private:
    struct Client {
        bool authenticated = false;
        bool associated = false;
        uint16_t aid = 0;
        std::vector<uint8_t> challenge;
        std::optional<uint16_t> last_seq;
        uint16_t partial_seq = 0;
        uint8_t next_fragment = 0;
        std::vector<uint8_t> partial;
    };
    void beacon();
    std::vector<uint8_t> beacon_body() const;
    void receive_mgmt(const AirFrame &frame);
    void receive_auth(const wire::MacAddr &sta, std::span<const uint8_t> body,
                      bool protected_frame);
    void receive_assoc(const wire::MacAddr &sta, std::span<const uint8_t> body, bool reassoc);
    void receive_data(const AirFrame &frame);
    void deliver_msdu(const wire::MacAddr &da, const wire::MacAddr &sa, std::vector<uint8_t> body);
    void to_wired(const wire::MacAddr &da, const wire::MacAddr &sa, std::span<const uint8_t> body);
    void send_mgmt(uint8_t subtype, const wire::MacAddr &da, const std::vector<uint8_t> &body);
    void send_data(const wire::MacAddr &da, const wire::MacAddr &sa, std::span<const uint8_t> body);
    uint16_t next_sequence();

    Medium &medium_;
    ApConfig config_;
    EventScope events_;
    std::mt19937_64 rng_;
    Transmitter tx_;
    AirSink *sink_;
    std::unique_ptr<WiredHost> host_;
    std::map<wire::MacAddr, Client> clients_;
    uint16_t sequence_ = 0;
    uint16_t next_aid_ = 1;
    uint32_t iv_;
    ApStats stats_;
};

} // namespace talsim
