// Adapter initialization: medium, adapter record, registry configuration.
// TalInitialize runs at passive level before any other handler of the
// adapter; nothing here touches the card or takes a lock.
#include "driver/talmain.h"

#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "driver/taloids.h"
#include "driver/talpower.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "mgmt/talmgmt.h"
#include "wep/talwep.h"

#define TAL_DEFAULT_NETWORK_MODE 1
#define TAL_DEFAULT_AP_DENSITY 1
#define TAL_DEFAULT_CHANNEL 4
#define TAL_DEFAULT_TRANSMIT_RATE 15
#define TAL_DEFAULT_RTS_THRESHOLD 3000
#define TAL_DEFAULT_KEY_ID 255
#define TAL_DEFAULT_WEP_FACTOR 3
#define TAL_DEFAULT_AUTHENTICATION 2
#define TAL_DEFAULT_FRAG_THRESHOLD 2346
#define TAL_DEFAULT_IV_COUNT 1000
#define TAL_WEP_MODE_40 3
#define TAL_WEP_MODE_104 7
#define TAL_KEY_TEXT_LEN 40     // four 40-bit keys as 10 digits each
#define TAL_KEY_TEXT_LEN_104 26 // one 104-bit key as 26 digits
#define TAL_KEY_BYTES_40 5
#define TAL_KEY_BYTES_104 13
#define TAL_ADDRESS_LEN 6
#define TAL_GROUP_BIT 0x01 // first address byte: a group address
#define TAL_NETWORK_MODE_INFRA 1
#define TAL_LINK_CONNECTED 1

// The default vendor description includes its terminating zero.
static const UCHAR TalDefaultVendorDesc[] = "QUENLIX 11Mbps WirelessLAN";
static const UCHAR TalDefaultEssid[3] = {'A', 'N', 'Y'};

// Registry keywords of the adapter instance, in the order they are read.
static NDIS_STRING TalKeyIoBaseAddress = NDIS_STRING_CONST("IoBaseAddress");
static NDIS_STRING TalKeyInterruptNumber = NDIS_STRING_CONST("InterruptNumber");
static NDIS_STRING TalKeyNetworkMode = NDIS_STRING_CONST("NetworkMode");
static NDIS_STRING TalKeyEssid = NDIS_STRING_CONST("ESSID");
static NDIS_STRING TalKeyStationName = NDIS_STRING_CONST("StationName");
static NDIS_STRING TalKeyApDensity = NDIS_STRING_CONST("APDensity");
static NDIS_STRING TalKeyChannel = NDIS_STRING_CONST("Channel");
static NDIS_STRING TalKeyTransmitRate = NDIS_STRING_CONST("TransmitRate");
static NDIS_STRING TalKeyMediumReservation = NDIS_STRING_CONST("MediumReservation");
static NDIS_STRING TalKeyPsMode = NDIS_STRING_CONST("PSMode");
static NDIS_STRING TalKeyPsLevel = NDIS_STRING_CONST("PSLevel");
static NDIS_STRING TalKeyWepReq = NDIS_STRING_CONST("WepReq");
static NDIS_STRING TalKeyDefaultKeyId = NDIS_STRING_CONST("DefaultKeyId");
static NDIS_STRING TalKeyDefaultKeys = NDIS_STRING_CONST("DefaultKeys");
static NDIS_STRING TalKeyDecryptInDriver = NDIS_STRING_CONST("DecryptInDriver");
static NDIS_STRING TalKeyEncryptInDriver = NDIS_STRING_CONST("EncryptInDriver");
static NDIS_STRING TalKeyWepFactor = NDIS_STRING_CONST("WEPFactor");
static NDIS_STRING TalKeyShortPreamble = NDIS_STRING_CONST("ShortPreamble");
static NDIS_STRING TalKeyAuthenticationType = NDIS_STRING_CONST("AuthenticationType");
static NDIS_STRING TalKeyFragThresh = NDIS_STRING_CONST("FragThresh");
static NDIS_STRING TalKeyPollInDriver = NDIS_STRING_CONST("PollInDriver");
static NDIS_STRING TalKeyIvCount = NDIS_STRING_CONST("IVCount");
static NDIS_STRING TalKeyVendorDesc = NDIS_STRING_CONST("VendorDesc");

