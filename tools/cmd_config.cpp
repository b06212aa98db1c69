// talsim config FILE.reg: the configuration pass of the initialize handler,
// shown as the adapter record's settings.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "driver/talmain.h"
#include "host.h"
#include "ndisnames.h"
#include "talsim.h"

namespace talsim {

namespace {

std::string bytes_text(const UCHAR *p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; i++) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

std::string quoted(const UCHAR *p, size_t n) {
    std::string s = "\"";
    for (size_t i = 0; i < n; i++) {
        char c = (char)p[i];
        if (p[i] >= 0x20 && p[i] < 0x7F) {
            s += c;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", p[i]);
            s += buf;
        }
    }
    return s + "\"";
}

void row(const char *field, const char *keyword, const std::string &value) {
    std::printf("  %-24s %-20s %s\n", field, keyword, value.c_str());
}

std::string num(unsigned long v) {
    return std::to_string(v);
}

std::string hexnum(unsigned long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%lX", v);
    return buf;
}

} // namespace

int cmd_config(const ConfigOptions &o) {
    auto cfg = load_adapter_file(o.reg);
    if (!cfg)
        return kExitUsage;
    // The configuration pass alone, as the initialize handler runs it.
    talhost::Host host;
    NDIS_HANDLE handle = host.add_adapter(std::move(*cfg));
    auto record = std::make_unique<TAL_ADAPTER>();
    TalInitAdapterRecord(record.get(), handle);
    NDIS_STATUS status = TalReadConfiguration(record.get(), host.config_context(handle));
    if (status != NDIS_STATUS_SUCCESS) {
        note("config", "the driver refuses the configuration of " +
                           talhost::printable(o.reg, std::string::npos) + ": " +
                           talhost::ndis_status_text(status));
        return kExitFailed;
    }
    const TAL_ADAPTER *a = record.get();

    std::printf("Adapter configuration from %s\n\n",
                talhost::printable(o.reg, std::string::npos).c_str());
    std::printf("  %-24s %-20s %s\n", "Setting", "Keyword", "Value");
    row("IoBaseAddr", "IoBaseAddress", hexnum(a->IoBaseAddr));
    row("InterruptNumber", "InterruptNumber", num(a->InterruptNumber));
    row("NetworkMode", "NetworkMode",
        num(a->NetworkMode) + (a->NetworkMode == 1 ? " (infrastructure)" : ""));
    row("Desired_ESSID", "ESSID",
        quoted(a->Desired_ESSID, a->Desired_ESSID_Length) + " (" + num(a->Desired_ESSID_Length) +
            " bytes)");
    row("StationName", "StationName",
        quoted(a->StationName, a->StationNameLength) + " (" + num(a->StationNameLength) +
            " bytes)");
    row("APDensity", "APDensity", num(a->APDensity));
    row("Channel", "Channel", num(a->Channel));
    row("TransmitRate", "TransmitRate", num(a->TransmitRate));
    row("Threshold", "MediumReservation", num(a->Threshold));
    row("PSModeValue", "PSMode", num(a->PSModeValue));
    row("PSLevel", "PSLevel", num(a->PSLevel));
    const char *wep = a->WepRequired == 0   ? " (off)"
                      : a->WepRequired == 3 ? " (four 40-bit keys)"
                      : a->WepRequired == 7 ? " (one 104-bit key)"
                                            : "";
    row("WepRequired", "WepReq", num(a->WepRequired) + wep);
    row("WepDefaultKeyId", "DefaultKeyId", num(a->WepDefaultKeyId));
    row("WepDefaultKeys", "DefaultKeys", quoted(a->WepDefaultKeys, sizeof a->WepDefaultKeys));
    if (a->WepRequired == 7) {
        row("WepDefaultKey0", "", bytes_text(a->WepDefaultKey0, 13));
    } else {
        const UCHAR *keys[4] = {a->WepDefaultKey0, a->WepDefaultKey1, a->WepDefaultKey2,
                                a->WepDefaultKey3};
        for (int i = 0; i < 4; i++) {
            std::string name = "WepDefaultKey" + std::to_string(i);
            row(name.c_str(), "", bytes_text(keys[i], 5));
        }
    }
    row("DecryptInDriver", "DecryptInDriver", num(a->DecryptInDriver));
    row("EncryptInDriver", "EncryptInDriver", num(a->EncryptInDriver));
    row("WEPIVReuse", "WEPFactor", num(a->WEPIVReuse));
    row("ShortPreamble", "ShortPreamble", num(a->ShortPreamble));
    row("AuthenticationType", "AuthenticationType", num(a->AuthenticationType));
    row("FragThresh", "FragThresh", num(a->FragThresh));
    row("PollInDriver", "PollInDriver",
        num(a->PollInDriver) + (a->PollInDriver == 1 ? " (polling timers)" : " (interrupt)"));
    static const UCHAR zero[6] = {};
    bool card_address = std::memcmp(a->CurrentNetworkAddress, zero, 6) == 0;
    row("CurrentNetworkAddress", "NetworkAddress",
        card_address ? std::string("(the card's own address)")
                     : bytes_text(a->CurrentNetworkAddress, 6));
    row("ivCountMax", "IVCount", num(a->ivCountMax));
    row("VendorDescription", "VendorDesc",
        quoted(a->VendorDescription, a->VendorDescriptionLength) + " (length " +
            num(a->VendorDescriptionLength) + ")");
    row("MaxLookAhead", "", num(a->MaxLookAhead));
    row("MaxMulticastList", "", num(a->MaxMulticastList));
    return kExitOk;
}

} // namespace talsim
