// Firmware download and production data: the card's auxiliary port, the
// download command, the staged block's transfer, and the steps of the
// download and production data requests.
#pragma once

#include "driver/taladapter.h"

#define TAL_BPW_WORDS (TAL_BPW_SIZE / 2) // most words one block may hold
#define TAL_PDA_BYTES (TAL_PDA_WORDS * 2)
#define TAL_DL_HEADER_BYTES 6 // address (4) and word count (2), MSB first
#define TAL_DL_COUNT_BYTES 1
#define TAL_DL_ERROR_BYTES 1

// Where the staged block stands (dlBlockState).
#define TAL_DL_BLOCK_NONE 0      // no header accepted since the download began
#define TAL_DL_BLOCK_ANNOUNCED 1 // a header accepted, its data not yet sent
#define TAL_DL_BLOCK_SENT 2      // its data sent: a count request may resend it

// ---- Card operations (0 or a result code of the hardware layer) ----

// Transfers the staged block (bpw, oristradr, totalsize) into the card's
// download buffer and commits it; returns the commit's result. A block the
// card's buffer cannot take (longer than dlLength, or no buffer known)
// sets downerrcheck and touches nothing: the result is then 0x7F.
USHORT SecFwDownload(TAL_ADAPTER *Adapter);
// The download command in mode progMode (TAL_DLMODE_*); addr and length
// (bytes) go with the announcement only.
USHORT Download(TAL_ADAPTER *Adapter, USHORT progMode, ULONG addr, USHORT length);
USHORT CardAuxPortEnable(TAL_ADAPTER *Adapter);
USHORT CardAuxPortDisable(TAL_ADAPTER *Adapter);
// Reads size words at auxiliary address addr; the port must be enabled.
// FALSE if the command register stayed busy.
BOOLEAN getCardAuxPort(TAL_ADAPTER *Adapter, USHORT *dest_p, ULONG addr, USHORT size);
// Fills pda through the auxiliary port, which it enables and disables again.
USHORT ReadPDA(TAL_ADAPTER *Adapter);

// ---- Request steps ----
// What the set and query handlers run for the download and production data
// requests. Each checks the request's length itself: a buffer shorter than
// the step reads is answered NDIS_STATUS_INVALID_LENGTH with *BytesNeeded,
// and nothing else changes (a refused data request also ends the block's
// slow event waits). Card failures of the set steps show only in
// downerrcheck; the sets otherwise succeed. They run under the wrapper's
// serialization, at passive or dispatch level, and take Lock only where
// they change the transmit state.

// Masks the card, initializes it (its buffers are gone: the frame in it
// fails and sends queue until a card reset) and opens the auxiliary port.
NDIS_STATUS talSetDownloadBegin(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesNeeded);
// Stages a block's address and word count (at most TAL_BPW_WORDS).
NDIS_STATUS talSetDownloadHeader(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                                 ULONG InformationBufferLength, PULONG BytesNeeded);
// Stages the block's totalsize * 2 bytes and transfers it.
NDIS_STATUS talSetDownloadData(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                               ULONG InformationBufferLength, PULONG BytesNeeded);
// Keeps the request's byte in downcount and transfers the staged block again.
NDIS_STATUS talSetDownloadCount(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                                ULONG InformationBufferLength, PULONG BytesNeeded);
// Leaves download mode, closes the auxiliary port and initializes the card.
NDIS_STATUS talSetDownloadEnd(TAL_ADAPTER *Adapter, PVOID InformationBuffer,
                              ULONG InformationBufferLength, PULONG BytesNeeded);

// The queries hand back where their answer is and how long it is; the
// query handler copies it out.
NDIS_STATUS talQueryDownloadError(TAL_ADAPTER *Adapter, ULONG InformationBufferLength,
                                  PULONG BytesNeeded, PVOID *MoveSource, PULONG MoveBytes);
// Reads the production data area (twice) into pda; NDIS_STATUS_FAILURE
// when the card does not give it.
NDIS_STATUS talQueryPDA(TAL_ADAPTER *Adapter, ULONG InformationBufferLength, PULONG BytesNeeded,
                        PVOID *MoveSource, PULONG MoveBytes);
