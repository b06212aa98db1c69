// Transmit path. TalSend runs at dispatch level under the wrapper's
// serialization and holds Lock for its whole run; SetupNextSend and
// sendTXFrame run with Lock held by their caller (TalSend or the event
// loop). The card has one transmit buffer: one frame is in flight at a time.
#include "datapath/talsend.h"

#include "mac/talregs.h"
#include "mac/talutil.h"
#include "wep/talwep.h"

// ---- The card's transmit frame (byte offsets) ----
#define TX_OFF_CONTROL 0x00 // control block, 14 bytes, left zero
#define TX_OFF_80211 0x0E   // 802.11 header, 32 bytes, left zero (DataLen too)
#define TX_OFF_DEST 0x2E    // 802.3 destination
#define TX_OFF_SRC 0x34     // 802.3 source
#define TX_OFF_LENGTH 0x3A  // 802.3 length, big-endian
#define TX_OFF_DATA 0x3C    // body
#define TX_HEADER_BYTES 60  // everything before the body
#define TX_CLEARED_BYTES 68 // headers and the first 8 body bytes

#define ETH_OFF_TYPE 12
#define ETH_MAX_LENGTH_FIELD 1500 // type/length values up to this are lengths
#define ENCAP_LEN 6

#define ETHERTYPE_IPX 0x8137
#define ETHERTYPE_AARP 0x80F3

// Encapsulation headers: RFC 1042 (named after 802.1H for history), the
// 802.1H bridge tunnel, and the vendor header whose first 6 bytes are used.
const UCHAR SNAP802_1H[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
const UCHAR BridgeTunnel[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0xF8};
const UCHAR SNAP_QUENLIX[8] = {0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39, 0x81, 0xAE};

static VOID talCopy(PUCHAR dst, const UCHAR *src, ULONG n) {
    for (ULONG i = 0; i < n; i++)
        dst[i] = src[i];
}

// Length of a packet as its buffer chain says, bounded by Limit + 1 so
// that a hostile chain cannot make the walk long.
static ULONG talPacketLength(PNDIS_PACKET Packet, ULONG Limit) {
    ULONG Total = 0;
    PNDIS_BUFFER Buffer = Packet->Private.Head;
    while (Buffer != NULL && Total <= Limit) {
        PVOID Va;
        UINT Len;
        NdisQueryBuffer(Buffer, &Va, &Len);
        Total += Len;
        NdisGetNextBuffer(Buffer, &Buffer);
    }
    return Total;
}

// Gathers the packet's buffers, in chain order, into SendTempBuffer.
static USHORT talGatherPacket(TAL_ADAPTER *Adapter, PNDIS_PACKET Packet) {
    ULONG Total = 0;
    PNDIS_BUFFER Buffer = Packet->Private.Head;
    while (Buffer != NULL) {
        PVOID Va;
        UINT Len;
        NdisQueryBuffer(Buffer, &Va, &Len);
        if (Len > TAL_SEND_TEMP_SIZE - Total)
            Len = TAL_SEND_TEMP_SIZE - Total; // TalSend refused longer packets
        talCopy(Adapter->SendTempBuffer + Total, (const UCHAR *)Va, Len);
        Total += Len;
        NdisGetNextBuffer(Buffer, &Buffer);
    }
    return (USHORT)Total;
}

static VOID talEnqueueTxPacket(TAL_ADAPTER *Adapter, PNDIS_PACKET Packet) {
    Adapter->NumPacketsQueued++;
    TAL_RESERVED_FROM_PACKET(Packet)->Next = NULL;
    if (Adapter->FirstTxQueue == NULL)
        Adapter->FirstTxQueue = Packet;
    else
        TAL_RESERVED_FROM_PACKET(Adapter->LastTxQueue)->Next = Packet;
    Adapter->LastTxQueue = Packet;
}

PNDIS_PACKET talDequeueTxPacket(TAL_ADAPTER *Adapter) {
    PNDIS_PACKET Packet = Adapter->FirstTxQueue;
    if (Packet == NULL || Adapter->NumPacketsQueued == 0)
        return NULL;
    Adapter->NumPacketsQueued--;
    Adapter->FirstTxQueue = TAL_RESERVED_FROM_PACKET(Packet)->Next;
    if (Adapter->FirstTxQueue == NULL)
        Adapter->LastTxQueue = NULL;
    return Packet;
}

VOID talServeAllocateEvent(TAL_ADAPTER *Adapter) {
    Adapter->InterruptStatus &= (USHORT)~TAL_EV_ALLOC;
    issueEventACK(Adapter, TAL_EV_ALLOC);
    Adapter->PacketMonitor.TxPacketCounter++;
    if (Adapter->txPacket != NULL) {
        PNDIS_PACKET Done = Adapter->txPacket;
        NdisReleaseSpinLock(&Adapter->Lock);
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Done, NDIS_STATUS_SUCCESS);
        NdisAcquireSpinLock(&Adapter->Lock);
    }
    Adapter->reclaimStatus = 1;
    Adapter->txPacket = NULL;
    if (Adapter->NumPacketsQueued > 0)
        SetupNextSend(Adapter);
}

