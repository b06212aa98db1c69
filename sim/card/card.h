// The card model: the Prism2 MAC and its firmware as the driver reaches them
// through the 64-port window, driven by the virtual clock of a World.
//
// Bus face (what the driver sees): CardModel is a talhost::PortDevice; map it
// at the adapter's port base:
//
//     talhost::World world;
//     talhost::PortBus bus;
//     talsim::CardModel card(world);            // power-on state
//     bus.map(0x300, talsim::kPortCount, &card);
//
// Every access goes through one register table (offset, access, power-on
// value, name, handlers). An access the table does not allow (unknown or odd
// offset, a read of a write-only register, a write of a read-only one, a
// data access while its path is busy or points at nothing) is recorded as a
// device error and answered as hardware would: a read gives 0xFFFF, a write
// is dropped.
//
// Commands go through one command table (code = low byte of the command
// word, name, latency on the virtual clock, handler). Writing the command
// register latches the parameter registers, sets its busy bit (bit 15) and
// schedules a Device event after the command's latency; at that event the
// handler runs, the busy bit clears, the status register takes
// (result << 8) | low byte of the command word, and the command event 0x0010
// rises. Commands: initialize 0x0000 (every event cleared, every FID
// released, every record back to its firmware default, port disabled),
// enable 0x0001, disable 0x0002, allocate 0x000A (p0 = bytes; the FID appears
// in register 0x22 with the allocate event 0x0008 a little after the command
// event), access 0x0021 (read: p0 = RID, the record becomes readable through
// a path selecting that RID) and 0x0121 (write: the record image written
// through a path selecting p0 is stored). A code the table lacks completes
// with result 0x7F. Result codes are in cardregs.h (namespace result).
//
// Controller registers: a file of 128 16-bit registers inside the
// controller, apart from the port window, zero at power-on; reset() clears
// it, initialize leaves it (it is hardware, not firmware). Command 0x0030
// reads register p0 into response 0 (0x0A); 0x0031 writes p1 to register
// p0. An index from 128 up or a modifier completes with BadParameter and
// changes nothing.
//
// Buffer access paths: path 0 = select 0x18, offset 0x1C, data 0x36; path 1
// = select 0x1A, offset 0x1E, data 0x38. Writing the offset register makes
// the path busy (offset bit 15) for timing().path_busy_us, then positions it
// at that byte offset of the selected FID or record; each data access moves
// one word and advances. A read of a record gives its image
// [RecordLen, RID, data...] followed by zeros up to 128 words. Both paths
// read and write; a select that names neither an allocated FID nor a known
// record sets offset bit 14.
//
// The interrupt line is (event status AND interrupt enable) != 0, derived by
// one function after every change; set_irq_observer() sees each change
// (cardlink.h connects it to an adapter's line in the host).
//
// Events the firmware raises on its own, which the host only acknowledges:
// set_periodic_event(ev::Dtim or ev::Tick, period_us) raises one every
// period (0 stops it), from the call on; like the faults it belongs to the
// backend, so reset() and initialize keep it. A removed card (set_removed)
// reads all ones and loses writes; its firmware stops: no event rises, work
// it had scheduled is dropped and the interrupt line falls.
// set_busy_clears_on_accept(true) makes the command register's busy bit
// clear timing().command_accept_us after the command word is written, as on
// some cards, instead of at completion; the result and the command event
// still come at completion, and a command written before then is refused.
//
// Auxiliary port (cardregs.h, namespace aux): page 0x3A, offset 0x3C and
// data 0x3E reach card memory at byte address page << 7 | offset; each
// data access moves one word and advances the address by 2. The port opens
// and closes by a request in the control register 0x14 (0x8000 enable,
// 0x4000 disable) written while parameters 0-2 hold the access code; the
// register shows the request until, timing().aux_switch_us later, it shows
// the new state in bits 15/14 (0xC000 open, 0 closed). Any access to the
// three port registers while the port is closed, a request without the
// code, a control word that is no request, and a data access outside mapped
// memory or at an odd address are device errors. Mapped: the production
// data area (512 words at 0x390000, read only; layout in cardregs.h, built
// from FactoryData, and the source of the MAC address and channel list
// records) and the download buffer (page, offset and length in bytes from
// record 0xFD01). The port is hardware: initialize leaves it as it is.
//
// Download (command 0x22, mode in the high byte, all with result 0 unless
// said): 0x0222 announces a block, p1:p0 = target address, p2 = bytes (even,
// 1 to the buffer's length, else BadParameter and no announcement);
// 0x0322 commits the first p2 bytes of the download buffer to the announced
// address (a commit whose announcement was not followed by exactly p2 bytes
// of writes into the buffer is a device error) and ends the announcement;
// a commit with no announcement before it stores nothing and is counted
// (download_stats().empty_commits); 0x0022 leaves download mode, dropping
// any announcement, as initialize does. Committed blocks are kept by
// address until reset(); a block committed again at the same address
// replaces the earlier one.
//
// Backend face (tests and tools, never the driver):
//   reset()                         power-on state from the register table
//   raise_event(bits)               raise events as the firmware would
//   events(), int_enable(), irq(), peek(offset), poke(offset, value), port_enabled()
//   records()                       RecordStore: image(rid), data(rid), set(rid, words)
//   frames()                        FrameMemory: fids(), allocated(fid), buffer(fid)
//   timing(), set_command_latency(code, us), command_latency(code)
//   aux_port_enabled(), downloaded() (address -> bytes), download_stats()
//   controller_register(index), set_controller_register(index, value)
//   trace()                         CardTrace: enable(capacity), records(), port_accesses()
//   device_errors(), device_error_count(), clear_device_errors()
//   faults: set_stuck_busy(Busy::Command|Path0|Path1, on), fail_command(word, result[, times]),
//           hang_command(word[, times]), suppress_events(mask),
//           make_record_unreadable(rid[, result]), set_removed(on),
//           set_aux_port_stuck(on) (requests are taken, the state never changes),
//           clear_faults(); an announcement that fails is fail_command(0x0222, r),
//           a download command slower than its budget set_command_latency(0x22, us)
//   firmware: set_periodic_event(Dtim|Tick, period_us), set_busy_clears_on_accept(on)
//   transmit: set_air_sink(sink), join(bssid[, channel]), leave(), joined(), tx_stats(),
//           set_next_iv(iv)
//   receive: radio_receive(frame) (the medium's entry), inject_rx(bytes), rx_stats(),
//           monitor_mode(), rx_waiting()
// Faults belong to the backend, not to the card: reset() and initialize keep them.
//
// Transmit (command 0x010B, p0 = FID; 0x000B frees the buffer instead of
// giving it back). The command accepts any allocated FID that is not already
// queued (else result BadParameter) and completes after its latency; the
// firmware has copied the frame by then. It reads the card transmit frame
// (cardregs.h, txf::): body length = DataLen if non-zero, else the 802.3
// length field (big-endian). A frame that cannot go out is refused: port
// disabled, infrastructure mode (port type 1) without a joined BSS, body
// above 2304 bytes, or a body reaching past the buffer. A refused frame
// raises the transmit-exception event 0x0004 with the FID in register 0x24
// timing().tx_refuse_us after the command, and the buffer comes back with
// the allocate event (FID in 0x22), or is freed for 0x000B.
//
// A frame that goes out becomes an 802.11 data frame: type data; in
// infrastructure mode ToDS with Address1 = the joined BSSID (record 0xFD42),
// Address2 = 802.3 source, Address3 = 802.3 destination; in ad hoc mode
// Address1 = destination, Address2 = source, Address3 = BSSID. Duration is 0
// to a group address, else SIFS (10 us) plus an ACK (14 bytes) at the basic
// rate that acknowledges it (2 Mb/s for frames at 2 Mb/s and above, 1 Mb/s
// for 1 Mb/s frames; short preamble when the frame has one and the ACK's rate
// allows it). The sequence number counts frames put on the air from 0
// (initialize and reset start it again; management frames of the station
// firmware take numbers from the same counter), fragment 0.
// WEP (flags record 0xFC28): privacy off (bit 0 clear) - nothing protected,
// whatever bits 4 and 7 say. Privacy on - the protected bit; with bit 4 the
// body goes as the host gave it; without it the firmware seals it: IV header
// (3 IV bytes least significant first, key id from record 0xFC23 in the top
// two bits of the fourth), RC4 over body + CRC-32 ICV with the default key of
// that id (0xFC24 + id). The key id is the record word's low two bits: an id
// above 3 (255 when the driver has no "DefaultKeyId") seals with key id & 3
// and announces that key, so a frame always names its key. Key 0's record length sets the key size for every
// key: RecordLen 8 = 13 bytes (104-bit), else 5 bytes (40-bit); a shorter
// key record is padded with zeros. IV policy: a 24-bit counter, 0 after
// power-on and initialize; a frame that needs a new IV takes counter + 1. The
// reuse factor r of bits 5-6 keeps one IV for max(r, 1) frames: 0 and 1 = a
// new IV every frame, 2 = every second frame, 3 = every third.
// Air time: preamble 192 us long, or 96 us short when record 0xFCB0 is
// non-zero and the rate is above 1 Mb/s (1 Mb/s has only the long
// preamble); then (24 + body on air + 4 FCS) * 8 bits at the highest rate of
// record 0xFC84 (bit 0 = 1, 1 = 2, 2 = 5.5, 3 = 11 Mb/s; none set = 1 Mb/s),
// rounded up to a microsecond. Frames go out one after another: a frame
// starts when the command completes or when the previous frame ends. At the
// end of its air time the frame is handed to the air sink (AirFrame: no FCS,
// rate in 500 kb/s, channel = record 0xFDC1, start and end times), the
// transmit event 0x0002 rises if the control block's TxControl bit 1 asks
// for it (FID in 0x24), and the buffer comes back with the allocate event
// (FID in 0x22), or is freed for 0x000B.
// Transmit fragmentation: with the body longer than the fragment size the
// fragmentation threshold (record 0xFC82, the largest MPDU in bytes with a
// 24-byte header and 4-byte FCS; below 256 counts as 256, above 2346 as
// 2346) allows - threshold - 28 bytes of body, 8 fewer when the firmware
// seals - the frame goes out as fragments of that size (the last one
// shorter): same sequence number, fragment numbers 0, 1, ..., the more-
// fragments bit on all but the last, each sealed on its own (its own IV and
// ICV) under firmware WEP, each its own frame on the air, one after
// another; the buffer comes back after the last. A body the host sealed
// (flags bit 4 with privacy) is never fragmented.
//
// Receive (the card is a Radio: the medium hands it frames on its channel,
// record 0xFDC1). Nothing is received while the port is disabled. The
// firmware filters as a station:
//   monitor mode (test command 0x0B38, ended by 0x0F38 or initialize):
//     every frame, any type, goes up as it was on the air - no filter, no
//     decryption, no reassembly, no duplicate check, status 0;
//   otherwise only data frames; infrastructure (port type 1): FromDS
//     without ToDS, transmitter (Address2) = the joined BSSID; ad hoc: no DS
//     bits, Address3 = the joined BSSID; in both the destination (Address1)
//     must be the card's own address (record 0xFC01), broadcast, or a group
//     address in the multicast list (record 0xFC80; an empty list takes no
//     multicast).
// A retransmission (retry bit) that repeats the (transmitter, sequence,
// fragment) last accepted from that transmitter is dropped as a duplicate.
// WEP on receive (flags record 0xFC28): a protected frame with privacy off
// cannot be decrypted and is dropped (counted as undecryptable); with
// privacy on and host decryption (bit 7) it goes up as it was on the air,
// fragments unreassembled, status 0; otherwise the firmware opens it with
// the default key its key-id byte names (0xFC24 + id, key size as for
// transmit), drops it when the ICV does not match (counted), and passes the
// plain body up with the protected bit cleared. With exclude-unencrypted
// (bit 1) an unprotected data frame is dropped. Fragments the firmware
// opened, and unprotected ones, are reassembled per transmitter (same
// sequence number, fragment numbers in order; anything else drops the
// partial frame) and go up whole with the first fragment's header, the
// more-fragments bit and fragment number cleared.
// A frame that goes up takes a receive FID (none free: dropped, counted):
// the receive frame of cardregs.h (rxf::) - status 0x2000 for a body that
// starts AA AA 03 00 00 00, 0x4000 for AA AA 03 00 00 F8, else 0 (and 0
// for a protected body passed up undecrypted); rate in 100 kb/s; the
// 802.11 header as received; DataLen = body length; the 802.3 header by the
// DS bits (none: Address1, Address2; FromDS: Address1, Address3; ToDS:
// Address3, Address2; both: Address3, Address4) with the length field =
// the body length, big-endian; the body. timing().rx_deliver_us after the
// frame ended, register 0x20 names the FID and the receive event 0x0001
// rises. One receive event per FID: the next waiting FID shows in 0x20 (and
// the event rises again) only when the host acknowledges the event, and
// the acknowledgement releases the FID it named. inject_rx() puts any
// receive frame into a FID the same way, for tests and fuzzing.
//
// Acknowledgements and retries (sim/air/transmitter.h has the timing): off
// by default, where every frame counts as delivered at its end and frames
// go out back to back; on with set_station_firmware(true). Then the card
// senses the channel before a frame, waits for an ACK after each directed
// frame (an ACK control frame to its own address within SIFS + the ACK's
// air time + one slot), sends a frame that got none again with the retry
// bit, at most 7 times in all, and acknowledges every frame with a good FCS
// addressed to its own address (data or management) SIFS after it ends. A
// frame whose tries ran out raises the transmit-exception event 0x0004 (FID
// in 0x24) and its buffer comes back as for any other frame.
//
// Tallies (Tallies, in the order of the tallies frame), as the firmware
// counts them; management and control frames count in none but FCS errors:
//   tx unicast / multicast frames and octets - data frames delivered (every
//     fragment acknowledged, or a group frame sent), body bytes as the host
//     gave them;
//   tx fragments - data frames put on the air, each fragment and each
//     retransmission counted;
//   tx deferred - data frames whose first try found the channel busy;
//   tx single / multiple retry frames - delivered after exactly one / more
//     than one retransmission; tx retry limit exceeded - frames whose tries
//     ran out; tx discards - those frames again (the firmware gave them up);
//   rx unicast / multicast frames and octets - data frames handed to the
//     host (reassembled frames once; body bytes as handed up: after the
//     firmware's decryption, or sealed with IV and ICV for the host to open);
//   rx fragments - data frames that passed the station filter and the
//     duplicate check, each fragment counted;
//   rx FCS errors - frames heard damaged (a collision, a flipped bit) while
//     the port is enabled;
//   rx discards no buffer, rx WEP undecryptable - as the receive side says;
//   tx discards wrong SA, rx message in message, rx message in bad message -
//     never counted: the firmware sends any source address the host gives
//     and the medium has no partial receptions.
//
// Information frames (record buffer words, little-endian): word 0 the
// length in words of the type and data, word 1 the type, then the data;
// each goes in its own information FID, announced in register 0x10 with the
// information event 0x0080, one at a time as receive FIDs are (the next
// after the host acknowledges the event, which releases the FID).
//   0xF100 tallies: the 21 counters, 32 bits each, low word first (length 43);
//   0xF101 scan results: one 25-word entry per network heard in the last
//     scan, in the order first heard - channel, average noise level, signal
//     level, BSSID (6 bytes), beacon interval, capability, SSID length, SSID
//     (32 bytes, zero padded) - at most as many as fit a frame buffer;
//   0xF200 link status: one word, the code (cardregs.h, linkstatus).
// The inquire command 0x0011 (p0 = 0xF100 or 0xF101, else BadParameter)
// builds the frame when it completes and announces it 100 us later.
// inject_info() puts any bytes in an information FID (a truncated frame, a
// length word beyond the bytes, an unknown type), for tests.
//
// Station firmware (set_station_firmware(true), the radio world's cards;
// the backend's join() stands for it otherwise and wins while it is set):
// at enable, and whenever it has lost its network, the firmware scans -
// every channel of its channel list (record 0xFD10, bit n = channel n + 1)
// in order, a probe request for any network (empty SSID element) on each,
// 10 ms listening there for beacons and probe responses. What it heard
// becomes the scan results. Infrastructure mode (port type 1) then picks,
// among the access points (ESS capability) whose SSID is the desired SSID
// (record 0xFC02; empty: any), the one with the strongest signal (the first
// heard among equals; the one it was with before, when it is heard again),
// tunes to its channel and authenticates: open system, or shared key when
// record 0xFC2A word 0 is 2, the third frame sealed by the firmware with the
// default key of record 0xFC23 whatever the host-WEP flags say. Then it
// associates (a reassociation request when it was with another AP) asking
// for privacy when WEP flags bit 0 is set. When associated: records 0xFD42 =
// the BSSID, 0xFD41 = the AP's SSID, 0xFDC1 = its channel, 0xFD40 = 4,
// 0xFD43 = (signal - noise, signal, noise), and a link status frame: 1 on
// a first join, 3 when it came from another AP, 5 when it is back with the
// AP it had lost. A refusal, a missing answer (50 ms after the request was
// acknowledged, or a request whose tries ran out) ends the attempt with
// link status 6 (a wrong shared key is a refusal), and a new scan 1 s later.
// Nothing matching heard: a new scan 1 s later. Four beacon intervals
// without a beacon from its AP and the firmware scans again: another AP of
// the network - it roams there (3); its own AP - it associates again (5);
// none - link status 4 (once) and a scan every second until one is heard.
// A deauthentication or disassociation from its AP: link status 2 and a
// new scan 50 ms later. While it has no AP the port status is 2 (searching)
// and 0xFD42 is zero, and transmit refuses frames as without a join.
// Ad hoc mode joins a cell (IBSS capability) with the desired SSID (any
// cell for an empty one), taking its BSSID and channel, or, when none is
// heard, starts one on its own channel (record 0xFC03) with a BSSID made
// from its address (first byte 02, then address bytes 2 to 6, the last XOR
// 0x11), sends its beacons and answers probe requests; either
// way port status 3 and link status 1. Disable and initialize stop the
// station firmware; an enable starts it again.
//
// join(bssid): the station is in that BSS (the backend stands for the radio
// world until it exists). While the port is enabled - at once, or at the next
// enable - records 0xFD42 = bssid, 0xFD41 = the desired SSID (0xFC02), 0xFDC1 =
// the channel (own channel 0xFC03 when 0 is given), 0xFD40 = 4 in
// infrastructure mode, 3 ad hoc. Like the faults the join belongs to the
// backend: reset() and initialize keep it; leave() ends it.
#pragma once

