// The MAC's host interface as the card implements it: register offsets of
// the 64-port window, event bits, command codes, result codes and record
// identifiers. Written from the card's side; the driver keeps its own
// definitions, so a misread offset on either side shows up in a test.
#pragma once

#include <cstdint>

namespace talsim {

// ---- Register window (byte offsets, every register 16 bits) ----
inline constexpr uint32_t kPortCount = 0x40;

namespace reg {
inline constexpr uint16_t Command = 0x00; // bit 15 busy while a command runs
inline constexpr uint16_t Param0 = 0x02;
inline constexpr uint16_t Param1 = 0x04;
inline constexpr uint16_t Param2 = 0x06;
inline constexpr uint16_t Status = 0x08; // bits 8-14 result, low byte command code
inline constexpr uint16_t Resp0 = 0x0A;
inline constexpr uint16_t Resp1 = 0x0C;
inline constexpr uint16_t Resp2 = 0x0E;
inline constexpr uint16_t InfoFid = 0x10;
inline constexpr uint16_t Control = 0x14; // bits 15,14: auxiliary port state
inline constexpr uint16_t Select0 = 0x18;
inline constexpr uint16_t Select1 = 0x1A;
inline constexpr uint16_t Offset0 = 0x1C; // bit 15 busy, bit 14 error
inline constexpr uint16_t Offset1 = 0x1E;
inline constexpr uint16_t RxFid = 0x20;
inline constexpr uint16_t AllocFid = 0x22;
inline constexpr uint16_t TxComplFid = 0x24;
inline constexpr uint16_t EvStat = 0x30;
inline constexpr uint16_t IntEn = 0x32;
inline constexpr uint16_t EvAck = 0x34;
inline constexpr uint16_t Data0 = 0x36;
inline constexpr uint16_t Data1 = 0x38;
inline constexpr uint16_t AuxPage = 0x3A;   // auxiliary address >> 7
inline constexpr uint16_t AuxOffset = 0x3C; // auxiliary address & 0x7F
inline constexpr uint16_t AuxData = 0x3E;   // one word at the address, which advances by 2
} // namespace reg

// ---- Auxiliary port: a window into card memory (byte addresses) ----
namespace aux {
inline constexpr uint16_t StateMask = 0xC000;     // control register bits 15 and 14
inline constexpr uint16_t Enabled = 0xC000;       // both set: the port is open
inline constexpr uint16_t EnableRequest = 0x8000; // written to the control register
inline constexpr uint16_t DisableRequest = 0x4000;
// The access code: parameters 0, 1 and 2 hold it when a request is written.
inline constexpr uint16_t Key0 = 0x3A7C;
inline constexpr uint16_t Key1 = 0x9D36;
inline constexpr uint16_t Key2 = 0xE25A;
inline constexpr unsigned PageShift = 7;
inline constexpr uint16_t OffsetMask = 0x7F;
inline constexpr uint32_t address(uint16_t page, uint16_t offset) {
    return ((uint32_t)page << PageShift) | (offset & OffsetMask);
}
} // namespace aux

// ---- Production data area (PDA): 512 words at auxiliary address 0x390000 ----
// Records one after another: a length word (the words that follow it: the
// code word and the data), a code word, the data words. An end record
// (length 1, code 0) closes the area; the words after it read 0xFFFF, as
// unprogrammed flash does.
namespace pda {
inline constexpr uint32_t Address = 0x390000;
inline constexpr uint16_t Words = 512;
inline constexpr uint16_t End = 0x0000;         // no data
inline constexpr uint16_t MacAddress = 0x0004;  // 3 words, first byte in the low byte
inline constexpr uint16_t ChannelList = 0x0104; // 1 word, bit n = channel n + 1
inline constexpr uint16_t Unprogrammed = 0xFFFF;
} // namespace pda

inline constexpr uint16_t kBusy = 0x8000;        // command and offset registers
inline constexpr uint16_t kOffsetError = 0x4000; // offset register: nothing valid selected
inline constexpr uint16_t kOffsetMask = 0x0FFE;  // byte offset field (even)

// ---- Event bits (status, enable and acknowledge registers) ----
namespace ev {
inline constexpr uint16_t Rx = 0x0001;
inline constexpr uint16_t Tx = 0x0002;
inline constexpr uint16_t TxExc = 0x0004;
inline constexpr uint16_t Alloc = 0x0008;
inline constexpr uint16_t Cmd = 0x0010;
inline constexpr uint16_t Info = 0x0080;
inline constexpr uint16_t Dtim = 0x2000;
inline constexpr uint16_t Tick = 0x8000;
} // namespace ev

// ---- Commands: code in the low byte, modifiers in the high byte ----
namespace cmd {
inline constexpr uint8_t Initialize = 0x00;
inline constexpr uint8_t Enable = 0x01;
inline constexpr uint8_t Disable = 0x02;
inline constexpr uint8_t Allocate = 0x0A;
inline constexpr uint8_t Access = 0x21;
inline constexpr uint16_t AccessWriteModifier = 0x0100; // 0x0121: store the record
inline constexpr uint8_t Transmit = 0x0B;               // p0 = FID
inline constexpr uint16_t TransmitReclaim = 0x0100;     // 0x010B: the buffer comes back
inline constexpr uint8_t Inquire = 0x11;                // p0 = information type
inline constexpr uint8_t Test = 0x38;                   // test code in the high byte
inline constexpr uint16_t TestMonitorOn = 0x0B00;       // 0x0B38: monitor operation
inline constexpr uint16_t TestMonitorOff = 0x0F00;      // 0x0F38: back to a station
inline constexpr uint8_t ReadRegister = 0x30;           // p0 = index; value in response 0
inline constexpr uint8_t WriteRegister = 0x31;          // p0 = index, p1 = value
inline constexpr uint8_t Download = 0x22;               // mode in the high byte:
inline constexpr uint16_t DownloadEnd = 0x0000;         //   leave download mode
inline constexpr uint16_t DownloadAnnounce = 0x0200;    //   p0/p1 address, p2 bytes
inline constexpr uint16_t DownloadCommit = 0x0300;      //   store what was written since
} // namespace cmd

// The controller's internal register file that commands 0x30/0x31 reach.
inline constexpr uint16_t kControllerRegisters = 128;

// ---- Result codes (status register bits 8-14) ----
namespace result {
inline constexpr uint16_t Ok = 0x00;
inline constexpr uint16_t CardFailure = 0x01;    // record cannot be read (injected)
inline constexpr uint16_t NoBuffer = 0x05;       // allocate: no free frame buffer
inline constexpr uint16_t BadRecord = 0x08;      // unknown record, or wrong direction
inline constexpr uint16_t BadLength = 0x09;      // record length the record does not take
inline constexpr uint16_t BadParameter = 0x0A;   // parameter or modifier out of range
inline constexpr uint16_t UnknownCommand = 0x7F; // the firmware has no such command
} // namespace result

// ---- Records ----
inline constexpr uint16_t kFirstRid = 0xFC00; // identifiers from here up name records
inline constexpr uint16_t kLastRid = 0xFDFF;
inline constexpr bool is_rid(uint16_t id) {
    return id >= kFirstRid && id <= kLastRid;
}

namespace rid {
// Configuration records (read and written by the host)
inline constexpr uint16_t PortType = 0xFC00;
inline constexpr uint16_t OwnMacAddress = 0xFC01;
inline constexpr uint16_t DesiredSsid = 0xFC02;
inline constexpr uint16_t OwnChannel = 0xFC03;
inline constexpr uint16_t OwnSsid = 0xFC04;
inline constexpr uint16_t ApDensity = 0xFC06;
inline constexpr uint16_t PmEnabled = 0xFC09;
inline constexpr uint16_t PmLevel = 0xFC0A;
inline constexpr uint16_t StationName = 0xFC0E;
inline constexpr uint16_t WepDefaultKeyId = 0xFC23;
inline constexpr uint16_t WepDefaultKey0 = 0xFC24;
inline constexpr uint16_t WepDefaultKey1 = 0xFC25;
inline constexpr uint16_t WepDefaultKey2 = 0xFC26;
inline constexpr uint16_t WepDefaultKey3 = 0xFC27;
inline constexpr uint16_t WepFlags = 0xFC28;
inline constexpr uint16_t AuthType = 0xFC2A;
inline constexpr uint16_t MulticastList = 0xFC80;
inline constexpr uint16_t FragThreshold = 0xFC82;
inline constexpr uint16_t RtsThreshold = 0xFC83;
inline constexpr uint16_t TxRateControl = 0xFC84;
inline constexpr uint16_t ShortPreamble = 0xFCB0;
inline constexpr uint16_t ConfigFCE0 = 0xFCE0;
// Firmware information (read only)
inline constexpr uint16_t DownloadBuffer = 0xFD01;
inline constexpr uint16_t PriIdentity = 0xFD02;
inline constexpr uint16_t ChannelList = 0xFD10;
inline constexpr uint16_t RegDomains = 0xFD11;
inline constexpr uint16_t StaIdentity = 0xFD20;
inline constexpr uint16_t WepAvailable = 0xFD4F;
// Live status (read only)
inline constexpr uint16_t PortStatus = 0xFD40;
inline constexpr uint16_t CurrentSsid = 0xFD41;
inline constexpr uint16_t CurrentBssid = 0xFD42;
inline constexpr uint16_t CommsQuality = 0xFD43;
inline constexpr uint16_t CurrentTxRate = 0xFD44;
inline constexpr uint16_t CurrentChannel = 0xFDC1;
inline constexpr uint16_t CurrentPowerState = 0xFDC2;
} // namespace rid

// Port status values kept in record 0xFD40.
namespace portstatus {
inline constexpr uint16_t Disabled = 1;
inline constexpr uint16_t Searching = 2;
inline constexpr uint16_t IbssConnected = 3;
inline constexpr uint16_t EssConnected = 4;
} // namespace portstatus

// Information frames: word 0 the length in words (type and data), word 1
// the type, then the data.
namespace info {
inline constexpr uint16_t Tallies = 0xF100;     // on the inquire command
inline constexpr uint16_t ScanResults = 0xF101; // on the inquire command
inline constexpr uint16_t LinkStatus = 0xF200;  // unasked
} // namespace info

// Link status codes (data word 0 of a link status frame).
namespace linkstatus {
inline constexpr uint16_t Connected = 1;
inline constexpr uint16_t Disconnected = 2;
inline constexpr uint16_t ApChanged = 3;
inline constexpr uint16_t OutOfRange = 4;
inline constexpr uint16_t InRange = 5;
inline constexpr uint16_t AssocFailed = 6;
} // namespace linkstatus

// Port type record 0xFC00: 1 = infrastructure, anything else ad hoc.
inline constexpr uint16_t kPortTypeInfrastructure = 1;

// WEP flags record 0xFC28 as the firmware reads it.
namespace wepflag {
inline constexpr uint16_t Privacy = 0x0001;
inline constexpr uint16_t ExcludeUnencrypted = 0x0002;
inline constexpr uint16_t HostEncrypt = 0x0010;
inline constexpr uint16_t IvReuseMask = 0x0060; // reuse factor 0-3
inline constexpr unsigned IvReuseShift = 5;
inline constexpr uint16_t HostDecrypt = 0x0080;
} // namespace wepflag

// Transmit rate control record 0xFC84: the rates the firmware may use.
namespace ratebit {
inline constexpr uint16_t Mbps1 = 0x0001;
inline constexpr uint16_t Mbps2 = 0x0002;
inline constexpr uint16_t Mbps5_5 = 0x0004;
inline constexpr uint16_t Mbps11 = 0x0008;
} // namespace ratebit

// ---- The frames in FIDs (byte offsets) ----
// Transmit and receive frames share everything after their 14-byte control
// blocks: the 802.11 header, DataLen, an 802.3 header and the body.
namespace cardframe {
inline constexpr uint16_t FrameControl = 0x0E;
inline constexpr uint16_t DurationId = 0x10;
inline constexpr uint16_t Address1 = 0x12;
inline constexpr uint16_t Address2 = 0x18;
inline constexpr uint16_t Address3 = 0x1E;
inline constexpr uint16_t SequenceControl = 0x24;
inline constexpr uint16_t Address4 = 0x26;
inline constexpr uint16_t DataLen = 0x2C; // LE body length
inline constexpr uint16_t DestAddr = 0x2E;
inline constexpr uint16_t SrcAddr = 0x34;
inline constexpr uint16_t Length = 0x3A; // big-endian body length
inline constexpr uint16_t Body = 0x3C;
inline constexpr uint16_t MaxBody = 2304;
} // namespace cardframe

// The transmit frame the host writes. DataLen 0: the 802.3 length counts.
namespace txf {
using namespace cardframe;
inline constexpr uint16_t Status = 0x00;
inline constexpr uint16_t TxControl = 0x0C; // bit 1: raise the transmit event too
inline constexpr uint16_t TxControlTxOk = 0x0002;
} // namespace txf

// The receive frame the firmware fills: the 802.11 header as received,
// DataLen, an 802.3 header the firmware derives, the body.
namespace rxf {
using namespace cardframe;
inline constexpr uint16_t Status = 0x00;      // classification of the body (rxstatus)
inline constexpr uint16_t Time = 0x02;        // two words, receive time (low word first)
inline constexpr uint16_t Signal = 0x06;      // byte
inline constexpr uint16_t Silence = 0x07;     // byte
inline constexpr uint16_t RxFlow = 0x08;      // byte
inline constexpr uint16_t Rate = 0x09;        // byte, 100 kb/s units (10, 20, 55, 110)
inline constexpr uint16_t BufferBytes = 2364; // a receive buffer's size
} // namespace rxf

// Status word of a receive frame: how the firmware classified the body.
namespace rxstatus {
inline constexpr uint16_t Rfc1042 = 0x2000;      // AA AA 03 00 00 00
inline constexpr uint16_t BridgeTunnel = 0x4000; // AA AA 03 00 00 F8
} // namespace rxstatus

} // namespace talsim
