// The set handler: the packet filter, the lookahead and the multicast list,
// and the private settings, keys, modes, register writes and download steps
// of the configuration utility. Most private settings are only stored:
// the card takes them at the next card reset. No set reads past the
// request's buffer, and a refused set changes nothing.
// Runs serialized by the wrapper, takes no lock (cardReset takes Lock).
#include "driver/taloids.h"

#include "download/taldown.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "wep/talwep.h"

// Filter bits the driver refuses; every other bit is accepted (it filters
// nothing itself: the card and the wrapper's filter library do).
#define TAL_REFUSED_FILTER                                                                     \
    (NDIS_PACKET_TYPE_ALL_MULTICAST | NDIS_PACKET_TYPE_SOURCE_ROUTING | NDIS_PACKET_TYPE_SMT | \
     NDIS_PACKET_TYPE_GROUP | NDIS_PACKET_TYPE_ALL_FUNCTIONAL | NDIS_PACKET_TYPE_FUNCTIONAL |  \
     NDIS_PACKET_TYPE_MAC_FRAME)
#define TAL_VALUE_BYTES 4
#define TAL_ADDRESS_LEN 6
#define TAL_KEY_BYTES_40 5
#define TAL_KEY_BYTES_104 13

// A value is the buffer's first 4 bytes, little-endian.
static ULONG talValue(PVOID InformationBuffer) {
    const UCHAR *b = (const UCHAR *)InformationBuffer;
    return (ULONG)b[0] | ((ULONG)b[1] << 8) | ((ULONG)b[2] << 16) | ((ULONG)b[3] << 24);
}

// The stored setting a value OID writes, and whether it takes the low byte.
static BOOLEAN talSettingField(TAL_ADAPTER *Adapter, NDIS_OID Oid, PULONG *Field,
                               BOOLEAN *LowByte) {
    *LowByte = TRUE;
    switch (Oid) {
    case OID_PRIV_NETWORK_MODE:
        *Field = &Adapter->NetworkMode;
        return TRUE;
    case OID_PRIV_CHANNEL:
        *Field = &Adapter->Channel;
        return TRUE;
    case OID_PRIV_AP_DENSITY:
        *Field = &Adapter->APDensity;
        return TRUE;
    case OID_PRIV_POWER_MANAGEMENT:
        *Field = &Adapter->PSModeValue;
        return TRUE;
    case OID_PRIV_TX_RATE:
        *Field = &Adapter->TransmitRate;
        return TRUE;
    case OID_PRIV_RTS_THRESHOLD:
        // Stored whole; the card takes its low 16 bits.
        *Field = &Adapter->Threshold;
        *LowByte = FALSE;
        return TRUE;
    default:
        return FALSE;
    }
}

// The transmit key as the key id and the key size now select it: the
// key-id byte first (it names the key the seed is built from), then the
// seed and its keystream. The 24-bit IV counter is kept.
static VOID talRebuildTxKey(TAL_ADAPTER *Adapter) {
    Adapter->iv[3] = wep_tx_keyid(Adapter);
    wep_tx_setkey(Adapter);
}

// Key text: two hexadecimal digits per byte, most significant first. The
// key changes only when every pair converts.
static NDIS_STATUS talSetKey(PUCHAR Key, USHORT KeyBytes, PVOID InformationBuffer) {
    const UCHAR *Text = (const UCHAR *)InformationBuffer;
    UCHAR Converted[TAL_KEY_BYTES_104];
    for (USHORT i = 0; i < KeyBytes; i++)
        if (!talBYTE2Hex(Text[2 * i + 1], Text[2 * i], &Converted[i]))
            return NDIS_STATUS_INVALID_DATA;
    talMemcpy(Key, Converted, (UCHAR)KeyBytes);
    Key[KeyBytes] = 0;
    return NDIS_STATUS_SUCCESS;
}

// The key an OID sets and its size in bytes (key 0 takes 13 in 104-bit mode).
static PUCHAR talKeyField(TAL_ADAPTER *Adapter, NDIS_OID Oid, USHORT *KeyBytes) {
    *KeyBytes = TAL_KEY_BYTES_40;
    switch (Oid) {
    case OID_PRIV_WEP_KEY0:
        if (Adapter->WepRequired == WEP_MODE_104)
            *KeyBytes = TAL_KEY_BYTES_104;
        return Adapter->WepDefaultKey0;
    case OID_PRIV_WEP_KEY1:
        return Adapter->WepDefaultKey1;
    case OID_PRIV_WEP_KEY2:
        return Adapter->WepDefaultKey2;
    case OID_PRIV_WEP_KEY3:
        return Adapter->WepDefaultKey3;
    default:
        return NULL;
    }
}