VOID talFailAllPackets(TAL_ADAPTER *Adapter) {
    PNDIS_PACKET Packet = Adapter->txPacket;
    Adapter->txPacket = NULL;
    // The frame in the card fails before the queued ones.
    if (Packet == NULL)
        Packet = talDequeueTxPacket(Adapter);
    while (Packet != NULL) {
        NdisReleaseSpinLock(&Adapter->Lock);
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_FAILURE);
        NdisAcquireSpinLock(&Adapter->Lock);
        Packet = talDequeueTxPacket(Adapter);
    }
    Adapter->FirstTxQueue = NULL;
    Adapter->LastTxQueue = NULL;
    Adapter->NumPacketsQueued = 0;
}

NDIS_STATUS NTAPI TalSend(NDIS_HANDLE MiniportAdapterContext, PNDIS_PACKET Packet, UINT Flags) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)MiniportAdapterContext;
    ULONG Length;
    (VOID) Flags;

    NdisAcquireSpinLock(&Adapter->Lock);
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_NONE);

    Length = talPacketLength(Packet, TAL_MAX_FRAME);
    if (Adapter->sniffer_state == 1) {
        // Monitor mode transmits nothing.
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_FAILURE);
    } else if (Length < TAL_ETH_HEADER || Length > TAL_MAX_FRAME) {
        // Not an Ethernet frame this adapter can carry: it would overrun
        // SendTempBuffer or the frame builder. Refused at once, queued never.
        Adapter->PacketMonitor.TxPacketErrCounter++;
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_FAILURE);
    } else {
        talEnqueueTxPacket(Adapter, Packet);
        if (Adapter->reclaimStatus == 1) {
            SetupNextSend(Adapter);
        } else if (Adapter->PollInDriver == 1) {
            // No interrupt in polling mode: look for the returned buffer
            // here, waiting at most one short stall.
            if (!(talGetIOPortWord(Adapter, TAL_REG_EVSTAT) & TAL_EV_ALLOC))
                KeStallExecutionProcessor(50);
            if (talGetIOPortWord(Adapter, TAL_REG_EVSTAT) & TAL_EV_ALLOC)
                talServeAllocateEvent(Adapter);
        }
    }

    // While a download is open the card stays masked: it has no buffers and
    // only the download requests talk to it.
    if (!Adapter->DownloadOpen)
        talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_RUN);
    NdisReleaseSpinLock(&Adapter->Lock);
    return NDIS_STATUS_PENDING;
}

USHORT SetupNextSend(TAL_ADAPTER *Adapter) {
    PNDIS_PACKET Packet = Adapter->FirstTxQueue;
    USHORT Length;
    USHORT Status;

    if (Packet == NULL || Adapter->NumPacketsQueued == 0) {
        Adapter->reclaimStatus = 1;
        Adapter->NumPacketsQueued = 0;
        return TAL_RESULT_OK;
    }

    Length = talGatherPacket(Adapter, Packet);
    Adapter->txPacket = NULL;
    Adapter->PacketMonitor.TxPacketBytes += Length;

    Status = sendTXFrame(Adapter, Adapter->SendTempBuffer, Length);
    if (Status != TAL_RESULT_OK) {
        // The packet stays at the head; the next send tries it again.
        Adapter->PacketMonitor.TxPacketErrCounter++;
        return Status;
    }
    Adapter->txPacket = Packet;
    talDequeueTxPacket(Adapter);
    return TAL_RESULT_OK;
}

