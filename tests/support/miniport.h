// Registers a table of miniport handlers with the host the way DriverEntry
// does: the wrapper initialized, the NDIS 3.0 characteristics zeroed, the
// version 3.0 and the handler slots the caller has, the record's size as its
// length. Slots the caller leaves empty stay null, as DriverEntry leaves the
// ones it does not use. No test framework here: talsim may use it too.
#pragma once

#include "hostndis.h"

namespace taltest {

// `handlers` carries the handler slots only; version and reserved fields
// are set here.
inline NDIS_STATUS register_miniport(NDIS30_MINIPORT_CHARACTERISTICS handlers) {
    NDIS_HANDLE wrapper = nullptr;
    NdisInitializeWrapper(&wrapper, nullptr, nullptr, nullptr);
    NDIS30_MINIPORT_CHARACTERISTICS chars = handlers;
    chars.MajorNdisVersion = 3;
    chars.MinorNdisVersion = 0;
    chars.Reserved = 0;
    return NdisMRegisterMiniport(wrapper, &chars, sizeof chars);
}

} // namespace taltest
