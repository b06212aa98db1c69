// Receive path. TalReceive runs inside the event loop with Lock held, at
// dispatch level; TalTransferData runs during the receive indication the
// loop makes, on the same thread, and takes no lock. The frame is read
// into RxFrameScratch, opened there when the host decrypts, and built into
// pRxPacket with the encapsulation removed; both belong to the adapter.
#include "datapath/transfer.h"

#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "wep/talwep.h"

#define RX_HEADER_WORDS 30 // control block, 802.11 and 802.3 headers
#define ETH_TYPE_OFFSET 12
#define ETH_MIN_BODY 46 // bodies are padded to this
#define ETH_MAX_BODY (TAL_MAX_FRAME - TAL_ETH_HEADER)
#define ENCAP_HEADER_LEN 8 // LLC/SNAP header with its type bytes
#define ENCAP_TYPE_OFFSET 6
#define CLASSIFY_LEN 6 // LLC and OUI
#define WEP_OVERHEAD (WEP_IV_HEADER_LEN + WEP_ICV_LEN)
#define MONITOR_HEADER_LEN 32 // the 802.11 header with DataLen

const UCHAR SNAP_QUENLIX1[8] = {0xAA, 0xAA, 0x03, 0x02, 0x5C, 0x39, 0x81, 0xAE};

static const UCHAR RxSnapLlc[4] = {0xAA, 0xAA, 0x03, 0x00};
static const UCHAR RxOuiTunnel[2] = {0x00, 0xF8};
static const UCHAR RxOuiRfc1042[2] = {0x00, 0x00};

// The rx_frame layout is the card's: no padding may creep in.
static_assert(sizeof(rx_Control) == 14, "receive control block");
static_assert(sizeof(_802_11_header) == 32, "802.11 header");
static_assert(sizeof(_802_3_header) == 14, "802.3 header");
static_assert(__builtin_offsetof(rx_frame, r_802_11_header) == 0x0E, "802.11 header offset");
static_assert(__builtin_offsetof(rx_frame, r_802_11_header.DataLen) == 0x2C, "DataLen offset");
static_assert(__builtin_offsetof(rx_frame, data) == 0x3C, "body offset");
static_assert(sizeof(rx_frame) == TAL_CARD_FRAME_SIZE, "receive frame size");

static BOOLEAN talSameBytes(const UCHAR *a, const UCHAR *b, ULONG n) {
    for (ULONG i = 0; i < n; i++)
        if (a[i] != b[i])
            return FALSE;
    return TRUE;
}

static VOID talPutBigEndian(PUCHAR p, USHORT v) {
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}

VOID talEndReassembly(TAL_ADAPTER *Adapter) {
    Adapter->reassemblyInProgress = 0;
    Adapter->savePos = 0;
}

// A frame refused: nothing to indicate.
static USHORT talRefuse(USHORT *Length) {
    *Length = 0;
    return TAL_RESULT_TIMEOUT;
}

// A frame that must not reach the protocols (ICV mismatch, too long): it
// counts as a receive error and any partial frame goes with it.
static USHORT talDropFrame(TAL_ADAPTER *Adapter, USHORT *Length) {
    Adapter->PacketMonitor.RxPacketErrCounter++;
    talEndReassembly(Adapter);
    return talRefuse(Length);
}

// Opens a host-decrypted data field in place. On success *Body and
// *DataLength describe the plaintext; FALSE when the field cannot hold an
// IV header and ICV (*Dropped FALSE) or its ICV does not match (TRUE).
static BOOLEAN talOpen(TAL_ADAPTER *Adapter, PUCHAR *Body, USHORT *DataLength, BOOLEAN *Dropped) {
    *Dropped = FALSE;
    if (*DataLength < WEP_OVERHEAD)
        return FALSE;
    if (!wep_rx_open(Adapter, *Body, *DataLength)) {
        *Dropped = TRUE;
        return FALSE;
    }
    *Body += WEP_IV_HEADER_LEN;
    *DataLength = (USHORT)(*DataLength - WEP_OVERHEAD);
    return TRUE;
}

// Monitor mode: the 802.11 header, 14 zero bytes, the body as received.
static USHORT talMonitorRecord(const rx_frame *Frame, USHORT DataLength, PUCHAR pBuffer,
                               USHORT *Length) {
    NdisMoveMemory(pBuffer, &Frame->r_802_11_header, MONITOR_HEADER_LEN);
    NdisZeroMemory(pBuffer + MONITOR_HEADER_LEN, TAL_MONITOR_BODY - MONITOR_HEADER_LEN);
    NdisMoveMemory(pBuffer + TAL_MONITOR_BODY, Frame->data, DataLength);
    *Length = (USHORT)(DataLength + TAL_MONITOR_BODY);
    return TAL_RESULT_OK;
}

