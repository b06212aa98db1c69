// The driver loaded as the system loads it: the host runs DriverEntry,
// which registers the handlers with the wrapper; the wrapper then calls
// them for the adapters it creates (initialize, the interrupt service
// routine, the deferred handler, the timers' function, requests, sends and
// transfers).
#pragma once

#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "driver/talmain.h"
#include "driver/talpower.h"
#include "host.h"
#include "support/miniport.h"

namespace taltest {

inline NDIS_STATUS register_tal_handlers() {
    return (NDIS_STATUS)talhost::Host::current().load_driver(DriverEntry);
}

// Until the halt handler exists: the polling timers an adapter started.
inline void cancel_polling_timers(TAL_ADAPTER *adapter) {
    for (auto &timer : adapter->TalTimer) {
        BOOLEAN cancelled;
        if (timer.Function)
            NdisMCancelTimer(&timer, &cancelled);
    }
}

} // namespace taltest
