// What a configuration utility does with an adapter's requests, step by
// step, for the shell and the demo: a survey (start, continue, the scan
// results once the card has scanned, end, the way back to the network),
// the access point's information (ask, then read the answer), the card's
// counters (an inquiry, then its answer), a firmware download block by
// block with the error flag read after each, and time passing with the
// media indications shown as they come.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "driver/taloids.h"
#include "fwimage.h"
#include "oids.h"
#include "session.h"

namespace talsim {

class Utility {
public:
    // Media indications are written to `events` as time passes (none: not
    // shown).
    explicit Utility(Session &session, std::ostream *events = nullptr)
        : session_(session), events_(events) {}

    // Each step answers true, or false with error() saying which request
    // failed and the NDIS status, or what the card refused.
    bool query(NDIS_OID oid, Bytes &answer);
    bool set(NDIS_OID oid, const Bytes &input);
    // Queries `oid` twice, `wait_us` apart: the first starts a card
    // inquiry whose answer the second reads.
    bool inquire(NDIS_OID oid, uint64_t wait_us, Bytes &answer);

    bool survey(std::vector<Network> &networks);
    bool ap_info(ApInfo &info);
    bool tallies(Bytes &answer) { return inquire(OID_PRIV_TALLIES, 5 * kMs, answer); }
    // `progress` hears the bytes the card has taken after each block.
    bool download(const FirmwareImage &image, const std::function<void(size_t done)> &progress);

    // Runs the clock by `us` (or until the next media connect, with
    // `until_connect`), showing each media indication with the link status
    // the driver reports then. True when it stopped at a connect.
    bool follow_link(uint64_t us, bool until_connect = false);

    const std::string &error() const { return error_; }

private:
    bool fail(std::string what);

    Session &session_;
    std::ostream *events_;
    std::string error_;
};

// `text` with every line indented by `n` blanks.
std::string indented(const std::string &text, size_t n);

// "   1.234 s" on the virtual clock, and "1.234 ms".
std::string seconds_text(uint64_t us);
std::string millis_text(uint64_t us);

} // namespace talsim
