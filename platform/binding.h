// A protocol stand-in: one binding open on an adapter, as tests and talsim
// use "the protocol". It sets its packet filter and multicast list through
// the adapter's filter database, records every frame it is indicated, can
// fetch the rest of a frame through NdisTransferData, and sends packets
// through the wrapper's send path with the registered send handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "ethfilter.h"
#include "host.h"
#include "packet.h"

namespace talhost {

class TestBinding : public Protocol {
public:
    // What the binding keeps of an indication.
    enum class Take {
        Lookahead,   // the header and the lookahead, as indicated
        Frame,       // the whole frame: transfer-data for what the lookahead lacks
        TransferAll, // the whole frame: transfer-data for all of it, from offset 0
    };

    struct Received {
        std::vector<uint8_t> header;
        std::vector<uint8_t> lookahead;
        UINT packet_size = 0;       // bytes after the header, as indicated
        std::vector<uint8_t> frame; // header + data as the binding took it
        bool transferred = false;   // transfer-data was asked for
        NDIS_STATUS transfer_status = NDIS_STATUS_SUCCESS;
        UINT transfer_bytes = 0; // what the transfer reported
        uint64_t time = 0;
    };

    TestBinding(Host &host, NDIS_HANDLE adapter, Take take = Take::Frame);
    ~TestBinding() override;
    TestBinding(const TestBinding &) = delete;
    TestBinding &operator=(const TestBinding &) = delete;

    // The adapter's answer: a refused filter or list is not taken.
    NDIS_STATUS set_packet_filter(ULONG filter);
    NDIS_STATUS set_multicast(std::vector<MacAddress> list);
    ULONG packet_filter() const { return open_->packet_filter; }

    // Requests as a protocol or a configuration utility makes them.
    RequestResult query(NDIS_OID oid, ULONG length) { return host_.query(adapter_, oid, length); }
    RequestResult set(NDIS_OID oid, const std::vector<uint8_t> &input) {
        return host_.set(adapter_, oid, input);
    }
    void set_take(Take take) { take_ = take; }

    // A frame to the adapter through the wrapper's send path; the binding
    // owns the packet for its whole life. Returns the send's status
    // (NDIS_STATUS_PENDING when the miniport or the wrapper queued it).
    NDIS_STATUS send(const std::vector<uint8_t> &frame);
    NDIS_STATUS send(std::unique_ptr<Packet> packet);

    const std::vector<Received> &received() const { return received_; }
    // Whole frames as taken (header + data).
    std::vector<std::vector<uint8_t>> frames() const;
    uint64_t receive_completes() const { return receive_completes_; }
    const std::vector<SendCompletion> &completions() const { return completions_; }
    void clear();

    // Called after each indication is recorded, inside it (a protocol may
    // send from there).
    std::function<void(const Received &)> on_receive;

    // ---- Protocol ----
    void receive(NDIS_HANDLE binding, NDIS_HANDLE receive_context, const uint8_t *header,
                 UINT header_size, const uint8_t *lookahead, UINT lookahead_size,
                 UINT packet_size) override;
    void receive_complete() override { ++receive_completes_; }
    void send_complete(PNDIS_PACKET packet, NDIS_STATUS status) override;

private:
    Host &host_;
    NDIS_HANDLE adapter_;
    EthFilter::Open *open_;
    Take take_;
    std::vector<Received> received_;
    uint64_t receive_completes_ = 0;
    std::vector<SendCompletion> completions_;
    std::vector<std::unique_ptr<Packet>> packets_;
};

} // namespace talhost