USHORT sendTXFrame(TAL_ADAPTER *Adapter, PUCHAR pBuffer, USHORT Length) {
    PUCHAR Frame = (PUCHAR)Adapter->TxFrameScratch;
    PUCHAR Data = Frame + TX_OFF_DATA;
    USHORT TypeVal = (USHORT)((pBuffer[ETH_OFF_TYPE] << 8) | pBuffer[ETH_OFF_TYPE + 1]);
    BOOLEAN HostWep = (Adapter->WepRequired & 1) && Adapter->EncryptInDriver == 1;
    const UCHAR *Encap;
    USHORT DataLength;
    USHORT Total;
    USHORT Status;

    talMemset(Frame, 0, TX_CLEARED_BYTES);

    if (HostWep) {
        // Every frame counts towards the IV schedule, whatever its type.
        wep_tx_nextiv(Adapter);
        talCopy(Data, Adapter->iv, WEP_IV_HEADER_LEN);
    }

    talCopy(Frame + TX_OFF_DEST, pBuffer, 6);
    talCopy(Frame + TX_OFF_SRC, pBuffer + 6, 6);

    if (Adapter->QuenlixOUI != 0)
        Encap = SNAP_QUENLIX;
    else if (TypeVal == ETHERTYPE_IPX || TypeVal == ETHERTYPE_AARP)
        Encap = BridgeTunnel;
    else
        Encap = SNAP802_1H;

    if (TypeVal > ETH_MAX_LENGTH_FIELD) {
        // EtherType frame: encapsulation header, then type and payload.
        USHORT Body = HostWep ? WEP_IV_HEADER_LEN : 0;
        talCopy(Data + Body, Encap, ENCAP_LEN);
        talCopy(Data + Body + ENCAP_LEN, pBuffer + ETH_OFF_TYPE, (ULONG)(Length - ETH_OFF_TYPE));
        DataLength = HostWep ? (USHORT)(Length + 2) : (USHORT)(Length - 6);
    } else if (!HostWep) {
        // Length frame: goes as it is, with its own length field.
        talCopy(Frame + TX_OFF_DEST, pBuffer, Length);
        DataLength = (USHORT)(Length - TAL_ETH_HEADER);
    } else {
        talCopy(Data + WEP_IV_HEADER_LEN, pBuffer + TAL_ETH_HEADER,
                (ULONG)(Length - TAL_ETH_HEADER));
        DataLength = (USHORT)(Length - 6);
    }

    if (TypeVal > ETH_MAX_LENGTH_FIELD || HostWep) {
        Frame[TX_OFF_LENGTH] = (UCHAR)(DataLength >> 8);
        Frame[TX_OFF_LENGTH + 1] = (UCHAR)DataLength;
    }

    if (HostWep)
        wep_tx_seal(Adapter, Data + WEP_IV_HEADER_LEN,
                    (USHORT)(DataLength - WEP_IV_HEADER_LEN - WEP_ICV_LEN));

    Total = (USHORT)(DataLength + TX_HEADER_BYTES);
    if (Total & 1)
        Frame[Total] = 0; // the pad byte of the last word
    Status = putFrame1(Adapter, Adapter->FIDValue, Adapter->TxFrameScratch, 0,
                       (USHORT)((Total + 1) / 2));
    if (Status != TAL_RESULT_OK)
        return Status;

    Status = issueCmd1(Adapter, TAL_CMD_TRANSMIT_RECLAIM, Adapter->FIDValue);
    if (Status == TAL_RESULT_OK)
        Adapter->reclaimStatus = 0;
    return Status;
}
