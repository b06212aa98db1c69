// Record identifiers of the card's configuration and status records, and
// the record lengths (in words, the RID word included) the driver uses.
#pragma once

#define TAL_RID_NETWORK_MODE 0xFC00
#define TAL_RID_MAC_ADDRESS 0xFC01
#define TAL_RID_DESIRED_SSID 0xFC02
#define TAL_RID_CHANNEL 0xFC03
#define TAL_RID_OWN_SSID 0xFC04
#define TAL_RID_AP_DENSITY 0xFC06
#define TAL_RID_PM_ENABLED 0xFC09
#define TAL_RID_PM_LEVEL 0xFC0A
#define TAL_RID_STATION_NAME 0xFC0E
#define TAL_RID_WEP_KEY_ID 0xFC23
#define TAL_RID_WEP_KEY0 0xFC24
#define TAL_RID_WEP_KEY1 0xFC25
#define TAL_RID_WEP_KEY2 0xFC26
#define TAL_RID_WEP_KEY3 0xFC27
#define TAL_RID_WEP_FLAGS 0xFC28
#define TAL_RID_AUTHENTICATION 0xFC2A
#define TAL_RID_MULTICAST 0xFC80
#define TAL_RID_FRAG_THRESHOLD 0xFC82
#define TAL_RID_RTS_THRESHOLD 0xFC83
#define TAL_RID_TX_RATE 0xFC84
#define TAL_RID_SHORT_PREAMBLE 0xFCB0
#define TAL_RID_FCE0 0xFCE0
#define TAL_RID_DOWNLOAD_BUFFER 0xFD01
#define TAL_RID_PRI_IDENTITY 0xFD02
#define TAL_RID_CHANNEL_LIST 0xFD10
#define TAL_RID_REG_DOMAINS 0xFD11
#define TAL_RID_STA_IDENTITY 0xFD20
#define TAL_RID_PORT_STATUS 0xFD40
#define TAL_RID_CURRENT_SSID 0xFD41
#define TAL_RID_CURRENT_BSSID 0xFD42
#define TAL_RID_COMMS_QUALITY 0xFD43
#define TAL_RID_CURRENT_TX_RATE 0xFD44
#define TAL_RID_WEP_AVAILABLE 0xFD4F
#define TAL_RID_CURRENT_CHANNEL 0xFDC1
#define TAL_RID_CURRENT_POWER_STATE 0xFDC2

#define TAL_RECLEN_WORD 2     // one data word
#define TAL_RECLEN_ADDRESS 4  // a MAC address in three words
#define TAL_RECLEN_STRING 18  // length word and 32 bytes
#define TAL_RECLEN_IDENTITY 5 // four words
#define TAL_RECLEN_KEY40 4    // 6 key bytes
#define TAL_RECLEN_KEY104 8   // 14 key bytes
#define TAL_RECLEN_AUTH 4     // type word and two unused words
#define TAL_STRING_MAX 32
