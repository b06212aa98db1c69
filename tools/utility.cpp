#include "utility.h"

#include <cstdio>
#include <ostream>

#include "ndisnames.h"

namespace talsim {

namespace {

constexpr uint64_t kSurveyScanUs = 500 * kMs; // every channel of the list, 10 ms each
constexpr uint64_t kInquiryUs = 5 * kMs;      // an inquiry's answer reaches the driver
constexpr uint64_t kApAnswerUs = 50 * kMs;
constexpr uint64_t kRejoinUs = 2000 * kMs;

std::string hex_address(uint32_t a) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", a);
    return buf;
}

} // namespace

std::string indented(const std::string &text, size_t n) {
    std::string out, pad(n, ' ');
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        out += pad + text.substr(from, end - from) + "\n";
        from = end + 1;
    }
    return out;
}

std::string seconds_text(uint64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%8.3f s", (double)us / 1e6);
    return buf;
}

std::string millis_text(uint64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f ms", (double)us / 1e3);
    return buf;
}

bool Utility::fail(std::string what) {
    error_ = std::move(what);
    return false;
}

bool Utility::query(NDIS_OID oid, Bytes &answer) {
    talhost::RequestResult r = session_.query(oid, kAnswerRoom);
    if (r.status != NDIS_STATUS_SUCCESS)
        return fail("query " + oid_name(oid) + ": the driver answers " +
                    talhost::ndis_status_text(r.status));
    answer = r.answer();
    return true;
}

bool Utility::set(NDIS_OID oid, const Bytes &input) {
    talhost::RequestResult r = session_.set(oid, input);
    if (r.status != NDIS_STATUS_SUCCESS)
        return fail("set " + oid_name(oid) + ": the driver answers " +
                    talhost::ndis_status_text(r.status));
    return true;
}

bool Utility::inquire(NDIS_OID oid, uint64_t wait_us, Bytes &answer) {
    if (!query(oid, answer))
        return false;
    session_.run_for(wait_us);
    return query(oid, answer);
}

bool Utility::survey(std::vector<Network> &networks) {
    Bytes answer;
    if (!query(OID_PRIV_SITE_SURVEY_START, answer) || !query(OID_PRIV_SITE_SURVEY_CONTINUE, answer))
        return false;
    follow_link(kSurveyScanUs);
    if (!inquire(OID_PRIV_SCAN_RESULTS, kInquiryUs, answer))
        return false;
    networks = parse_scan_results(answer);
    Bytes ignored;
    if (!query(OID_PRIV_SITE_SURVEY_END, ignored))
        return false;
    // The survey's end gives the card its own network back.
    follow_link(kRejoinUs, true);
    return true;
}

bool Utility::ap_info(ApInfo &info) {
    // The first request asks the access point; its answer comes in later.
    Bytes answer;
    if (!inquire(OID_PRIV_AP_INFO, kApAnswerUs, answer))
        return false;
    info = parse_ap_info(answer);
    return true;
}

bool Utility::download(const FirmwareImage &image, const std::function<void(size_t)> &progress) {
    static const NDIS_OID kStep[] = {OID_PRIV_DOWNLOAD_BEGIN, OID_PRIV_DOWNLOAD_HEADER,
                                     OID_PRIV_DOWNLOAD_DATA, OID_PRIV_DOWNLOAD_END};
    size_t done = 0;
    uint32_t address = 0;
    for (const DownloadRequest &r : download_requests(image)) {
        if (r.step == DownloadStep::Header)
            address = (uint32_t)r.bytes[0] << 24 | r.bytes[1] << 16 | r.bytes[2] << 8 | r.bytes[3];
        if (!set(kStep[(int)r.step], r.bytes))
            return false;
        if (r.step != DownloadStep::Data)
            continue;
        // Every step answers success; whether the card took the block
        // shows in the error flag.
        Bytes flag;
        if (!query(OID_PRIV_DOWNLOAD_ERROR, flag))
            return false;
        if (flag.size() != 1 || flag[0]) {
            set(OID_PRIV_DOWNLOAD_END, {});
            return fail("the card refused the block at " + hex_address(address) + " (" +
                        std::to_string(r.bytes.size()) + " bytes)");
        }
        done += r.bytes.size();
        if (progress)
            progress(done);
    }
    return true;
}

bool Utility::follow_link(uint64_t us, bool until_connect) {
    for (uint64_t t = 0; t < us; t += kMs) {
        session_.run_for(std::min(kMs, us - t));
        bool connected = false;
        for (const Session::Media &m : session_.take_media()) {
            connected = connected || m.connected;
            if (!events_)
                continue;
            talhost::RequestResult r = session_.query(OID_PRIV_LINK_STATUS, 4);
            uint32_t link = le32_at(r.answer(), 0);
            *events_ << seconds_text(m.time) << "  media "
                     << (m.connected ? "connect" : "disconnect") << ", link status " << link << " ("
                     << link_status_text(link) << ")\n";
        }
        if (until_connect && connected)
            return true;
    }
    return false;
}

} // namespace talsim
