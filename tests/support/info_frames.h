// Information frames read as a host reads them on the card's bus face: the
// information event, the FID in register 0x10, the frame through path 0
// (length word, then that many words), and the acknowledgement that
// releases the FID. No test framework here: talsim uses it too.
#pragma once

#include "card/cardregs.h"

#include "portbus.h"
#include "world.h"

#include <cstdint>
#include <vector>

namespace taltest {

class InfoReader {
public:
    InfoReader(talhost::PortBus &bus, talhost::World &world, uint32_t base)
        : bus_(bus), world_(world), base_(base) {}

    // The next information frame within `us` of virtual time (the clock
    // runs in 100 us steps); empty if none came.
    std::vector<uint16_t> next(uint64_t us) {
        using namespace talsim;
        for (uint64_t t = 0; t < us && !(rd(reg::EvStat) & ev::Info); t += 100)
            world_.run_for(100);
        if (!(rd(reg::EvStat) & ev::Info))
            return {};
        wr(reg::Select0, rd(reg::InfoFid));
        wr(reg::Offset0, 0);
        while (rd(reg::Offset0) & kBusy)
            world_.stall(1);
        std::vector<uint16_t> f{rd(reg::Data0)};
        for (uint16_t i = 0; i < f[0]; ++i)
            f.push_back(rd(reg::Data0));
        wr(reg::EvAck, ev::Info);
        return f;
    }

    // The codes of the link status frames that come within `us`; other
    // frames are read and dropped.
    std::vector<uint16_t> link_codes(uint64_t us) {
        std::vector<uint16_t> codes;
        uint64_t end = world_.now() + us;
        while (world_.now() < end) {
            std::vector<uint16_t> f = next(end - world_.now());
            if (f.size() >= 3 && f[1] == talsim::info::LinkStatus)
                codes.push_back(f[2]);
        }
        return codes;
    }

    // Issues the inquire command for `type` and returns the frame it brings.
    std::vector<uint16_t> inquire(uint16_t type) {
        using namespace talsim;
        wr(reg::Param0, type);
        wr(reg::Command, cmd::Inquire);
        while (!(rd(reg::EvStat) & ev::Cmd))
            world_.stall(1);
        uint16_t status = rd(reg::Status);
        wr(reg::EvAck, ev::Cmd);
        if ((status >> 8) & 0x7F)
            return {};
        return next(10000);
    }

private:
    uint16_t rd(uint16_t off) { return bus_.read16(base_ + off); }
    void wr(uint16_t off, uint16_t v) { bus_.write16(base_ + off, v); }

    talhost::PortBus &bus_;
    talhost::World &world_;
    uint32_t base_;
};

} // namespace taltest
