// Interrupt handling: the interrupt service routine, the event loop that
// serves the card's events, the polling timers' function, and masking.
#pragma once

#include "driver/taladapter.h"

// The interrupt service routine (device level, any time): masks the card's
// events and asks for the deferred handler. The interrupt is the card's
// own (registered unshared), so it is always recognized.
VOID NTAPI TalIsr(PBOOLEAN InterruptRecognized, PBOOLEAN QueueMiniportHandleInterrupt,
                  NDIS_HANDLE MiniportAdapterContext);

// The event loop (dispatch level, Lock held throughout): serves the
// pending events in priority order until none is left.
VOID NTAPI TalHandleInterrupt(NDIS_HANDLE MiniportAdapterContext);

// The polling timers' function: one run of the event loop.
VOID NTAPI TalTimerFunc(PVOID SystemSpecific1, PVOID FunctionContext, PVOID SystemSpecific2,
                        PVOID SystemSpecific3);

// Masks every event of the card (interrupt enable register = 0). Not
// registered with the wrapper; the download-begin request calls it.
VOID NTAPI TalDisableInterrupt(NDIS_HANDLE MiniportAdapterContext);

// Polling mode: initializes the 50 timers and starts them 1 ms periodic,
// 20 us apart. Called by the initialize handler when PollInDriver is 1.
VOID talStartPollingTimers(TAL_ADAPTER *Adapter);

// The most events one loop run serves before it stops and leaves the card
// masked (a stuck event, a card that reads all ones).
#define TAL_EVENT_LOOP_PASSES 128
