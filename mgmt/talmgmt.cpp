// Card management: the record accessors, the configuration pass, the
// read-back pass and the card reset. Accessors take no lock; they run from
// initialization, from request handlers, or under Lock inside cardReset.
#include "mgmt/talmgmt.h"

#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "mac/talregs.h"
#include "mac/talrid.h"
#include "wep/talwepkey.h"

#define TAL_ALLOC_TRIES 10
#define TAL_ALLOC_RETRY_STALL_US 50
#define TAL_ALLOC_WAIT_TRIES 10
#define TAL_ALLOC_WAIT_BUDGET 100
#define TAL_CHANNEL_MASK 0x3FFF
#define TAL_DEFAULT_CHANNEL_MASK 0x1FFF
#define TAL_DEFAULT_REG_DOMAIN 0x30
#define TAL_WEP_MODE_104 7
#define TAL_AUTH_OPEN 1
#define TAL_NETWORK_MODE_INFRA 1
#define TAL_LINK_CONNECTED 1
#define TAL_LINK_NONE_AFTER_RESET 4

// ---- One-word records ----

static USHORT talGetWordRecord(TAL_ADAPTER *Adapter, USHORT Rid, USHORT *value, BOOLEAN LowByte) {
    Record_Buffer Rec;
    talRecordInit(&Rec, TAL_RECLEN_WORD, Rid);
    USHORT status = getRecordFrame(Adapter, (USHORT *)&Rec);
    USHORT word = talRecordWord(&Rec, 0);
    *value = LowByte ? (USHORT)(word & 0xFF) : word;
    return status;
}

static USHORT talSetWordRecord(TAL_ADAPTER *Adapter, USHORT Rid, USHORT value, BOOLEAN LowByte) {
    Record_Buffer Rec;
    talRecordInit(&Rec, TAL_RECLEN_WORD, Rid);
    talSetRecordWord(&Rec, 0, LowByte ? (USHORT)(value & 0xFF) : value);
    return putRecordFrame(Adapter, (USHORT *)&Rec);
}

USHORT getNetworkMode(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_NETWORK_MODE, value, TRUE);
}
USHORT setNetworkMode(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_NETWORK_MODE, value, TRUE);
}
USHORT getChannel(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_CHANNEL, value, TRUE);
}
USHORT setChannel(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_CHANNEL, value, TRUE);
}
USHORT getAPDensity(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_AP_DENSITY, value, TRUE);
}
USHORT setAPDensity(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_AP_DENSITY, value, TRUE);
}
USHORT getRTSThreshold(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_RTS_THRESHOLD, value, FALSE);
}
USHORT setRTSThreshold(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_RTS_THRESHOLD, value, FALSE);
}
USHORT getFragmentationThreshold(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_FRAG_THRESHOLD, value, FALSE);
}
USHORT setFragmentationThreshold(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_FRAG_THRESHOLD, value, FALSE);
}
USHORT getTxRate(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_TX_RATE, value, TRUE);
}
// The rate mask is written whole; only its read-back is cut to a byte.
USHORT setTxRate(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_TX_RATE, value, FALSE);
}
USHORT getPortStatus(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_PORT_STATUS, value, TRUE);
}
USHORT getCurrentChannel(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_CURRENT_CHANNEL, value, FALSE);
}
USHORT getCurrentTxRate(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_CURRENT_TX_RATE, value, FALSE);
}
USHORT getCurrentPwrState(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_CURRENT_POWER_STATE, value, FALSE);
}
USHORT getShortPreamble(TAL_ADAPTER *Adapter, USHORT *value) {
    return talGetWordRecord(Adapter, TAL_RID_SHORT_PREAMBLE, value, FALSE);
}
USHORT setShortPreamble(TAL_ADAPTER *Adapter, USHORT value) {
    return talSetWordRecord(Adapter, TAL_RID_SHORT_PREAMBLE, value, FALSE);
}

// Only the second record's status reaches the caller.
USHORT getPwrMgmt(TAL_ADAPTER *Adapter, USHORT *val) {
    talGetWordRecord(Adapter, TAL_RID_PM_ENABLED, &val[0], TRUE);
    return talGetWordRecord(Adapter, TAL_RID_PM_LEVEL, &val[1], TRUE);
}

