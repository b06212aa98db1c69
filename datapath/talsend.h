// Transmit path: the send handler, the driver's transmit queue and the
// card's transmit frame.
#pragma once

#include "driver/taladapter.h"

// The queue link kept in a packet's miniport-reserved area.
typedef struct _TAL_RESERVED {
    PNDIS_PACKET Next;
} TAL_RESERVED, *PTAL_RESERVED;

#define TAL_RESERVED_FROM_PACKET(Packet) ((PTAL_RESERVED)(PVOID)((Packet)->MiniportReserved))

// Largest and smallest Ethernet frames the transmit path accepts.
#define TAL_MAX_FRAME 1514
#define TAL_ETH_HEADER 14

// Encapsulation headers (driver-wide constants).
extern const UCHAR SNAP802_1H[6];
extern const UCHAR BridgeTunnel[6];
extern const UCHAR SNAP_QUENLIX[8];

NDIS_STATUS NTAPI TalSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags);
USHORT SetupNextSend(TAL_ADAPTER *Adapter);
USHORT sendTXFrame(TAL_ADAPTER *Adapter, PUCHAR pBuffer, USHORT Length);

// Takes the head packet off the transmit queue (Lock held by the caller,
// or the wrapper's serialization at halt and shutdown); null when empty.
PNDIS_PACKET talDequeueTxPacket(TAL_ADAPTER *Adapter);
