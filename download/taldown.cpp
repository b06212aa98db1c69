// Firmware download and production data. Everything here runs from the
// request handlers under the wrapper's serialization, so no command
// sequence interleaves with another; waits are busy waits.
#include "download/taldown.h"

#include "datapath/interrupt.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"

#define TAL_AUX_ENABLE_BUSY_BUDGET 100
#define TAL_AUX_DISABLE_BUSY_BUDGET 1000
#define TAL_AUX_READ_BUSY_BUDGET 100
#define TAL_AUX_SWITCH_POLLS 1000
#define TAL_AUX_SWITCH_STALL_US 10
#define TAL_DL_REFUSED TAL_RESULT_TIMEOUT // the block was not sent

// ---- Auxiliary port ----

// Requests the port state State (TAL_CONTROL_AUX_ENABLED or _DISABLED) with
// Request, after the command register is idle, and waits until the control
// register shows it. A port already in that state is left alone.
static USHORT talAuxPortSwitch(TAL_ADAPTER *Adapter, USHORT BusyBudget, USHORT Request,
                               USHORT State) {
    if (waitbusy(Adapter, TAL_REG_COMMAND, BusyBudget) != TAL_RESULT_OK) {
        issueEventACK(Adapter, TAL_EV_CMD);
        return TAL_RESULT_TIMEOUT;
    }
    if ((talGetIOPortWord(Adapter, TAL_REG_CONTROL) & TAL_CONTROL_AUX_MASK) == State)
        return TAL_RESULT_OK;
    talPutIOPortWord(Adapter, TAL_REG_PARAM0, TAL_AUX_KEY0);
    talPutIOPortWord(Adapter, TAL_REG_PARAM1, TAL_AUX_KEY1);
    talPutIOPortWord(Adapter, TAL_REG_PARAM2, TAL_AUX_KEY2);
    talPutIOPortWord(Adapter, TAL_REG_CONTROL, Request);
    for (USHORT i = 0; i < TAL_AUX_SWITCH_POLLS; i++) {
        KeStallExecutionProcessor(TAL_AUX_SWITCH_STALL_US);
        if ((talGetIOPortWord(Adapter, TAL_REG_CONTROL) & TAL_CONTROL_AUX_MASK) == State)
            return TAL_RESULT_OK;
    }
    return TAL_RESULT_TIMEOUT;
}

USHORT CardAuxPortEnable(TAL_ADAPTER *Adapter) {
    return talAuxPortSwitch(Adapter, TAL_AUX_ENABLE_BUSY_BUDGET, TAL_CONTROL_AUX_ENABLE,
                            TAL_CONTROL_AUX_ENABLED);
}

USHORT CardAuxPortDisable(TAL_ADAPTER *Adapter) {
    return talAuxPortSwitch(Adapter, TAL_AUX_DISABLE_BUSY_BUDGET, TAL_CONTROL_AUX_DISABLE,
                            TAL_CONTROL_AUX_DISABLED);
}

// Points the port at an auxiliary address; each data access then moves
// one word and advances it.
static VOID talAuxSeek(TAL_ADAPTER *Adapter, USHORT Page, USHORT Offset) {
    talPutIOPortWord(Adapter, TAL_REG_AUXPAGE, Page);
    talPutIOPortWord(Adapter, TAL_REG_AUXOFFSET, Offset);
}

BOOLEAN getCardAuxPort(TAL_ADAPTER *Adapter, USHORT *dest_p, ULONG addr, USHORT size) {
    if (waitbusy(Adapter, TAL_REG_COMMAND, TAL_AUX_READ_BUSY_BUDGET) != TAL_RESULT_OK) {
        issueEventACK(Adapter, TAL_EV_CMD);
        return FALSE;
    }
    talAuxSeek(Adapter, (USHORT)(addr >> TAL_AUX_PAGE_SHIFT), (USHORT)(addr & TAL_AUX_OFFSET_MASK));
    for (USHORT n = 0; n < size; n++)
        dest_p[n] = talGetIOPortWord(Adapter, TAL_REG_AUXDATA);
    return TRUE;
}

