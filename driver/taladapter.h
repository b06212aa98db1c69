// The adapter record: everything the driver knows about one card.
// Allocated and zeroed by TalInitialize, freed by TalHalt; every handler
// receives it as its context and every driver function takes it first.
#pragma once

#include "talplat.h"

#define TAL_NUM_TIMERS 50
#define TAL_MAX_MULTICAST 32
#define TAL_ESSID_MAX 32
#define TAL_SEND_TEMP_SIZE 3000
#define TAL_WEPBOX_SIZE 2348
#define TAL_PDA_WORDS 512
#define TAL_BPW_SIZE 8192
#define TAL_SCAN_BUFFER_SIZE 1000
#define TAL_VENDOR_DESC_SIZE 128
#define TAL_CARD_FRAME_SIZE 2364 // the card's transmit/receive frame
#define TAL_CRC32_SLICES 16      // bytes per step of the word-wide CRC
#define TAL_RX_BUFFER_SIZE 3000  // the frame built for the protocols

// RC4 state of the host WEP engine.
typedef struct _wepprng {
    UCHAR s[256];
    USHORT i;
    USHORT j;
} wepprng;

// The driver's six packet counters; all wrap at 32 bits.
typedef struct _LAST_PACKET_MONITOR {
    ULONG TxPacketCounter;
    ULONG TxPacketBytes;
    ULONG TxPacketErrCounter;
    ULONG RxPacketCounter;
    ULONG RxPacketBytes;
    ULONG RxPacketErrCounter;
} _LAST_PACKET_MONITOR;

// The firmware's counters as carried by the tallies information frame.
typedef struct _TALLIES_INFO_STRUCT {
    ULONG txUnicastFrames;
    ULONG txMulticastFrames;
    ULONG txFragments;
    ULONG txUnicastOctets;
    ULONG txMulticastOctets;
    ULONG txDeferredTx;
    ULONG txSingleRetryFrames;
    ULONG txMultipleRetryFrames;
    ULONG txRetryLimitExceeded;
    ULONG txDiscards;
    ULONG rxUnicastFrames;
    ULONG rxMulticastFrames;
    ULONG rxFragments;
    ULONG rxUnicastOctets;
    ULONG rxMulticastOctets;
    ULONG rxFCSErrors;
    ULONG rxDiscardsNoBuffer;
    ULONG txDiscardsWrongSA;
    ULONG rxDiscardWEPUndecryptable;
    ULONG rxMsgInMsg;
    ULONG rxMsgInBadMsg;
} _TALLIES_INFO_STRUCT;

// One entry of the scan results information frame, as the firmware
// describes it (the driver passes the frame on unparsed).
typedef struct _SCAN_RESULT_STRUCT {
    USHORT chid; // channel
    USHORT anl;  // average noise level
    USHORT sl;   // signal level
    UCHAR bssid[6];
    USHORT bcnint;   // beacon interval
    USHORT cap;      // capability information
    USHORT ssid_len; // the SSID as a counted string
    UCHAR ssid[32];
} _SCAN_RESULT_STRUCT;

// The access point's answer to the vendor information request.
typedef struct _AP_INFO_STRUCT {
    UCHAR Model[32];
    UCHAR Version[32];
    UCHAR Description[128];
    UCHAR NAT_val;
    UCHAR DHCP;
    UCHAR Connection_num;
    UCHAR Internet_Type;
    UCHAR DHCP_IP_Acquired;
    UCHAR Connectivity;
} _AP_INFO_STRUCT;