USHORT setPwrMgmt(TAL_ADAPTER *Adapter, USHORT PSEnable, USHORT PSEnhance) {
    talSetWordRecord(Adapter, TAL_RID_PM_ENABLED, PSEnable, TRUE);
    return talSetWordRecord(Adapter, TAL_RID_PM_LEVEL, PSEnhance, TRUE);
}

// ---- Counted strings: length word, then 32 bytes ----

static USHORT talGetString(TAL_ADAPTER *Adapter, USHORT Rid, PUCHAR byteString, USHORT *Length) {
    Record_Buffer Rec;
    talRecordInit(&Rec, TAL_RECLEN_STRING, Rid);
    USHORT status = getRecordFrame(Adapter, (USHORT *)&Rec);
    USHORT len = talRecordWord(&Rec, 0);
    if (len > TAL_STRING_MAX)
        len = TAL_STRING_MAX;
    *Length = len;
    for (USHORT i = 0; i < len; i++)
        byteString[i] = Rec.Data[2 + i];
    byteString[len] = 0;
    return status;
}

static USHORT talSetString(TAL_ADAPTER *Adapter, USHORT Rid, const UCHAR *byteString,
                           USHORT Length) {
    Record_Buffer Rec;
    talRecordInit(&Rec, TAL_RECLEN_STRING, Rid);
    if (Length > TAL_STRING_MAX)
        Length = TAL_STRING_MAX;
    talSetRecordWord(&Rec, 0, (USHORT)(Length & 0xFF));
    for (USHORT i = 0; i < Length; i++)
        Rec.Data[2 + i] = byteString[i];
    return putRecordFrame(Adapter, (USHORT *)&Rec);
}

static BOOLEAN talIsAny(const TAL_ADAPTER *Adapter) {
    const UCHAR *n = Adapter->Desired_ESSID;
    return Adapter->Desired_ESSID_Length == 3 && (n[0] == 'A' || n[0] == 'a') &&
           (n[1] == 'N' || n[1] == 'n') && (n[2] == 'Y' || n[2] == 'y');
}

USHORT getESSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length) {
    return talGetString(Adapter, TAL_RID_DESIRED_SSID, byteString, Length);
}

// The arguments are not used: the desired name always comes from the
// adapter record. "ANY" becomes the empty name, which joins any network.
USHORT setESSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT Length) {
    (VOID) byteString;
    (VOID) Length;
    if (talIsAny(Adapter))
        return talSetString(Adapter, TAL_RID_DESIRED_SSID, Adapter->Desired_ESSID, 0);
    return talSetString(Adapter, TAL_RID_DESIRED_SSID, Adapter->Desired_ESSID,
                        Adapter->Desired_ESSID_Length);
}

USHORT getSSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length) {
    return talGetString(Adapter, TAL_RID_OWN_SSID, byteString, Length);
}

USHORT setSSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT Length) {
    (VOID) byteString;
    (VOID) Length;
    return talSetString(Adapter, TAL_RID_OWN_SSID, Adapter->Desired_ESSID,
                        Adapter->Desired_ESSID_Length);
}

USHORT getStationName(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length) {
    return talGetString(Adapter, TAL_RID_STATION_NAME, byteString, Length);
}

USHORT setStationName(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT Length) {
    return talSetString(Adapter, TAL_RID_STATION_NAME, byteString, Length);
}

USHORT getCurrentESSID(TAL_ADAPTER *Adapter, PUCHAR byteString, USHORT *Length) {
    return talGetString(Adapter, TAL_RID_CURRENT_SSID, byteString, Length);
}

// ---- Addresses and multi-word records ----

USHORT getCurrentBSSID(TAL_ADAPTER *Adapter, PUCHAR byteString) {
    Record_Buffer Rec;
    talRecordInit(&Rec, TAL_RECLEN_ADDRESS, TAL_RID_CURRENT_BSSID);
    USHORT status = getRecordFrame(Adapter, (USHORT *)&Rec);
    for (USHORT i = 0; i < 6; i++)
        byteString[i] = status == TAL_RESULT_OK ? Rec.Data[i] : 0xFF;
    return status;
}