USHORT ReadPDA(TAL_ADAPTER *Adapter) {
    USHORT status = CardAuxPortEnable(Adapter);
    if (status != TAL_RESULT_OK)
        return status;
    if (!getCardAuxPort(Adapter, Adapter->pda, TAL_PDA_ADDRESS, TAL_PDA_WORDS)) {
        // The port is not left open behind a failed read.
        CardAuxPortDisable(Adapter);
        return TAL_RESULT_TIMEOUT;
    }
    return CardAuxPortDisable(Adapter);
}

// ---- Download ----

USHORT Download(TAL_ADAPTER *Adapter, USHORT progMode, ULONG addr, USHORT length) {
    USHORT Cmd = (USHORT)(progMode | TAL_CMD_DOWNLOAD);
    if (progMode == TAL_DLMODE_OPEN)
        return issueCmd3(Adapter, Cmd, (USHORT)addr, (USHORT)(addr >> 16), length);
    return issueCmd0(Adapter, Cmd);
}

// Every step runs even after one failed; downerrcheck tells. totalsize is
// at most TAL_BPW_WORDS (the header step refuses more), so bpw is never
// read past its end.
USHORT SecFwDownload(TAL_ADAPTER *Adapter) {
    USHORT status;
    Adapter->downerrcheck = 0;
    if (!Adapter->dlBufferValid || (ULONG)Adapter->totalsize * 2 > Adapter->dlLength) {
        // It would run past the card's buffer into other card memory.
        Adapter->downerrcheck = 1;
        return TAL_DL_REFUSED;
    }
    talAuxSeek(Adapter, Adapter->dlPage, Adapter->dlOffset);
    if (Download(Adapter, TAL_DLMODE_OPEN, Adapter->oristradr, (USHORT)(Adapter->totalsize * 2)) !=
        TAL_RESULT_OK)
        Adapter->downerrcheck = 1;
    for (USHORT n = 0; n < Adapter->totalsize; n++)
        talPutIOPortWord(Adapter, TAL_REG_AUXDATA,
                         (USHORT)(Adapter->bpw[2 * n] | (Adapter->bpw[2 * n + 1] << 8)));
    status = Download(Adapter, TAL_DLMODE_CLOSE, 0, 0);
    if (status != TAL_RESULT_OK)
        Adapter->downerrcheck = 1;
    return status;
}

// ---- Request steps ----

// True (and *BytesNeeded set) when a request is shorter than the step reads.
static BOOLEAN talTooShort(ULONG Length, ULONG Needed, PULONG BytesNeeded) {
    if (Length >= Needed)
        return FALSE;
    *BytesNeeded = Needed;
    return TRUE;
}

// Initialize releases every buffer of the card: the transmit buffer is
// gone (sends queue until a card reset allocates one) and so is the frame
// in it, whose packet fails. Lock is held while the transmit state changes.
static VOID talInitializeForDownload(TAL_ADAPTER *Adapter) {
    PNDIS_PACKET Packet;
    NdisAcquireSpinLock(&Adapter->Lock);
    if (Initialize(Adapter) != TAL_RESULT_OK)
        Adapter->downerrcheck = 1;
    Adapter->reclaimStatus = 0;
    Packet = Adapter->txPacket;
    Adapter->txPacket = NULL;
    NdisReleaseSpinLock(&Adapter->Lock);
    if (Packet != NULL)
        NdisMSendComplete(Adapter->MiniportAdapterHandle, Packet, NDIS_STATUS_FAILURE);
}

