#include "portbus.h"

#include <cstdio>
#include <cstdlib>

namespace talhost {

PortBus::PortBus() : table_(kPorts, 0), maps_(1) {}

void PortBus::map(uint32_t base, uint32_t count, PortDevice *dev) {
    uint16_t d = 0;
    for (uint16_t i = 1; i < maps_.size() && !d; i++)
        if (!maps_[i].dev)
            d = i;
    if (!d) {
        if (maps_.size() > kMaxDevices) {
            std::fprintf(stderr, "talhost: more than %u port devices\n", kMaxDevices);
            std::abort();
        }
        d = (uint16_t)maps_.size();
        maps_.emplace_back();
    }
    maps_[d] = Mapping{dev, base, count};
    for (uint32_t p = base; p < kPorts && p - base < count; p++)
        if ((table_[p] & kDeviceMask) == 0)
            table_[p] = (uint16_t)(table_[p] | d);
}

void PortBus::unmap(PortDevice *dev) {
    for (uint16_t d = 1; d < maps_.size(); d++) {
        if (maps_[d].dev != dev)
            continue;
        for (uint32_t p = maps_[d].base; p < kPorts && p - maps_[d].base < maps_[d].count; p++)
            if ((table_[p] & kDeviceMask) == d)
                table_[p] = (uint16_t)(table_[p] & kClaimMask);
        maps_[d] = Mapping{};
    }
}

PortDevice *PortBus::device_at(uint32_t port) const {
    return port < kPorts ? maps_[table_[port] & kDeviceMask].dev : nullptr;
}

void PortBus::claim(uint32_t base, uint32_t count) {
    for (uint32_t p = base; p < kPorts && p - base < count; p++)
        if ((table_[p] & kClaimMask) != kClaimMask)
            table_[p] = (uint16_t)(table_[p] + kClaimOne);
}

void PortBus::release(uint32_t base, uint32_t count) {
    for (uint32_t p = base; p < kPorts && p - base < count; p++)
        if ((table_[p] & kClaimMask) != 0)
            table_[p] = (uint16_t)(table_[p] - kClaimOne);
}

uint16_t PortBus::entry(uint32_t port, bool write, uint16_t value) {
    if (port >= kPorts) {
        watch(port, write, value, true);
        return 0;
    }
    if ((table_[port] & kClaimMask) == 0 || watch_all_)
        watch(port, write, value, (table_[port] & kClaimMask) == 0);
    return table_[port];
}

uint16_t PortBus::read16_watched(uint32_t port) {
    uint16_t e = entry(port, false, 0);
    if (uint16_t d = e & kDeviceMask)
        return maps_[d].dev->port_read16(port - maps_[d].base);
    return 0xFFFF;
}

void PortBus::write16_watched(uint32_t port, uint16_t value) {
    uint16_t e = entry(port, true, value);
    if (uint16_t d = e & kDeviceMask)
        maps_[d].dev->port_write16(port - maps_[d].base, value);
}

void PortBus::watch(uint32_t port, bool write, uint16_t value, bool unclaimed) {
    if (!watcher_)
        return;
    if (unclaimed)
        watcher_->unclaimed_access(port, write, value);
    if (watch_all_)
        watcher_->before_access(port, write, value);
}

} // namespace talhost