// Reads an integer keyword; FALSE (value untouched) when it is missing or
// not convertible.
static BOOLEAN talReadInteger(NDIS_HANDLE ConfigHandle, PNDIS_STRING Keyword,
                              NDIS_PARAMETER_TYPE Type, ULONG *Value) {
    NDIS_STATUS Status;
    PNDIS_CONFIGURATION_PARAMETER Param;
    NdisReadConfiguration(&Status, &Param, ConfigHandle, Keyword, Type);
    // A hexadecimal read may come back as either integer kind (the
    // wrapper's documentation differs between versions); anything else is
    // not a value of the kind asked for.
    if (Status != NDIS_STATUS_SUCCESS || (Param->ParameterType != NdisParameterInteger &&
                                          Param->ParameterType != NdisParameterHexInteger))
        return FALSE;
    *Value = Param->ParameterData.IntegerData;
    return TRUE;
}

static ULONG talIntegerOr(NDIS_HANDLE ConfigHandle, PNDIS_STRING Keyword, ULONG Default) {
    ULONG Value = Default;
    talReadInteger(ConfigHandle, Keyword, NdisParameterInteger, &Value);
    return Value;
}

static BOOLEAN talReadStringParam(NDIS_HANDLE ConfigHandle, PNDIS_STRING Keyword,
                                  PNDIS_STRING *Value) {
    NDIS_STATUS Status;
    PNDIS_CONFIGURATION_PARAMETER Param;
    NdisReadConfiguration(&Status, &Param, ConfigHandle, Keyword, NdisParameterString);
    if (Status != NDIS_STATUS_SUCCESS || Param->ParameterType != NdisParameterString)
        return FALSE;
    *Value = &Param->ParameterData.StringData;
    return TRUE;
}

// Reads a string keyword into its field. The value is cut to MaxChars
// characters and converted in a buffer with room for a terminator, then
// copied: the system's conversion keeps a byte for the terminator, so a
// name that fills its field exactly would otherwise lose its last
// character on NT while the host kept it. Nothing lands beyond the field.
static BOOLEAN talReadString(NDIS_HANDLE ConfigHandle, PNDIS_STRING Keyword, PUCHAR Field,
                             USHORT MaxChars, PUCHAR LengthField) {
    PNDIS_STRING Value;
    CHAR Bounce[TAL_VENDOR_DESC_SIZE + 1];
    if (!talReadStringParam(ConfigHandle, Keyword, &Value))
        return FALSE;

    NDIS_STRING Source = *Value;
    if (Source.Length > MaxChars * sizeof(WCHAR))
        Source.Length = (USHORT)(MaxChars * sizeof(WCHAR));

    NDIS_ANSI_STRING Target;
    Target.Length = 0;
    Target.MaximumLength = (USHORT)(MaxChars + 1);
    Target.Buffer = Bounce;
    NdisUnicodeStringToAnsiString(&Target, &Source);
    if (Target.Length > MaxChars)
        Target.Length = MaxChars;
    talMemcpy(Field, Bounce, (UCHAR)Target.Length);
    *LengthField = (UCHAR)Target.Length;
    return TRUE;
}

