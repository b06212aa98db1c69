// The host stand-in for the NDIS 3.0 wrapper and the HAL. One Host is the
// "current" one of its thread while it lives: the driver's NDIS and HAL
// calls reach it. It owns the world's clock, the port bus and the verifier,
// and keeps one miniport block per adapter instance.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostndis.h"
#include "portbus.h"
#include "registry.h"
#include "verifier.h"
#include "world.h"

namespace talhost {

class Host;

struct ErrorLogEntry {
    NDIS_HANDLE handle;
    NDIS_ERROR_CODE code;
    std::vector<ULONG> values;
};

struct AssertReport {
    std::string expression;
    std::string file;
    ULONG line;
    std::string message;
};

struct StatusIndication {
    NDIS_STATUS status; // the indicated status, or kStatusComplete
    std::vector<uint8_t> buffer;
    uint64_t time;
};
inline constexpr NDIS_STATUS kStatusComplete = (NDIS_STATUS)0x7FFFFFFF;

struct SendCompletion {
    PNDIS_PACKET packet;
    NDIS_STATUS status;
    uint64_t time;
};

struct PortRange {
    uint32_t base;
    uint32_t count;
};

// The wrapper's per-adapter block. The handle the driver gets is the
// address of `ndis`, the part the driver may look into.
struct MiniportBlock {
    NDIS_MINIPORT_BLOCK ndis{};
    Host *host = nullptr;
    AdapterConfig config;
    NDIS_HANDLE context = nullptr;
    bool attributes_set = false;
    BOOLEAN bus_master = FALSE;
    NDIS_INTERFACE_TYPE interface_type = NdisInterfaceInternal;
    std::vector<PortRange> ports;
    PNDIS_MINIPORT_INTERRUPT interrupt = nullptr; // registered interrupt, if any
    bool halted = false;
    bool status_open = false;
    std::vector<StatusIndication> statuses;
    std::vector<SendCompletion> completions;
    std::set<PNDIS_PACKET> owned; // handed to the send handler, not yet completed
    int handler_depth = 0;
    struct DeferredSend {
        PNDIS_PACKET packet;
        W_SEND_HANDLER handler;
    };
    std::vector<DeferredSend> deferred_sends;
    // The sending binding's completion callback.
    std::function<void(PNDIS_PACKET, NDIS_STATUS)> on_send_complete;
};

// What DriverEntry registered.
struct DriverRegistration {
    bool wrapper_initialized = false;
    bool registered = false;
    NDIS30_MINIPORT_CHARACTERISTICS chars{};
    UINT chars_length = 0;
};

struct HostFaults {
    // Allocation n (counting from 1 after the fault was set) fails; 0 = none.
    int fail_allocation_number = 0;
    bool fail_all_allocations = false;
    bool fail_open_configuration = false;
    NDIS_STATUS port_range_status = NDIS_STATUS_SUCCESS;
    NDIS_STATUS register_miniport_status = NDIS_STATUS_SUCCESS;
    NDIS_STATUS interrupt_status = NDIS_STATUS_SUCCESS;
};

class Host {
public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // The host the driver's calls reach on this thread (aborts if none).
    static Host &current();
    static Host *current_or_null();

    World &world() { return world_; }
    PortBus &bus() { return bus_; }
    Verifier &verifier() { return verifier_; }
    HostFaults &faults() { return faults_; }
    DriverRegistration &driver() { return driver_; }

    // An adapter instance, as the wrapper creates one per installed card.
    NDIS_HANDLE add_adapter(AdapterConfig config = {});
    MiniportBlock &block(NDIS_HANDLE handle);
    MiniportBlock *find_block(NDIS_HANDLE handle);
    // The WrapperConfigurationContext handed to the initialize handler.
    NDIS_HANDLE config_context(NDIS_HANDLE handle);
    // The context the driver gave NdisMSetAttributes (its adapter record).
    NDIS_HANDLE adapter_context(NDIS_HANDLE handle) { return block(handle).context; }

    // Memory, configuration handles and port ranges still held, recorded as
    // violations. Call when the driver should hold nothing.
    void check_released();

    const std::vector<ErrorLogEntry> &error_log() const { return error_log_; }
    const std::vector<AssertReport> &asserts() const { return asserts_; }
    size_t live_allocations() const { return allocations_.size(); }
    size_t open_config_handles() const { return config_handles_.size(); }
    // Keywords read through NdisReadConfiguration, in order.
    const std::vector<std::string> &keywords_read() const { return keywords_read_; }
    bool port_registered(uint32_t port) const;

    // ---- Entry points behind the NDIS and HAL calls ----
    uint16_t hal_read_port(uint32_t port);
    void hal_write_port(uint32_t port, uint16_t value);
    void hal_stall(ULONG us) { world_.stall(us); }
    void hal_assert(const char *expr, const char *file, ULONG line, const char *msg);

    NDIS_STATUS allocate(PVOID *va, UINT length);
    void free(PVOID va, UINT length);
    void write_error_log(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<ULONG> values);

    struct ConfigHandle;
    void open_configuration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context);
    void read_configuration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER *value,
                            NDIS_HANDLE handle, PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type);
    void read_network_address(PNDIS_STATUS status, PVOID *address, PUINT length,
                              NDIS_HANDLE handle);
    void close_configuration(NDIS_HANDLE handle);

    NDIS_STATUS register_ports(PVOID *base, NDIS_HANDLE handle, UINT first, UINT count);
    void deregister_ports(NDIS_HANDLE handle, UINT first, UINT count, PVOID base);

    NDIS_STATUS register_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE handle,
                                   UINT vector, UINT level);
    void deregister_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt);

    void indicate_status(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size);
    void indicate_status_complete(NDIS_HANDLE handle);

    void send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status);

    // A protocol sends `packet` on the adapter: the wrapper hands it to the
    // send handler, or, when a handler of the adapter is running (a send
    // issued from a completion), queues it until that handler returns.
    // Returns the handler's status, or NDIS_STATUS_PENDING when queued.
    NDIS_STATUS send(NDIS_HANDLE handle, PNDIS_PACKET packet, W_SEND_HANDLER handler);
    // Marks a handler of the adapter running; sends issued meanwhile wait.
    class HandlerScope {
    public:
        HandlerScope(Host &host, NDIS_HANDLE handle);
        ~HandlerScope();
        HandlerScope(const HandlerScope &) = delete;
        HandlerScope &operator=(const HandlerScope &) = delete;

    private:
        Host &host_;
        MiniportBlock &block_;
    };

    void acquire_lock(PNDIS_SPIN_LOCK lock);
    void release_lock(PNDIS_SPIN_LOCK lock);

private:
    MiniportBlock *checked_block(NDIS_HANDLE handle, const char *call);
    ConfigHandle *find_config(NDIS_HANDLE handle, const char *call);

    World world_;
    PortBus bus_;
    Verifier verifier_;
    HostFaults faults_;
    DriverRegistration driver_;
    std::vector<std::unique_ptr<MiniportBlock>> blocks_;
    std::vector<std::unique_ptr<ConfigHandle>> config_handles_;
    std::vector<std::pair<void *, UINT>> allocations_;
    int allocation_count_ = 0;
    std::vector<ErrorLogEntry> error_log_;
    std::vector<AssertReport> asserts_;
    std::vector<std::string> keywords_read_;
    Host *previous_ = nullptr;
};

} // namespace talhost