// Byte i of the request (i = 1 to 49) goes to register index 2 * i; byte 0
// is not used. A failed write fails the request; the others still run.
static NDIS_STATUS talRegisterWrite(TAL_ADAPTER *Adapter, const UCHAR *Values) {
    NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
    for (USHORT i = 1; i <= TAL_REGISTER_WRITES; i++)
        if (issue_Cmd3(Adapter, TAL_CMD_WRITE_MIF, (USHORT)(2 * i), Values[i], 0,
                       TAL_REGISTER_TIMEOUT) != TAL_RESULT_OK)
            Status = NDIS_STATUS_FAILURE;
    return Status;
}

// The card's multicast record as the filter asks: the stored list while
// the filter takes multicast frames, else the empty list. The record's
// own result is not reported.
static VOID talApplyMulticast(TAL_ADAPTER *Adapter) {
    if (Adapter->PacketFilter & NDIS_PACKET_TYPE_MULTICAST)
        setMulticast(Adapter);
    else
        disableMulticast(Adapter);
}

// A refused set: nothing read, and what length would do (0: none).
static NDIS_STATUS talRefuse(PULONG BytesRead, PULONG BytesNeeded, ULONG Needed,
                             NDIS_STATUS Status) {
    *BytesRead = 0;
    *BytesNeeded = Needed;
    return Status;
}

// A length the request must have: FALSE, refused, when the buffer is
// shorter (Exact: of another length).
static BOOLEAN talLengthOk(ULONG Length, ULONG Needed, BOOLEAN Exact, PULONG BytesRead,
                           PULONG BytesNeeded) {
    if (Length == Needed || (!Exact && Length > Needed))
        return TRUE;
    talRefuse(BytesRead, BytesNeeded, Needed, NDIS_STATUS_INVALID_LENGTH);
    return FALSE;
}