#include "card/cardregs.h"
#include "card/cardtrace.h"
#include "card/framemem.h"
#include "card/records.h"

#include "air/airport.h"
#include "air/transmitter.h"

#include "portbus.h"
#include "world.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace talsim {

struct CardTiming {
    uint32_t path_busy_us = 10;   // offset register busy after a write
    uint32_t alloc_event_us = 15; // allocate event after the allocate command's event
    uint32_t unknown_command_us = 10;
    uint32_t tx_refuse_us = 15;     // transmit exception after a refused transmit command
    uint32_t rx_deliver_us = 10;    // receive event after a frame's end on the air
    uint32_t aux_switch_us = 40;    // auxiliary port state change after a request
    uint32_t command_accept_us = 2; // busy bit clears after a write, with busy-clears-on-accept
};

struct DownloadStats {
    uint64_t blocks = 0;        // commits that stored a block
    uint64_t empty_commits = 0; // commits with no announcement before them
};

// Why a transmit was refused (trace aux of TraceKind::TxRefused).
enum class TxRefusal : uint16_t { PortDisabled = 1, NotJoined = 2, TooLong = 3, BeyondBuffer = 4 };

struct TxStats {
    uint64_t sent = 0; // frames handed over, whole
    uint64_t refused = 0;
    uint64_t fragments = 0; // frames on the air, each fragment counted
};

