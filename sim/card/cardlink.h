// Wires a card model's interrupt line to an adapter's line in the host
// stand-in, as the card's IRQ pin reaches the interrupt controller.
#pragma once

#include "card/card.h"

#include "host.h"

namespace talsim {

inline void connect_interrupt_line(CardModel &card, talhost::Host &host, NDIS_HANDLE adapter) {
    card.set_irq_observer(
        [&host, adapter](bool level) { host.set_interrupt_line(adapter, level); });
    host.set_interrupt_line(adapter, card.irq());
}

} // namespace talsim