typedef struct _TAL_ADAPTER {
    // -- Wrapper linkage and resources --
    NDIS_HANDLE MiniportAdapterHandle;
    NDIS_MINIPORT_INTERRUPT Interrupt;
    ULONG IoBaseAddrR;
    ULONG PacketFilter;
    NDIS_MINIPORT_TIMER TalTimer[TAL_NUM_TIMERS];
    ULONG IoBaseAddr;
    ULONG InterruptNumber;

    // -- Network settings --
    UCHAR Desired_ESSID[TAL_ESSID_MAX];
    UCHAR Desired_ESSID_Length;
    UCHAR old_Desired_ESSID[TAL_ESSID_MAX];
    UCHAR old_Desired_ESSID_Length;
    UCHAR old_NetworkMode;
    UCHAR StationName[TAL_ESSID_MAX];
    UCHAR StationNameLength;
    UCHAR NetworkAddress[6];
    UCHAR CurrentNetworkAddress[6];
    ULONG Threshold;
    ULONG TransmitRate;
    ULONG Channel;
    USHORT AvailableChannel;
    ULONG CurrentRegDomain;
    ULONG PSModeValue;
    ULONG PSLevel;
    ULONG NetworkMode;
    ULONG APDensity;

    // -- WEP --
    ULONG WepRequired;
    USHORT AvailableWEP;
    ULONG WepDefaultKeyId;
    UCHAR WepDefaultKeys[40];
    UCHAR WepDefaultKey0[14];
    UCHAR WepDefaultKey1[14];
    UCHAR WepDefaultKey2[14];
    UCHAR WepDefaultKey3[14];
    UCHAR iv[4];
    USHORT ivCount;
    USHORT ivCountMax;
    UCHAR key[16];
    UCHAR rx_key[16];
    UCHAR tx_wepBox[TAL_WEPBOX_SIZE];
    UCHAR rx_wepBox[TAL_WEPBOX_SIZE];
    ULONG DecryptInDriver;
    ULONG EncryptInDriver;
    ULONG WEPIVReuse;
    wepprng prng;
    ULONG crc32_table[256];
    ULONG AuthenticationType;

    // -- Filtering, transmit and receive --
    UCHAR PromiscuousMode;
    ULONG MaxLookAhead;
    UCHAR MaxMulticastList;
    UCHAR SendTempBuffer[TAL_SEND_TEMP_SIZE];
    PNDIS_PACKET txPacket;
    PUCHAR PacketRecv;
    USHORT PacketLength;
    USHORT NumberOfAddress;
    UCHAR MulticastAddress[TAL_MAX_MULTICAST][6];
    USHORT InterruptStatus;

    // -- Firmware download and production data --
    USHORT pda[TAL_PDA_WORDS];
    USHORT dlPage;
    USHORT dlOffset;

    // -- Link state and statistics --
    USHORT LinkStatus;
    LONG LinkIsActive;
    _LAST_PACKET_MONITOR PacketMonitor;
    _TALLIES_INFO_STRUCT tallies;
    UCHAR scan_buffer[TAL_SCAN_BUFFER_SIZE];

    // -- Modes and download staging --
    UCHAR sniffer_state;
    UCHAR downerrcheck;
    UCHAR downcheck;
    UCHAR downcount;
    UCHAR bpw[TAL_BPW_SIZE];
    ULONG oristradr;
    USHORT totalsize;
    USHORT PRIVariant;
    USHORT PRIMajorVersion;
    USHORT PRIMinorVersion;
    USHORT STAVariant;
    USHORT STAMajorVersion;
    USHORT STAMinorVersion;
    ULONG ShortPreamble;
    ULONG FragThresh;
    ULONG PollInDriver;
    USHORT FIDValue;
    UCHAR reclaimStatus;

    // -- Transmit queue and lock --
    PNDIS_PACKET FirstTxQueue;
    PNDIS_PACKET LastTxQueue;
    ULONG NumPacketsQueued;
    NDIS_SPIN_LOCK Lock;

    // -- Vendor information --
    UCHAR VendorDescription[TAL_VENDOR_DESC_SIZE];
    UCHAR VendorDescriptionLength;
    UCHAR QuenlixOUI;
    _AP_INFO_STRUCT APCard_Info;
    UCHAR APCard_Info_Flag;

    // -- Scratch fields (after the declared ones) --
    // Frames built or copied whole live here rather than on the stack.
    // The card's transmit frame under construction (word aligned).
    USHORT TxFrameScratch[TAL_CARD_FRAME_SIZE / 2];
    // Receive-side RC4 generator, so that extending the receive keystream
    // never depends on the state the transmit side leaves in prng.
    wepprng rx_prng;
    // Number of leading bytes of rx_wepBox that hold valid keystream.
    USHORT rx_wepBoxValid;
    // Derived CRC-32 tables of the word-wide CRC (built by crc32_mktable
    // from crc32_table): entry [k][n] is the CRC of byte n followed by
    // k + 1 zero bytes.
    ULONG crc32_slice[TAL_CRC32_SLICES - 1][256];
    // 1 from the download-begin request to the download-end request or the
    // next card reset: the card stays masked and has no transmit buffer.
    UCHAR DownloadOpen;
    // The card's download buffer length in bytes (record 0xFD01, word 2),
    // and whether the configuration pass last read that record: a block
    // goes to the card only if it fits a buffer the driver knows.
    USHORT dlLength;
    UCHAR dlBufferValid;
    // Where the header step's block stands (TAL_DL_BLOCK_*): announced by an
    // accepted header, then sent by its data request. Data goes only to a
    // block just announced, a count request resends only one sent, so that
    // bytes meant for a header the driver refused never reach the card.
    UCHAR dlBlockState;

    // -- Command and event service --
    // 1 after a command whose completion event did not come in time: the
    // next command first waits for that late event, so that it does not
    // take the late completion for its own.
    UCHAR CmdTimedOut;
    // 1 from a site survey's first step to its end: the configured name
    // and mode are saved in old_Desired_ESSID and old_NetworkMode.
    UCHAR SurveyOpen;
    // Event loop runs that stopped at their pass limit (a stuck event or a
    // card that reads all ones), leaving the card masked.
    ULONG EventLoopStops;
    // Halt has begun: no polling timer callback runs the event loop any
    // more, and halt waits for the ones still running to finish.
    UCHAR Halting;
    // 1 once the shutdown handler quieted the card: a deferred run still
    // queued then leaves it masked.
    UCHAR ShutDown;
    volatile LONG TimerCallbacksRunning;

    // -- Receive state, one set per adapter --
    // 1 while the first fragments of a frame wait in pRxPacket; savePos is
    // where the next fragment's body goes (14 + body bytes so far).
    UCHAR reassemblyInProgress;
    USHORT savePos;
    // What the next fragment must match: the first fragment's transmitter
    // and sequence number, and the fragment number taken last.
    UCHAR rxFragAddress[6];
    USHORT rxFragSequence;
    UCHAR rxFragNumber;
    // 1 when bytes 12-13 of the partial frame are a length (no
    // encapsulation was removed): the last fragment rewrites them.
    UCHAR rxFragLengthField;
    // The card's receive frame as read (word aligned).
    USHORT RxFrameScratch[TAL_CARD_FRAME_SIZE / 2];
    // The frame handed to the protocols: an Ethernet frame, or a monitor
    // record. Last in the record and aligned to end it exactly, so that an
    // overrun reaches no other field (and leaves the allocation).
    alignas(8) UCHAR pRxPacket[TAL_RX_BUFFER_SIZE];
} TAL_ADAPTER, *PTAL_ADAPTER;
