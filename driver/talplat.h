// The driver's one view of its platform: the NDIS 3.0 wrapper and the HAL.
// On the host this is our own stand-in; on the NT target nt/'s wrapper over
// the real DDK headers. Nothing else of the platform is visible here.
#pragma once

#if defined(TAL_NT_TARGET)
#include "ntndis.h"
#else
#include "hostndis.h"
#endif

// The driver's handlers use the wrapper's calling convention.
#ifndef NTAPI
#define NTAPI
#endif
