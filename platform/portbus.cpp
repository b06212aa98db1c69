#include "portbus.h"

#include <algorithm>

namespace talhost {

void PortBus::map(uint32_t base, uint32_t count, PortDevice *dev) {
    ranges_.push_back(Range{base, count, dev});
}

void PortBus::unmap(PortDevice *dev) {
    ranges_.erase(std::remove_if(ranges_.begin(), ranges_.end(),
                                 [dev](const Range &r) { return r.dev == dev; }),
                  ranges_.end());
}

const PortBus::Range *PortBus::find(uint32_t port) const {
    for (const Range &r : ranges_)
        if (port >= r.base && port - r.base < r.count)
            return &r;
    return nullptr;
}

PortDevice *PortBus::device_at(uint32_t port) const {
    const Range *r = find(port);
    return r ? r->dev : nullptr;
}

uint16_t PortBus::read16(uint32_t port) {
    if (on_access)
        on_access(port, false, 0);
    const Range *r = find(port);
    return r ? r->dev->port_read16(port - r->base) : 0xFFFF;
}

void PortBus::write16(uint32_t port, uint16_t value) {
    if (on_access)
        on_access(port, true, value);
    const Range *r = find(port);
    if (r)
        r->dev->port_write16(port - r->base, value);
}

} // namespace talhost
