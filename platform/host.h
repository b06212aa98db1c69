// The host stand-in for the NDIS 3.0 wrapper and the HAL. One Host is the
// "current" one of its thread while it lives: the driver's NDIS and HAL
// calls reach it. It owns the world's clock, the port bus and the verifier,
// and keeps one miniport block per adapter instance.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ethfilter.h"
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

// What NdisMRegisterInterrupt was given; `record` is null while none is
// registered.
struct InterruptRegistration {
    PNDIS_MINIPORT_INTERRUPT record = nullptr;
    UINT vector = 0;
    UINT level = 0;
    bool request_isr = false;
    bool shared = false;
    NDIS_INTERRUPT_MODE mode = NdisInterruptLatched;
};

// What the wrapper did with an adapter's interrupt line.
struct InterruptCounts {
    uint64_t edges = 0;        // rising edges of the line
    uint64_t unregistered = 0; // edges while no interrupt was registered: lost
    uint64_t isr = 0;          // ISR handler calls
    uint64_t disable = 0;      // disable-interrupt handler calls (RequestIsr FALSE)
    uint64_t deferred = 0;     // deferred handler runs
    uint64_t enable = 0;       // enable-interrupt handler calls (RequestIsr FALSE)
    uint64_t storms = 0;       // level-sensitive lines the wrapper gave up on
};

struct MiniportBlock;

// A query or set request as a binding makes it, and what came back. The
// counters read kNotWritten where the handler left them alone; `buffer` is
// the information buffer after the request (a query's answer is its first
// `bytes` bytes).
inline constexpr ULONG kNotWritten = 0xFFFFFFFF;
struct RequestResult {
    NDIS_STATUS status = NDIS_STATUS_PENDING;
    ULONG bytes = kNotWritten;  // BytesWritten (query) or BytesRead (set)
    ULONG needed = kNotWritten; // BytesNeeded
    std::vector<uint8_t> buffer;
    // The answer of a successful query: the bytes the handler wrote.
    std::vector<uint8_t> answer() const;
};

// A request the wrapper has handed to the miniport: the buffer with guard
// bytes on both sides, the counters the handler writes, and where the
// answer goes when the handler pends it.
struct OpenRequest {
    bool set = false;
    NDIS_OID oid = 0;
    ULONG length = 0;
    std::vector<uint8_t> guarded; // guard, buffer, guard
    std::vector<uint8_t> input;   // a set's bytes as given
    ULONG bytes = kNotWritten;
    ULONG needed = kNotWritten;
    std::function<void(const RequestResult &)> done;
};

// A miniport timer as the wrapper keeps it. The driver's NDIS_MINIPORT_TIMER
// names it; function and context are taken at initialization.
struct HostTimer {
    MiniportBlock *block = nullptr;
    PNDIS_MINIPORT_TIMER record = nullptr;
    PNDIS_TIMER_FUNCTION function = nullptr;
    PVOID context = nullptr;
    uint64_t period_us = 0; // 0: one expiry
    uint64_t due_at = 0;
    uint64_t event = 0;    // the World event of the next expiry; 0: not set
    bool held_due = false; // expired while the adapter's timers were held
    uint64_t runs = 0;     // callbacks run
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
    InterruptRegistration interrupt;
    bool line = false;            // the device's interrupt line, as last driven
    bool deferred_queued = false; // the deferred handler waits for the run loop
    bool in_isr = false;
    bool isr_again = false;     // an edge came while the ISR ran
    uint32_t level_repeats = 0; // level-sensitive deliveries since the line last fell
    uint64_t isr_every = 0;     // option: an ISR at every n-th port access; 0 off
    uint64_t accesses = 0;      // port accesses counted for that option
    InterruptCounts interrupts;
    std::vector<std::unique_ptr<HostTimer>> timers;
    bool timers_held = false;
    ADAPTER_SHUTDOWN_HANDLER shutdown_handler = nullptr;
    PVOID shutdown_context = nullptr;
    std::unique_ptr<EthFilter> filter; // ndis.EthDB points at it
    bool halted = false;
    bool status_open = false;
    std::vector<StatusIndication> statuses;
    std::vector<SendCompletion> completions;
    std::set<PNDIS_PACKET> owned; // handed to the send handler, not yet completed
    int handler_depth = 0;
    struct DeferredSend {
        PNDIS_PACKET packet;
        W_SEND_HANDLER handler;
        Protocol *from;
    };
    std::vector<DeferredSend> deferred_sends;
    // The binding each packet handed to the send handler came from.
    std::map<PNDIS_PACKET, Protocol *> senders;
    // Completions of packets no binding sent.
    std::function<void(PNDIS_PACKET, NDIS_STATUS)> on_send_complete;
    // The request the handler pended (at most one at a time), the requests
    // waiting for the running handler to return, and what the filter
    // library last had the driver take.
    std::unique_ptr<OpenRequest> pending_request;
    std::vector<std::function<void()>> deferred_requests;
    ULONG sent_filter = 0;
    std::vector<MacAddress> sent_multicast;
};