// The firmware's 21 counters, in the order of the tallies information
// frame (each 32 bits, little-endian there).
struct Tallies {
    uint32_t tx_unicast_frames = 0;
    uint32_t tx_multicast_frames = 0;
    uint32_t tx_fragments = 0;
    uint32_t tx_unicast_octets = 0;
    uint32_t tx_multicast_octets = 0;
    uint32_t tx_deferred = 0;
    uint32_t tx_single_retry_frames = 0;
    uint32_t tx_multiple_retry_frames = 0;
    uint32_t tx_retry_limit_exceeded = 0;
    uint32_t tx_discards = 0;
    uint32_t rx_unicast_frames = 0;
    uint32_t rx_multicast_frames = 0;
    uint32_t rx_fragments = 0;
    uint32_t rx_unicast_octets = 0;
    uint32_t rx_multicast_octets = 0;
    uint32_t rx_fcs_errors = 0;
    uint32_t rx_discards_no_buffer = 0;
    uint32_t tx_discards_wrong_sa = 0;
    uint32_t rx_discards_wep_undecryptable = 0;
    uint32_t rx_msg_in_msg = 0;
    uint32_t rx_msg_in_bad_msg = 0;
};
inline constexpr size_t kTallyCount = sizeof(Tallies) / sizeof(uint32_t);

