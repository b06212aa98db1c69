// Interrupt handling. TalDisableInterrupt touches only the interrupt enable
// register, which no command sequence uses, so it may run at any level.
#include "datapath/interrupt.h"

#include "mac/talregs.h"
#include "mac/talutil.h"

VOID NTAPI TalDisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    talPutIOPortWord((TAL_ADAPTER *)MiniportAdapterContext, TAL_REG_INTEN, TAL_INTEN_NONE);
}
