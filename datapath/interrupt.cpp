// Interrupt handling. TalIsr runs at device level at any time and touches
// only the interrupt enable register, which no command sequence uses.
// TalHandleInterrupt runs at dispatch level, from the wrapper's deferred
// handler or a polling timer, with the wrapper's miniport lock held; it
// holds Lock for its whole run, releasing it only around send completions.
#include "datapath/interrupt.h"

#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"

#define TAL_TIMER_PERIOD_MS 1
#define TAL_TIMER_START_GAP_US 20
#define TAL_EVSTAT_REMOVED 0xFFFF // no event status reads so: the card is gone

// Builds with assertions check that the wrapper holds its miniport lock at
// every receive indication. The expression texts and line numbers are the
// ones these checks have always reported.
#if DBG
#define TAL_LOCK_TEXT_INDICATE \
    "MINIPORT_LOCK_ACQUIRED((PNDIS_MINIPORT_BLOCK)(Adapter->MiniportAdapterHandle))"
#define TAL_LOCK_TEXT_COMPLETE \
    "MINIPORT_LOCK_ACQUIRED(((PNDIS_MINIPORT_BLOCK)Adapter->MiniportAdapterHandle))"
#define TAL_ASSERT_MINIPORT_LOCK(Adapter, Text, Line)                                \
    do {                                                                             \
        if (!((PNDIS_MINIPORT_BLOCK)(Adapter)->MiniportAdapterHandle)->LockAcquired) \
            RtlAssert((PVOID)(Text), (PVOID) "interrupt", (Line), NULL);             \
    } while (0)
#else
#define TAL_ASSERT_MINIPORT_LOCK(Adapter, Text, Line) \
    do {                                              \
    } while (0)
#endif

// The events the loop serves, first to last: a returned transmit buffer
// before a received frame, so the next send starts at once.
static const USHORT TalEventOrder[] = {TAL_EV_ALLOC, TAL_EV_RX,   TAL_EV_0002, TAL_EV_TXEXC,
                                       TAL_EV_INFO,  TAL_EV_2000, TAL_EV_8000};

VOID NTAPI TalIsr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                  NDIS_HANDLE MiniportAdapterContext) {
    talPutIOPortWord((TAL_ADAPTER *)MiniportAdapterContext, TAL_REG_INTEN, TAL_INTEN_NONE);
    *InterruptRecognized = TRUE;
    *QueueMiniportHandleInterrupt = TRUE;
}

VOID NTAPI TalDisableInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    talPutIOPortWord((TAL_ADAPTER *)MiniportAdapterContext, TAL_REG_INTEN, TAL_INTEN_NONE);
}

// A received frame: read it and hand it to the filter library, which gives
// it to every binding that takes it; the event is acknowledged whatever
// came of the frame.
static VOID talServeReceive(TAL_ADAPTER *Adapter) {
    PETH_FILTER Filter = ((PNDIS_MINIPORT_BLOCK)Adapter->MiniportAdapterHandle)->EthDB;
    USHORT Length = 0;

    if (TalReceive(Adapter, Adapter->pRxPacket, &Length) == TAL_RESULT_OK && Length != 0) {
        Adapter->PacketRecv = Adapter->pRxPacket;
        if (Adapter->sniffer_state != 1) {
            UINT Lookahead = Length < Adapter->MaxLookAhead ? Length : Adapter->MaxLookAhead;
            Adapter->PacketLength = (USHORT)(Length + TAL_ETH_HEADER);
            Adapter->PacketMonitor.RxPacketCounter++;
            Adapter->PacketMonitor.RxPacketBytes += Adapter->PacketLength;
            TAL_ASSERT_MINIPORT_LOCK(Adapter, TAL_LOCK_TEXT_INDICATE, 229);
            EthFilterDprIndicateReceive(Filter, Adapter, (PCHAR)Adapter->PacketRecv,
                                        Adapter->PacketRecv, TAL_ETH_HEADER,
                                        Adapter->PacketRecv + TAL_ETH_HEADER, Lookahead, Length);
            TAL_ASSERT_MINIPORT_LOCK(Adapter, TAL_LOCK_TEXT_COMPLETE, 231);
            EthFilterDprIndicateReceiveComplete(Filter);
        } else {
            // The whole monitor record is the lookahead; its first 14 bytes
            // serve as the header.
            Adapter->PacketLength = Length;
            TAL_ASSERT_MINIPORT_LOCK(Adapter, TAL_LOCK_TEXT_INDICATE, 244);
            EthFilterDprIndicateReceive(Filter, Adapter, (PCHAR)Adapter->PacketRecv,
                                        Adapter->PacketRecv, TAL_ETH_HEADER, Adapter->PacketRecv,
                                        Length, Length);
            TAL_ASSERT_MINIPORT_LOCK(Adapter, TAL_LOCK_TEXT_COMPLETE, 246);
            EthFilterDprIndicateReceiveComplete(Filter);
        }
    }
    Adapter->InterruptStatus &= (USHORT)~TAL_EV_RX;
    issueEventACK(Adapter, TAL_EV_RX);
}

