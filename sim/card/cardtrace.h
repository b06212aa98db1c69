// Typed trace records of the card model: every port access (offset,
// direction, value, virtual time), every command start and completion,
// every event raised, every change of the interrupt line, every device
// error, every frame put on the air and every refused transmit. Off by
// default; when enabled, the last `capacity` records are kept in a ring.
// A sink, when set, sees each record as it is made, ring or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace talsim {

enum class TraceKind : uint8_t {
    PortRead,     // offset, value read
    PortWrite,    // offset, value written
    CommandStart, // value = command word
    CommandDone,  // value = command word, aux = result code
    EventRaise,   // value = event bits that rose
    IrqLine,      // value = new level (0 or 1)
    DeviceError,  // offset, value; the reason is in the device error log
    FrameOnAir,   // offset = FID, value = 802.11 frame length (no FCS), aux = rate (500 kb/s)
    TxRefused,    // offset = FID, value = body length asked for, aux = TxRefusal
    RxFilled,     // offset = receive FID, value = DataLen, aux = status word
    RxDropped,    // value = frame length on the air, aux = RxDrop
};

// Why a received frame went no further (trace aux of TraceKind::RxDropped).
enum class RxDrop : uint16_t {
    Filtered = 1,
    Duplicate = 2,
    Undecryptable = 3,
    Unencrypted = 4,
    Reassembly = 5,
    NoBuffer = 6,
    Malformed = 7,
};

struct TraceRecord {
    uint64_t time;
    TraceKind kind;
    uint16_t offset;
    uint16_t value;
    uint16_t aux;

    bool operator==(const TraceRecord &) const = default;
};

// A port access as tests compare them: read or write, offset, value.
struct PortAccess {
    bool write;
    uint16_t offset;
    uint16_t value;

    bool operator==(const PortAccess &) const = default;
};

std::string to_string(const TraceRecord &r);
std::string to_string(const PortAccess &a);

class CardTrace {
public:
    static constexpr size_t kDefaultCapacity = 65536;

    void enable(size_t capacity = kDefaultCapacity);
    void disable() {
        enabled_ = false;
        active_ = (bool)sink_;
    }
    bool enabled() const { return enabled_; }
    void clear() {
        ring_.clear();
        dropped_ = 0;
    }

    // Called for every record, whether the ring is enabled or not.
    void set_sink(std::function<void(const TraceRecord &)> sink) {
        sink_ = std::move(sink);
        active_ = enabled_ || sink_;
    }

    bool active() const { return active_; }
    void add(const TraceRecord &r);

    std::vector<TraceRecord> records() const { return {ring_.begin(), ring_.end()}; }
    // Only the port accesses, in order.
    std::vector<PortAccess> port_accesses() const;
    // Records pushed out of the ring since the last clear.
    uint64_t dropped() const { return dropped_; }

private:
    bool enabled_ = false;
    bool active_ = false; // enabled or with a sink: read on every port access
    size_t capacity_ = kDefaultCapacity;
    std::deque<TraceRecord> ring_;
    uint64_t dropped_ = 0;
    std::function<void(const TraceRecord &)> sink_;
};

} // namespace talsim
