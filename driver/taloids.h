// The information requests the driver answers: the private OID codes of the
// configuration utility and the supported list. The standard codes are the
// wrapper's (talplat.h).
#pragma once

#include "driver/taladapter.h"

// ---- Private OIDs: settings, link state and statistics ----
#define OID_PRIV_NETWORK_MODE 0xFFFFFFFE
#define OID_PRIV_DESIRED_ESSID 0xFFFFFFFD
#define OID_PRIV_CHANNEL 0xFFFFFFFC
#define OID_PRIV_SSID 0xFFFFFFFB
#define OID_PRIV_AP_DENSITY 0xFFFFFFF9
#define OID_PRIV_POWER_MANAGEMENT 0xFFFFFFF7
#define OID_PRIV_STATION_NAME 0xFFFFFFF2
#define OID_PRIV_RTS_THRESHOLD 0xFFFFFFED
#define OID_PRIV_TX_RATE 0xFFFFFFEC
#define OID_PRIV_PROMISCUOUS 0xFFFFFFEB
#define OID_PRIV_AVAILABLE_CHANNELS 0xFFFFFFD5
#define OID_PRIV_REG_DOMAIN 0xFFFFFFD4
#define OID_PRIV_PORT_STATUS 0xFFFFFFBF
#define OID_PRIV_CURRENT_ESSID 0xFFFFFFBE
#define OID_PRIV_CURRENT_BSSID 0xFFFFFFBD
#define OID_PRIV_COMMS_QUALITY 0xFFFFFFBC
#define OID_PRIV_CURRENT_TX_RATE 0xFFFFFFBB
#define OID_PRIV_CURRENT_CHANNEL 0xFFFFFFAE
#define OID_PRIV_CURRENT_POWER_STATE 0xFFFFFFAC
#define OID_PRIV_TALLIES 0xFFFFFFA8
#define OID_PRIV_SCAN_RESULTS 0xFFFFFFA7
#define OID_PRIV_LINK_STATUS 0xFFFFFFA6
#define OID_PRIV_RESET_CARD 0xFFFFFF9F

// ---- Private OIDs: WEP ----
#define OID_PRIV_WEP_KEY_ID 0xFFFFFF7F
#define OID_PRIV_WEP_KEY0 0xFFFFFF7E
#define OID_PRIV_WEP_KEY1 0xFFFFFF7D
#define OID_PRIV_WEP_KEY2 0xFFFFFF7C
#define OID_PRIV_WEP_KEY3 0xFFFFFF7B
#define OID_PRIV_WEP_FLAGS 0xFFFFFF7A

// ---- Private OIDs: versions, modes, registers, download ----
#define OID_PRIV_DRIVER_VERSION 0xFFFFFF6F
#define OID_PRIV_PRIMARY_FW_VERSION 0xFFFFFF6E
#define OID_PRIV_STATION_FW_VERSION 0xFFFFFF6D
#define OID_PRIV_SNIFFER_ON 0xFFFFFF6B
#define OID_PRIV_SNIFFER_OFF 0xFFFFFF6A
#define OID_PRIV_PDA 0xFFFFFF68
#define OID_PRIV_DOWNLOAD_HEADER 0xFFFFFF67
#define OID_PRIV_DOWNLOAD_DATA 0xFFFFFF66
#define OID_PRIV_DOWNLOAD_ERROR 0xFFFFFF65
#define OID_PRIV_DOWNLOAD_COUNT 0xFFFFFF64
#define OID_PRIV_REGISTER_DUMP 0xFFFFFF63
#define OID_PRIV_REGISTER_WRITE 0xFFFFFF62
#define OID_PRIV_DOWNLOAD_BEGIN 0xFFFFFF5B
#define OID_PRIV_DOWNLOAD_END 0xFFFFFF5A

// ---- Private OIDs answered but not in the supported list ----
#define OID_PRIV_AP_INFO 0xFFFFFF59
#define OID_PRIV_SITE_SURVEY_START 0xFFFFFF58
#define OID_PRIV_SITE_SURVEY_END 0xFFFFFF57
#define OID_PRIV_SITE_SURVEY_CONTINUE 0xFFFFFF56
#define OID_PRIV_PACKET_MONITOR 0xFFFFFF55

// ---- Answer sizes and limits ----
#define TAL_SUPPORTED_OIDS 105
#define TAL_MAX_LOOKAHEAD 1508
#define TAL_REGISTER_DUMP_BYTES 255
#define TAL_REGISTER_DUMP_READS 64
#define TAL_REGISTER_WRITES 49
#define TAL_REGISTER_WRITE_MIN 50 // byte 0 unused, then one byte per write
#define TAL_REGISTER_WRITE_MAX 1024
#define TAL_REGISTER_TIMEOUT 50 // event polls of the register commands
#define TAL_AP_INFO_BYTES 200
#define TAL_TALLIES_BYTES 84
#define TAL_SCAN_RESULTS_BYTES 980
#define TAL_BSSID_TEXT_BYTES 12

// The supported list as OID_GEN_SUPPORTED_LIST returns it, verbatim: it
// names codes no handler takes and leaves out the six last private ones.
extern const NDIS_OID TALGlobalSupportedOids[TAL_SUPPORTED_OIDS];

// Query and set handlers (passive or dispatch level, serialized by the
// wrapper with every other handler of the adapter; no lock held on entry).
NDIS_STATUS NTAPI TalQueryInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                      PVOID InformationBuffer, ULONG InformationBufferLength,
                                      PULONG BytesWritten, PULONG BytesNeeded);
NDIS_STATUS NTAPI TalSetInformation(NDIS_HANDLE MiniportAdapterContext, NDIS_OID Oid,
                                    PVOID InformationBuffer, ULONG InformationBufferLength,
                                    PULONG BytesRead, PULONG BytesNeeded);