USHORT getCommsQuality(TAL_ADAPTER *Adapter, USHORT *wordString) {
    Record_Buffer Rec;
    talRecordInit(&Rec, TAL_RECLEN_ADDRESS, TAL_RID_COMMS_QUALITY);
    USHORT status = getRecordFrame(Adapter, (USHORT *)&Rec);
    for (USHORT i = 0; i < 3; i++)
        wordString[i] = talRecordWord(&Rec, i);
    return status;
}

USHORT setPRISM2TEST(TAL_ADAPTER *Adapter, USHORT value) {
    return issueCmd0(Adapter, (USHORT)((value << 8) | TAL_CMD_TEST));
}

// ---- Command wrappers ----

USHORT Initialize(TAL_ADAPTER *Adapter) {
    USHORT status = issueCmd0(Adapter, TAL_CMD_INITIALIZE);
    if (status == TAL_RESULT_OK)
        issueEventACK(Adapter, TAL_EV_ALL);
    return status;
}

USHORT Enable(TAL_ADAPTER *Adapter) {
    return issueCmd0(Adapter, TAL_CMD_ENABLE);
}

USHORT Disable(TAL_ADAPTER *Adapter) {
    return issueCmd0(Adapter, TAL_CMD_DISABLE);
}

// ---- Configuration pass ----

static USHORT talReadRecord(TAL_ADAPTER *Adapter, Record_Buffer *Rec, USHORT RecordLen,
                            USHORT Rid) {
    talRecordInit(Rec, RecordLen, Rid);
    return getRecordFrame(Adapter, (USHORT *)Rec);
}

static BOOLEAN talAllZero(const UCHAR *p, USHORT n) {
    for (USHORT i = 0; i < n; i++)
        if (p[i])
            return FALSE;
    return TRUE;
}