// One network the firmware heard, as a scan results entry carries it.
struct ScanEntry {
    uint16_t channel = 0;
    uint16_t noise = 0;  // average noise level
    uint16_t signal = 0; // signal level
    std::array<uint8_t, 6> bssid{};
    uint16_t beacon_interval = 100;
    uint16_t capability = 0;
    std::string ssid; // at most 32 bytes
};

// What the receive side did with the frames that reached it.
struct RxStats {
    uint64_t heard = 0;     // frames the medium delivered while the port was enabled
    uint64_t delivered = 0; // receive FIDs handed to the host
    uint64_t filtered = 0;  // not for this station (type, BSS, destination)
    uint64_t duplicates = 0;
    uint64_t undecryptable = 0;      // ICV mismatch, or protected with privacy off
    uint64_t unencrypted = 0;        // dropped by exclude-unencrypted
    uint64_t reassembly_dropped = 0; // fragments that did not continue a frame
    uint64_t no_buffer = 0;          // no receive FID free
    uint64_t fragments = 0;          // fragments received (reassembled or passed up)
};

enum class Busy : uint8_t { Command, Path0, Path1 };

struct DeviceError {
    uint64_t time;
    uint16_t offset;
    bool write;
    uint16_t value;
    std::string what;
};

class CardModel : public talhost::PortDevice, public Radio {
public:
    static constexpr int kAlways = -1; // fault applies to every matching command
    static constexpr size_t kRecordBufferWords = 128;
    static constexpr size_t kDeviceErrorsKept = 256;

