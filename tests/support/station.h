// A station for tests with more than one adapter: a card model on the
// medium, an adapter instance of the host and the driver's record, brought
// up with the driver's own steps. Either the test serves the card's receive
// events itself (receive()), or the adapter runs by itself (run(): the
// card's interrupt line reaches the wrapper, and in polling mode the 50
// timers run the event loop); the wrapper must know the driver's handlers
// (register_tal_handlers()).
#pragma once

#include "air/medium.h"
#include "card/card.h"
#include "card/cardlink.h"
#include "datapath/interrupt.h"
#include "datapath/talsend.h"
#include "datapath/transfer.h"
#include "driver/talmain.h"
#include "host.h"
#include "mac/talregs.h"
#include "mac/talutil.h"
#include "packet.h"
#include "support/tal_handlers.h"

#include <array>
#include <memory>
#include <vector>

namespace taltest {

class Station {
public:
    using Bytes = std::vector<uint8_t>;

    Station(talhost::Host &host, talsim::Medium &medium, UINT port_base,
            const std::array<uint8_t, 6> &mac)
        : card(host.world(), factory(mac)), host_(host), base_(port_base) {
        handle = host.add_adapter();
        host.bus().map(base_, talsim::kPortCount, &card);
        card.set_air_sink(medium.attach(&card));
        host.set_station_address(handle, mac);
    }

    ~Station() {
        card.set_irq_observer(nullptr);
        cancel_polling_timers(adapter.get());
        if (adapter->Interrupt.Registered)
            NdisMDeregisterInterrupt(&adapter->Interrupt);
        if (host_.port_registered(base_))
            NdisMDeregisterIoPortRange(handle, base_, talsim::kPortCount, port);
        host_.bus().unmap(&card);
    }

    // The configuration pass, attributes, port range and bring-up.
    NDIS_STATUS bring_up(talhost::AdapterConfig config) {
        config.set_dword("IoBaseAddress", base_);
        host_.block(handle).config = std::move(config);
        TalInitAdapterRecord(adapter.get(), handle);
        NDIS_STATUS s = TalReadConfiguration(adapter.get(), host_.config_context(handle));
        if (s != NDIS_STATUS_SUCCESS)
            return s;
        NdisMSetAttributes(handle, adapter.get(), FALSE, NdisInterfaceIsa);
        s = NdisMRegisterIoPortRange(&port, handle, base_, talsim::kPortCount);
        if (s != NDIS_STATUS_SUCCESS)
            return s;
        adapter->IoBaseAddrR = (ULONG)(ULONG_PTR)port;
        return TalRegisterAdapter(adapter.get(), host_.config_context(handle));
    }

    // From now on the adapter runs by itself on the virtual clock.
    void run() {
        talsim::connect_interrupt_line(card, host_, handle);
        if (adapter->PollInDriver == 1)
            talStartPollingTimers(adapter.get());
    }

    // A protocol's send through the wrapper; the packet lives as long as
    // the station.
    NDIS_STATUS send(const Bytes &frame) {
        packets_.push_back(talhost::Packet::one_buffer(frame));
        return host_.send(handle, packets_.back()->ndis(), TalSend);
    }

    // Every frame waiting in the card, as the event loop indicates them:
    // Ethernet frames, or monitor records in monitor mode.
    std::vector<Bytes> receive() {
        std::vector<Bytes> out;
        TAL_ADAPTER *a = adapter.get();
        while (card.events() & TAL_EV_RX) {
            USHORT length = 0;
            NdisAcquireSpinLock(&a->Lock);
            USHORT status = TalReceive(a, a->pRxPacket, &length);
            NdisReleaseSpinLock(&a->Lock);
            issueEventACK(a, TAL_EV_RX);
            if (status == 0 && length)
                out.emplace_back(a->pRxPacket,
                                 a->pRxPacket + length + (a->sniffer_state ? 0 : TAL_ETH_HEADER));
        }
        return out;
    }

    const std::vector<talhost::SendCompletion> &completions() {
        return host_.block(handle).completions;
    }

    talsim::CardModel card;
    NDIS_HANDLE handle = nullptr;
    PVOID port = nullptr;
    std::unique_ptr<TAL_ADAPTER> adapter = std::unique_ptr<TAL_ADAPTER>(new TAL_ADAPTER{});

private:
    static talsim::FactoryData factory(const std::array<uint8_t, 6> &mac) {
        talsim::FactoryData f;
        f.mac = mac;
        return f;
    }

    talhost::Host &host_;
    UINT base_;
    std::vector<std::unique_ptr<talhost::Packet>> packets_;
};

} // namespace taltest