// Writes every setting of the adapter record to the card and reads back
// what the driver needs to know about the card. Refused settings are
// simply not in force; the pass always succeeds.
USHORT cardInitialSet(TAL_ADAPTER *Adapter) {
    Record_Buffer Rec;

    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_ADDRESS, TAL_RID_MAC_ADDRESS) == TAL_RESULT_OK)
        talMemcpy(Adapter->NetworkAddress, Rec.Data, 6);

    if (talAllZero(Adapter->CurrentNetworkAddress, 6)) {
        talMemcpy(Adapter->CurrentNetworkAddress, Adapter->NetworkAddress, 6);
    } else {
        talRecordInit(&Rec, TAL_RECLEN_ADDRESS, TAL_RID_MAC_ADDRESS);
        talMemcpy(Rec.Data, Adapter->CurrentNetworkAddress, 6);
        putRecordFrame(Adapter, (USHORT *)&Rec);
    }

    setNetworkMode(Adapter, (USHORT)Adapter->NetworkMode);
    setESSID(Adapter, Adapter->Desired_ESSID, Adapter->Desired_ESSID_Length);
    setSSID(Adapter, Adapter->Desired_ESSID, Adapter->Desired_ESSID_Length);

    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_WORD, TAL_RID_CHANNEL_LIST) == TAL_RESULT_OK)
        Adapter->AvailableChannel = (USHORT)(talRecordWord(&Rec, 0) & TAL_CHANNEL_MASK);
    else
        Adapter->AvailableChannel = TAL_DEFAULT_CHANNEL_MASK;

    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_IDENTITY, TAL_RID_REG_DOMAINS) == TAL_RESULT_OK)
        Adapter->CurrentRegDomain = talRecordWord(&Rec, 1) & 0xFF;
    else
        Adapter->CurrentRegDomain = TAL_DEFAULT_REG_DOMAIN;

    setChannel(Adapter, (USHORT)Adapter->Channel);
    setAPDensity(Adapter, (USHORT)Adapter->APDensity);
    setPwrMgmt(Adapter, (USHORT)Adapter->PSModeValue, (USHORT)Adapter->PSLevel);
    setStationName(Adapter, Adapter->StationName, Adapter->StationNameLength);

    setWEPFlags(Adapter, (USHORT)Adapter->WepRequired);
    if (Adapter->WepRequired == TAL_WEP_MODE_104)
        Adapter->WepDefaultKeyId = 0; // one key only: it is key 0
    setWEPDefaultKeyID(Adapter, (USHORT)Adapter->WepDefaultKeyId);
    setWEPDefaultKey0(Adapter, Adapter->WepDefaultKey0);
    if (Adapter->WepRequired != TAL_WEP_MODE_104) {
        setWEPDefaultKey1(Adapter, Adapter->WepDefaultKey1);
        setWEPDefaultKey2(Adapter, Adapter->WepDefaultKey2);
        setWEPDefaultKey3(Adapter, Adapter->WepDefaultKey3);
    }
    if (Adapter->WepRequired & 1)
        setAuthentication(Adapter, (USHORT)Adapter->AuthenticationType);
    else
        setAuthentication(Adapter, TAL_AUTH_OPEN);

    setFragmentationThreshold(Adapter, (USHORT)Adapter->FragThresh);
    setRTSThreshold(Adapter, (USHORT)Adapter->Threshold);
    setTxRate(Adapter, (USHORT)Adapter->TransmitRate);
    setShortPreamble(Adapter, (USHORT)Adapter->ShortPreamble);

    talRecordInit(&Rec, TAL_RECLEN_WORD, TAL_RID_FCE0);
    putRecordFrame(Adapter, (USHORT *)&Rec);

    // Records read only for information keep their earlier values when the
    // card does not answer. A download needs the buffer as the card gives
    // it now: without it no block is sent.
    Adapter->dlBufferValid = 0;
    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_ADDRESS, TAL_RID_DOWNLOAD_BUFFER) ==
        TAL_RESULT_OK) {
        Adapter->dlPage = talRecordWord(&Rec, 0);
        Adapter->dlOffset = talRecordWord(&Rec, 1);
        Adapter->dlLength = talRecordWord(&Rec, 2);
        Adapter->dlBufferValid = 1;
    }
    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_IDENTITY, TAL_RID_PRI_IDENTITY) == TAL_RESULT_OK) {
        Adapter->PRIVariant = talRecordWord(&Rec, 1);
        Adapter->PRIMajorVersion = talRecordWord(&Rec, 2);
        Adapter->PRIMinorVersion = talRecordWord(&Rec, 3);
    }
    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_IDENTITY, TAL_RID_STA_IDENTITY) == TAL_RESULT_OK) {
        Adapter->STAVariant = talRecordWord(&Rec, 1);
        Adapter->STAMajorVersion = talRecordWord(&Rec, 2);
        Adapter->STAMinorVersion = talRecordWord(&Rec, 3);
    }

    if (talReadRecord(Adapter, &Rec, TAL_RECLEN_WORD, TAL_RID_WEP_AVAILABLE) == TAL_RESULT_OK)
        Adapter->AvailableWEP = talRecordWord(&Rec, 0);
    else
        Adapter->AvailableWEP = 0;
    return TAL_RESULT_OK;
}

// Reads the card's view of the configuration back; the values are dropped.
USHORT cardStatusRead(TAL_ADAPTER *Adapter) {
    USHORT Value;
    USHORT Pwr[2];
    UCHAR Text[TAL_STRING_MAX + 2];
    USHORT TextLength;
    Record_Buffer Rec;

    getNetworkMode(Adapter, &Value);
    getESSID(Adapter, Text, &TextLength);
    getSSID(Adapter, Text, &TextLength);
    getChannel(Adapter, &Value);
    getAPDensity(Adapter, &Value);
    getPwrMgmt(Adapter, Pwr);
    getStationName(Adapter, Text, &TextLength);
    getFragmentationThreshold(Adapter, &Value);
    getRTSThreshold(Adapter, &Value);
    getTxRate(Adapter, &Value);
    getWEPDefaultKeyID(Adapter, &Value);
    getWEPFlags(Adapter, &Value);
    getAuthentication(Adapter, &Value);
    getShortPreamble(Adapter, &Value);
    talReadRecord(Adapter, &Rec, TAL_RECLEN_WORD, TAL_RID_FCE0);
    return TAL_RESULT_OK;
}

