// Halt, reset and shutdown: the handlers that end or interrupt an
// adapter's life.
#pragma once

#include "driver/taladapter.h"

// Takes the adapter down for good: every packet the driver holds fails,
// the card is quieted and disabled, every registration is undone and the
// record is freed. Passive level, serialized with every other handler.
VOID NTAPI TalHalt(NDIS_HANDLE MiniportAdapterContext);

// Reports success and does nothing: the card is reset only through
// cardReset, by the set handler and the card management steps.
NDIS_STATUS NTAPI TalReset(PBOOLEAN AddressingReset, NDIS_HANDLE MiniportAdapterContext);

// The system goes down: the card is quieted and the link reported down;
// nothing is released.
VOID NTAPI TalShutdownHandler(PVOID MiniportAdapterContext);
VOID CardShutdown(TAL_ADAPTER *Adapter);

// How long halt waits for a polling timer callback still running before
// it frees the record: polls of 10 us.
#define TAL_HALT_WAIT_POLLS 100000
