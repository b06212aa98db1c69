// The query handler: the standard general and 802.3 answers and the private
// ones of the configuration utility. One copy-out at the end; the requests
// that act on the card (inquiries, survey steps, the access point request,
// the register dump, the production data) check the answer's length before
// they act, so that a short probe followed by a second request acts once.
// Runs serialized by the wrapper, takes no lock (cardReset takes Lock).
#include "driver/taloids.h"

#include "download/taldown.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "wep/talwepkey.h"

#define TAL_MAC_OPTIONS                                                        \
    (NDIS_MAC_OPTION_RECEIVE_SERIALIZED | NDIS_MAC_OPTION_TRANSFERS_NOT_PEND | \
     NDIS_MAC_OPTION_NO_LOOPBACK)
#define TAL_MAX_FRAME_SIZE 1500
#define TAL_MAX_TOTAL_SIZE 1514
#define TAL_LINK_SPEED 110000 // 100 bit/s units: 11 Mbit/s
#define TAL_BUFFER_SPACE 12112
#define TAL_MAX_SEND_PACKETS 8
#define TAL_NDIS_VERSION 0x0300
#define TAL_VENDOR_DRIVER_VERSION 0x00036300
#define TAL_VENDOR_ID_SUFFIX 0x01
#define TAL_KEY_ANSWER_40 6
#define TAL_KEY_ANSWER_104 14
#define TAL_WEP_MODE_104 7
#define TAL_COUNTER_PLACEHOLDER 1 // counters the card does not keep
#define TAL_ADDRESS_LEN 6
#define TAL_SURVEY_ANSWER 4

// Every answer is built here, zeroed first: no byte of an answer is left
// undefined (the high half of 16-bit values, the fourth word of the
// three-word answers, the tail of the dump, the last byte of the access
// point answer).
typedef union _TAL_QUERY_ANSWER {
    ULONG Ulong;
    USHORT Ushort;
    USHORT Words[4];
    UCHAR Bytes[256];
} TAL_QUERY_ANSWER;

static_assert(sizeof(_AP_INFO_STRUCT) + 1 < TAL_AP_INFO_BYTES, "the access point answer fits");
static_assert(sizeof(_TALLIES_INFO_STRUCT) == TAL_TALLIES_BYTES, "21 counters");
static_assert(sizeof(_LAST_PACKET_MONITOR) == 24, "six counters");