NDIS_STATUS NTAPI TalSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                    PVOID InformationBuffer, ULONG InformationBufferLength,
                                    PULONG BytesRead, PULONG BytesNeeded) {
    TAL_ADAPTER *Adapter = (TAL_ADAPTER *)MiniportAdapterContext;
    NDIS_STATUS Status = NDIS_STATUS_SUCCESS;
    ULONG Length = InformationBufferLength;
    PULONG Field;
    BOOLEAN LowByte;
    PUCHAR Key;
    USHORT KeyBytes;

    switch (Oid) {
    case OID_GEN_CURRENT_PACKET_FILTER: {
        if (!talLengthOk(Length, TAL_VALUE_BYTES, TRUE, BytesRead, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        ULONG Filter = talValue(InformationBuffer);
        if (Filter & TAL_REFUSED_FILTER) {
            *BytesRead = TAL_VALUE_BYTES;
            *BytesNeeded = 0;
            return NDIS_STATUS_NOT_SUPPORTED;
        }
        Adapter->PacketFilter = Filter;
        talApplyMulticast(Adapter);
        break;
    }
    case OID_GEN_CURRENT_LOOKAHEAD: {
        if (!talLengthOk(Length, TAL_VALUE_BYTES, TRUE, BytesRead, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        ULONG LookAhead = talValue(InformationBuffer);
        if (LookAhead > TAL_MAX_LOOKAHEAD)
            return talRefuse(BytesRead, BytesNeeded, 0, NDIS_STATUS_INVALID_LENGTH);
        Adapter->MaxLookAhead = LookAhead;
        break;
    }
    case OID_802_3_MULTICAST_LIST:
        // Too many addresses first: no length over 32 of them would do.
        if (Length > TAL_MAX_MULTICAST * TAL_ADDRESS_LEN)
            return talRefuse(BytesRead, BytesNeeded, 0, NDIS_STATUS_MULTICAST_FULL);
        if (Length % TAL_ADDRESS_LEN != 0) {
            // Whole addresses: the next length that is one.
            return talRefuse(BytesRead, BytesNeeded,
                             (Length / TAL_ADDRESS_LEN + 1) * TAL_ADDRESS_LEN,
                             NDIS_STATUS_INVALID_LENGTH);
        }
        Adapter->NumberOfAddress = (USHORT)(Length / TAL_ADDRESS_LEN);
        if (Length != 0) // an empty list may come without a buffer
            NdisMoveMemory(Adapter->MulticastAddress, InformationBuffer, Length);
        // The card takes the list now only while the filter asks for it.
        if (Adapter->PacketFilter & NDIS_PACKET_TYPE_MULTICAST)
            setMulticast(Adapter);
        break;
    case OID_PRIV_DESIRED_ESSID:
        if (Length > TAL_ESSID_MAX)
            return talRefuse(BytesRead, BytesNeeded, 0, NDIS_STATUS_INVALID_LENGTH);
        talMemcpy(Adapter->Desired_ESSID, InformationBuffer, (UCHAR)Length);
        Adapter->Desired_ESSID_Length = (UCHAR)Length;
        break;
    case OID_PRIV_PROMISCUOUS:
        if (!talLengthOk(Length, TAL_VALUE_BYTES, FALSE, BytesRead, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        Adapter->PromiscuousMode = (UCHAR)talValue(InformationBuffer);
        break;
    case OID_PRIV_WEP_FLAGS: {
        if (!talLengthOk(Length, TAL_VALUE_BYTES, FALSE, BytesRead, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        BOOLEAN Was104 = Adapter->WepRequired == WEP_MODE_104;
        Adapter->WepRequired = talValue(InformationBuffer) & 0xFF;
        // A new key size needs a new transmit seed at once.
        if (Was104 != (Adapter->WepRequired == WEP_MODE_104))
            talRebuildTxKey(Adapter);
        break;
    }
    case OID_PRIV_WEP_KEY_ID:
        if (!talLengthOk(Length, TAL_VALUE_BYTES, FALSE, BytesRead, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        Adapter->WepDefaultKeyId = talValue(InformationBuffer) & 0xFF;
        talRebuildTxKey(Adapter);
        Adapter->ivCount = 0;
        break;
    case OID_PRIV_RESET_CARD:
        if (cardReset(Adapter) != TAL_RESULT_OK)
            Status = NDIS_STATUS_FAILURE;
        break;
    case OID_PRIV_SNIFFER_ON:
        if (OnSniffer(Adapter) != TAL_RESULT_OK)
            Status = NDIS_STATUS_FAILURE;
        break;
    case OID_PRIV_SNIFFER_OFF:
        if (OffSniffer(Adapter) != TAL_RESULT_OK)
            Status = NDIS_STATUS_FAILURE;
        break;
    case OID_PRIV_REGISTER_WRITE:
        // Every one of the 49 registers gets a value from the request.
        if (!talLengthOk(Length, TAL_REGISTER_WRITE_MIN, FALSE, BytesRead, BytesNeeded))
            return NDIS_STATUS_INVALID_LENGTH;
        if (Length > TAL_REGISTER_WRITE_MAX)
            return talRefuse(BytesRead, BytesNeeded, 0, NDIS_STATUS_INVALID_LENGTH);
        Status = talRegisterWrite(Adapter, (const UCHAR *)InformationBuffer);
        break;
    case OID_PRIV_DOWNLOAD_BEGIN:
        Status = talSetDownloadBegin(Adapter, InformationBuffer, Length, BytesNeeded);
        break;
    case OID_PRIV_DOWNLOAD_HEADER:
        Status = talSetDownloadHeader(Adapter, InformationBuffer, Length, BytesNeeded);
        break;
    case OID_PRIV_DOWNLOAD_DATA:
        Status = talSetDownloadData(Adapter, InformationBuffer, Length, BytesNeeded);
        break;
    case OID_PRIV_DOWNLOAD_COUNT:
        Status = talSetDownloadCount(Adapter, InformationBuffer, Length, BytesNeeded);
        break;
    case OID_PRIV_DOWNLOAD_END:
        Status = talSetDownloadEnd(Adapter, InformationBuffer, Length, BytesNeeded);
        break;
    default:
        if (talSettingField(Adapter, Oid, &Field, &LowByte)) {
            if (!talLengthOk(Length, TAL_VALUE_BYTES, FALSE, BytesRead, BytesNeeded))
                return NDIS_STATUS_INVALID_LENGTH;
            *Field = LowByte ? talValue(InformationBuffer) & 0xFF : talValue(InformationBuffer);
        } else if ((Key = talKeyField(Adapter, Oid, &KeyBytes)) != NULL) {
            if (!talLengthOk(Length, 2 * (ULONG)KeyBytes, FALSE, BytesRead, BytesNeeded))
                return NDIS_STATUS_INVALID_LENGTH;
            Status = talSetKey(Key, KeyBytes, InformationBuffer);
            if (Status != NDIS_STATUS_SUCCESS)
                return talRefuse(BytesRead, BytesNeeded, 0, Status);
        } else {
            return talRefuse(BytesRead, BytesNeeded, 0, NDIS_STATUS_INVALID_OID);
        }
        break;
    }

    if (Status == NDIS_STATUS_INVALID_LENGTH)
        *BytesRead = 0; // a download step refused the request's length
    if (Status != NDIS_STATUS_SUCCESS)
        return Status;
    // Every successful set reports the whole buffer as read.
    *BytesRead = Length;
    *BytesNeeded = 0;
    return NDIS_STATUS_SUCCESS;
}