// "DefaultKeys": four 40-bit keys as 4 x 10 hexadecimal digits, or one
// 104-bit key as 26 digits. Runs after "WepReq" has been read.
static VOID talConvertDefaultKeys(TAL_ADAPTER *Adapter, PNDIS_STRING Text) {
    const UCHAR *Bytes = (const UCHAR *)Text->Buffer;
    USHORT ByteLength = Text->Length;
    BOOLEAN Narrow;
    UCHAR Count;

    // Some writers leave 8-bit text in the value; its second byte then is
    // a character, where UTF-16 text has the high byte of the first unit.
    // A value under two bytes long is never looked at past its end.
    Narrow = (ByteLength >= 2 && Bytes[1] != 0);
    if (Narrow)
        Count = (UCHAR)(ByteLength - 1);
    else
        Count = (UCHAR)(ByteLength / 2);
    if (Count > TAL_KEY_TEXT_LEN)
        Count = TAL_KEY_TEXT_LEN;

    for (UCHAR i = 0; i < Count; i++)
        Adapter->WepDefaultKeys[i] = Narrow ? Bytes[i] : Bytes[2 * i];

    if ((Adapter->WepRequired == TAL_WEP_MODE_40 && Count < TAL_KEY_TEXT_LEN) ||
        (Adapter->WepRequired == TAL_WEP_MODE_104 && Count < TAL_KEY_TEXT_LEN_104))
        talMemset(Adapter->WepDefaultKeys, '0', TAL_KEY_TEXT_LEN);

    const UCHAR *K = Adapter->WepDefaultKeys;
    if (Adapter->WepRequired == TAL_WEP_MODE_104) {
        // A bad pair leaves its byte as it was; conversion goes on.
        for (UCHAR b = 0; b < TAL_KEY_BYTES_104; b++)
            talBYTE2Hex(K[2 * b + 1], K[2 * b], &Adapter->WepDefaultKey0[b]);
        Adapter->WepDefaultKey0[TAL_KEY_BYTES_104] = 0;
        return;
    }

    PUCHAR Keys[4] = {Adapter->WepDefaultKey0, Adapter->WepDefaultKey1, Adapter->WepDefaultKey2,
                      Adapter->WepDefaultKey3};
    for (UCHAR n = 0; n < 4; n++) {
        const UCHAR *Digits = K + 10 * n;
        BOOLEAN Failed = FALSE;
        for (UCHAR b = 0; b < TAL_KEY_BYTES_40; b++) {
            if (!talBYTE2Hex(Digits[2 * b + 1], Digits[2 * b], &Keys[n][b])) {
                Failed = TRUE;
                break;
            }
        }
        Keys[n][TAL_KEY_BYTES_40] = 0;
        if (Failed)
            talMemset(Keys[n], 0, TAL_KEY_BYTES_40 + 1);
    }
}

VOID TalInitAdapterRecord(TAL_ADAPTER *Adapter, NDIS_HANDLE MiniportAdapterHandle) {
    NdisZeroMemory(Adapter, sizeof(TAL_ADAPTER));
    Adapter->MaxLookAhead = TAL_MAX_LOOKAHEAD;
    Adapter->MaxMulticastList = TAL_MAX_MULTICAST;
    Adapter->MiniportAdapterHandle = MiniportAdapterHandle;
}