    explicit CardModel(talhost::World &world, const FactoryData &factory = {});
    ~CardModel() override;
    CardModel(const CardModel &) = delete;
    CardModel &operator=(const CardModel &) = delete;

    // ---- Bus face ----
    // A frame moves through the data registers word by word: that common
    // case is served here, everything else out of line.
    uint16_t port_read16(uint32_t offset) override {
        if (offset == reg::Data0 || offset == reg::Data1)
            if (const uint8_t *at = fast_word(paths_[offset == reg::Data1]))
                return (uint16_t)(at[0] | (at[1] << 8));
        return port_read16_general(offset);
    }
    void port_write16(uint32_t offset, uint16_t value) override {
        if (offset == reg::Data0 || offset == reg::Data1) {
            if (uint8_t *at = fast_word(paths_[offset == reg::Data1])) {
                at[0] = (uint8_t)value;
                at[1] = (uint8_t)(value >> 8);
                return;
            }
        }
        port_write16_general(offset, value);
    }

    // ---- Backend: state ----
    void reset();
    void raise_event(uint16_t bits);
    uint16_t events() const { return reg(reg::EvStat); }
    uint16_t int_enable() const { return reg(reg::IntEn); }
    bool irq() const { return irq_; }
    void set_irq_observer(std::function<void(bool level)> fn) { irq_observer_ = std::move(fn); }
    // A register as a read would show it, through the same read path but
    // without acting on the read: no device error, no trace; the data
    // registers and the auxiliary data register (whose reads move their
    // pointer) peek as 0xFFFF.
    uint16_t peek(uint16_t offset) const;
    // Sets a register's stored word without its write side effects (a
    // status word no command would leave, a FID register); the interrupt
    // line follows an event status or enable poke.
    void poke(uint16_t offset, uint16_t value);
    bool port_enabled() const { return port_enabled_; }
    bool aux_port_enabled() const { return (reg(reg::Control) & aux::StateMask) == aux::Enabled; }
    bool command_running() const { return running_; }

    RecordStore &records() { return records_; }
    const RecordStore &records() const { return records_; }
    FrameMemory &frames() { return frames_; }
    const FrameMemory &frames() const { return frames_; }

    CardTiming &timing() { return timing_; }
    void set_command_latency(uint8_t code, uint32_t us) { latency_override_[code] = us; }
    uint32_t command_latency(uint8_t code) const;

    // ---- Backend: transmit ----
    // Frames put on the air go to `sink` (none: they vanish).
    void set_air_sink(AirSink *sink) {
        air_sink_ = sink;
        tx_.set_sink(sink);
    }
    AirSink *air_sink() const { return air_sink_; }
    void join(const std::array<uint8_t, 6> &bssid, uint8_t channel = 0);
    void leave();
    bool joined() const { return joined_; }
    const TxStats &tx_stats() const { return tx_stats_; }
    // The firmware's own MAC: acknowledgements, retries, scanning, joining.
    void set_station_firmware(bool on) {
        station_firmware_ = on;
        tx_.set_acknowledged(on);
    }
    bool station_firmware() const { return station_firmware_; }
    enum class StaState : uint8_t { Idle, Scanning, Authenticating, Associating, Connected, Lost };
    StaState station_state() const { return sta_.state; }
    // In a BSS: by the backend's join(), or associated by the station firmware.
    bool associated() const { return joined_ || sta_.state == StaState::Connected; }
    // ---- Backend and medium: receive ----
    uint8_t radio_channel() const override;
    void radio_receive(const AirFrame &frame) override;
    void radio_bad_frame(const AirFrame &frame) override;
    // Puts `frame` (a receive frame from offset 0: control block, headers,
    // DataLen, body; any content) into a receive FID as the firmware would
    // after its filters; false when no FID is free.
    bool inject_rx(std::span<const uint8_t> frame);
    const RxStats &rx_stats() const { return rx_stats_; }
    bool monitor_mode() const { return monitor_; }
    // Receive FIDs filled and not yet acknowledged, the one in 0x20 first.
    size_t rx_waiting() const { return rx_.waiting(); }