NDIS_STATUS talSetDownloadBegin(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesNeeded) {
    (VOID) InformationBuffer;
    (VOID) InformationBufferLength;
    (VOID) BytesNeeded;
    TalDisableInterrupt(Adapter);
    Adapter->DownloadOpen = 1;
    Adapter->dlBlockState = TAL_DL_BLOCK_NONE;
    talInitializeForDownload(Adapter);
    if (CardAuxPortEnable(Adapter) != TAL_RESULT_OK)
        Adapter->downerrcheck = 1;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS talSetDownloadHeader(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesNeeded) {
    const UCHAR *b = (const UCHAR *)InformationBuffer;
    USHORT Words;
    if (talTooShort(InformationBufferLength, TAL_DL_HEADER_BYTES, BytesNeeded))
        return NDIS_STATUS_INVALID_LENGTH;
    Words = (USHORT)((b[4] << 8) | b[5]);
    if (Words > TAL_BPW_WORDS) {
        *BytesNeeded = 0; // no length of this request would do
        return NDIS_STATUS_INVALID_LENGTH;
    }
    Adapter->dlBlockState = TAL_DL_BLOCK_ANNOUNCED;
    Adapter->downcheck = 1;
    Adapter->oristradr = ((ULONG)b[0] << 24) | ((ULONG)b[1] << 16) | ((ULONG)b[2] << 8) | b[3];
    Adapter->totalsize = Words;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS talSetDownloadData(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesNeeded) {
    ULONG Bytes = (ULONG)Adapter->totalsize * 2;
    if (talTooShort(InformationBufferLength, Bytes, BytesNeeded)) {
        // The announced block will not come: later event waits (a transmit
        // among them) go back to short polls.
        Adapter->downcheck = 0;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    if (Adapter->dlBlockState != TAL_DL_BLOCK_ANNOUNCED) {
        // Its header was refused (or its block already sent): the staged
        // address and length belong to another block.
        Adapter->downcheck = 0;
        Adapter->downerrcheck = 1;
        return NDIS_STATUS_SUCCESS;
    }
    NdisMoveMemory(Adapter->bpw, InformationBuffer, Bytes);
    Adapter->dlBlockState = TAL_DL_BLOCK_SENT;
    SecFwDownload(Adapter);
    Adapter->downcheck = 0;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS talSetDownloadCount(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesNeeded) {
    if (talTooShort(InformationBufferLength, TAL_DL_COUNT_BYTES, BytesNeeded))
        return NDIS_STATUS_INVALID_LENGTH;
    Adapter->downcount = *(const UCHAR *)InformationBuffer;
    if (Adapter->dlBlockState != TAL_DL_BLOCK_SENT) {
        Adapter->downerrcheck = 1; // bpw does not hold the announced block
        return NDIS_STATUS_SUCCESS;
    }
    SecFwDownload(Adapter);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS talSetDownloadEnd(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                              ULONG InformationBufferLength, PULONG BytesNeeded) {
    (VOID) InformationBuffer;
    (VOID) InformationBufferLength;
    (VOID) BytesNeeded;
    if (Download(Adapter, TAL_DLMODE_END, 0, 0) != TAL_RESULT_OK)
        Adapter->downerrcheck = 1;
    if (CardAuxPortDisable(Adapter) != TAL_RESULT_OK)
        Adapter->downerrcheck = 1;
    talInitializeForDownload(Adapter);
    Adapter->downcheck = 0;
    Adapter->DownloadOpen = 0;
    Adapter->dlBlockState = TAL_DL_BLOCK_NONE;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS talQueryDownloadError(TAL_ADAPTER *Adapter, ULONG InformationBufferLength,
                                  PULONG BytesNeeded, PVOID *MoveSource, PULONG MoveBytes) {
    if (talTooShort(InformationBufferLength, TAL_DL_ERROR_BYTES, BytesNeeded))
        return NDIS_STATUS_INVALID_LENGTH;
    *MoveSource = &Adapter->downerrcheck;
    *MoveBytes = TAL_DL_ERROR_BYTES;
    return NDIS_STATUS_SUCCESS;
}

// The area is read twice: once through a port opened here (both results
// are ignored), then by ReadPDA, whose result decides.
NDIS_STATUS talQueryPDA(TAL_ADAPTER *Adapter, ULONG InformationBufferLength, PULONG BytesNeeded,
                        PVOID *MoveSource, PULONG MoveBytes) {
    if (talTooShort(InformationBufferLength, TAL_PDA_BYTES, BytesNeeded))
        return NDIS_STATUS_INVALID_LENGTH;
    CardAuxPortEnable(Adapter);
    getCardAuxPort(Adapter, Adapter->pda, TAL_PDA_ADDRESS, TAL_PDA_WORDS);
    if (ReadPDA(Adapter) != TAL_RESULT_OK) {
        // ReadPDA closes the port behind a failed read, but not when its own
        // open failed after the one above succeeded.
        CardAuxPortDisable(Adapter);
        return NDIS_STATUS_FAILURE;
    }
    *MoveSource = Adapter->pda;
    *MoveBytes = TAL_PDA_BYTES;
    return NDIS_STATUS_SUCCESS;
}