NDIS_STATUS TalReadConfiguration(TAL_ADAPTER *Adapter, NDIS_HANDLE ConfigurationHandle) {
    NDIS_STATUS Status;
    NDIS_HANDLE ConfigHandle;
    BOOLEAN ConfigError = FALSE;
    ULONG Value;

    NdisOpenConfiguration(&Status, &ConfigHandle, ConfigurationHandle);
    if (Status != NDIS_STATUS_SUCCESS)
        return Status;

    do {
        if (!talReadInteger(ConfigHandle, &TalKeyIoBaseAddress, NdisParameterHexInteger,
                            &Adapter->IoBaseAddr)) {
            // Without a port base there is no card to talk to.
            ConfigError = TRUE;
            break;
        }

        Value = 0;
        talReadInteger(ConfigHandle, &TalKeyInterruptNumber, NdisParameterInteger, &Value);
        Adapter->InterruptNumber = Value & 0xFF;

        Adapter->NetworkMode =
            talIntegerOr(ConfigHandle, &TalKeyNetworkMode, TAL_DEFAULT_NETWORK_MODE);

        if (!talReadString(ConfigHandle, &TalKeyEssid, Adapter->Desired_ESSID, TAL_ESSID_MAX,
                           &Adapter->Desired_ESSID_Length)) {
            talMemcpy(Adapter->Desired_ESSID, TalDefaultEssid, sizeof(TalDefaultEssid));
            Adapter->Desired_ESSID_Length = sizeof(TalDefaultEssid);
        }

        if (!talReadString(ConfigHandle, &TalKeyStationName, Adapter->StationName, TAL_ESSID_MAX,
                           &Adapter->StationNameLength)) {
            talMemset(Adapter->StationName, 0, 1);
            Adapter->StationNameLength = 0;
        }

        Adapter->APDensity = talIntegerOr(ConfigHandle, &TalKeyApDensity, TAL_DEFAULT_AP_DENSITY);
        Adapter->Channel = talIntegerOr(ConfigHandle, &TalKeyChannel, TAL_DEFAULT_CHANNEL);
        Adapter->TransmitRate =
            talIntegerOr(ConfigHandle, &TalKeyTransmitRate, TAL_DEFAULT_TRANSMIT_RATE);
        Adapter->Threshold =
            talIntegerOr(ConfigHandle, &TalKeyMediumReservation, TAL_DEFAULT_RTS_THRESHOLD);
        Adapter->PSModeValue = talIntegerOr(ConfigHandle, &TalKeyPsMode, 0);
        Adapter->PSLevel = talIntegerOr(ConfigHandle, &TalKeyPsLevel, 0);
        Adapter->WepRequired = talIntegerOr(ConfigHandle, &TalKeyWepReq, 0);
        Adapter->WepDefaultKeyId =
            talIntegerOr(ConfigHandle, &TalKeyDefaultKeyId, TAL_DEFAULT_KEY_ID);

        {
            PNDIS_STRING Keys;
            if (talReadStringParam(ConfigHandle, &TalKeyDefaultKeys, &Keys))
                talConvertDefaultKeys(Adapter, Keys);
        }

        Adapter->DecryptInDriver = talIntegerOr(ConfigHandle, &TalKeyDecryptInDriver, 1);
        Adapter->EncryptInDriver = talIntegerOr(ConfigHandle, &TalKeyEncryptInDriver, 1);
        Adapter->WEPIVReuse = talIntegerOr(ConfigHandle, &TalKeyWepFactor, TAL_DEFAULT_WEP_FACTOR);
        Adapter->ShortPreamble = talIntegerOr(ConfigHandle, &TalKeyShortPreamble, 1);
        Adapter->AuthenticationType =
            talIntegerOr(ConfigHandle, &TalKeyAuthenticationType, TAL_DEFAULT_AUTHENTICATION);
        Adapter->FragThresh =
            talIntegerOr(ConfigHandle, &TalKeyFragThresh, TAL_DEFAULT_FRAG_THRESHOLD);
        Adapter->PollInDriver = talIntegerOr(ConfigHandle, &TalKeyPollInDriver, 0);

        {
            PVOID Address;
            UINT AddressLength;
            NdisReadNetworkAddress(&Status, &Address, &AddressLength, ConfigHandle);
            if (Status == NDIS_STATUS_SUCCESS && AddressLength == TAL_ADDRESS_LEN) {
                // A group address cannot be a station's: the card's own stays.
                if (((const UCHAR *)Address)[0] & TAL_GROUP_BIT)
                    NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle,
                                           NDIS_ERROR_CODE_NETWORK_ADDRESS, 1, 1);
                else
                    talMemcpy(Adapter->CurrentNetworkAddress, Address, TAL_ADDRESS_LEN);
            }
        }

        Adapter->ivCountMax =
            (USHORT)talIntegerOr(ConfigHandle, &TalKeyIvCount, TAL_DEFAULT_IV_COUNT);

        // Cut to 127 characters so the description always keeps a zero
        // byte: the vendor description query returns it up to that zero.
        if (!talReadString(ConfigHandle, &TalKeyVendorDesc, Adapter->VendorDescription,
                           TAL_VENDOR_DESC_SIZE - 1, &Adapter->VendorDescriptionLength)) {
            talMemcpy(Adapter->VendorDescription, TalDefaultVendorDesc,
                      sizeof(TalDefaultVendorDesc));
            Adapter->VendorDescriptionLength = sizeof(TalDefaultVendorDesc);
        }
    } while (FALSE);

    NdisCloseConfiguration(ConfigHandle);
    return ConfigError ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS;
}