// What DriverEntry registered.
struct DriverRegistration {
    bool wrapper_initialized = false;
    int wrapper_terminations = 0;
    bool registered = false;
    NDIS30_MINIPORT_CHARACTERISTICS chars{};
    UINT chars_length = 0;
};

// How the stand-in behaves where the wrapper's documentation leaves room.
struct HostOptions {
    // The parameter type a hexadecimal-integer read comes back with: the
    // later documentation says NdisParameterInteger, the NT 4.0-era page
    // the type asked for (NdisParameterHexInteger).
    NDIS_PARAMETER_TYPE hex_integer_type = NdisParameterInteger;
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

class Host : private PortWatcher {
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
    HostOptions &options() { return options_; }
    // The n-th memory allocation from now on fails (1: the next one).
    void fail_allocation(int n) { faults_.fail_allocation_number = allocation_count_ + n; }
    DriverRegistration &driver() { return driver_; }

    // Loads the driver: its entry point with a driver object and registry
    // path of the host's own. A failed load must have given the wrapper
    // handle back.
    using DriverEntryFunction = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);
    NTSTATUS load_driver(DriverEntryFunction entry);

    // An adapter instance, as the wrapper creates one per installed card.
    NDIS_HANDLE add_adapter(AdapterConfig config = {});
    // One from a registry file's Parameters key (nullptr and err filled when
    // the file does not parse); initialize() then brings it up.
    NDIS_HANDLE add_adapter_file(const std::string &path, ParseError &err);
    MiniportBlock &block(NDIS_HANDLE handle);
    MiniportBlock *find_block(NDIS_HANDLE handle);
    // The WrapperConfigurationContext handed to the initialize handler.
    NDIS_HANDLE config_context(NDIS_HANDLE handle);
    // The context the driver gave NdisMSetAttributes (its adapter record).
    NDIS_HANDLE adapter_context(NDIS_HANDLE handle) { return block(handle).context; }

    // ---- An adapter's life, as the wrapper runs it ----
    // Calls the registered initialize handler for the adapter with the
    // media offered (802.3 alone by default). Memory allocated meanwhile
    // belongs to the adapter. A failed initialization must leave nothing
    // behind: whatever the adapter still holds is a violation.
    NDIS_STATUS initialize(NDIS_HANDLE handle, std::vector<NDIS_MEDIUM> media = {NdisMedium802_3});
    // Calls the halt handler; afterwards the adapter must hold nothing
    // (memory, ports, interrupt, timers, shutdown handler, packets) and no
    // handler of it is called again.
    void halt(NDIS_HANDLE handle);
    // The system goes down: every registered shutdown handler is called.
    void shutdown_system();
    bool halted(NDIS_HANDLE handle) { return block(handle).halted; }
    // The driver's calls that give something back or end a packet's life,
    // in order, by name (for tests of the order of halt and shutdown).
    const std::vector<std::string> &release_calls() const { return release_calls_; }
    void log_release(const char *call) { release_calls_.push_back(call); }

    // Memory, configuration handles and port ranges still held, recorded as
    // violations. Call when the driver should hold nothing.
    void check_released();

    const std::vector<ErrorLogEntry> &error_log() const { return error_log_; }
    const std::vector<AssertReport> &asserts() const { return asserts_; }
    size_t live_allocations() const { return allocations_.size(); }
    size_t open_config_handles() const { return config_handles_.size(); }
    // Keywords read through NdisReadConfiguration, in order.
    const std::vector<std::string> &keywords_read() const { return keywords_read_; }
    bool port_registered(uint32_t port) const { return bus_.claimed(port); }

    // ---- Interrupts ----
    // The device's interrupt line for the adapter (a card model's irq
    // observer drives it). A rising edge is one interrupt: while an
    // interrupt is registered, the wrapper calls the ISR handler at once
    // (device level: inside a stall of a running handler too) or, with
    // RequestIsr FALSE, the disable-interrupt handler, then queues the
    // deferred handler as a Deferred event. A latched interrupt comes once
    // per edge. A level-sensitive one comes again while the line stays high
    // after the ISR returns (the ISR must quiet the device); after kStormRepeats
    // such deliveries without the line falling the verifier names a storm
    // and the wrapper waits for the line to fall.
    static constexpr uint32_t kStormRepeats = 64;
    void set_interrupt_line(NDIS_HANDLE handle, bool level);
    // Option: an interrupt at every n-th access to the adapter's registered
    // ports, before the access, whatever the line does (0: off).
    void set_isr_at_port_access(NDIS_HANDLE handle, uint64_t every_n);
    const InterruptCounts &interrupt_counts(NDIS_HANDLE handle) { return block(handle).interrupts; }

