// The host's I/O port space: devices mapped at port ranges, reached by the
// HAL port calls. An unmapped port reads as all ones, as on an ISA bus.
//
// A port access is an indexed dispatch: one table entry per port of the
// 64K space names the device mapped there and whether a driver registered
// the port. Accesses the table alone cannot settle (a port no driver
// registered, or every access while a watcher asks for all of them) go to
// the watcher first; the device sees the access either way.
#pragma once

#include <cstdint>
#include <vector>

namespace talhost {

class PortDevice {
public:
    virtual ~PortDevice() = default;
    // offset is relative to the start of the range the device is mapped at
    virtual uint16_t port_read16(uint32_t offset) = 0;
    virtual void port_write16(uint32_t offset, uint16_t value) = 0;
};

class PortWatcher {
public:
    virtual ~PortWatcher() = default;
    // Before an access to a port no driver registered (the verifier's rule).
    virtual void unclaimed_access(uint32_t port, bool write, uint16_t value) = 0;
    // Before every access, while the bus watches all of them.
    virtual void before_access(uint32_t port, bool write, uint16_t value) = 0;
};

class PortBus {
public:
    static constexpr uint32_t kPorts = 0x10000;
    static constexpr unsigned kMaxDevices = 255;

    PortBus();

    // Maps `count` ports from `base`; ports already mapped keep their device.
    // Ports at or above kPorts are never mapped.
    void map(uint32_t base, uint32_t count, PortDevice *dev);
    void unmap(PortDevice *dev);
    PortDevice *device_at(uint32_t port) const;

    // Ports a driver registered, counted: two claims need two releases.
    void claim(uint32_t base, uint32_t count);
    void release(uint32_t base, uint32_t count);
    bool claimed(uint32_t port) const { return port < kPorts && (table_[port] & kClaimMask) != 0; }

    void set_watcher(PortWatcher *watcher) { watcher_ = watcher; }
    // Every access goes to the watcher's before_access (off by default).
    void watch_every_access(bool on) { watch_all_ = on; }

    // The common case (a claimed port, no watcher asking for everything)
    // stays here; the rest goes out of line.
    uint16_t read16(uint32_t port) {
        if (port < kPorts && (table_[port] & kClaimMask) != 0 && !watch_all_) {
            if (uint16_t d = table_[port] & kDeviceMask)
                return maps_[d].dev->port_read16(port - maps_[d].base);
            return 0xFFFF;
        }
        return read16_watched(port);
    }
    void write16(uint32_t port, uint16_t value) {
        if (port < kPorts && (table_[port] & kClaimMask) != 0 && !watch_all_) {
            if (uint16_t d = table_[port] & kDeviceMask)
                maps_[d].dev->port_write16(port - maps_[d].base, value);
            return;
        }
        write16_watched(port, value);
    }

private:
    // Entry: device number (0: none) in the low byte, claim count above.
    static constexpr uint16_t kDeviceMask = 0x00FF;
    static constexpr uint16_t kClaimMask = 0xFF00;
    static constexpr uint16_t kClaimOne = 0x0100;

    struct Mapping {
        PortDevice *dev = nullptr;
        uint32_t base = 0;
        uint32_t count = 0;
    };

    // The port's entry after the watcher has seen what it must see.
    uint16_t read16_watched(uint32_t port);
    void write16_watched(uint32_t port, uint16_t value);
    // The table entry, after the watcher has seen the access.
    uint16_t entry(uint32_t port, bool write, uint16_t value);
    void watch(uint32_t port, bool write, uint16_t value, bool unclaimed);

    std::vector<uint16_t> table_;
    std::vector<Mapping> maps_; // [0] unused: device number 0 means none
    PortWatcher *watcher_ = nullptr;
    bool watch_all_ = false;
};

} // namespace talhost