// Gets the card's one transmit buffer: the allocate command with retries,
// then the allocate event. Returns 0 or the last failure.
USHORT talAllocateTxBuffer(TAL_ADAPTER *Adapter) {
    USHORT status = TAL_RESULT_OK;
    for (USHORT attempt = 1; attempt <= TAL_ALLOC_TRIES; attempt++) {
        status = issueCmd1(Adapter, TAL_CMD_ALLOCATE, TAL_TXBUF_SIZE);
        if (status == TAL_RESULT_OK)
            break;
        issueEventACK(Adapter, TAL_EV_ALLOC);
        if (attempt == TAL_ALLOC_TRIES)
            return status;
        KeStallExecutionProcessor(TAL_ALLOC_RETRY_STALL_US);
    }
    for (USHORT attempt = 0; attempt < TAL_ALLOC_WAIT_TRIES; attempt++) {
        status = waitevent(Adapter, TAL_EV_ALLOC, TAL_ALLOC_WAIT_BUDGET);
        if (status == TAL_RESULT_OK)
            break;
    }
    if (status != TAL_RESULT_OK)
        return status;
    Adapter->FIDValue = talGetIOPortWord(Adapter, TAL_REG_ALLOCFID);
    issueEventACK(Adapter, TAL_EV_ALLOC);
    return TAL_RESULT_OK;
}

// The full reset: drops queued transmissions, reconfigures the card from
// the adapter record, gets a new transmit buffer and re-enables the port.
// Holds Lock from start to the allocation's end.
USHORT cardReset(TAL_ADAPTER *Adapter) {
    USHORT status;

    NdisAcquireSpinLock(&Adapter->Lock);
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_NONE);
    issueEventACK(Adapter, TAL_EV_ALL);
    Disable(Adapter);
    Initialize(Adapter);
    Adapter->reclaimStatus = 0;
    // A download in progress ends here.
    Adapter->downcheck = 0;
    Adapter->DownloadOpen = 0;

    // The frame in the card is discarded by the reset: its packet fails
    // too, so none is left without a completion.
    talFailAllPackets(Adapter);
    // A partial frame cannot be completed across a reset.
    talEndReassembly(Adapter);
    Adapter->QuenlixOUI = 0;
    Adapter->APCard_Info_Flag = 0;
    Adapter->sniffer_state = 0;
    NdisZeroMemory(&Adapter->PacketMonitor, sizeof(Adapter->PacketMonitor));
    Adapter->txPacket = NULL;

    status = cardInitialSet(Adapter);
    if (status != TAL_RESULT_OK) {
        NdisReleaseSpinLock(&Adapter->Lock);
        return status;
    }
    cardStatusRead(Adapter);
    // The reset left the multicast record empty and the configuration pass
    // does not write it: the list the packet filter asks for goes back in.
    if (Adapter->PacketFilter & NDIS_PACKET_TYPE_MULTICAST)
        setMulticast(Adapter);

    if (Adapter->NetworkMode == TAL_NETWORK_MODE_INFRA) {
        Adapter->LinkStatus = TAL_LINK_NONE_AFTER_RESET;
        Adapter->LinkIsActive = 1;
    } else {
        Adapter->LinkStatus = TAL_LINK_CONNECTED;
        Adapter->LinkIsActive = 0;
        NdisMIndicateStatus(Adapter->MiniportAdapterHandle, NDIS_STATUS_MEDIA_CONNECT, NULL, 0);
        NdisMIndicateStatusComplete(Adapter->MiniportAdapterHandle);
    }

    status = talAllocateTxBuffer(Adapter);
    if (status != TAL_RESULT_OK) {
        NdisReleaseSpinLock(&Adapter->Lock);
        return status;
    }
    Adapter->reclaimStatus = 1;
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_RUN);
    NdisReleaseSpinLock(&Adapter->Lock);

    status = Enable(Adapter);
    if (status != TAL_RESULT_OK)
        return status;
    cardStatusRead(Adapter);
    return TAL_RESULT_OK;
}