// A fragment after the first: appended only when it continues the frame
// being gathered (same transmitter and sequence number, the next fragment
// number). An exact repeat of the last fragment is ignored.
static USHORT talContinuation(TAL_ADAPTER *Adapter, rx_frame *Frame, USHORT DataLength,
                              BOOLEAN HostDecrypt, PUCHAR pBuffer, USHORT *Length) {
    const _802_11_header *Hdr = &Frame->r_802_11_header;
    USHORT Sequence = (USHORT)(Hdr->SequenceControl >> TAL_SEQ_NUMBER_SHIFT);
    UCHAR Fragment = (UCHAR)(Hdr->SequenceControl & TAL_SEQ_FRAGMENT_MASK);
    PUCHAR Body = Frame->data;
    BOOLEAN Dropped;

    if (Adapter->reassemblyInProgress == 0)
        return talRefuse(Length);
    if (!talSameBytes(Hdr->Address2, Adapter->rxFragAddress, 6) ||
        Sequence != Adapter->rxFragSequence) {
        talEndReassembly(Adapter);
        return talRefuse(Length);
    }
    if (Fragment == Adapter->rxFragNumber) {
        *Length = 0; // a retransmission of what is already here
        return TAL_RESULT_OK;
    }
    if (Fragment != Adapter->rxFragNumber + 1) {
        talEndReassembly(Adapter);
        return talRefuse(Length);
    }
    if (HostDecrypt && !talOpen(Adapter, &Body, &DataLength, &Dropped)) {
        if (Dropped)
            return talDropFrame(Adapter, Length);
        // Too short to hold an IV header and ICV: refused, the frame so far
        // kept for a good copy of this fragment.
        return talRefuse(Length);
    }
    if ((ULONG)Adapter->savePos + DataLength > TAL_RX_BUFFER_SIZE) {
        talEndReassembly(Adapter);
        return talRefuse(Length);
    }
    NdisMoveMemory(pBuffer + Adapter->savePos, Body, DataLength);
    Adapter->rxFragNumber = Fragment;
    if (Hdr->FrameControl & TAL_FC_MORE_FRAGMENTS) {
        Adapter->savePos = (USHORT)(Adapter->savePos + DataLength);
        *Length = 0;
        return TAL_RESULT_OK;
    }

    // The last fragment: the whole frame is here. Not padded.
    USHORT Total = (USHORT)(Adapter->savePos + DataLength - TAL_ETH_HEADER);
    BOOLEAN LengthField = Adapter->rxFragLengthField;
    talEndReassembly(Adapter);
    if (Total > ETH_MAX_BODY)
        return talDropFrame(Adapter, Length);
    if (LengthField)
        talPutBigEndian(pBuffer + ETH_TYPE_OFFSET, Total);
    *Length = Total;
    return TAL_RESULT_OK;
}

