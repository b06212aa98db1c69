// An adapter brought up on the card model the one way there is: the
// wrapper calls the driver's initialize handler for an adapter instance
// with the test's configuration, and halts it at the end of the test.
#pragma once

#include "support/card_fixture.h"
#include "support/tal_handlers.h"

#include "card/cardlink.h"
#include "datapath/talsend.h"
#include "driver/talmain.h"
#include "packet.h"

#include <array>
#include <memory>
#include <set>
#include <vector>

namespace taltest {

inline constexpr std::array<uint8_t, 6> kApBssid = {0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};

class AdapterTest : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        card.join(kApBssid); // an access point is in range
        // The driver claims the card's ports itself.
        NdisMDeregisterIoPortRange(handle, kCardPortBase, talsim::kPortCount, port_base);
        // The wrapper knows the driver's handlers, as after DriverEntry.
        ASSERT_EQ(taltest::register_tal_handlers(), NDIS_STATUS_SUCCESS);
    }

    // Configuration with the card's port base and polling without timers,
    // so that nothing but the test drives the adapter.
    static talhost::AdapterConfig default_config() {
        talhost::AdapterConfig c;
        c.set_dword("IoBaseAddress", kCardPortBase);
        c.set_dword("InterruptNumber", 10);
        c.set_dword("PollInDriver", 2);
        return c;
    }

    // 40-bit host WEP with four keys (key 1: A1 B2 C3 D4 E5), sending with key 1.
    static talhost::AdapterConfig with_host_wep(talhost::AdapterConfig c) {
        c.set_dword("WepReq", 3);
        c.set_string("DefaultKeys", "0102030405A1B2C3D4E5DEADBEEF0011223344CC");
        c.set_dword("DefaultKeyId", 1);
        return c;
    }

    // A new adapter instance with `config`, initialized by the wrapper (an
    // adapter still up is halted first). On success `adapter` is the
    // driver's record; returns the initialize handler's status.
    NDIS_STATUS bring_up(talhost::AdapterConfig config = default_config()) {
        halt();
        handle = host.add_adapter(std::move(config));
        talsim::connect_interrupt_line(card, host, handle);
        if (hold_timers)
            host.hold_timers(handle, true);
        NDIS_STATUS s = host.initialize(handle);
        if (s == NDIS_STATUS_SUCCESS) {
            adapter.reset();
            adapter.get_deleter().owned = false;
            adapter.reset((TAL_ADAPTER *)host.adapter_context(handle));
        }
        return s;
    }

    // The wrapper halts the adapter; the record is the driver's no more.
    void halt() {
        if (!adapter.get_deleter().owned && !host.halted(handle)) {
            expect_packets_accounted_for();
            host.halt(handle);
        }
        if (!adapter.get_deleter().owned) {
            adapter.release();
            adapter.get_deleter().owned = true;
            adapter.reset(new TAL_ADAPTER{});
        }
    }

    // A protocol's send through the wrapper.
    NDIS_STATUS send(talhost::Packet &p) { return host.send(handle, p.ndis(), TalSend); }

    // Packets live as long as the test: the driver may hold them to the end.
    talhost::Packet *packet(const std::vector<uint8_t> &frame) {
        return adopt(talhost::Packet::one_buffer(frame));
    }
    talhost::Packet *adopt(std::unique_ptr<talhost::Packet> p) {
        packets_.push_back(std::move(p));
        return packets_.back().get();
    }

    const std::vector<talhost::SendCompletion> &completions() {
        return host.block(handle).completions;
    }

    // Every packet handed to the send handler and not completed must be
    // one the driver holds: the one in the card or one in its queue, and
    // the queue is as long as its count says.
    void expect_packets_accounted_for() {
        std::set<PNDIS_PACKET> held;
        ULONG queued = 0;
        for (PNDIS_PACKET p = adapter->FirstTxQueue; p && queued <= adapter->NumPacketsQueued;
             p = TAL_RESERVED_FROM_PACKET(p)->Next, queued++)
            held.insert(p);
        EXPECT_EQ(queued, adapter->NumPacketsQueued) << "the queue's count";
        if (adapter->txPacket)
            held.insert(adapter->txPacket);
        EXPECT_EQ(held, host.block(handle).owned) << "packets neither completed nor held";
    }

    void TearDown() override {
        EXPECT_EQ(card.device_error_count(), 0u)
            << "the driver made an access the card does not allow: "
            << (card.device_errors().empty() ? "" : card.device_errors().front().what);
        halt();
        card.set_irq_observer(nullptr);
        CardTest::TearDown();
    }

    // Timer callbacks of the adapters this test brings up wait (polling
    // mode whose send handler's own look at the card is under test).
    bool hold_timers = false;
    std::vector<std::unique_ptr<talhost::Packet>> packets_;
};

} // namespace taltest
