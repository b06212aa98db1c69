// A station for tests with more than one adapter: a card model on the
// medium, an adapter instance of the host and the driver's record, brought
// up by the wrapper through the driver's initialize handler (which must be
// registered: register_tal_handlers()) and halted when the station goes.
// The adapter runs by itself: its card's interrupt line reaches the
// wrapper, and in polling mode the 50 timers run the event loop; with
// PollInDriver 2 nothing does, and the test serves the card's receive
// events itself (receive()).
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
        if (adapter && !host_.halted(handle))
            host_.halt(handle);
        card.set_irq_observer(nullptr);
        host_.bus().unmap(&card);
    }

    // The wrapper initializes the adapter instance with `config` (and the
    // card's port base) through the driver's initialize handler.
    NDIS_STATUS bring_up(talhost::AdapterConfig config) {
        config.set_dword("IoBaseAddress", base_);
        host_.block(handle).config = std::move(config);
        talsim::connect_interrupt_line(card, host_, handle);
        NDIS_STATUS s = host_.initialize(handle);
        if (s == NDIS_STATUS_SUCCESS)
            adapter = (TAL_ADAPTER *)host_.adapter_context(handle);
        return s;
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
        TAL_ADAPTER *a = adapter;
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
    TAL_ADAPTER *adapter = nullptr; // the driver's record, once initialized

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