USHORT TalReceive(TAL_ADAPTER *Adapter, PUCHAR pBuffer, USHORT *Length) {
    rx_frame *Frame = (rx_frame *)(PVOID)Adapter->RxFrameScratch;
    const _802_11_header *Hdr = &Frame->r_802_11_header;
    BOOLEAN HostDecrypt = (Adapter->WepRequired & 1) && Adapter->DecryptInDriver == 1;
    BOOLEAN Reassembly = Adapter->WepRequired != 0 && Adapter->DecryptInDriver != 0;
    USHORT Fid, DataLength, Status, Result;
    PUCHAR Body;
    BOOLEAN Dropped, Removed;

    *Length = 0;
    Fid = talGetIOPortWord(Adapter, TAL_REG_RXFID);

    // The header first, for the body length; then the whole frame.
    Result = getFrame0(Adapter, Fid, Adapter->RxFrameScratch, 0, RX_HEADER_WORDS);
    if (Result != TAL_RESULT_OK)
        return Result;
    DataLength = Hdr->DataLen;
    if (DataLength > TAL_MAX_BODY)
        DataLength = 0;
    if (DataLength == 0)
        return talRefuse(Length);
    Result = getFrame0(Adapter, Fid, Adapter->RxFrameScratch, 0,
                       (USHORT)(RX_HEADER_WORDS + (DataLength + 1) / 2));
    if (Result != TAL_RESULT_OK)
        return Result;

    if (Adapter->sniffer_state == 1)
        return talMonitorRecord(Frame, DataLength, pBuffer, Length);

    if ((Hdr->SequenceControl & TAL_SEQ_FRAGMENT_MASK) != 0 && Reassembly)
        return talContinuation(Adapter, Frame, DataLength, HostDecrypt, pBuffer, Length);

    // A whole frame or a first fragment: whatever was gathered is dropped.
    talEndReassembly(Adapter);
    NdisMoveMemory(pBuffer, Frame->r_802_3_header.DestAddr, 6);
    NdisMoveMemory(pBuffer + 6, Frame->r_802_3_header.SrcAddr, 6);
    pBuffer[ETH_TYPE_OFFSET] = Frame->r_802_3_header.Length[0];
    pBuffer[ETH_TYPE_OFFSET + 1] = Frame->r_802_3_header.Length[1];
    Status = Frame->r_rx_control.Status;
    Body = Frame->data;

    if (HostDecrypt) {
        if (!talOpen(Adapter, &Body, &DataLength, &Dropped))
            return Dropped ? talDropFrame(Adapter, Length) : talRefuse(Length);
        talPutBigEndian(pBuffer + ETH_TYPE_OFFSET, DataLength);
        // The card saw only ciphertext: classify the plaintext. A body
        // too short for the header is not classified.
        if (DataLength >= CLASSIFY_LEN && talSameBytes(Body, RxSnapLlc, 4)) {
            if (talSameBytes(Body + 4, RxOuiTunnel, 2))
                Status = RX_STATUS_TUNNEL;
            else if (talSameBytes(Body + 4, RxOuiRfc1042, 2))
                Status = RX_STATUS_RFC1042;
        }
    }

    if (DataLength >= ENCAP_HEADER_LEN && talSameBytes(Body, SNAP_QUENLIX1, ENCAP_HEADER_LEN)) {
        // The access point's answer to the vendor request: consumed here.
        QuenlixOUI_Mgmt(Adapter, Body + ENCAP_HEADER_LEN, (USHORT)(DataLength - ENCAP_HEADER_LEN));
        return TAL_RESULT_OK;
    }

    // IPX and AARP travel in the bridge tunnel; under an RFC 1042 header
    // they came from an 802.2 SNAP frame, which goes up whole.
    if (Status & RX_STATUS_TUNNEL) {
        Removed = TRUE;
    } else if (Status & RX_STATUS_RFC1042) {
        USHORT Type = DataLength >= ENCAP_HEADER_LEN
                          ? (USHORT)((Body[ENCAP_TYPE_OFFSET] << 8) | Body[ENCAP_TYPE_OFFSET + 1])
                          : 0;
        Removed = Type != 0x8137 && Type != 0x80F3;
    } else {
        Removed = FALSE;
    }
    if (Removed) {
        if (DataLength < ENCAP_HEADER_LEN)
            return talRefuse(Length);
        pBuffer[ETH_TYPE_OFFSET] = Body[ENCAP_TYPE_OFFSET];
        pBuffer[ETH_TYPE_OFFSET + 1] = Body[ENCAP_TYPE_OFFSET + 1];
        Body += ENCAP_HEADER_LEN;
        DataLength = (USHORT)(DataLength - ENCAP_HEADER_LEN);
    }

    if ((Hdr->FrameControl & TAL_FC_MORE_FRAGMENTS) && Reassembly) {
        NdisMoveMemory(pBuffer + TAL_ETH_HEADER, Body, DataLength);
        Adapter->reassemblyInProgress = 1;
        Adapter->savePos = (USHORT)(DataLength + TAL_ETH_HEADER);
        NdisMoveMemory(Adapter->rxFragAddress, Hdr->Address2, 6);
        Adapter->rxFragSequence = (USHORT)(Hdr->SequenceControl >> TAL_SEQ_NUMBER_SHIFT);
        Adapter->rxFragNumber = 0;
        Adapter->rxFragLengthField = Removed ? 0 : 1;
        return TAL_RESULT_OK;
    }

    // More than the protocols were told a frame can hold.
    if (DataLength > ETH_MAX_BODY)
        return talDropFrame(Adapter, Length);
    NdisMoveMemory(pBuffer + TAL_ETH_HEADER, Body, DataLength);
    if (DataLength < ETH_MIN_BODY) {
        NdisZeroMemory(pBuffer + TAL_ETH_HEADER + DataLength, ETH_MIN_BODY - DataLength);
        DataLength = ETH_MIN_BODY;
    }
    *Length = DataLength;
    return TAL_RESULT_OK;
}

NDIS_STATUS NTAPI TalTransferData(PNDIS_PACKET Packet, PUINT BytesTransferred,
                                  NDIS_HANDLE MiniportAdapterContext,
                                  NDIS_HANDLE MiniportReceiveContext, UINT ByteOffset,
                                  UINT BytesToTransfer) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)MiniportAdapterContext;
    ULONG Body = Adapter->PacketLength > TAL_ETH_HEADER
                     ? (ULONG)(Adapter->PacketLength - TAL_ETH_HEADER)
                     : 0;
    ULONG ToCopy, Copied = 0;
    const UCHAR *Source;
    PNDIS_BUFFER Buffer = Packet->Private.Head;
    (VOID) MiniportReceiveContext; // the frame is always the adapter's current one

    // An offset at or past the frame's end copies nothing.
    if (ByteOffset >= Body) {
        *BytesTransferred = 0;
        return NDIS_STATUS_SUCCESS;
    }
    ToCopy = Body - ByteOffset;
    if (BytesToTransfer < ToCopy)
        ToCopy = BytesToTransfer;
    Source = Adapter->PacketRecv + TAL_ETH_HEADER + ByteOffset;

    while (Copied < ToCopy) {
        PVOID Va;
        UINT Len;
        if (Buffer == NULL) {
            *BytesTransferred = Copied;
            return NDIS_STATUS_FAILURE;
        }
        NdisQueryBuffer(Buffer, &Va, &Len);
        if (Len > ToCopy - Copied)
            Len = ToCopy - Copied;
        NdisMoveMemory(Va, Source + Copied, Len);
        Copied += Len;
        NdisGetNextBuffer(Buffer, &Buffer);
    }
    *BytesTransferred = Copied;
    return NDIS_STATUS_SUCCESS;
}
