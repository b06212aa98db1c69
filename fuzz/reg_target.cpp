#include "reg_target.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "driver/talmain.h"
#include "host.h"
#include "registry.h"

namespace {

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "configuration invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

int tal_fuzz_registry_configuration(const uint8_t *data, size_t size) {
    talhost::ParseError err;
    auto cfg = talhost::parse_reg(std::string_view((const char *)data, size), "fuzz.reg", err);
    if (!cfg) {
        require(err.line >= 1 || size == 0, "a parse error names its line");
        require(!err.what.empty(), "a parse error says what is wrong");
        return 0;
    }

    talhost::Host host;
    NDIS_HANDLE handle = host.add_adapter(std::move(*cfg));
    auto adapter = std::make_unique<TAL_ADAPTER>();
    TalInitAdapterRecord(adapter.get(), handle);
    TalReadConfiguration(adapter.get(), host.config_context(handle));

    const TAL_ADAPTER &a = *adapter;
    require(a.Desired_ESSID_Length <= TAL_ESSID_MAX, "ESSID length within its field");
    require(a.StationNameLength <= TAL_ESSID_MAX, "station name length within its field");
    require(a.VendorDescriptionLength < TAL_VENDOR_DESC_SIZE, "vendor description cut");
    require(std::memchr(a.VendorDescription, 0, TAL_VENDOR_DESC_SIZE) != nullptr,
            "vendor description keeps a zero byte");
    require(a.MaxLookAhead == 1508 && a.MaxMulticastList == 32, "fixed fields untouched");
    require(a.WepDefaultKey0[13] == 0 || a.WepRequired != 7, "104-bit key ends in zero");
    host.check_released();
    require(host.verifier().clean(), "the configuration pass keeps the wrapper's rules");
    return 0;
}