    // ---- Timers ----
    // While held, the adapter's timers expire on time but their callbacks
    // wait; on release each one that expired runs once, then the cadence
    // goes on.
    void hold_timers(NDIS_HANDLE handle, bool held);
    // The wrapper's timer for a driver's record (nullptr if never initialized).
    const HostTimer *timer(PNDIS_MINIPORT_TIMER record);

    // ---- Requests (NdisRequest from a binding) ----
    // A query with an information buffer of `length` bytes, or a set with
    // `input`, through the registered handler; guard bytes around the
    // buffer. The verifier names a handler that answers twice, reports more
    // bytes than the buffer holds or writes outside its answer. A request
    // made while a handler of the adapter runs, or one the handler pends,
    // comes back PENDING; `done` then hears the answer.
    RequestResult query(NDIS_HANDLE handle, NDIS_OID oid, ULONG length,
                        std::function<void(const RequestResult &)> done = nullptr);
    RequestResult set(NDIS_HANDLE handle, NDIS_OID oid, const std::vector<uint8_t> &input,
                      std::function<void(const RequestResult &)> done = nullptr);
    // The handler's NdisM{Query,Set}InformationComplete.
    void request_complete(NDIS_HANDLE handle, bool set, NDIS_STATUS status);

    // ---- Receive side: the Ethernet filter library ----
    EthFilter &filter(NDIS_HANDLE handle) { return *block(handle).filter; }
    // The adapter's current station address, for the directed filter.
    void set_station_address(NDIS_HANDLE handle, const MacAddress &address);

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
                                   UINT vector, UINT level, BOOLEAN request_isr, BOOLEAN shared,
                                   NDIS_INTERRUPT_MODE mode);
    void deregister_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt);

    void init_timer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE handle, PNDIS_TIMER_FUNCTION fn,
                    PVOID context);
    void set_periodic_timer(PNDIS_MINIPORT_TIMER timer, UINT ms);
    void cancel_timer(PNDIS_MINIPORT_TIMER timer, PBOOLEAN cancelled);

    void indicate_status(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size);
    void indicate_status_complete(NDIS_HANDLE handle);

    void send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status);

    // A protocol sends `packet` on the adapter: the wrapper hands it to the
    // send handler, or, when a handler of the adapter is running (a send
    // issued from a completion), queues it until that handler returns.
    // Returns the handler's status, or NDIS_STATUS_PENDING when queued.
    // `from` is the binding that sends (its send_complete gets the packet
    // back); without one the block's on_send_complete does.
    NDIS_STATUS send(NDIS_HANDLE handle, PNDIS_PACKET packet, W_SEND_HANDLER handler,
                     Protocol *from = nullptr);
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

    // Runs `fn` as the wrapper runs a deferred handler or a timer callback:
    // handler serialization and the miniport lock (LockAcquired) held; a
    // receive indication left open when it returns is a violation.
    void run_locked(MiniportBlock &b, const char *what, const std::function<void()> &fn);

    MiniportBlock *checked_block(NDIS_HANDLE handle, const char *call);

private:
    RequestResult request(MiniportBlock &b, std::unique_ptr<OpenRequest> r);
    RequestResult finish_request(MiniportBlock &b, OpenRequest &r, NDIS_STATUS status);
    NDIS_STATUS filter_changed(MiniportBlock &b, ULONG filter,
                               const std::vector<MacAddress> &multicast);
    void unclaimed_access(uint32_t port, bool write, uint16_t value) override;
    void before_access(uint32_t port, bool write, uint16_t value) override;
    void interrupt(MiniportBlock &b);
    bool level_still_high(MiniportBlock &b);
    void run_deferred(MiniportBlock &b);
    HostTimer *find_timer(PNDIS_MINIPORT_TIMER timer, const char *call);
    void arm(HostTimer &t, uint64_t due);
    void expire(HostTimer &t);
    void run_timer(MiniportBlock &b, HostTimer &t);
    void completed(MiniportBlock &b, PNDIS_PACKET packet, NDIS_STATUS status);
    ConfigHandle *find_config(NDIS_HANDLE handle, const char *call);

    World world_;
    PortBus bus_;
    Verifier verifier_;
    HostFaults faults_;
    HostOptions options_;
    DriverRegistration driver_;
    MiniportBlock *initializing_ = nullptr; // allocations belong to it
    void check_adapter_released(MiniportBlock &b, const char *when);
    std::vector<std::unique_ptr<MiniportBlock>> blocks_;
    std::vector<std::unique_ptr<ConfigHandle>> config_handles_;
    struct Allocation {
        void *va;
        UINT length;
        MiniportBlock *owner; // the adapter being initialized, if any
    };
    std::vector<Allocation> allocations_;
    int allocation_count_ = 0;
    std::vector<ErrorLogEntry> error_log_;
    std::vector<AssertReport> asserts_;
    std::vector<std::string> keywords_read_;
    std::vector<std::string> release_calls_;
    Host *previous_ = nullptr;
};

} // namespace talhost
