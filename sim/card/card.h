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
// Backend face (tests and tools, never the driver):
//   reset()                         power-on state from the register table
//   raise_event(bits)               raise events as the firmware would
//   events(), int_enable(), irq(), peek(offset), poke(offset, value), port_enabled()
//   records()                       RecordStore: image(rid), data(rid), set(rid, words)
//   frames()                        FrameMemory: fids(), allocated(fid), buffer(fid)
//   timing(), set_command_latency(code, us), command_latency(code)
//   trace()                         CardTrace: enable(capacity), records(), port_accesses()
//   device_errors(), device_error_count()
//   faults: set_stuck_busy(Busy::Command|Path0|Path1, on), fail_command(word, result[, times]),
//           hang_command(word[, times]), suppress_events(mask),
//           make_record_unreadable(rid[, result]), set_removed(on), clear_faults()
//   firmware: set_periodic_event(Dtim|Tick, period_us), set_busy_clears_on_accept(on)
//   transmit: set_air_sink(sink), join(bssid[, channel]), leave(), joined(), tx_stats(),
//           set_next_iv(iv)
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
// to a group address, else SIFS (10 us) plus an ACK (14 bytes) at the same
// rate and preamble. The sequence number counts frames put on the air from 0
// (initialize and reset start it again), fragment 0.
// WEP (flags record 0xFC28): privacy off (bit 0 clear) - nothing protected,
// whatever bits 4 and 7 say. Privacy on - the protected bit; with bit 4 the
// body goes as the host gave it; without it the firmware seals it: IV header
// (3 IV bytes least significant first, key id from record 0xFC23 in the top
// two bits of the fourth), RC4 over body + CRC-32 ICV with the default key of
// that id (0xFC24 + id). Key 0's record length sets the key size for every
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

#include "portbus.h"
#include "world.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace talsim {

struct CardTiming {
    uint32_t path_busy_us = 10;     // offset register busy after a write
    uint32_t alloc_event_us = 15;   // allocate event after the allocate command's event
    uint32_t unknown_command_us = 10;
    uint32_t tx_refuse_us = 15;     // transmit exception after a refused transmit command
    uint32_t command_accept_us = 2; // busy bit clears after a write, with busy-clears-on-accept
};

// Why a transmit was refused (trace aux of TraceKind::TxRefused).
enum class TxRefusal : uint16_t { PortDisabled = 1, NotJoined = 2, TooLong = 3, BeyondBuffer = 4 };

struct TxStats {
    uint64_t sent = 0;
    uint64_t refused = 0;
};

enum class Busy : uint8_t { Command, Path0, Path1 };

struct DeviceError {
    uint64_t time;
    uint16_t offset;
    bool write;
    uint16_t value;
    std::string what;
};

class CardModel : public talhost::PortDevice {
public:
    static constexpr int kAlways = -1;           // fault applies to every matching command
    static constexpr size_t kRecordBufferWords = 128;
    static constexpr size_t kDeviceErrorsKept = 256;

    explicit CardModel(talhost::World &world, const FactoryData &factory = {});
    ~CardModel() override;
    CardModel(const CardModel &) = delete;
    CardModel &operator=(const CardModel &) = delete;

    // ---- Bus face ----
    uint16_t port_read16(uint32_t offset) override;
    void port_write16(uint32_t offset, uint16_t value) override;

    // ---- Backend: state ----
    void reset();
    void raise_event(uint16_t bits);
    uint16_t events() const { return reg(reg::EvStat); }
    uint16_t int_enable() const { return reg(reg::IntEn); }
    bool irq() const { return irq_; }
    void set_irq_observer(std::function<void(bool level)> fn) { irq_observer_ = std::move(fn); }
    // A register as a read would show it, without side effects; the data
    // registers (whose reads move the path) peek as 0xFFFF.
    uint16_t peek(uint16_t offset) const;
    // Sets a register's stored word without its write side effects (a
    // status word no command would leave, a FID register); the interrupt
    // line follows an event status or enable poke.
    void poke(uint16_t offset, uint16_t value);
    bool port_enabled() const { return port_enabled_; }
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
    void set_air_sink(AirSink *sink) { air_sink_ = sink; }
    AirSink *air_sink() const { return air_sink_; }
    void join(const std::array<uint8_t, 6> &bssid, uint8_t channel = 0);
    void leave();
    bool joined() const { return joined_; }
    const TxStats &tx_stats() const { return tx_stats_; }
    // The next frame that needs a new IV takes `iv` (24 bits).
    void set_next_iv(uint32_t iv) {
        iv_counter_ = (iv - 1) & 0xFFFFFF;
        iv_frames_left_ = 0;
    }