// clang-format off
const NDIS_OID TALGlobalSupportedOids[TAL_SUPPORTED_OIDS] = {
    OID_GEN_MAC_OPTIONS, OID_GEN_SUPPORTED_LIST, OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_IN_USE, OID_GEN_MAXIMUM_LOOKAHEAD, OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_MAXIMUM_TOTAL_SIZE, OID_GEN_LINK_SPEED, OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE, OID_GEN_TRANSMIT_BLOCK_SIZE, OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID, OID_GEN_VENDOR_DESCRIPTION, OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_DRIVER_VERSION, OID_GEN_CURRENT_LOOKAHEAD, OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_PROTOCOL_OPTIONS, OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS, OID_GEN_XMIT_OK, OID_GEN_RCV_OK, OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR, OID_GEN_RCV_NO_BUFFER, OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS, OID_802_3_MAXIMUM_LIST_SIZE, OID_802_3_MULTICAST_LIST,
    OID_802_3_RCV_ERROR_ALIGNMENT, OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS, OID_PRIV_NETWORK_MODE, OID_PRIV_DESIRED_ESSID,
    OID_PRIV_CHANNEL, OID_PRIV_SSID,
    0xFFFFFFFA, // listed codes from here on without a name have no handler
    OID_PRIV_AP_DENSITY, 0xFFFFFFF8, OID_PRIV_POWER_MANAGEMENT, 0xFFFFFFF6, 0xFFFFFFF5,
    0xFFFFFFF4, 0xFFFFFFF3, OID_PRIV_STATION_NAME, 0xFFFFFFEF, 0xFFFFFFEE,
    OID_PRIV_RTS_THRESHOLD, OID_PRIV_TX_RATE, OID_PRIV_PROMISCUOUS, 0xFFFFFFDF, 0xFFFFFFDE,
    0xFFFFFFDC, 0xFFFFFFDB, 0xFFFFFFDA, 0xFFFFFFD9, 0xFFFFFFD8, 0xFFFFFFD7, 0xFFFFFFD6,
    OID_PRIV_AVAILABLE_CHANNELS, OID_PRIV_REG_DOMAIN, 0xFFFFFFD3, 0xFFFFFFD2, 0xFFFFFFD1,
    0xFFFFFFCF, 0xFFFFFFCE, 0xFFFFFFCD, OID_PRIV_PORT_STATUS, OID_PRIV_CURRENT_ESSID,
    OID_PRIV_CURRENT_BSSID, OID_PRIV_COMMS_QUALITY, OID_PRIV_CURRENT_TX_RATE, 0xFFFFFFAF,
    OID_PRIV_CURRENT_CHANNEL, OID_PRIV_CURRENT_POWER_STATE, 0xFFFFFFAB, 0xFFFFFFA9,
    OID_PRIV_TALLIES, OID_PRIV_SCAN_RESULTS, OID_PRIV_LINK_STATUS, 0xFFFFFFA5,
    OID_PRIV_RESET_CARD, OID_PRIV_WEP_KEY_ID, OID_PRIV_WEP_KEY1, OID_PRIV_WEP_KEY2,
    OID_PRIV_WEP_KEY3, OID_PRIV_WEP_FLAGS, 0xFFFFFF79, OID_PRIV_DRIVER_VERSION,
    OID_PRIV_PRIMARY_FW_VERSION, OID_PRIV_STATION_FW_VERSION, 0xFFFFFF6C, OID_PRIV_SNIFFER_ON,
    OID_PRIV_SNIFFER_OFF, OID_PRIV_PDA, OID_PRIV_DOWNLOAD_HEADER, OID_PRIV_DOWNLOAD_DATA,
    OID_PRIV_DOWNLOAD_ERROR, OID_PRIV_DOWNLOAD_COUNT, OID_PRIV_DOWNLOAD_BEGIN,
    OID_PRIV_DOWNLOAD_END, OID_PRIV_REGISTER_DUMP, OID_PRIV_REGISTER_WRITE,
};
// clang-format on

// A request that acts on the card answers Needed bytes: FALSE (and
// *BytesNeeded set) when the buffer cannot take them, before anything acts.
static BOOLEAN talAnswerFits(ULONG Length, ULONG Needed, PULONG BytesNeeded) {
    if (Length >= Needed)
        return TRUE;
    *BytesNeeded = Needed;
    return FALSE;
}

static UCHAR talHexDigit(UCHAR Nibble) {
    return (UCHAR)(Nibble < 10 ? '0' + Nibble : 'a' + Nibble - 10);
}

// 64 values of the controller's register file, indexes 0, 2, ... 126, each
// high byte first. A failed read fails the request; the loop goes on.
static NDIS_STATUS talRegisterDump(TAL_ADAPTER *Adapter, PUCHAR Dump) {
    NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
    for (USHORT i = 0; i < TAL_REGISTER_DUMP_READS; i++) {
        UCHAR j = (UCHAR)(2 * i);
        if (issue_Cmd3(Adapter, TAL_CMD_READ_MIF, j, 0, 0, TAL_REGISTER_TIMEOUT) != TAL_RESULT_OK)
            Status = NDIS_STATUS_FAILURE;
        USHORT Value = talGetIOPortWord(Adapter, TAL_REG_RESP0);
        Dump[j] = (UCHAR)(Value >> 8);
        Dump[j + 1] = (UCHAR)Value;
    }
    return Status;
}

