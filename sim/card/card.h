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
// one function after every change; set_irq_observer() sees each change.
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
// Faults belong to the backend, not to the card: reset() and initialize keep them.
#pragma once

#include "card/cardregs.h"
#include "card/cardtrace.h"
#include "card/framemem.h"
#include "card/records.h"

#include "portbus.h"
#include "world.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace talsim {

struct CardTiming {
    uint32_t path_busy_us = 10;     // offset register busy after a write
    uint32_t alloc_event_us = 15;   // allocate event after the allocate command's event
    uint32_t unknown_command_us = 10;
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
    void set_removed(bool removed) { removed_ = removed; }
    void clear_faults();

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

    uint16_t reg(uint16_t offset) const { return regs_[offset / 2]; }
    void set_reg(uint16_t offset, uint16_t v) { regs_[offset / 2] = v; }
    void update_irq();
    void device_error(uint16_t offset, bool write, uint16_t value, std::string what);
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
};

} // namespace talsim
