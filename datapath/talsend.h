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
#define TAL_MAX_BODY 2304 // the largest 802.11 frame body

// The 802.11 and 802.3 headers of the card's transmit and receive frames
// (words little-endian, the 802.3 length big-endian).
typedef struct _802_11_header {
    USHORT FrameControl;
    USHORT DurationID;
    UCHAR Address1[6];
    UCHAR Address2[6];
    UCHAR Address3[6];
    USHORT SequenceControl;
    UCHAR Address4[6];
    USHORT DataLen;
} _802_11_header;

typedef struct _802_3_header {
    UCHAR DestAddr[6];
    UCHAR SrcAddr[6];
    UCHAR Length[2];
} _802_3_header;

#define TAL_FC_MORE_FRAGMENTS 0x0400
#define TAL_SEQ_FRAGMENT_MASK 0x000F
#define TAL_SEQ_NUMBER_SHIFT 4

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

// The transmit buffer came back (the allocate event): the packet whose
// frame it held completes with success (the card's transmit outcome is not
// looked at), the event is acknowledged and the next queued packet starts.
// Lock held; released only around the completion.
VOID talServeAllocateEvent(TAL_ADAPTER *Adapter);

// Completes with NDIS_STATUS_FAILURE the packet whose frame is in the card
// and then every queued one, in order; the driver holds none afterwards.
// Lock held by the caller; released around each completion.
VOID talFailAllPackets(TAL_ADAPTER *Adapter);