NDIS_STATUS NTAPI TalQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                      PVOID InformationBuffer, ULONG InformationBufferLength,
                                      PULONG BytesWritten, PULONG BytesNeeded) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)MiniportAdapterContext;
    NDIS_STATUS StatusToReturn = NDIS_STATUS_SUCCESS;
    TAL_QUERY_ANSWER Answer;
    PVOID MoveSource = &Answer;
    ULONG MoveBytes = sizeof(ULONG);
    USHORT Length = 0; // as wide as the string accessors' output
    USHORT Result = TAL_RESULT_OK;

    NdisZeroMemory(&Answer, sizeof(Answer));

    switch (Oid) {
    // ---- Constants of the medium and the driver ----
    case OID_GEN_MAC_OPTIONS:
        Answer.Ulong = TAL_MAC_OPTIONS;
        break;
    case OID_GEN_SUPPORTED_LIST:
        MoveSource = (PVOID)TALGlobalSupportedOids;
        MoveBytes = sizeof(TALGlobalSupportedOids);
        break;
    case OID_GEN_HARDWARE_STATUS: // ready
    case OID_GEN_MEDIA_IN_USE:    // 802.3
    case OID_GEN_MEDIA_SUPPORTED:
        break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_CURRENT_LOOKAHEAD: // whatever was set
        Answer.Ulong = TAL_MAX_LOOKAHEAD;
        break;
    case OID_GEN_MAXIMUM_FRAME_SIZE:
        Answer.Ulong = TAL_MAX_FRAME_SIZE;
        break;
    case OID_GEN_MAXIMUM_TOTAL_SIZE:
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
        Answer.Ulong = TAL_MAX_TOTAL_SIZE;
        break;
    case OID_GEN_LINK_SPEED:
        Answer.Ulong = TAL_LINK_SPEED;
        break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE:
        Answer.Ulong = TAL_BUFFER_SPACE;
        break;
    case OID_GEN_VENDOR_ID:
        talMemcpy(Answer.Bytes, Adapter->NetworkAddress, 3);
        Answer.Bytes[3] = TAL_VENDOR_ID_SUFFIX;
        break;
    case OID_GEN_VENDOR_DESCRIPTION:
        // Up to and including its zero (configuration keeps one).
        MoveSource = Adapter->VendorDescription;
        MoveBytes = 1;
        while (MoveBytes < TAL_VENDOR_DESC_SIZE && Adapter->VendorDescription[MoveBytes - 1])
            MoveBytes++;
        break;
    case OID_GEN_VENDOR_DRIVER_VERSION:
        Answer.Ulong = TAL_VENDOR_DRIVER_VERSION;
        break;
    case OID_GEN_DRIVER_VERSION:
        Answer.Ushort = TAL_NDIS_VERSION;
        MoveBytes = sizeof(USHORT);
        break;
    case OID_GEN_MAXIMUM_SEND_PACKETS:
        Answer.Ulong = TAL_MAX_SEND_PACKETS;
        break;
    case OID_GEN_RCV_NO_BUFFER:
    case OID_802_3_RCV_ERROR_ALIGNMENT:
    case OID_802_3_XMIT_ONE_COLLISION:
    case OID_802_3_XMIT_MORE_COLLISIONS:
        Answer.Ulong = TAL_COUNTER_PLACEHOLDER;
        break;

    // ---- Adapter fields ----
    case OID_GEN_MEDIA_CONNECT_STATUS:
        Answer.Ulong = (ULONG)Adapter->LinkIsActive;
        break;
    case OID_GEN_XMIT_OK:
        Answer.Ulong = Adapter->PacketMonitor.TxPacketCounter;
        break;
    case OID_GEN_RCV_OK:
        Answer.Ulong = Adapter->PacketMonitor.RxPacketCounter;
        break;
    case OID_GEN_XMIT_ERROR:
        Answer.Ulong = Adapter->PacketMonitor.TxPacketErrCounter;
        break;
    case OID_GEN_RCV_ERROR:
        Answer.Ulong = Adapter->PacketMonitor.RxPacketErrCounter;
        break;
    case OID_802_3_PERMANENT_ADDRESS:
        MoveSource = Adapter->NetworkAddress;
        MoveBytes = TAL_ADDRESS_LEN;
        break;
    case OID_802_3_CURRENT_ADDRESS:
        MoveSource = Adapter->CurrentNetworkAddress;
        MoveBytes = TAL_ADDRESS_LEN;
        break;
    case OID_802_3_MAXIMUM_LIST_SIZE:
        Answer.Ulong = Adapter->MaxMulticastList;
        break;
    case OID_PRIV_NETWORK_MODE:
        Answer.Ulong = Adapter->NetworkMode;
        break;
    case OID_PRIV_AP_DENSITY:
        Answer.Ulong = Adapter->APDensity;
        break;
    case OID_PRIV_RTS_THRESHOLD:
        Answer.Ulong = Adapter->Threshold;
        break;
    case OID_PRIV_AVAILABLE_CHANNELS:
        Answer.Ulong = Adapter->AvailableChannel;
        break;
    case OID_PRIV_REG_DOMAIN:
        Answer.Ulong = Adapter->CurrentRegDomain & 0xFFFF;
        break;
    case OID_PRIV_LINK_STATUS:
        Answer.Ulong = Adapter->LinkStatus;
        break;
    case OID_PRIV_WEP_KEY_ID:
        Answer.Ulong = Adapter->WepDefaultKeyId;
        break;
    case OID_PRIV_WEP_KEY0:
        MoveSource = Adapter->WepDefaultKey0;
        MoveBytes =
            Adapter->WepRequired == TAL_WEP_MODE_104 ? TAL_KEY_ANSWER_104 : TAL_KEY_ANSWER_40;
        break;
    case OID_PRIV_WEP_KEY1:
        MoveSource = Adapter->WepDefaultKey1;
        MoveBytes = TAL_KEY_ANSWER_40;
        break;
    case OID_PRIV_WEP_KEY2:
        MoveSource = Adapter->WepDefaultKey2;
        MoveBytes = TAL_KEY_ANSWER_40;
        break;
    case OID_PRIV_WEP_KEY3:
        MoveSource = Adapter->WepDefaultKey3;
        MoveBytes = TAL_KEY_ANSWER_40;
        break;
    case OID_PRIV_DRIVER_VERSION:
        Answer.Words[0] = 3;
        Answer.Words[1] = 6;
        Answer.Words[2] = 3;
        MoveBytes = sizeof(Answer.Words);
        break;
    case OID_PRIV_PRIMARY_FW_VERSION:
        Answer.Words[0] = Adapter->PRIVariant;
        Answer.Words[1] = Adapter->PRIMajorVersion;
        Answer.Words[2] = Adapter->PRIMinorVersion;
        MoveBytes = sizeof(Answer.Words);
        break;
    case OID_PRIV_STATION_FW_VERSION:
        Answer.Words[0] = Adapter->STAVariant;
        Answer.Words[1] = Adapter->STAMajorVersion;
        Answer.Words[2] = Adapter->STAMinorVersion;
        MoveBytes = sizeof(Answer.Words);
        break;
    case OID_PRIV_PACKET_MONITOR:
        MoveSource = &Adapter->PacketMonitor;
        MoveBytes = sizeof(Adapter->PacketMonitor);
        break;

    // ---- The card's records: what the card runs with ----
    case OID_PRIV_DESIRED_ESSID:
        Result = getESSID(Adapter, Answer.Bytes, &Length);
        MoveBytes = (ULONG)Length + 1; // the accessor's terminator
        break;
    case OID_PRIV_SSID:
        Result = getSSID(Adapter, Answer.Bytes, &Length);
        MoveBytes = (ULONG)Length + 1; // the accessor's terminator
        break;
    case OID_PRIV_CURRENT_ESSID:
        Result = getCurrentESSID(Adapter, Answer.Bytes, &Length);
        MoveBytes = (ULONG)Length + 1; // the accessor's terminator
        break;
    case OID_PRIV_STATION_NAME:
        Result = getStationName(Adapter, Answer.Bytes, &Length);
        MoveBytes = Length; // no terminator
        break;
    case OID_PRIV_CHANNEL:
        Result = getChannel(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_TX_RATE:
        Result = getTxRate(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_PORT_STATUS:
        Result = getPortStatus(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_CURRENT_TX_RATE:
        Result = getCurrentTxRate(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_CURRENT_CHANNEL:
        Result = getCurrentChannel(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_CURRENT_POWER_STATE:
        Result = getCurrentPwrState(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_WEP_FLAGS:
        Result = getWEPFlags(Adapter, &Answer.Ushort);
        break;
    case OID_PRIV_POWER_MANAGEMENT:
        // The status is the second record's only.
        Result = getPwrMgmt(Adapter, Answer.Words);
        break;
    case OID_PRIV_COMMS_QUALITY:
        Result = getCommsQuality(Adapter, Answer.Words);
        MoveBytes = sizeof(Answer.Words);
        break;
    case OID_PRIV_CURRENT_BSSID: {
        UCHAR Bssid[TAL_ADDRESS_LEN];
        Result = getCurrentBSSID(Adapter, Bssid);
        for (USHORT i = 0; i < TAL_ADDRESS_LEN; i++) {
            Answer.Bytes[2 * i] = talHexDigit((UCHAR)(Bssid[i] >> 4));
            Answer.Bytes[2 * i + 1] = talHexDigit((UCHAR)(Bssid[i] & 0x0F));
        }
        MoveBytes = TAL_BSSID_TEXT_BYTES;
        break;
    }

    // ---- Requests that act: the buffer is checked first ----
    case OID_PRIV_TALLIES:
        if (!talAnswerFits(InformationBufferLength, TAL_TALLIES_BYTES, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        Result = CardUpdateTallies(Adapter);
        MoveSource = &Adapter->tallies;
        MoveBytes = TAL_TALLIES_BYTES;
        break;
    case OID_PRIV_SCAN_RESULTS:
        if (!talAnswerFits(InformationBufferLength, TAL_SCAN_RESULTS_BYTES, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        Result = CardUpdateScanResult(Adapter);
        MoveSource = Adapter->scan_buffer;
        MoveBytes = TAL_SCAN_RESULTS_BYTES;
        break;
    case OID_PRIV_REGISTER_DUMP:
        if (!talAnswerFits(InformationBufferLength, TAL_REGISTER_DUMP_BYTES, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        StatusToReturn = talRegisterDump(Adapter, Answer.Bytes);
        MoveBytes = TAL_REGISTER_DUMP_BYTES;
        break;
    case OID_PRIV_AP_INFO:
        // Neither step's result is consulted: the answer is what the
        // access point last told.
        if (!talAnswerFits(InformationBufferLength, TAL_AP_INFO_BYTES, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        QuenlixOUIRequest(Adapter);
        QuenlixOUIRead(Adapter, Answer.Bytes);
        MoveBytes = TAL_AP_INFO_BYTES;
        break;
    case OID_PRIV_SITE_SURVEY_START:
    case OID_PRIV_SITE_SURVEY_CONTINUE:
    case OID_PRIV_SITE_SURVEY_END:
        // The steps report nothing; the answer is four zero bytes.
        if (!talAnswerFits(InformationBufferLength, TAL_SURVEY_ANSWER, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        if (Oid == OID_PRIV_SITE_SURVEY_START) {
            siteSurvey_start(Adapter);
        } else if (Oid == OID_PRIV_SITE_SURVEY_CONTINUE) {
            siteSurvey_cont(Adapter);
        } else {
            siteSurvey_end(Adapter);
            NdisZeroMemory(Adapter->scan_buffer, sizeof(Adapter->scan_buffer));
        }
        break;
    case OID_PRIV_PDA:
        StatusToReturn =
            talQueryPDA(Adapter, InformationBufferLength, BytesNeeded, &MoveSource, &MoveBytes);
        break;
    case OID_PRIV_DOWNLOAD_ERROR:
        StatusToReturn = talQueryDownloadError(Adapter, InformationBufferLength, BytesNeeded,
                                               &MoveSource, &MoveBytes);
        break;

    default:
        StatusToReturn = NDIS_STATUS_INVALID_OID;
        break;
    }

    if (Result != TAL_RESULT_OK)
        StatusToReturn = NDIS_STATUS_FAILURE;
    if (StatusToReturn != NDIS_STATUS_SUCCESS)
        return StatusToReturn;
    if (MoveBytes > InformationBufferLength) {
        *BytesNeeded = MoveBytes;
        return NDIS_STATUS_INVALID_LENGTH;
    }
    NdisMoveMemory(InformationBuffer, MoveSource, MoveBytes);
    *BytesWritten = MoveBytes;
    return NDIS_STATUS_SUCCESS;
}