    CardTrace &trace() { return trace_; }
    const std::vector<DeviceError> &device_errors() const { return device_errors_; }
    uint64_t device_error_count() const { return device_error_count_; }

    // ---- Backend: faults ----
    void set_stuck_busy(Busy which, bool stuck);
    // The command whose whole word is `word` completes with `result` (its
    // handler does not run) for the next `times` issues, or always.
    void fail_command(uint16_t word, uint16_t result, int times = kAlways);
    // The command stays busy and never completes (until reset()).
    void hang_command(uint16_t word, int times = kAlways);
    // These event bits never rise, whoever raises them.
    void suppress_events(uint16_t mask) { suppressed_events_ = mask; }
    // Reading `rid` with the access command fails with `result`.
    void make_record_unreadable(uint16_t rid, uint16_t result = result::CardFailure);
    // A removed card: every read gives 0xFFFF, writes are lost.
    void set_removed(bool removed);
    bool removed() const { return removed_; }
    void clear_faults();

    // ---- Backend: firmware behaviour ----
    void set_periodic_event(uint16_t bit, uint32_t period_us);
    void set_busy_clears_on_accept(bool on) { busy_clears_on_accept_ = on; }

    // ---- Tables (also for tools that print them) ----
    enum class Access : uint8_t { R, W, RW };
    struct RegisterInfo {
        uint16_t offset;
        Access access;
        uint16_t reset;
        const char *name;
        uint16_t (CardModel::*read)(uint16_t offset);        // nullptr: the stored word
        void (CardModel::*write)(uint16_t offset, uint16_t); // nullptr: store the word
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
        uint16_t offset = 0;   // as last written, offset field only
        uint16_t target = 0;   // FID or RID latched at the offset write
        uint32_t pos = 0;      // byte position
        uint64_t settle_token = 0;
    };
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
    void trace(TraceKind kind, uint16_t offset, uint16_t value, uint16_t aux = 0);

    // Scheduled work; `firmware` work is abandoned by initialize, all of it by reset().
    uint64_t schedule(uint64_t delay, bool firmware, std::function<void()> fn);
    void cancel(uint64_t token);
    void cancel_all(bool firmware_only);

    // Register handlers.
    uint16_t read_command(uint16_t offset);
    void write_command(uint16_t offset, uint16_t value);
    uint16_t read_offset(uint16_t offset);
    void write_offset(uint16_t offset, uint16_t value);
    uint16_t read_data(uint16_t offset);
    void write_data(uint16_t offset, uint16_t value);
    void write_int_enable(uint16_t offset, uint16_t value);
    void write_event_ack(uint16_t offset, uint16_t value);

    // Command engine and commands.
    void finish_command(uint16_t word, const CommandInfo *info, bool has_fault, uint16_t fault_result);
    uint16_t cmd_initialize(uint16_t word);
    uint16_t cmd_enable(uint16_t word);
    uint16_t cmd_disable(uint16_t word);
    uint16_t cmd_allocate(uint16_t word);
    uint16_t cmd_access(uint16_t word);
    uint16_t cmd_transmit(uint16_t word);

    // Transmit.
    void refuse_tx(uint16_t fid, bool reclaim, TxRefusal why, uint16_t length);
    void finish_tx(uint16_t fid, bool reclaim, bool tx_event, AirFrame frame);
    void tx_done(uint16_t fid, bool reclaim, uint16_t events);
    std::vector<uint8_t> firmware_seal(std::span<const uint8_t> body);
    void apply_join();
    void reset_tx_state();
    // Paths.
    Path &path_for(uint16_t offset);
    const Path &path_for(uint16_t offset) const;
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
    std::set<uint16_t> tx_queued_;   // FIDs the firmware holds for transmission
    uint64_t medium_free_at_ = 0;
    uint16_t sequence_ = 0;
    uint32_t iv_counter_ = 0;
    uint32_t iv_frames_left_ = 0;
    TxStats tx_stats_;
    bool joined_ = false;           // backend state, kept by reset and initialize
    std::array<uint8_t, 6> join_bssid_{};
    uint8_t join_channel_ = 0;

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
    std::map<uint16_t, uint16_t> unreadable_records_;
    bool removed_ = false;

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
