// The host's I/O port space: devices mapped at port ranges, reached by the
// HAL port calls. An unmapped port reads as all ones, as on an ISA bus.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace talhost {

class PortDevice {
public:
    virtual ~PortDevice() = default;
    // offset is relative to the start of the range the device is mapped at
    virtual uint16_t port_read16(uint32_t offset) = 0;
    virtual void port_write16(uint32_t offset, uint16_t value) = 0;
};

class PortBus {
public:
    void map(uint32_t base, uint32_t count, PortDevice *dev);
    void unmap(PortDevice *dev);
    PortDevice *device_at(uint32_t port) const;

    uint16_t read16(uint32_t port);
    void write16(uint32_t port, uint16_t value);

    // Called before every access (for the verifier and for delivering an
    // interrupt at an arbitrary port access).
    std::function<void(uint32_t port, bool write, uint16_t value)> on_access;

private:
    struct Range {
        uint32_t base;
        uint32_t count;
        PortDevice *dev;
    };
    const Range *find(uint32_t port) const;
    std::vector<Range> ranges_;
};

} // namespace talhost
