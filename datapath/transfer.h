// Receive path: the card's receive frame becomes the Ethernet frame (or, in
// monitor mode, the monitor record) the event loop indicates; the transfer
// handler copies the rest of the current frame into a protocol's packet.
#pragma once

#include "datapath/talsend.h"

// The card's receive control block.
typedef struct _rx_Control {
    USHORT Status; // RX_STATUS_TUNNEL, RX_STATUS_RFC1042: how the body starts
    USHORT Reserved1[2];
    UCHAR Signal;
    UCHAR Silence;
    UCHAR RxFlow;
    UCHAR Rate;
    USHORT Reserved2[2];
} rx_Control;

// The card's receive frame, read from offset 0 of the receive FID.
typedef struct _rx_frame {
    rx_Control r_rx_control;
    _802_11_header r_802_11_header;
    _802_3_header r_802_3_header;
    UCHAR data[TAL_MAX_BODY];
} rx_frame;

#define RX_STATUS_RFC1042 0x2000 // body starts with the RFC 1042 header
#define RX_STATUS_TUNNEL 0x4000  // body starts with the 802.1H bridge tunnel header

// The monitor record: the 802.11 header as received (32 bytes, DataLen
// last), 14 zero bytes, then the body.
#define TAL_MONITOR_BODY 46

// The vendor header and type, as a received body starts with them.
extern const UCHAR SNAP_QUENLIX1[8];

// Reads the frame in the receive FID into pBuffer (pRxPacket, at least
// TAL_RX_BUFFER_SIZE bytes). 0 with *Length the body length after the
// 14-byte Ethernet header (monitor mode: the record's length), or 0 with
// *Length 0 when there is nothing to indicate; 0x7F or a path result with
// *Length 0 when the frame is refused. Lock held (the event loop).
USHORT TalReceive(TAL_ADAPTER *Adapter, PUCHAR pBuffer, USHORT *Length);

// Forgets any partial frame (card reset, monitor mode switch).
VOID talEndReassembly(TAL_ADAPTER *Adapter);

// Copies up to BytesToTransfer bytes of the current frame's body, from
// ByteOffset after its 14-byte header, into Packet's buffers. Runs during
// the receive indication, on its thread, without a lock.
NDIS_STATUS NTAPI TalTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                  NDIS_HANDLE MiniportAdapterContext,
                                  NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                  UINT BytesToTransfer);
