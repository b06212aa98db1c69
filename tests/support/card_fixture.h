// A host with one adapter instance and the card model mapped at its port
// window: the port range is registered as the bring-up registers it, and a
// zeroed adapter record points at the mapped base. Tests of the hardware
// layer and of everything above it start here.
#pragma once

#include "support/host_fixture.h"

#include "card/card.h"
#include "driver/taladapter.h"

#include <memory>
#include <vector>

namespace taltest {

inline constexpr UINT kCardPortBase = 0x300;

// A port access as the card's trace records it.
constexpr talsim::PortAccess R(uint16_t offset, uint16_t value) {
    return {false, offset, value};
}
constexpr talsim::PortAccess W(uint16_t offset, uint16_t value) {
    return {true, offset, value};
}

// The adapter record a test looks at: its own zeroed one, or the one the
// driver allocated (which the driver frees at halt).
struct RecordDeleter {
    bool owned = true;
    void operator()(TAL_ADAPTER *p) const {
        if (owned)
            delete p;
    }
};
using AdapterRecord = std::unique_ptr<TAL_ADAPTER, RecordDeleter>;

class CardTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        handle = host.add_adapter();
        host.bus().map(kCardPortBase, talsim::kPortCount, &card);
        ASSERT_EQ(NdisMRegisterIoPortRange(&port_base, handle, kCardPortBase, talsim::kPortCount),
                  NDIS_STATUS_SUCCESS);
        adapter->MiniportAdapterHandle = handle;
        adapter->IoBaseAddrR = (ULONG)(ULONG_PTR)port_base;
    }

    void TearDown() override {
        // A test whose driver halted has given the range back already.
        if (host.port_registered(kCardPortBase) && !host.halted(handle))
            NdisMDeregisterIoPortRange(handle, kCardPortBase, talsim::kPortCount, port_base);
        host.bus().unmap(&card);
        HostTest::TearDown();
    }

    // Stall counters and the card's trace start afresh from here.
    void start_measuring() {
        host.world().reset_stall_counters();
        card.trace().clear();
        card.trace().enable();
    }

    // From the trace since start_measuring(): the values written to register
    // `offset`, in order, and how often it was read.
    std::vector<uint16_t> writes_to(uint16_t offset) {
        std::vector<uint16_t> out;
        for (const talsim::PortAccess &a : card.trace().port_accesses())
            if (a.write && a.offset == offset)
                out.push_back(a.value);
        return out;
    }
    size_t reads_of(uint16_t offset) {
        size_t n = 0;
        for (const talsim::PortAccess &a : card.trace().port_accesses())
            n += !a.write && a.offset == offset;
        return n;
    }

    NDIS_HANDLE handle = nullptr;
    PVOID port_base = nullptr;
    talsim::CardModel card{host.world()};
    AdapterRecord adapter{new TAL_ADAPTER{}};
};

} // namespace taltest