static VOID talServeEvent(TAL_ADAPTER *Adapter, USHORT Event) {
    switch (Event) {
    case TAL_EV_ALLOC:
        talServeAllocateEvent(Adapter);
        return;
    case TAL_EV_RX:
        talServeReceive(Adapter);
        return;
    case TAL_EV_INFO:
        // A frame that could not be read stays announced: the next pass
        // reads it again.
        if (getInfoFrame(Adapter, talGetIOPortWord(Adapter, TAL_REG_INFOFID)) != TAL_RESULT_OK)
            return;
        break;
    case TAL_EV_TXEXC:
        // The packet completes with its allocate event.
        (VOID) talGetIOPortWord(Adapter, TAL_REG_TXCOMPLFID);
        break;
    default:
        break; // acknowledged only
    }
    Adapter->InterruptStatus &= (USHORT)~Event;
    issueEventACK(Adapter, Event);
}

// The first served event pending, or 0.
static USHORT talNextEvent(USHORT Pending) {
    for (ULONG i = 0; i < sizeof(TalEventOrder) / sizeof(TalEventOrder[0]); i++)
        if (Pending & TalEventOrder[i])
            return TalEventOrder[i];
    return 0;
}

// FALSE when the card reads all ones (removed): that reading names no
// event, and kept it would serve sixteen false ones once the card answers.
static BOOLEAN talReadEvents(TAL_ADAPTER *Adapter) {
    USHORT Status = talGetIOPortWord(Adapter, TAL_REG_EVSTAT);
    if (Status == TAL_EVSTAT_REMOVED)
        return FALSE;
    Adapter->InterruptStatus |= Status;
    return TRUE;
}

VOID NTAPI TalHandleInterrupt(NDIS_HANDLE MiniportAdapterContext) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)MiniportAdapterContext;
    BOOLEAN Stopped = FALSE;
    BOOLEAN Retried = FALSE;
    ULONG Passes = 0;

    NdisAcquireSpinLock(&Adapter->Lock);
    BOOLEAN Present = talReadEvents(Adapter);
    for (;;) {
        // A card that reads all ones is gone: nothing more to look at (and a
        // buffer write to it would wait out its whole budget on every run).
        if (!Present) {
            Stopped = TRUE;
            Adapter->EventLoopStops++;
            break;
        }
        // A packet the card would not take stays at the head of the queue
        // with the buffer free: try it again, once a run, without waiting
        // for the next send.
        if (!Retried && Adapter->reclaimStatus == 1 && Adapter->NumPacketsQueued > 0 &&
            Adapter->sniffer_state != 1 && !Adapter->DownloadOpen) {
            Retried = TRUE;
            SetupNextSend(Adapter);
        }
        USHORT Event = talNextEvent(Adapter->InterruptStatus);
        if (Event == 0)
            break;
        // An event that never clears would hold the processor for ever.
        if (++Passes > TAL_EVENT_LOOP_PASSES) {
            Stopped = TRUE;
            Adapter->EventLoopStops++;
            break;
        }
        talServeEvent(Adapter, Event);
        Present = talReadEvents(Adapter);
    }
    // The interrupt service routine masked the card; unmask it, unless a
    // download keeps it masked on purpose, the run stopped (each unmask
    // would raise the line again at once) or a shutdown quieted the card.
    // Polling mode masks nothing.
    if (Adapter->PollInDriver == 0 && !Adapter->DownloadOpen && !Stopped && !Adapter->ShutDown)
        talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_RUN);
    NdisReleaseSpinLock(&Adapter->Lock);
}

VOID NTAPI TalTimerFunc(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                        PVOID SystemSpecific3) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)FunctionContext;
    (VOID) SystemSpecific1;
    (VOID) SystemSpecific2;
    (VOID) SystemSpecific3;
    // A callback that starts once halt began leaves the adapter alone; one
    // that started before is counted, and halt waits for it. Lock orders
    // the count and the flag between processors.
    NdisAcquireSpinLock(&Adapter->Lock);
    if (Adapter->Halting) {
        NdisReleaseSpinLock(&Adapter->Lock);
        return;
    }
    Adapter->TimerCallbacksRunning = Adapter->TimerCallbacksRunning + 1;
    NdisReleaseSpinLock(&Adapter->Lock);
    TalHandleInterrupt(Adapter);
    NdisAcquireSpinLock(&Adapter->Lock);
    Adapter->TimerCallbacksRunning = Adapter->TimerCallbacksRunning - 1;
    NdisReleaseSpinLock(&Adapter->Lock);
}

VOID talStartPollingTimers(TAL_ADAPTER *Adapter) {
    for (ULONG i = 0; i < TAL_NUM_TIMERS; i++)
        NdisMInitializeTimer(&Adapter->TalTimer[i], Adapter->MiniportAdapterHandle, TalTimerFunc,
                             Adapter);
    for (ULONG i = 0; i < TAL_NUM_TIMERS; i++) {
        NdisMSetPeriodicTimer(&Adapter->TalTimer[i], TAL_TIMER_PERIOD_MS);
        KeStallExecutionProcessor(TAL_TIMER_START_GAP_US);
    }
}