    // ---- Backend: information frames ----
    // Puts `frame` (length word, type word, data; any content) into an
    // information FID, announced as the firmware announces its own.
    bool inject_info(std::span<const uint8_t> frame);
    // A link status information frame (type 0xF200) with `code`.
    void announce_link_status(uint16_t code);
    Tallies &tallies() { return tallies_; }
    // The networks the firmware has heard, as the scan results frame lists them.
    std::vector<ScanEntry> &scan_results() { return scan_results_; }
    size_t info_waiting() const { return info_.waiting(); }

    // The next frame that needs a new IV takes `iv` (24 bits).
    void set_next_iv(uint32_t iv) {
        iv_counter_ = (iv - 1) & 0xFFFFFF;
        iv_frames_left_ = 0;
    }

    // ---- Backend: controller registers ----
    uint16_t controller_register(uint16_t index) const { return controller_regs_.at(index); }
    void set_controller_register(uint16_t index, uint16_t value) {
        controller_regs_.at(index) = value;
    }

    // ---- Backend: download ----
    const std::map<uint32_t, std::vector<uint8_t>> &downloaded() const { return downloaded_; }
    const DownloadStats &download_stats() const { return download_stats_; }

    CardTrace &trace() { return trace_; }
    const std::vector<DeviceError> &device_errors() const { return device_errors_; }
    uint64_t device_error_count() const { return device_error_count_; }
    // For a test that provoked device errors on purpose and has checked them.
    void clear_device_errors() {
        device_errors_.clear();
        device_error_count_ = 0;
    }

    // ---- Backend: faults ----
    void set_stuck_busy(Busy which, bool stuck);
    // The command whose whole word is `word` completes with `result` (its
    // handler does not run) for the next `times` issues, or always.
    void fail_command(uint16_t word, uint16_t result, int times = kAlways);
    // The command stays busy and never completes (until reset()).
    void hang_command(uint16_t word, int times = kAlways);
    // These event bits never rise, whoever raises them.
    void suppress_events(uint16_t mask) { suppressed_events_ = mask; }
    // These event bits, once up, stay up whatever the host acknowledges.
    void set_stuck_events(uint16_t mask) { stuck_events_ = mask; }
    // Reading `rid` with the access command fails with `result`.
    void make_record_unreadable(uint16_t rid, uint16_t result = result::CardFailure);
    // A removed card: every read gives 0xFFFF, writes are lost.
    void set_removed(bool removed);
    bool removed() const { return removed_; }
    void set_aux_port_stuck(bool stuck) { aux_stuck_ = stuck; }
    void clear_faults();

    // ---- Backend: firmware behaviour ----
    void set_periodic_event(uint16_t bit, uint32_t period_us);
    void set_busy_clears_on_accept(bool on) { busy_clears_on_accept_ = on; }

    // ---- Tables (also for tools that print them) ----
    enum class Access : uint8_t { R, W, RW };
    // A read from the bus acts on the card (a data register moves its path,
    // a refused read is a device error); a peek computes the same value and
    // leaves the card as it was.
    enum class ReadMode : uint8_t { Access, Peek };
    struct RegisterInfo {
        uint16_t offset;
        Access access;
        uint16_t reset;
        const char *name;
        uint16_t (CardModel::*read)(uint16_t offset, ReadMode mode); // nullptr: the stored word
        void (CardModel::*write)(uint16_t offset, uint16_t);         // nullptr: store the word
    };
    struct CommandInfo {
        uint8_t code;
        const char *name;
        uint32_t latency_us;
        uint16_t (CardModel::*run)(uint16_t word); // returns the result code
    };
    static const RegisterInfo *register_info(uint16_t offset);
    static const CommandInfo *command_info(uint8_t code);

private:
    struct Path {
        uint16_t select_reg;
        uint16_t offset_reg;
        uint16_t data_reg;
        Busy busy_kind;
        bool busy = false;
        bool error = false;
        uint16_t offset = 0; // as last written, offset field only
        uint16_t target = 0; // FID or RID latched at the offset write
        uint32_t pos = 0;    // byte position
        uint64_t settle_token = 0;
        // The settled FID's bytes, for the data register's common case; good
        // while the frame memory's generation is `fast_generation`.
        uint8_t *fast = nullptr;
        uint32_t fast_limit = 0; // a word starts below it; 0 with no buffer
        uint64_t fast_generation = 0;
    };
    // The data register's common case: a settled path on a FID, inside it,
    // no trace, no fault. nullptr: take the general way.
    uint8_t *fast_word(Path &p) {
        if (p.pos >= p.fast_limit || p.fast_generation != frames_.generation() || removed_ ||
            stuck_[(int)p.busy_kind] || trace_.active())
            return nullptr;
        uint8_t *at = p.fast + p.pos;
        p.pos += 2;
        return at;
    }
    struct CommandFault {
        bool hang;
        uint16_t result;
        int times;
    };

