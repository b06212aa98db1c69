// Interrupt handling: masking the card's events.
#pragma once

#include "driver/taladapter.h"

// Masks every event of the card (interrupt enable register = 0). Not
// registered with the wrapper; the download-begin request calls it.
VOID NTAPI TalDisableInterrupt(NDIS_HANDLE MiniportAdapterContext);
