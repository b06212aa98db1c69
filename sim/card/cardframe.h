// The card's transmit and receive frames in a FID, as a view (offsets in
// cardregs.h: cardframe, txf, rxf): a 14-byte control block, the 802.11
// header in a 30-byte slot (room for the fourth address whatever the DS
// bits say), DataLen, an 802.3 header and the body. The 802.3 header is the
// firmware's on receive (addresses by the DS bits); on transmit the host
// writes it, and its length counts when DataLen is 0. parse() is the one
// length check: everything before the body.
#pragma once

#include "card/cardregs.h"

#include "wire/ethernet.h"
#include "wire/ieee80211.h"

#include <optional>
#include <span>
#include <type_traits>

namespace talsim {

template <class B>
class CardFrameView {
    static_assert(std::is_same_v<std::remove_const_t<B>, uint8_t>);
    using Mac = wire::MacHeaderView<B>;
    using Ieee8023 = wire::EthernetView<B>;
    // The card's layout holds the wire formats as they are on the air.
    static_assert(cardframe::Address1 - cardframe::FrameControl == Mac::kAddr1 &&
                  cardframe::SequenceControl - cardframe::FrameControl == Mac::kSeqCtrl &&
                  cardframe::DataLen - cardframe::FrameControl == Mac::kLen4);
    static_assert(cardframe::SrcAddr - cardframe::DestAddr == Ieee8023::kSrc &&
                  cardframe::Length - cardframe::DestAddr == Ieee8023::kEtherType &&
                  cardframe::Body - cardframe::DestAddr == Ieee8023::kLen);

public:
    static constexpr size_t kLen = cardframe::Body;

    static std::optional<CardFrameView> parse(std::span<B> bytes) {
        if (bytes.size() < kLen)
            return std::nullopt;
        return CardFrameView(bytes);
    }

    // ---- Control block ----
    uint16_t status() const { return wire::get_le16(b_, rxf::Status); }
    uint16_t tx_control() const { return wire::get_le16(b_, txf::TxControl); }
    void set_status(uint16_t v) requires(!std::is_const_v<B>) {
        wire::put_le16(b_, rxf::Status, v);
    }
    void set_time(uint32_t us) requires(!std::is_const_v<B>) { wire::put_le32(b_, rxf::Time, us); }
    void set_rate(uint8_t v) requires(!std::is_const_v<B>) { b_[rxf::Rate] = v; }

    // ---- 802.11 header ----
    std::span<B> mac_slot() const { return b_.subspan(cardframe::FrameControl, Mac::kLen4); }
    // Reads the fourth address only when both DS bits ask for it.
    Mac mac_header() const { return *Mac::parse(mac_slot()); }
    uint16_t data_len() const { return wire::get_le16(b_, cardframe::DataLen); }
    void set_data_len(uint16_t v) requires(!std::is_const_v<B>) {
        wire::put_le16(b_, cardframe::DataLen, v);
    }

    // ---- 802.3 header: Ethernet's layout, the body's length in the type's place ----
    wire::MacAddr dest() const { return ieee8023().dst(); }
    wire::MacAddr src() const { return ieee8023().src(); }
    uint16_t length() const { return ieee8023().ethertype(); }
    void set_ieee8023(const wire::MacAddr &dest, const wire::MacAddr &src,
                      uint16_t length) requires(!std::is_const_v<B>) {
        wire::EthernetHeader{dest, src, length}.emit(ieee8023());
    }

    std::span<B> body() const { return b_.subspan(cardframe::Body); }

private:
    explicit CardFrameView(std::span<B> b) : b_(b) {}
    Ieee8023 ieee8023() const {
        return *Ieee8023::parse(b_.subspan(cardframe::DestAddr, Ieee8023::kLen));
    }
    std::span<B> b_;
};

} // namespace talsim