    static const RegisterInfo kRegisters[];
    static const CommandInfo kCommands[];
    // The row of kRegisters for each even offset (offset / 2); nullptr: not decoded.
    using RowIndex = std::array<const RegisterInfo *, kPortCount / 2>;
    static RowIndex build_rows();
    static const RowIndex kRows;

    uint16_t reg(uint16_t offset) const { return regs_[offset / 2]; }
    void set_reg(uint16_t offset, uint16_t v) { regs_[offset / 2] = v; }
    void update_irq();
    void device_error(uint16_t offset, bool write, uint16_t value, std::string what);
    [[gnu::cold, gnu::noinline]] void device_error(uint16_t offset, bool write, uint16_t value,
                                                   const char *what);
    uint16_t port_read16_general(uint32_t offset);
    uint16_t read_register(uint16_t offset, ReadMode mode);
    void port_write16_general(uint32_t offset, uint16_t value);
    void trace(TraceKind kind, uint16_t offset, uint16_t value, uint16_t aux = 0);

    // Scheduled work; `firmware` work is abandoned by initialize, all of it by reset().
    uint64_t schedule(uint64_t delay, bool firmware, std::function<void()> fn);
    void cancel(uint64_t token);
    void cancel_all(bool firmware_only);

    // Register handlers.
    uint16_t read_command(uint16_t offset, ReadMode mode);
    void write_command(uint16_t offset, uint16_t value);
    uint16_t read_offset(uint16_t offset, ReadMode mode);
    void write_offset(uint16_t offset, uint16_t value);
    uint16_t read_data(uint16_t offset, ReadMode mode);
    void write_data(uint16_t offset, uint16_t value);
    void write_int_enable(uint16_t offset, uint16_t value);
    void write_event_ack(uint16_t offset, uint16_t value);
    void write_control(uint16_t offset, uint16_t value);
    uint16_t read_aux(uint16_t offset, ReadMode mode);
    void write_aux(uint16_t offset, uint16_t value);

    // Command engine and commands.
    void finish_command(uint16_t word, const CommandInfo *info, bool has_fault,
                        uint16_t fault_result);
    uint16_t cmd_initialize(uint16_t word);
    uint16_t cmd_enable(uint16_t word);
    uint16_t cmd_disable(uint16_t word);
    uint16_t cmd_allocate(uint16_t word);
    uint16_t cmd_access(uint16_t word);
    uint16_t cmd_transmit(uint16_t word);
    uint16_t cmd_test(uint16_t word);
    uint16_t cmd_download(uint16_t word);
    uint16_t cmd_read_register(uint16_t word);
    uint16_t cmd_write_register(uint16_t word);

    // Transmit.
    void refuse_tx(uint16_t fid, bool reclaim, TxRefusal why, uint16_t length);
    void put_on_air(const TxJob *job, const AirFrame &frame);
    void count_tx(const TxOutcome &o);
    void tx_done(uint16_t fid, bool reclaim, uint16_t events);
    std::vector<uint8_t> firmware_seal(std::span<const uint8_t> body);
    std::vector<uint8_t> firmware_key(uint8_t id) const;
    void apply_join();
    void reset_tx_state();
    std::vector<std::vector<uint8_t>> fragment_body(std::span<const uint8_t> body, bool seal);
    // Receive.
    struct Partial {
        uint16_t sequence = 0;
        uint8_t next_fragment = 0;
        std::vector<uint8_t> header; // the first fragment's 802.11 header
        std::vector<uint8_t> body;
    };
    bool accepts_destination(const std::array<uint8_t, 6> &addr) const;
    void receive_data(const AirFrame &frame);
    void count_rx(std::span<const uint8_t> header, std::span<const uint8_t> body);
    void fill_rx(std::span<const uint8_t> header, std::span<const uint8_t> body, uint16_t status,
                 uint8_t rate);
    // Filled FIDs announced one at a time: register `fid_reg` names the
    // current one with `event`; its acknowledgement releases it and brings
    // the next (the receive FIDs, the information FIDs).
    struct FidQueue {
        FidQueue(uint16_t reg, uint16_t ev) : fid_reg(reg), event(ev) {}
        uint16_t fid_reg;
        uint16_t event;
        uint16_t current = 0;
        std::vector<uint16_t> queue;
        bool scheduled = false;
        size_t waiting() const { return queue.size() + (current ? 1 : 0); }
        void clear() {
            current = 0;
            queue.clear();
            scheduled = false;
        }
    };
    bool queue_fid(FidQueue &q, std::vector<uint8_t> bytes, uint32_t delay_us);
    void present(FidQueue &q);
    void release(FidQueue &q);
    bool queue_rx(std::vector<uint8_t> frame);
    void reset_rx_state();
    uint16_t cmd_inquire(uint16_t word);
    // Station firmware (cardsta.cpp).
    enum class ScanFor : uint8_t { Join, Lost };
    struct Sta {
        StaState state = StaState::Idle;
        ScanFor scan_for = ScanFor::Join;
        std::vector<uint8_t> channels; // of the scan under way
        size_t next_channel = 0;
        std::vector<ScanEntry> heard;                   // this scan's networks
        ScanEntry target;                               // the network being joined, or joined
        std::optional<std::array<uint8_t, 6>> previous; // the AP it was with
        bool lost_announced = false;
        bool started_cell = false; // ad hoc: this station began the cell
        uint64_t timer = 0;        // the one pending step (dwell, answer, beacon loss, rescan)
        uint64_t beacon_timer = 0; // an ad hoc cell's next beacon
    };
    void sta_start();
    void sta_stop();
    void sta_after(uint64_t delay_us, std::function<void()> fn);
    void sta_scan(ScanFor why);
    void sta_scan_channel();
    void sta_scan_done();
    void sta_authenticate();
    void sta_associate();
    void sta_connected();
    void sta_failed();
    void sta_lost();
    void sta_left(uint16_t code);
    void sta_start_cell();
    void sta_cell_beacon();
    void sta_arm_beacon_loss();
    void sta_receive_mgmt(const AirFrame &frame);
    void sta_heard(const AirFrame &frame, const std::array<uint8_t, 6> &bssid,
                   std::span<const uint8_t> body);
    void sta_auth_answer(std::span<const uint8_t> body);
    void sta_send_mgmt(uint8_t subtype, const std::array<uint8_t, 6> &da,
                       const std::array<uint8_t, 6> &bssid, std::vector<uint8_t> body,
                       bool sealed = false, std::function<void()> on_acknowledged = nullptr);
    std::array<uint8_t, 6> own_address() const;
    // A record that holds a MAC address (own address, current BSSID).
    std::array<uint8_t, 6> address_record(uint16_t id) const;
    std::vector<uint8_t> cell_beacon_body() const;
    void set_bss_records(const ScanEntry &bss, uint16_t port_status);
    std::vector<uint8_t> tallies_frame() const;
    std::vector<uint8_t> scan_results_frame() const;
    // Auxiliary memory.
    uint32_t download_base() const;
    uint32_t download_bytes() const;
    uint16_t *download_word(uint32_t address);
    void reset_aux_state();
    // Paths.
    Path &path_for(uint16_t offset);
    bool path_busy(const Path &p) const;
    void settle_path(Path &p);

