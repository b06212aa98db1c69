// Card management: reset and configuration pass, record accessors.
#pragma once

#include "driver/taladapter.h"
#include "mac/talutil.h"

// ---- Record accessors (0 or the record layer's result code) ----
USHORT getNetworkMode(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setNetworkMode(TAL_ADAPTER *Adapter, USHORT value);
USHORT getESSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length);
USHORT setESSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT Length);
USHORT getSSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length);
USHORT setSSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT Length);
USHORT getChannel(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setChannel(TAL_ADAPTER *Adapter, USHORT value);
USHORT getAPDensity(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setAPDensity(TAL_ADAPTER *Adapter, USHORT value);
USHORT getPwrMgmt(TAL_ADAPTER *Adapter, USHORT *val);
USHORT setPwrMgmt(TAL_ADAPTER *Adapter, USHORT PSEnable, USHORT PSEnhance);
USHORT getStationName(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length);
USHORT setStationName(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT Length);
USHORT getRTSThreshold(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setRTSThreshold(TAL_ADAPTER *Adapter, USHORT value);
USHORT getFragmentationThreshold(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setFragmentationThreshold(TAL_ADAPTER *Adapter, USHORT value);
USHORT getTxRate(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setTxRate(TAL_ADAPTER *Adapter, USHORT value);
USHORT getCurrentESSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length);
USHORT getPortStatus(TAL_ADAPTER *Adapter, USHORT *value);
USHORT getCurrentBSSID(TAL_ADAPTER *Adapter, PUCHAR byteString);
USHORT getCommsQuality(TAL_ADAPTER *Adapter, USHORT *wordString);
USHORT getCurrentChannel(TAL_ADAPTER *Adapter, USHORT *value);
USHORT getCurrentTxRate(TAL_ADAPTER *Adapter, USHORT *value);
USHORT getCurrentPwrState(TAL_ADAPTER *Adapter, USHORT *value);
USHORT getShortPreamble(TAL_ADAPTER *Adapter, USHORT *value);
USHORT setShortPreamble(TAL_ADAPTER *Adapter, USHORT value);
USHORT setPRISM2TEST(TAL_ADAPTER *Adapter, USHORT value);

// ---- Vendor information, monitor mode, multicast ----
// Sends the access point the vendor information request (not in monitor
// mode, not while the transmit buffer is busy). 1 when nothing was sent or
// the frame was accepted, 0 when the transmit path failed.
UCHAR QuenlixOUIRequest(TAL_ADAPTER *Adapter);
// Parses an answer's payload (the bytes after the 8-byte vendor header),
// PayloadLength bytes long, into APCard_Info. Lock held (the receive path).
VOID QuenlixOUI_Mgmt(TAL_ADAPTER *Adapter, const UCHAR *val, USHORT PayloadLength);
// val[0] = APCard_Info_Flag, val[1..198] = APCard_Info.
VOID QuenlixOUIRead(TAL_ADAPTER *Adapter, PUCHAR val);
USHORT OnSniffer(TAL_ADAPTER *Adapter);
USHORT OffSniffer(TAL_ADAPTER *Adapter);
USHORT setMulticast(TAL_ADAPTER *Adapter);
USHORT disableMulticast(TAL_ADAPTER *Adapter);

// ---- Information frames, link status, site survey ----
// Reads and acts on the information frame in InfoFID (the event loop, Lock
// held). 0, or the path's result when the frame could not be read (the
// caller leaves the event pending and tries again).
USHORT getInfoFrame(TAL_ADAPTER *Adapter, USHORT InfoFID);
// Ask for a tallies / scan results frame; the answer comes later with the
// information event. The inquire command's result.
USHORT CardUpdateTallies(TAL_ADAPTER *Adapter);
USHORT CardUpdateScanResult(TAL_ADAPTER *Adapter);
VOID siteSurvey_start(TAL_ADAPTER *Adapter);
VOID siteSurvey_cont(TAL_ADAPTER *Adapter);
VOID siteSurvey_end(TAL_ADAPTER *Adapter);

// ---- Reset and configuration ----
USHORT Initialize(TAL_ADAPTER *Adapter);
USHORT Enable(TAL_ADAPTER *Adapter);
USHORT Disable(TAL_ADAPTER *Adapter);
USHORT cardInitialSet(TAL_ADAPTER *Adapter);
USHORT cardStatusRead(TAL_ADAPTER *Adapter);
USHORT cardReset(TAL_ADAPTER *Adapter);
// The allocate command (with its retries) and the wait for the allocate
// event; FIDValue takes the new transmit buffer. 0 or the last failure.
USHORT talAllocateTxBuffer(TAL_ADAPTER *Adapter);