// A failed bring-up gives back what it took, since the caller frees the
// record right after: the card masked, the interrupt, the port range.
static VOID talUndoBringUp(TAL_ADAPTER *Adapter, BOOLEAN InterruptRegistered) {
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_NONE);
    if (InterruptRegistered)
        NdisMDeregisterInterrupt(&Adapter->Interrupt);
    NdisMDeregisterIoPortRange(Adapter->MiniportAdapterHandle, Adapter->IoBaseAddr, TAL_PORT_COUNT,
                               (PVOID)(ULONG_PTR)Adapter->IoBaseAddrR);
}

NDIS_STATUS TalRegisterAdapter(TAL_ADAPTER *Adapter, NDIS_HANDLE ConfigurationHandle) {
    NDIS_STATUS Status;
    USHORT Result;
    BOOLEAN InterruptRegistered = FALSE;
    (VOID) ConfigurationHandle;

    // The card's events stay masked until everything is in place.
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_NONE);

    if (Initialize(Adapter) != TAL_RESULT_OK) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_TIMEOUT, 1, 1);
        talUndoBringUp(Adapter, FALSE);
        return NDIS_STATUS_FAILURE;
    }
    cardStatusRead(Adapter);

    // Host WEP: the first IV and the transmit keystream; no receive seed.
    Adapter->iv[0] = 0;
    Adapter->iv[1] = 0;
    Adapter->iv[2] = 0;
    Adapter->iv[3] = wep_tx_keyid(Adapter);
    Adapter->ivCount = 0;
    crc32_mktable(Adapter);
    wep_tx_setkey(Adapter);
    talMemset(Adapter->rx_key, 0, sizeof(Adapter->rx_key));

    cardInitialSet(Adapter);

    Adapter->QuenlixOUI = 0;
    Adapter->APCard_Info_Flag = 0;
    Adapter->sniffer_state = 0;
    NdisZeroMemory(&Adapter->PacketMonitor, sizeof(Adapter->PacketMonitor));
    Adapter->txPacket = NULL;
    Adapter->PromiscuousMode = 0;

    // No indication here: with an access point the card reports the link
    // when it has one; the other modes are connected from the start.
    if (Adapter->NetworkMode == TAL_NETWORK_MODE_INFRA) {
        Adapter->LinkStatus = 0;
        Adapter->LinkIsActive = 1;
    } else {
        Adapter->LinkStatus = TAL_LINK_CONNECTED;
        Adapter->LinkIsActive = 0;
    }

    if (Adapter->PollInDriver == 0) {
        Status = NdisMRegisterInterrupt(&Adapter->Interrupt, Adapter->MiniportAdapterHandle,
                                        Adapter->InterruptNumber, Adapter->InterruptNumber, TRUE,
                                        FALSE, NdisInterruptLatched);
        if (Status != NDIS_STATUS_SUCCESS) {
            talUndoBringUp(Adapter, FALSE);
            NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle,
                                   NDIS_ERROR_CODE_INTERRUPT_CONNECT, 1, 1);
            return Status;
        }
        InterruptRegistered = TRUE;
    }

    if (Enable(Adapter) != TAL_RESULT_OK) {
        NdisWriteErrorLogEntry(Adapter->MiniportAdapterHandle, NDIS_ERROR_CODE_TIMEOUT, 1, 1);
        talUndoBringUp(Adapter, InterruptRegistered);
        return NDIS_STATUS_FAILURE;
    }
    cardStatusRead(Adapter);

    Result = talAllocateTxBuffer(Adapter);
    if (Result != TAL_RESULT_OK) {
        talUndoBringUp(Adapter, InterruptRegistered);
        return Result; // a card result code reaches the wrapper unchanged
    }

    Adapter->reclaimStatus = 1;
    Adapter->FirstTxQueue = NULL;
    Adapter->LastTxQueue = NULL;
    Adapter->NumPacketsQueued = 0;
    talPutIOPortWord(Adapter, TAL_REG_INTEN, TAL_INTEN_RUN);
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS NTAPI TalInitialize(PNDIS_STATUS OpenErrorStatus, PUINT SelectedMediumIndex,
                                PNDIS_MEDIUM MediumArray, UINT MediumArraySize,
                                NDIS_HANDLE MiniportAdapterHandle,
                                NDIS_HANDLE ConfigurationHandle) {
    TAL_ADAPTER *Adapter;
    NDIS_STATUS Status;
    PVOID PortBase;
    NDIS_PHYSICAL_ADDRESS HighestAcceptableMax = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
    UINT i;

    (VOID) OpenErrorStatus;

    // The highest index that offers 802.3 wins.
    for (i = MediumArraySize; i > 0; i--)
        if (MediumArray[i - 1] == TAL_MEDIUM)
            break;
    if (i == 0)
        return NDIS_STATUS_UNSUPPORTED_MEDIA;
    *SelectedMediumIndex = i - 1;

    Status = NdisAllocateMemory((PVOID *)&Adapter, sizeof(TAL_ADAPTER), 0, HighestAcceptableMax);
    if (Status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_OUT_OF_RESOURCES, 1, 1);
        return Status;
    }

    TalInitAdapterRecord(Adapter, MiniportAdapterHandle);

    // A failed opening also frees the record: nothing else would.
    Status = TalReadConfiguration(Adapter, ConfigurationHandle);
    if (Status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(Adapter, sizeof(TAL_ADAPTER), 0);
        return Status;
    }

    // RegisterAdapter: the wrapper learns the record, the card's ports are
    // claimed and the card is brought up.
    NdisMSetAttributes(MiniportAdapterHandle, Adapter, FALSE, NdisInterfaceIsa);
    Status = NdisMRegisterIoPortRange(&PortBase, MiniportAdapterHandle, Adapter->IoBaseAddr,
                                      TAL_PORT_COUNT);
    if (Status != NDIS_STATUS_SUCCESS) {
        NdisWriteErrorLogEntry(MiniportAdapterHandle, NDIS_ERROR_CODE_BAD_IO_BASE_ADDRESS, 1, 1);
        NdisFreeMemory(Adapter, sizeof(TAL_ADAPTER), 0);
        return Status;
    }
    Adapter->IoBaseAddrR = (ULONG)(ULONG_PTR)PortBase;

    // A failed bring-up has given back the ports and the interrupt itself.
    Status = TalRegisterAdapter(Adapter, ConfigurationHandle);
    if (Status != NDIS_STATUS_SUCCESS) {
        NdisFreeMemory(Adapter, sizeof(TAL_ADAPTER), 0);
        return Status;
    }

    NdisMRegisterAdapterShutdownHandler(MiniportAdapterHandle, Adapter, TalShutdownHandler);
    if (Adapter->PollInDriver == 1)
        talStartPollingTimers(Adapter);
    return NDIS_STATUS_SUCCESS;
}