    talhost::World &world_;
    RecordStore records_;
    FrameMemory frames_;
    CardTiming timing_;
    CardTrace trace_;

    std::array<uint16_t, kPortCount / 2> regs_{};
    std::array<uint16_t, 3> latched_params_{};
    bool running_ = false;
    bool port_enabled_ = false;
    bool irq_ = false;
    std::function<void(bool)> irq_observer_;
    Path paths_[2];

    // The firmware's record buffer, which the access command and the paths share.
    std::array<uint16_t, kRecordBufferWords> rec_buf_{};
    uint16_t rec_rid_ = 0;
    bool rec_loaded_ = false;

    // Transmit state.
    AirSink *air_sink_ = nullptr;
    std::set<uint16_t> tx_queued_; // FIDs the firmware holds for transmission
    Transmitter tx_;
    bool station_firmware_ = false; // backend choice, kept by reset and initialize
    Sta sta_;
    uint16_t sequence_ = 0;
    uint32_t iv_counter_ = 0;
    uint32_t iv_frames_left_ = 0;
    TxStats tx_stats_;
    bool joined_ = false; // backend state, kept by reset and initialize
    std::array<uint8_t, 6> join_bssid_{};
    uint8_t join_channel_ = 0;

    // Receive state.
    bool monitor_ = false;
    FidQueue rx_{reg::RxFid, ev::Rx};
    FidQueue info_{reg::InfoFid, ev::Info};
    Tallies tallies_;
    std::vector<ScanEntry> scan_results_;
    std::map<std::array<uint8_t, 6>, uint16_t> last_seq_; // transmitter -> sequence control
    std::map<std::array<uint8_t, 6>, Partial> partial_;   // reassembly per transmitter
    RxStats rx_stats_;
    // Auxiliary port and download.
    struct Announcement {
        uint32_t address;
        uint16_t bytes;
    };
    uint64_t aux_switch_token_ = 0;
    uint32_t aux_address_ = 0;
    std::vector<uint16_t> download_buffer_;
    std::optional<Announcement> announced_;
    uint32_t download_writes_ = 0; // words written into the buffer since the announcement
    std::map<uint32_t, std::vector<uint8_t>> downloaded_;
    DownloadStats download_stats_;

    std::array<uint16_t, kControllerRegisters> controller_regs_{};

    std::map<uint8_t, uint32_t> latency_override_;
    struct Scheduled {
        talhost::World::EventId id;
        bool firmware;
    };
    std::map<uint64_t, Scheduled> scheduled_;
    uint64_t next_token_ = 0;

    std::vector<DeviceError> device_errors_;
    uint64_t device_error_count_ = 0;

    // Faults.
    bool stuck_[3] = {false, false, false};
    std::map<uint16_t, CommandFault> command_faults_;
    uint16_t suppressed_events_ = 0;
    uint16_t stuck_events_ = 0;
    std::map<uint16_t, uint16_t> unreadable_records_;
    bool removed_ = false;
    bool aux_stuck_ = false;

    // Firmware behaviour chosen by the backend.
    struct PeriodicEvent {
        uint16_t bit;
        uint32_t period_us = 0;
        uint64_t token = 0;
    };
    PeriodicEvent periodic_[2] = {{ev::Dtim}, {ev::Tick}};
    void arm_periodic(PeriodicEvent &e);
    bool busy_clears_on_accept_ = false;
};

} // namespace talsim
