// The driver's handlers as DriverEntry will register them, for tests and
// talsim until DriverEntry exists: the wrapper then calls the interrupt
// service routine, the deferred handler, the timers' function and the
// transfer-data handler of adapters that run by themselves.
#pragma once

#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "driver/talmain.h"
#include "driver/talpower.h"
#include "support/miniport.h"

namespace taltest {

inline NDIS_STATUS register_tal_handlers() {
    NDIS30_MINIPORT_CHARACTERISTICS c{};
    c.HaltHandler = TalHalt;
    c.HandleInterruptHandler = TalHandleInterrupt;
    c.InitializeHandler = TalInitialize;
    c.ISRHandler = TalIsr;
    c.ResetHandler = TalReset;
    c.SendHandler = TalSend;
    c.TransferDataHandler = TalTransferData;
    return register_miniport(c);
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