// ---- Driver entry ----

// Runs once at load, at passive level, before any adapter exists. The
// handler table lives on the stack: the wrapper copies it. Adapters come
// later, one initialize call per installed card.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    NDIS_HANDLE NdisWrapperHandle;
    NDIS30_MINIPORT_CHARACTERISTICS TalChar;
    NDIS_STATUS Status;

    NdisInitializeWrapper(&NdisWrapperHandle, DriverObject, RegistryPath, NULL);

    // Every slot not named stays null: no hang check, no reconfiguration,
    // and the driver masks the card's interrupts itself.
    NdisZeroMemory(&TalChar, sizeof(TalChar));
    TalChar.MajorNdisVersion = TAL_NDIS_MAJOR_VERSION;
    TalChar.MinorNdisVersion = TAL_NDIS_MINOR_VERSION;
    TalChar.HaltHandler = TalHalt;
    TalChar.HandleInterruptHandler = TalHandleInterrupt;
    TalChar.InitializeHandler = TalInitialize;
    TalChar.ISRHandler = TalIsr;
    TalChar.QueryInformationHandler = TalQueryInformation;
    TalChar.ResetHandler = TalReset;
    TalChar.SendHandler = TalSend;
    TalChar.SetInformationHandler = TalSetInformation;
    TalChar.TransferDataHandler = TalTransferData;

    Status = NdisMRegisterMiniport(NdisWrapperHandle, &TalChar, sizeof(TalChar));
    if (Status != NDIS_STATUS_SUCCESS) {
        // Nothing will use the wrapper's handle: give it back.
        NdisTerminateWrapper(NdisWrapperHandle, NULL);
        return Status;
    }
    return 0;
}
