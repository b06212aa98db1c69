#include "card/cardtrace.h"

#include <cstdio>

namespace talsim {

void CardTrace::enable(size_t capacity) {
    enabled_ = true;
    active_ = true;
    capacity_ = capacity ? capacity : 1;
    while (ring_.size() > capacity_) {
        ring_.pop_front();
        ++dropped_;
    }
}

void CardTrace::add(const TraceRecord &r) {
    if (enabled_) {
        if (ring_.size() == capacity_) {
            ring_.pop_front();
            ++dropped_;
        }
        ring_.push_back(r);
    }
    if (sink_)
        sink_(r);
}

std::vector<PortAccess> CardTrace::port_accesses() const {
    std::vector<PortAccess> out;
    for (const TraceRecord &r : ring_)
        if (r.kind == TraceKind::PortRead || r.kind == TraceKind::PortWrite)
            out.push_back(PortAccess{r.kind == TraceKind::PortWrite, r.offset, r.value});
    return out;
}

std::string to_string(const PortAccess &a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c %02X %04X", a.write ? 'W' : 'R', a.offset, a.value);
    return buf;
}

std::string to_string(const TraceRecord &r) {
    static const char *const kNames[] = {"read",       "write",     "command",      "done",
                                         "event",      "irq",       "device-error", "frame-on-air",
                                         "tx-refused", "rx-filled", "rx-dropped"};
    char buf[80];
    std::snprintf(buf, sizeof buf, "%10llu us %-12s off=%02X val=%04X aux=%04X",
                  (unsigned long long)r.time, kNames[(int)r.kind], r.offset, r.value, r.aux);
    return buf;
}

} // namespace talsim
