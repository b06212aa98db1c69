// Halt, reset and shutdown. All three run under the wrapper's serialization
// of the miniport's handlers: no send, request or event loop of this
// adapter runs meanwhile, which is why the transmit queue is drained here
// without Lock. The shutdown handler may run where the driver should call
// the wrapper as little as it can.
#include "driver/talpower.h"

#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"

#define TAL_LINK_NONE 4
#define TAL_HALT_WAIT_STALL_US 10

// Completes every queued packet with failure, in queue order; no lock.
static VOID talDrainQueue(TAL_ADAPTER *Adapter) {
    PNDIS_PACKET Packet;
    while ((Packet = talDequeueTxPacket(Adapter)) != NULL)
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_FAILURE);
    Adapter->FirstTxQueue = NULL;
    Adapter->LastTxQueue = NULL;
    Adapter->NumPacketsQueued = 0;
}

static VOID talCancelPollingTimers(TAL_ADAPTER *Adapter) {
    BOOLEAN Cancelled;
    for (ULONG i = 0; i < TAL_NUM_TIMERS; i++)
        NdisMCancelTimer(&Adapter->TalTimer[i], &Cancelled);
}

NDIS_STATUS NTAPI TalReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext) {
    (VOID) AddressingReset; // the wrapper's own value stands
    (VOID) MiniportAdapterContext;
    return NDIS_STATUS_SUCCESS;
}

VOID NTAPI TalShutdownHandler(PVOID MiniportAdapterContext) {
    CardShutdown((TAL_ADAPTER *)MiniportAdapterContext);
}

VOID CardShutdown(TAL_ADAPTER *Adapter) {
    Adapter->ShutDown = 1;
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_NONE);
    issueEventACK(Adapter, TAL_EV_ALL);
    Disable(Adapter);
    Initialize(Adapter);
    Adapter->reclaimStatus = 0;
    talDrainQueue(Adapter);
    // The packet whose frame was in the card stays referenced: a later
    // halt completes it (no further call of the wrapper here for it).
    NdisZeroMemory(&Adapter->PacketMonitor, sizeof(Adapter->PacketMonitor));
    Adapter->LinkStatus = TAL_LINK_NONE;
    Adapter->LinkIsActive = 1;
    NdisMIndicateStatus(Adapter->MiniportAdapterHandle, NDIS_STATUS_MEDIA_DISCONNECT, NULL, 0);
    NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
    if (Adapter->PollInDriver == 1)
        talCancelPollingTimers(Adapter);
}

VOID NTAPI TalHalt(NDIS_HANDLE MiniportAdapterContext) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)MiniportAdapterContext;
    NDIS_HANDLE Handle = Adapter->MiniportAdapterHandle;

    // No polling run may start on a record about to be freed, and one
    // already running finishes before halt touches the card or the packets.
    NdisAcquireSpinLock(&Adapter->Lock);
    Adapter->Halting = 1;
    NdisReleaseSpinLock(&Adapter->Lock);
    if (Adapter->PollInDriver == 1)
        for (ULONG i = 0; Adapter->TimerCallbacksRunning != 0 && i < TAL_HALT_WAIT_POLLS; i++)
            KeStallExecutionProcessor(TAL_HALT_WAIT_STALL_US);

    // The frame in the card fails first, then the queue in its order.
    if (Adapter->txPacket != NULL) {
        PNDIS_PACKET Packet = Adapter->txPacket;
        Adapter->txPacket = NULL;
        NdisMSendComplete(Handle, Packet, NDIS_STATUS_FAILURE);
    }
    talDrainQueue(Adapter);

    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_NONE);
    issueEventACK(Adapter, TAL_EV_ALL);
    issueCmd0(Adapter, TAL_CMD_DISABLE);

    NdisMDeregisterAdapterShutdownHandler(Handle);
    if (Adapter->PollInDriver == 1) {
        talCancelPollingTimers(Adapter);
    } else if (Adapter->PollInDriver == 0) {
        NdisMDeregisterInterrupt(&Adapter->Interrupt);
    }
    NdisMDeregisterIoPortRange(Handle, Adapter->IoBaseAddr, TAL_PORT_COUNT,
                               (PVOID)(ULONG_PTR)Adapter->IoBaseAddrR);
    NdisFreeMemory(Adapter, sizeof(TAL_ADAPTER), 0);
}
