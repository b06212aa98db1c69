// An adapter as the system runs it, for talsim's subcommands and for their
// tests: the driver loaded through DriverEntry, a card model at the
// adapter's ports (in a radio world, or alone and joined to an access point
// by the card's backend), the wrapper bringing the adapter up from its
// registry settings, and one protocol binding through which everything
// else goes, as an operating system and a configuration utility would
// reach the driver: requests, sends and the frames it indicates.
//
//     talsim::Session s(talsim::default_world());
//     s.load_driver();
//     s.start(config);                      // NDIS_STATUS_SUCCESS: up
//     s.query(OID_PRIV_CHANNEL);            // through the binding
//     s.run_for(500 * 1000);                // virtual time
//     std::string findings = s.halt();      // empty: the verifier is clean
//
// The session's card and world stay reachable (card(), world()) for tests
// that check what the requests did to the card.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "air/capture.h"
#include "air/radioworld.h"
#include "binding.h"
#include "card/card.h"
#include "host.h"
#include "oids.h"
#include "wire/inet.h"

namespace talsim {

// The access point a card without a world is joined to.
inline constexpr std::array<uint8_t, 6> kLoneBssid = {0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};
// Room for any answer of the driver.
inline constexpr ULONG kAnswerRoom = 1024;
inline constexpr uint64_t kMs = 1000;

class Session {
public:
    using Received = talhost::TestBinding::Received;

    // With a world, the card's station firmware scans and joins in it;
    // without one, the card is alone on the air and joined to kLoneBssid.
    explicit Session(std::optional<WorldConfig> world);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Captures, from now on: every frame on the air (radiotap), and the
    // Ethernet frames the binding sends and is indicated. False, with
    // `error` naming the file, when it cannot be created.
    bool capture_air(const std::string &path, std::string &error);
    bool capture_ethernet(const std::string &path, std::string &error);
    // Ends both files; false, with `error` (the file and why, a line each),
    // when one could not be written whole.
    bool close_captures(std::string &error);
    uint64_t air_frames() const { return air_frames_; }
    uint64_t ethernet_frames() const { return eth_ ? eth_->records() : 0; }

    // The system loads the driver: DriverEntry registers its handlers.
    NTSTATUS load_driver();
    // The adapter instance of `config`: a card model at its IoBaseAddress,
    // the wrapper's initialize call, then the binding, open for directed
    // and broadcast frames to the address the adapter reports.
    NDIS_STATUS start(talhost::AdapterConfig config);
    bool up() const { return running_; }

    // Requests through the binding (the adapter must be up).
    talhost::RequestResult query(NDIS_OID oid, ULONG length = kAnswerRoom);
    talhost::RequestResult set(NDIS_OID oid, const Bytes &input);
    // A frame through the wrapper's send path; the status of the send.
    NDIS_STATUS send(const Bytes &frame);

    // Runs the clock by `us`, in steps of 1 ms.
    void run_for(uint64_t us);
    // Runs in steps of 1 ms for at most `us`, showing `take` each frame the
    // binding is indicated, until it answers true; false if none did.
    bool run_until(uint64_t us, const std::function<bool(const Received &)> &take);
    uint64_t now() { return host_.world().now(); }

    // The media indications since the last call: time and connect (true)
    // or disconnect.
    struct Media {
        uint64_t time;
        bool connected;
    };
    std::vector<Media> take_media();
    // The frames indicated since the last call, and the sends completed.
    std::vector<Received> take_frames();
    std::vector<talhost::SendCompletion> take_completions();

    // The station's address, as the adapter reports it.
    const wire::MacAddr &station() const { return station_; }
    // ARP for `target` from `self`: the answer's address, or nothing within
    // `wait_us`.
    std::optional<wire::MacAddr> resolve(const wire::Ipv4Addr &self, const wire::Ipv4Addr &target,
                                         uint64_t wait_us);
    // One ICMP echo: the round trip on the virtual clock, or nothing within
    // `wait_us`.
    std::optional<uint64_t> ping(const wire::MacAddr &to, const wire::Ipv4Addr &self,
                                 const wire::Ipv4Addr &target, uint16_t seq, uint64_t wait_us);

    // The wrapper halts the adapter. Returns what the verifier found (the
    // driver's broken rules, what it kept), empty when all is clean.
    std::string halt();

    talhost::Host &host() { return host_; }
    CardModel &card() { return *card_; }
    RadioWorld *world() { return world_.get(); }
    NDIS_HANDLE handle() const { return handle_; }

private:
    class AirCounter;
    void step(uint64_t us);

    talhost::Host host_;
    std::unique_ptr<RadioWorld> world_;
    std::unique_ptr<CardModel> card_;
    std::unique_ptr<AirCounter> counter_;
    std::unique_ptr<PcapTap> air_;
    std::unique_ptr<PcapFile> eth_;
    NDIS_HANDLE handle_ = nullptr;
    bool mapped_ = false;
    bool running_ = false; // initialized, not yet halted
    std::unique_ptr<talhost::TestBinding> binding_;
    wire::MacAddr station_{};
    uint64_t air_frames_ = 0;
    size_t media_seen_ = 0;
    std::vector<Received> inbox_;
    std::vector<talhost::SendCompletion> completions_;
};

// The adapter's port base as the registry gives it (a number, or a string
// of hexadecimal digits as the wrapper reads one); nothing without one.
std::optional<uint32_t> io_base(const talhost::AdapterConfig &config);

// "192.0.2.1" as an address; nothing for anything else.
std::optional<wire::Ipv4Addr> parse_ipv4(std::string_view text);
std::string ipv4_text(const wire::Ipv4Addr &a);

} // namespace talsim
