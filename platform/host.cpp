#include "host.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace talhost {

namespace {
thread_local Host *g_current = nullptr;

std::string hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", (unsigned long long)v);
    return buf;
}
} // namespace

// A configuration handle: the parameters it handed out live until close.
struct Host::ConfigHandle {
    MiniportBlock *block;
    std::vector<std::unique_ptr<NDIS_CONFIGURATION_PARAMETER>> params;
    std::vector<std::unique_ptr<std::u16string>> strings;
    std::vector<std::unique_ptr<std::vector<uint8_t>>> buffers;
};

Host::Host() : previous_(g_current) {
    g_current = this;
    bus_.set_watcher(this);
}

Host::~Host() {
    for (auto &a : allocations_)
        std::free(a.va);
    g_current = previous_;
}

Host &Host::current() {
    if (!g_current) {
        std::fprintf(stderr, "talhost: NDIS or HAL call with no host on this thread\n");
        std::abort();
    }
    return *g_current;
}

Host *Host::current_or_null() {
    return g_current;
}

NDIS_HANDLE Host::add_adapter(AdapterConfig config) {
    auto b = std::make_unique<MiniportBlock>();
    b->host = this;
    b->config = std::move(config);
    b->filter = std::make_unique<EthFilter>(*this, *b);
    b->ndis.EthDB = b->filter.get();
    // The filter library tells the driver what the bindings want.
    b->filter->on_change = [this, blk = b.get()](ULONG filter,
                                                 const std::vector<MacAddress> &list) {
        return filter_changed(*blk, filter, list);
    };
    NDIS_HANDLE h = &b->ndis;
    blocks_.push_back(std::move(b));
    return h;
}

NDIS_HANDLE Host::add_adapter_file(const std::string &path, ParseError &err) {
    std::optional<AdapterConfig> config = load_reg_file(path, err);
    return config ? add_adapter(std::move(*config)) : nullptr;
}

NTSTATUS Host::load_driver(DriverEntryFunction entry) {
    static UNICODE_STRING registry_path = NDIS_STRING_CONST("\\Registry\\Machine\\System\\Tal");
    NTSTATUS status = entry(nullptr, &registry_path);
    if (status != 0 && driver_.wrapper_initialized)
        verifier_.report(rule::WrapperNotTerminated,
                         "the driver failed to load with status " + hex((uint32_t)status));
    return status;
}

// ---- Requests ----

namespace {
constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xE7;
constexpr uint8_t kUnwrittenByte = 0xC3;
} // namespace

std::vector<uint8_t> RequestResult::answer() const {
    if (status != NDIS_STATUS_SUCCESS || bytes == kNotWritten)
        return {};
    return std::vector<uint8_t>(buffer.begin(),
                                buffer.begin() + std::min<size_t>(bytes, buffer.size()));
}

RequestResult Host::query(NDIS_HANDLE handle, NDIS_OID oid, ULONG length,
                          std::function<void(const RequestResult &)> done) {
    auto r = std::make_unique<OpenRequest>();
    r->oid = oid;
    r->length = length;
    r->done = std::move(done);
    r->guarded.assign(length + 2 * kGuard, kGuardByte);
    std::fill_n(r->guarded.begin() + kGuard, length, kUnwrittenByte);
    return request(block(handle), std::move(r));
}

RequestResult Host::set(NDIS_HANDLE handle, NDIS_OID oid, const std::vector<uint8_t> &input,
                        std::function<void(const RequestResult &)> done) {
    auto r = std::make_unique<OpenRequest>();
    r->set = true;
    r->oid = oid;
    r->length = (ULONG)input.size();
    r->input = input;
    r->done = std::move(done);
    r->guarded.assign(input.size() + 2 * kGuard, kGuardByte);
    std::copy(input.begin(), input.end(), r->guarded.begin() + kGuard);
    return request(block(handle), std::move(r));
}

RequestResult Host::request(MiniportBlock &b, std::unique_ptr<OpenRequest> r) {
    RequestResult pending;
    if (b.halted || !b.context)
        return RequestResult{NDIS_STATUS_ADAPTER_NOT_FOUND, kNotWritten, kNotWritten, {}};
    // One request at a time, and none inside a running handler: it waits.
    if (b.handler_depth > 0 || b.pending_request) {
        auto *raw = r.release();
        b.deferred_requests.push_back(
            [this, &b, raw] { request(b, std::unique_ptr<OpenRequest>(raw)); });
        return pending;
    }
    W_QUERY_INFORMATION_HANDLER q = driver_.chars.QueryInformationHandler;
    W_SET_INFORMATION_HANDLER s = driver_.chars.SetInformationHandler;
    if (r->set ? !s : !q) {
        verifier_.report(rule::HandlerSlotEmpty,
                         r->set ? "SetInformationHandler" : "QueryInformationHandler");
        return RequestResult{NDIS_STATUS_FAILURE, kNotWritten, kNotWritten, {}};
    }
    b.pending_request = std::move(r);
    OpenRequest &req = *b.pending_request;
    NDIS_STATUS status;
    {
        HandlerScope scope(*this, &b.ndis);
        PVOID buffer = req.guarded.data() + kGuard;
        status = req.set ? s(b.context, req.oid, buffer, req.length, &req.bytes, &req.needed)
                         : q(b.context, req.oid, buffer, req.length, &req.bytes, &req.needed);
        if (status == NDIS_STATUS_PENDING)
            return pending; // NdisM*InformationComplete answers it
    }
    std::unique_ptr<OpenRequest> done = std::move(b.pending_request);
    return finish_request(b, *done, status);
}

// The answer: checked against the buffer the handler was given.
RequestResult Host::finish_request(MiniportBlock &b, OpenRequest &r, NDIS_STATUS status) {
    (void)b;
    RequestResult res{status, r.bytes, r.needed,
                      std::vector<uint8_t>(r.guarded.begin() + kGuard, r.guarded.end() - kGuard)};
    std::string what = std::string(r.set ? "set " : "query ") + hex(r.oid);
    for (size_t i = 0; i < kGuard; i++)
        if (r.guarded[i] != kGuardByte || r.guarded[r.guarded.size() - 1 - i] != kGuardByte) {
            verifier_.report(rule::RequestWroteOutsideAnswer, what + ": past the buffer's ends");
            break;
        }
    if (status == NDIS_STATUS_SUCCESS && r.bytes != kNotWritten && r.bytes > r.length)
        verifier_.report(rule::RequestBytesBeyondBuffer,
                         what + ": " + std::to_string(r.bytes) + " of " + std::to_string(r.length));
    if (r.set) {
        if (res.buffer != r.input)
            verifier_.report(rule::RequestWroteOutsideAnswer, what + ": into the set's input");
    } else {
        size_t answered = status == NDIS_STATUS_SUCCESS && r.bytes != kNotWritten ? r.bytes : 0;
        for (size_t i = answered; i < res.buffer.size(); i++)
            if (res.buffer[i] != kUnwrittenByte) {
                verifier_.report(rule::RequestWroteOutsideAnswer,
                                 what + ": byte " + std::to_string(i) + " after the answer");
                break;
            }
    }
    if (r.done)
        r.done(res);
    return res;
}

void Host::request_complete(NDIS_HANDLE handle, bool set, NDIS_STATUS status) {
    MiniportBlock *b = checked_block(handle, set ? "NdisMSetInformationComplete"
                                                 : "NdisMQueryInformationComplete");
    if (!b)
        return;
    // Only a request its handler pended, and still inside the handler no
    // longer, waits for an answer.
    if (!b->pending_request || b->pending_request->set != set || b->handler_depth > 0) {
        verifier_.report(rule::RequestAnsweredTwice,
                         std::string(set ? "set" : "query") + " completed with no request pending");
        return;
    }
    std::unique_ptr<OpenRequest> r = std::move(b->pending_request);
    finish_request(*b, *r, status);
    // Requests that waited for this one go in now.
    while (!b->deferred_requests.empty() && !b->pending_request) {
        std::function<void()> next = std::move(b->deferred_requests.front());
        b->deferred_requests.erase(b->deferred_requests.begin());
        next();
    }
}

// The bindings' combined list and filter, each set when it changed: the
// list first, so that a filter asking for multicast finds it in place.
NDIS_STATUS Host::filter_changed(MiniportBlock &b, ULONG filter,
                                 const std::vector<MacAddress> &multicast) {
    if (b.halted || !b.context || !driver_.chars.SetInformationHandler)
        return NDIS_STATUS_SUCCESS;
    if (multicast != b.sent_multicast) {
        std::vector<uint8_t> bytes;
        for (const MacAddress &a : multicast)
            bytes.insert(bytes.end(), a.begin(), a.end());
        NDIS_STATUS s = set(&b.ndis, OID_802_3_MULTICAST_LIST, bytes).status;
        if (s != NDIS_STATUS_SUCCESS && s != NDIS_STATUS_PENDING)
            return s;
        b.sent_multicast = multicast;
    }
    if (filter != b.sent_filter) {
        std::vector<uint8_t> bytes = {(uint8_t)filter, (uint8_t)(filter >> 8),
                                      (uint8_t)(filter >> 16), (uint8_t)(filter >> 24)};
        NDIS_STATUS s = set(&b.ndis, OID_GEN_CURRENT_PACKET_FILTER, bytes).status;
        if (s != NDIS_STATUS_SUCCESS && s != NDIS_STATUS_PENDING)
            return s;
        b.sent_filter = filter;
    }
    return NDIS_STATUS_SUCCESS;
}

MiniportBlock *Host::find_block(NDIS_HANDLE handle) {
    for (auto &b : blocks_)
        if ((NDIS_HANDLE)&b->ndis == handle)
            return b.get();
    return nullptr;
}

MiniportBlock &Host::block(NDIS_HANDLE handle) {
    MiniportBlock *b = find_block(handle);
    if (!b) {
        std::fprintf(stderr, "talhost: unknown adapter handle %p\n", handle);
        std::abort();
    }
    return *b;
}

MiniportBlock *Host::checked_block(NDIS_HANDLE handle, const char *call) {
    MiniportBlock *b = find_block(handle);
    if (!b) {
        verifier_.report(rule::UnknownHandle,
                         std::string(call) + " with handle " + hex((uintptr_t)handle));
        return nullptr;
    }
    if (b->halted)
        verifier_.report(rule::CallAfterHalt, call);
    return b;
}

NDIS_HANDLE Host::config_context(NDIS_HANDLE handle) {
    return &block(handle).config;
}

NDIS_STATUS Host::initialize(NDIS_HANDLE handle, std::vector<NDIS_MEDIUM> media) {
    MiniportBlock &b = block(handle);
    W_INITIALIZE_HANDLER init = driver_.chars.InitializeHandler;
    if (!init) {
        verifier_.report(rule::HandlerSlotEmpty, "InitializeHandler");
        return NDIS_STATUS_FAILURE;
    }
    NDIS_STATUS open_error = NDIS_STATUS_SUCCESS;
    UINT selected = 0xFFFFFFFF;
    NDIS_STATUS status;
    initializing_ = &b;
    {
        HandlerScope scope(*this, handle);
        status = init(&open_error, &selected, media.data(), (UINT)media.size(), handle,
                      config_context(handle));
    }
    initializing_ = nullptr;
    if (status != NDIS_STATUS_SUCCESS) {
        // A failed initialization is as if the adapter never was.
        check_adapter_released(b, "after a failed initialization");
        b.halted = true;
    }
    return status;
}

void Host::halt(NDIS_HANDLE handle) {
    MiniportBlock &b = block(handle);
    if (b.halted) {
        verifier_.report(rule::HandlerAfterHalt, "halt of a halted adapter");
        return;
    }
    if (W_HALT_HANDLER h = driver_.chars.HaltHandler) {
        HandlerScope scope(*this, handle);
        h(b.context);
    } else {
        verifier_.report(rule::HandlerSlotEmpty, "HaltHandler");
    }
    b.halted = true;
    for (PNDIS_PACKET p : b.owned)
        verifier_.report(rule::PacketHeldAtHalt, "packet " + hex((uintptr_t)p));
    check_adapter_released(b, "at halt");
}

void Host::shutdown_system() {
    for (auto &b : blocks_)
        if (b->shutdown_handler && !b->halted)
            b->shutdown_handler(b->shutdown_context);
}

// What an adapter must have given back when it is gone.
void Host::check_adapter_released(MiniportBlock &b, const char *when) {
    std::string at = std::string(" ") + when;
    for (const Allocation &a : allocations_)
        if (a.owner == &b)
            verifier_.report(rule::MemoryLeak,
                             std::to_string(a.length) + " bytes at " + hex((uintptr_t)a.va) + at);
    for (const PortRange &r : b.ports)
        verifier_.report(rule::PortRangeLeak,
                         hex(r.base) + " count " + std::to_string(r.count) + at);
    if (b.interrupt.record)
        verifier_.report(rule::InterruptLeak, "vector " + std::to_string(b.interrupt.vector) + at);
    for (const auto &t : b.timers)
        if (t->event || t->held_due)
            verifier_.report(rule::TimerLeak, "timer " + hex((uintptr_t)t->record) + at);
    if (b.shutdown_handler)
        verifier_.report(rule::ShutdownHandlerLeak, at.substr(1));
    if (b.status_open)
        verifier_.report(rule::StatusWithoutComplete, "the last status was never completed" + at);
}

void Host::check_released() {
    for (auto &a : allocations_)
        verifier_.report(rule::MemoryLeak,
                         std::to_string(a.length) + " bytes at " + hex((uintptr_t)a.va));
    if (!config_handles_.empty())
        verifier_.report(rule::ConfigHandleLeak,
                         std::to_string(config_handles_.size()) + " handle(s) open");
    for (auto &b : blocks_) {
        for (const PortRange &r : b->ports)
            verifier_.report(rule::PortRangeLeak,
                             hex(r.base) + " count " + std::to_string(r.count));
        if (b->interrupt.record)
            verifier_.report(rule::InterruptLeak, "vector " + std::to_string(b->interrupt.vector));
        for (const auto &t : b->timers)
            if (t->event || t->held_due)
                verifier_.report(rule::TimerLeak, "timer " + hex((uintptr_t)t->record));
        if (b->status_open)
            verifier_.report(rule::StatusWithoutComplete, "the last status was never completed");
    }
}

// ---- HAL ----

uint16_t Host::hal_read_port(uint32_t port) {
    return bus_.read16(port);
}

void Host::hal_write_port(uint32_t port, uint16_t value) {
    bus_.write16(port, value);
}

void Host::unclaimed_access(uint32_t port, bool write, uint16_t value) {
    verifier_.report(rule::PortOutsideRange, std::string(write ? "write " : "read ") + hex(port) +
                                                 (write ? " value " + hex(value) : std::string()));
}

// The ISR-at-any-access option: the bus shows every access while some
// adapter has it on.
void Host::before_access(uint32_t port, bool, uint16_t) {
    for (auto &b : blocks_) {
        if (!b->isr_every || b->in_isr)
            continue;
        for (const PortRange &r : b->ports)
            if (port >= r.base && port - r.base < r.count && ++b->accesses % b->isr_every == 0)
                interrupt(*b);
    }
}

void Host::hal_assert(const char *expr, const char *file, ULONG line, const char *msg) {
    asserts_.push_back(AssertReport{expr ? expr : "", file ? file : "", line, msg ? msg : ""});
}

// ---- Memory and error log ----

NDIS_STATUS Host::allocate(PVOID *va, UINT length) {
    ++allocation_count_;
    bool fail =
        faults_.fail_all_allocations || (faults_.fail_allocation_number != 0 &&
                                         allocation_count_ == faults_.fail_allocation_number);
    if (fail) {
        *va = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    void *p = std::calloc(1, length ? length : 1);
    if (!p) {
        *va = nullptr;
        return NDIS_STATUS_RESOURCES;
    }
    // Fresh memory is not zero on a real system: make forgotten zeroing show.
    std::memset(p, 0xA5, length);
    allocations_.push_back(Allocation{p, length, initializing_});
    *va = p;
    return NDIS_STATUS_SUCCESS;
}

void Host::free(PVOID va, UINT length) {
    auto it = std::find_if(allocations_.begin(), allocations_.end(),
                           [va](const Allocation &a) { return a.va == va; });
    if (it == allocations_.end()) {
        verifier_.report(rule::MemoryFreeUnknown, hex((uintptr_t)va));
        return;
    }
    if (it->length != length)
        verifier_.report(rule::MemoryFreeSize, "allocated " + std::to_string(it->length) +
                                                   " freed " + std::to_string(length));
    std::memset(va, 0xDD, it->length);
    std::free(va);
    allocations_.erase(it);
}

void Host::write_error_log(NDIS_HANDLE handle, NDIS_ERROR_CODE code, std::vector<ULONG> values) {
    error_log_.push_back(ErrorLogEntry{handle, code, std::move(values)});
}

// ---- Configuration ----

Host::ConfigHandle *Host::find_config(NDIS_HANDLE handle, const char *call) {
    for (auto &c : config_handles_)
        if ((NDIS_HANDLE)c.get() == handle)
            return c.get();
    verifier_.report(rule::ConfigHandleUnknown, call);
    return nullptr;
}

void Host::open_configuration(PNDIS_STATUS status, PNDIS_HANDLE handle, NDIS_HANDLE context) {
    MiniportBlock *owner = nullptr;
    for (auto &b : blocks_)
        if ((NDIS_HANDLE)&b->config == context)
            owner = b.get();
    if (!owner || faults_.fail_open_configuration) {
        *status = NDIS_STATUS_FAILURE;
        *handle = nullptr;
        return;
    }
    auto ch = std::make_unique<ConfigHandle>();
    ch->block = owner;
    *handle = ch.get();
    config_handles_.push_back(std::move(ch));
    *status = NDIS_STATUS_SUCCESS;
}

namespace {

// The value of a hexadecimal digit, or -1.
int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Integer conversion of a string value as the wrapper does it: optional
// leading blanks, digits of the base, nothing after them.
// A string read as an integer, converted as the system's string-to-integer
// routine does with a fixed base: leading white space, an optional sign,
// the digits of the base up to the first other character (none: 0), the
// value kept in 32 bits. With a fixed base no "0x" prefix is taken.
ULONG parse_integer(const std::u16string &s, int base) {
    size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t'))
        i++;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-'))
        negative = s[i++] == u'-';
    ULONG v = 0;
    for (; i < s.size(); i++) {
        int d = hex_digit(s[i]);
        if (d < 0 || d >= base)
            break;
        v = v * (ULONG)base + (ULONG)d;
    }
    return negative ? (ULONG)(0u - v) : v;
}

} // namespace

void Host::read_configuration(PNDIS_STATUS status, PNDIS_CONFIGURATION_PARAMETER *value,
                              NDIS_HANDLE handle, PNDIS_STRING keyword, NDIS_PARAMETER_TYPE type) {
    *status = NDIS_STATUS_FAILURE;
    *value = nullptr;
    ConfigHandle *found = find_config(handle, "NdisReadConfiguration");
    if (!found)
        return;
    ConfigHandle &ch = *found;
    std::u16string name16(keyword->Buffer, keyword->Length / 2);
    std::string name = utf16_to_utf8(name16);
    keywords_read_.push_back(name);
    const RegValue *v = ch.block->config.find(name);
    if (!v)
        return;

    auto param = std::make_unique<NDIS_CONFIGURATION_PARAMETER>();
    std::memset(param.get(), 0, sizeof *param);
    switch (type) {
    case NdisParameterInteger:
    case NdisParameterHexInteger: {
        ULONG n = 0;
        if (v->kind == RegValue::Kind::Dword)
            n = v->dword;
        else if (v->kind == RegValue::Kind::String)
            n = parse_integer(v->str, type == NdisParameterHexInteger ? 16 : 10);
        else
            return;
        param->ParameterType =
            type == NdisParameterHexInteger ? options_.hex_integer_type : NdisParameterInteger;
        param->ParameterData.IntegerData = n;
        break;
    }
    case NdisParameterString:
    case NdisParameterMultiString: {
        param->ParameterType = NdisParameterString;
        if (v->kind == RegValue::Kind::String) {
            // Its length is counted in 16 bits of bytes: a longer string
            // cannot be handed over.
            if (v->str.size() * 2 > 0xFFFF)
                return;
            auto s = std::make_unique<std::u16string>(v->str);
            param->ParameterData.StringData.Length = (USHORT)(s->size() * 2);
            param->ParameterData.StringData.MaximumLength = (USHORT)(s->size() * 2 + 2);
            param->ParameterData.StringData.Buffer = (PWSTR)s->c_str();
            ch.strings.push_back(std::move(s));
        } else if (v->kind == RegValue::Kind::RawString) {
            // Exactly its bytes: nothing after them to read by mistake.
            if (v->raw.size() > 0xFFFF)
                return;
            auto b = std::make_unique<std::vector<uint8_t>>(v->raw);
            param->ParameterData.StringData.Length = (USHORT)v->raw.size();
            param->ParameterData.StringData.MaximumLength = (USHORT)b->size();
            param->ParameterData.StringData.Buffer = (PWSTR)(void *)b->data();
            ch.buffers.push_back(std::move(b));
        } else {
            return; // a DWORD is not read as a string
        }
        break;
    }
    default:
        return;
    }
    *value = param.get();
    ch.params.push_back(std::move(param));
    *status = NDIS_STATUS_SUCCESS;
}

void Host::read_network_address(PNDIS_STATUS status, PVOID *address, PUINT length,
                                NDIS_HANDLE handle) {
    *status = NDIS_STATUS_FAILURE;
    *address = nullptr;
    *length = 0;
    ConfigHandle *found = find_config(handle, "NdisReadNetworkAddress");
    if (!found)
        return;
    ConfigHandle &ch = *found;
    keywords_read_.push_back("NetworkAddress");
    const RegValue *v = ch.block->config.find("NetworkAddress");
    if (!v || v->kind != RegValue::Kind::String)
        return;
    // The standard keyword: hexadecimal digits, each pair one byte; hyphens
    // are discarded; anything else is not an address.
    auto bytes = std::make_unique<std::vector<uint8_t>>();
    int nibbles = 0;
    uint8_t cur = 0;
    for (char16_t c : v->str) {
        if (c == u'-')
            continue;
        int d = hex_digit(c);
        if (d < 0)
            return;
        cur = (uint8_t)(cur * 16 + d);
        if (++nibbles == 2) {
            bytes->push_back(cur);
            cur = 0;
            nibbles = 0;
        }
    }
    if (nibbles != 0 || bytes->empty())
        return;
    *address = bytes->data();
    *length = (UINT)bytes->size();
    ch.buffers.push_back(std::move(bytes));
    *status = NDIS_STATUS_SUCCESS;
}

void Host::close_configuration(NDIS_HANDLE handle) {
    ConfigHandle *found = find_config(handle, "NdisCloseConfiguration");
    if (!found)
        return;
    config_handles_.erase(
        std::find_if(config_handles_.begin(), config_handles_.end(),
                     [found](const std::unique_ptr<ConfigHandle> &c) { return c.get() == found; }));
}

// ---- Port ranges ----

NDIS_STATUS Host::register_ports(PVOID *base, NDIS_HANDLE handle, UINT first, UINT count) {
    MiniportBlock *b = checked_block(handle, "NdisMRegisterIoPortRange");
    if (!b)
        return NDIS_STATUS_FAILURE;
    if (faults_.port_range_status != NDIS_STATUS_SUCCESS)
        return faults_.port_range_status;
    b->ports.push_back(PortRange{first, count});
    bus_.claim(first, count);
    // I/O space is not translated on this machine: the mapped base is the
    // port number itself.
    *base = (PVOID)(ULONG_PTR)first;
    return NDIS_STATUS_SUCCESS;
}

void Host::deregister_ports(NDIS_HANDLE handle, UINT first, UINT count, PVOID base) {
    MiniportBlock *b = checked_block(handle, "NdisMDeregisterIoPortRange");
    if (!b)
        return;
    auto it = std::find_if(b->ports.begin(), b->ports.end(),
                           [&](const PortRange &r) { return r.base == first && r.count == count; });
    if (it == b->ports.end() || (ULONG_PTR)base != first) {
        verifier_.report(rule::PortRangeUnknown, hex(first) + " count " + std::to_string(count));
        return;
    }
    b->ports.erase(it);
    bus_.release(first, count);
}

// ---- Interrupts ----

NDIS_STATUS Host::register_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt, NDIS_HANDLE handle,
                                     UINT vector, UINT level, BOOLEAN request_isr, BOOLEAN shared,
                                     NDIS_INTERRUPT_MODE mode) {
    MiniportBlock *b = checked_block(handle, "NdisMRegisterInterrupt");
    if (!b)
        return NDIS_STATUS_FAILURE;
    if (faults_.interrupt_status != NDIS_STATUS_SUCCESS)
        return faults_.interrupt_status;
    // A shared line needs the miniport's ISR to tell whose interrupt it is.
    if (shared && !request_isr)
        verifier_.report(rule::InterruptSharedWithoutIsr, "vector " + std::to_string(vector));
    interrupt->MiniportHandle = handle;
    interrupt->Vector = vector;
    interrupt->Level = level;
    interrupt->Registered = 1;
    b->interrupt = InterruptRegistration{interrupt,       vector, level, request_isr != FALSE,
                                         shared != FALSE, mode};
    return NDIS_STATUS_SUCCESS;
}

void Host::deregister_interrupt(PNDIS_MINIPORT_INTERRUPT interrupt) {
    MiniportBlock *b = find_block(interrupt->MiniportHandle);
    if (!b || b->interrupt.record != interrupt || !interrupt->Registered) {
        verifier_.report(rule::InterruptUnknown, hex((uintptr_t)interrupt));
        return;
    }
    interrupt->Registered = 0;
    b->interrupt = InterruptRegistration{};
}

void Host::set_interrupt_line(NDIS_HANDLE handle, bool level) {
    MiniportBlock &b = block(handle);
    bool rising = level && !b.line;
    b.line = level;
    if (!level)
        b.level_repeats = 0;
    if (!rising)
        return;
    ++b.interrupts.edges;
    interrupt(b);
}

void Host::set_isr_at_port_access(NDIS_HANDLE handle, uint64_t every_n) {
    MiniportBlock &b = block(handle);
    b.isr_every = every_n;
    b.accesses = 0;
    bool any = false;
    for (auto &other : blocks_)
        any = any || other->isr_every != 0;
    bus_.watch_every_access(any);
}

// A level-sensitive line still high when the ISR has returned: the
// interrupt comes again, unless it has become a storm.
bool Host::level_still_high(MiniportBlock &b) {
    if (!b.interrupt.record || b.interrupt.mode != NdisInterruptLevelSensitive || !b.line)
        return false;
    if (b.level_repeats == kStormRepeats)
        return false; // given up on until the line falls
    if (++b.level_repeats < kStormRepeats)
        return true;
    ++b.interrupts.storms;
    verifier_.report(rule::InterruptStorm,
                     "level-sensitive vector " + std::to_string(b.interrupt.vector) +
                         " still high after " + std::to_string(kStormRepeats) + " deliveries");
    return false;
}

// One interrupt, at device level. An edge that comes while the ISR runs is
// held by the interrupt controller and delivered when it returns.
void Host::interrupt(MiniportBlock &b) {
    if (!b.interrupt.record) {
        ++b.interrupts.unregistered;
        return;
    }
    if (b.in_isr) {
        b.isr_again = true;
        return;
    }
    const NDIS30_MINIPORT_CHARACTERISTICS &chars = driver_.chars;
    do {
        b.isr_again = false;
        bool queue = true;
        b.in_isr = true;
        if (b.interrupt.request_isr) {
            ++b.interrupts.isr;
            BOOLEAN recognized = FALSE, queue_deferred = FALSE;
            if (chars.ISRHandler)
                chars.ISRHandler(&recognized, &queue_deferred, b.context);
            else
                verifier_.report(rule::HandlerSlotEmpty, "ISRHandler, with RequestIsr TRUE");
            queue = recognized && queue_deferred;
        } else {
            ++b.interrupts.disable;
            if (chars.DisableInterruptHandler)
                chars.DisableInterruptHandler(b.context);
            else
                verifier_.report(rule::HandlerSlotEmpty,
                                 "DisableInterruptHandler, with RequestIsr FALSE");
        }
        b.in_isr = false;
        // One deferred call is queued at a time, as a DPC is.
        if (queue && !b.deferred_queued) {
            b.deferred_queued = true;
            world_.schedule_in(0, EventKind::Deferred, [this, &b] { run_deferred(b); });
        }
    } while ((b.isr_again && b.interrupt.record) || level_still_high(b));
}

void Host::run_deferred(MiniportBlock &b) {
    b.deferred_queued = false;
    if (!b.interrupt.record)
        return; // deregistered meanwhile: the wrapper drops it
    const NDIS30_MINIPORT_CHARACTERISTICS &chars = driver_.chars;
    bool request_isr = b.interrupt.request_isr;
    run_locked(b, "the deferred interrupt handler", [&] {
        ++b.interrupts.deferred;
        if (chars.HandleInterruptHandler)
            chars.HandleInterruptHandler(b.context);
        else
            verifier_.report(rule::HandlerSlotEmpty, "HandleInterruptHandler");
        if (request_isr)
            return;
        ++b.interrupts.enable;
        if (chars.EnableInterruptHandler)
            chars.EnableInterruptHandler(b.context);
        else
            verifier_.report(rule::HandlerSlotEmpty,
                             "EnableInterruptHandler, with RequestIsr FALSE");
    });
}

void Host::run_locked(MiniportBlock &b, const char *what, const std::function<void()> &fn) {
    HandlerScope scope(*this, &b.ndis);
    BOOLEAN was = b.ndis.LockAcquired;
    b.ndis.LockAcquired = TRUE;
    fn();
    b.ndis.LockAcquired = was;
    if (b.filter->take_open_indication())
        verifier_.report(rule::IndicationWithoutComplete,
                         std::string("a receive indication still open when ") + what + " returned");
}

// ---- Timers ----

HostTimer *Host::find_timer(PNDIS_MINIPORT_TIMER timer, const char *call) {
    MiniportBlock *b = find_block(timer->MiniportHandle);
    if (b)
        for (auto &t : b->timers)
            if (t->record == timer)
                return t.get();
    verifier_.report(rule::TimerUnknown, std::string(call) + " of timer " + hex((uintptr_t)timer));
    return nullptr;
}

const HostTimer *Host::timer(PNDIS_MINIPORT_TIMER record) {
    MiniportBlock *b = find_block(record->MiniportHandle);
    if (b)
        for (auto &t : b->timers)
            if (t->record == record)
                return t.get();
    return nullptr;
}

void Host::init_timer(PNDIS_MINIPORT_TIMER timer, NDIS_HANDLE handle, PNDIS_TIMER_FUNCTION fn,
                      PVOID context) {
    MiniportBlock *b = checked_block(handle, "NdisMInitializeTimer");
    if (!b)
        return;
    HostTimer *t = nullptr;
    for (auto &existing : b->timers)
        if (existing->record == timer)
            t = existing.get();
    if (!t) {
        b->timers.push_back(std::make_unique<HostTimer>());
        t = b->timers.back().get();
    } else if (t->event) {
        world_.cancel(t->event);
    }
    *t = HostTimer{b, timer, fn, context};
    timer->Function = fn;
    timer->Context = context;
    timer->MiniportHandle = handle;
    timer->PeriodMs = 0;
    timer->Armed = 0;
}

void Host::arm(HostTimer &t, uint64_t due) {
    t.due_at = due;
    // Two pointers: the function object needs no allocation.
    t.event = world_.schedule_at(due, EventKind::Deferred, [this, tp = &t] { expire(*tp); });
    t.record->Armed = 1;
}

void Host::set_periodic_timer(PNDIS_MINIPORT_TIMER timer, UINT ms) {
    HostTimer *t = find_timer(timer, "NdisMSetPeriodicTimer");
    if (!t)
        return;
    checked_block(timer->MiniportHandle, "NdisMSetPeriodicTimer");
    if (t->event)
        world_.cancel(t->event);
    t->held_due = false;
    t->period_us = (uint64_t)ms * 1000;
    timer->PeriodMs = ms;
    arm(*t, world_.now() + t->period_us);
}

void Host::cancel_timer(PNDIS_MINIPORT_TIMER timer, PBOOLEAN cancelled) {
    *cancelled = FALSE;
    HostTimer *t = find_timer(timer, "NdisMCancelTimer");
    if (!t)
        return;
    bool pending = t->event != 0 || t->held_due;
    if (t->event)
        world_.cancel(t->event);
    t->event = 0;
    t->held_due = false;
    timer->Armed = 0;
    *cancelled = pending ? TRUE : FALSE;
}

// An expiry. A periodic timer keeps its cadence; expiries that passed while
// it could not run (a stall) are one run, as a queued DPC is queued once.
void Host::expire(HostTimer &t) {
    MiniportBlock &b = *t.block;
    t.event = 0;
    if (t.period_us) {
        uint64_t next = t.due_at + t.period_us;
        if (next <= world_.now())
            next += (world_.now() - next) / t.period_us * t.period_us + t.period_us;
        arm(t, next);
    } else {
        t.record->Armed = 0;
    }
    if (b.timers_held) {
        t.held_due = true;
        return;
    }
    t.held_due = false; // this run stands for an expiry held before, too
    run_timer(b, t);
}

void Host::run_timer(MiniportBlock &b, HostTimer &t) {
    if (b.halted) {
        verifier_.report(rule::TimerAfterHalt, "timer " + hex((uintptr_t)t.record));
        return;
    }
    ++t.runs;
    run_locked(b, "a timer callback",
               [&] { t.function((PVOID)t.record, t.context, nullptr, nullptr); });
}

void Host::hold_timers(NDIS_HANDLE handle, bool held) {
    MiniportBlock &b = block(handle);
    b.timers_held = held;
    if (held)
        return;
    for (auto &t : b.timers)
        if (t->held_due)
            world_.schedule_in(0, EventKind::Deferred, [this, &b, t = t.get()] {
                // Cancelled, set again, or held again since: nothing to run.
                if (!t->held_due || b.timers_held)
                    return;
                t->held_due = false;
                run_timer(b, *t);
            });
}

void Host::set_station_address(NDIS_HANDLE handle, const MacAddress &address) {
    block(handle).filter->set_station_address(address);
}

// ---- Status, sends, locks ----

void Host::indicate_status(NDIS_HANDLE handle, NDIS_STATUS status, PVOID buffer, UINT size) {
    MiniportBlock *b = checked_block(handle, "NdisMIndicateStatus");
    if (!b)
        return;
    if (b->status_open)
        verifier_.report(rule::StatusWithoutComplete,
                         "status " + hex((uint32_t)status) +
                             " indicated before the previous completion");
    b->status_open = true;
    StatusIndication si{status, {}, world_.now()};
    if (buffer && size)
        si.buffer.assign((uint8_t *)buffer, (uint8_t *)buffer + size);
    b->statuses.push_back(std::move(si));
}

void Host::indicate_status_complete(NDIS_HANDLE handle) {
    MiniportBlock *b = checked_block(handle, "NdisMIndicateStatusComplete");
    if (!b)
        return;
    b->status_open = false;
    b->statuses.push_back(StatusIndication{kStatusComplete, {}, world_.now()});
}

void Host::send_complete(NDIS_HANDLE handle, PNDIS_PACKET packet, NDIS_STATUS status) {
    MiniportBlock *b = checked_block(handle, "NdisMSendComplete");
    if (!b)
        return;
    if (!b->owned.erase(packet)) {
        // Only a fault looks back through the completions.
        bool twice = false;
        for (const SendCompletion &c : b->completions)
            if (c.packet == packet)
                twice = true;
        verifier_.report(twice ? rule::PacketCompletedTwice : rule::PacketNotOwned,
                         "packet " + hex((uintptr_t)packet));
        return;
    }
    completed(*b, packet, status);
}

// A packet is the protocol's again: its binding, or the block's callback,
// hears of it.
void Host::completed(MiniportBlock &b, PNDIS_PACKET packet, NDIS_STATUS status) {
    b.completions.push_back(SendCompletion{packet, status, world_.now()});
    Protocol *from = nullptr;
    auto it = b.senders.find(packet);
    if (it != b.senders.end()) {
        from = it->second;
        b.senders.erase(it);
    }
    if (from)
        from->send_complete(packet, status);
    else if (b.on_send_complete)
        b.on_send_complete(packet, status);
}

Host::HandlerScope::HandlerScope(Host &host, NDIS_HANDLE handle)
    : host_(host), block_(host.block(handle)) {
    block_.handler_depth++;
}

Host::HandlerScope::~HandlerScope() {
    if (--block_.handler_depth > 0)
        return;
    // Sends the protocols issued while the handler ran go in now, in order.
    while (!block_.deferred_sends.empty()) {
        MiniportBlock::DeferredSend d = block_.deferred_sends.front();
        block_.deferred_sends.erase(block_.deferred_sends.begin());
        host_.send(&block_.ndis, d.packet, d.handler, d.from);
    }
    // Then the requests, while none is pending in the driver.
    while (!block_.deferred_requests.empty() && !block_.pending_request &&
           block_.handler_depth == 0) {
        std::function<void()> r = std::move(block_.deferred_requests.front());
        block_.deferred_requests.erase(block_.deferred_requests.begin());
        r();
    }
}

NDIS_STATUS Host::send(NDIS_HANDLE handle, PNDIS_PACKET packet, W_SEND_HANDLER handler,
                       Protocol *from) {
    MiniportBlock *b = find_block(handle);
    if (!b) {
        verifier_.report(rule::UnknownHandle, "send with handle " + hex((uintptr_t)handle));
        return NDIS_STATUS_FAILURE;
    }
    // The wrapper hands a halted adapter nothing more.
    if (b->halted)
        return NDIS_STATUS_ADAPTER_NOT_FOUND;
    if (b->handler_depth > 0) {
        b->deferred_sends.push_back(MiniportBlock::DeferredSend{packet, handler, from});
        return NDIS_STATUS_PENDING;
    }
    b->owned.insert(packet);
    if (from)
        b->senders[packet] = from;
    NDIS_STATUS status;
    {
        HandlerScope scope(*this, handle);
        status = handler(b->context, packet, 0);
    }
    // A miniport that does not pend a send has finished it.
    if (status != NDIS_STATUS_PENDING && b->owned.erase(packet))
        completed(*b, packet, status);
    return status;
}

void Host::acquire_lock(PNDIS_SPIN_LOCK lock) {
    if (lock->Held)
        verifier_.report(rule::SpinLockTwice, "lock " + hex((uintptr_t)lock));
    lock->Held = 1;
    lock->Serial++;
}

void Host::release_lock(PNDIS_SPIN_LOCK lock) {
    if (!lock->Held)
        verifier_.report(rule::SpinLockUnheld, "lock " + hex((uintptr_t)lock));
    lock->Held = 0;
}

} // namespace talhost

// ===== The NDIS and HAL calls as the driver sees them =====

using talhost::Host;

VOID NdisInitializeWrapper(PNDIS_HANDLE NdisWrapperHandle, PVOID, PVOID, PVOID) {
    Host &h = Host::current();
    h.driver().wrapper_initialized = true;
    *NdisWrapperHandle = &h.driver();
}

VOID NdisTerminateWrapper(NDIS_HANDLE NdisWrapperHandle, PVOID) {
    Host &h = Host::current();
    if (NdisWrapperHandle != &h.driver() || !h.driver().wrapper_initialized) {
        h.verifier().report(talhost::rule::UnknownHandle, "NdisTerminateWrapper");
        return;
    }
    h.driver().wrapper_initialized = false;
    h.driver().wrapper_terminations++;
}

VOID NdisMQueryInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    Host::current().request_complete(MiniportAdapterHandle, false, Status);
}

VOID NdisMSetInformationComplete(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS Status) {
    Host::current().request_complete(MiniportAdapterHandle, true, Status);
}

VOID NdisMRegisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle, PVOID ShutdownContext,
                                         ADAPTER_SHUTDOWN_HANDLER ShutdownHandler) {
    Host &h = Host::current();
    if (talhost::MiniportBlock *b =
            h.checked_block(MiniportHandle, "NdisMRegisterAdapterShutdownHandler")) {
        b->shutdown_handler = ShutdownHandler;
        b->shutdown_context = ShutdownContext;
    }
}

VOID NdisMDeregisterAdapterShutdownHandler(NDIS_HANDLE MiniportHandle) {
    Host &h = Host::current();
    h.log_release("NdisMDeregisterAdapterShutdownHandler");
    if (talhost::MiniportBlock *b =
            h.checked_block(MiniportHandle, "NdisMDeregisterAdapterShutdownHandler")) {
        b->shutdown_handler = nullptr;
        b->shutdown_context = nullptr;
    }
}

NDIS_STATUS NdisMRegisterMiniport(NDIS_HANDLE, PNDIS_MINIPORT_CHARACTERISTICS chars, UINT length) {
    Host &h = Host::current();
    if (h.faults().register_miniport_status != NDIS_STATUS_SUCCESS)
        return h.faults().register_miniport_status;
    std::memcpy(&h.driver().chars, chars,
                std::min<size_t>(length, sizeof(NDIS30_MINIPORT_CHARACTERISTICS)));
    h.driver().chars_length = length;
    h.driver().registered = true;
    return NDIS_STATUS_SUCCESS;
}

VOID NdisOpenConfiguration(PNDIS_STATUS Status, PNDIS_HANDLE ConfigurationHandle,
                           NDIS_HANDLE WrapperConfigurationContext) {
    Host::current().open_configuration(Status, ConfigurationHandle, WrapperConfigurationContext);
}

VOID NdisReadConfiguration(PNDIS_STATUS Status, PNDIS_CONFIGURATION_PARAMETER *ParameterValue,
                           NDIS_HANDLE ConfigurationHandle, PNDIS_STRING Keyword,
                           NDIS_PARAMETER_TYPE ParameterType) {
    Host::current().read_configuration(Status, ParameterValue, ConfigurationHandle, Keyword,
                                       ParameterType);
}

VOID NdisCloseConfiguration(NDIS_HANDLE ConfigurationHandle) {
    Host::current().close_configuration(ConfigurationHandle);
}

VOID NdisReadNetworkAddress(PNDIS_STATUS Status, PVOID *NetworkAddress, PUINT NetworkAddressLength,
                            NDIS_HANDLE ConfigurationHandle) {
    Host::current().read_network_address(Status, NetworkAddress, NetworkAddressLength,
                                         ConfigurationHandle);
}

// Converts as the system's conversion does for the characters a
// configuration holds: one byte per character, '?' for those above 0xFF.
// Like it, it keeps a byte for the terminator: a string that does not fit
// with its terminator is cut to capacity - 1 and reported as an overflow.
NDIS_STATUS NdisUnicodeStringToAnsiString(PNDIS_ANSI_STRING DestinationString,
                                          PNDIS_STRING SourceString) {
    USHORT chars = (USHORT)(SourceString->Length / 2);
    USHORT cap = DestinationString->MaximumLength;
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    USHORT n = chars;
    if (n >= cap) {
        if (cap == 0)
            return (NDIS_STATUS)0x80000005L; // buffer overflow
        n = (USHORT)(cap - 1);
        status = (NDIS_STATUS)0x80000005L;
    }
    const uint8_t *src = (const uint8_t *)SourceString->Buffer;
    for (USHORT i = 0; i < n; i++) {
        uint16_t u = (uint16_t)(src[2 * i] | (src[2 * i + 1] << 8));
        DestinationString->Buffer[i] = (CHAR)(u > 0xFF ? '?' : u);
    }
    DestinationString->Buffer[n] = 0;
    DestinationString->Length = n;
    return status;
}

NDIS_STATUS NdisAllocateMemory(PVOID *VirtualAddress, UINT Length, UINT, NDIS_PHYSICAL_ADDRESS) {
    return Host::current().allocate(VirtualAddress, Length);
}

VOID NdisFreeMemory(PVOID VirtualAddress, UINT Length, UINT) {
    Host::current().log_release("NdisFreeMemory");
    Host::current().free(VirtualAddress, Length);
}

VOID NdisMSetAttributes(NDIS_HANDLE MiniportAdapterHandle, NDIS_HANDLE MiniportAdapterContext,
                        BOOLEAN BusMaster, NDIS_INTERFACE_TYPE AdapterType) {
    talhost::MiniportBlock &b = Host::current().block(MiniportAdapterHandle);
    b.context = MiniportAdapterContext;
    b.bus_master = BusMaster;
    b.interface_type = AdapterType;
    b.attributes_set = true;
}

NDIS_STATUS NdisMRegisterIoPortRange(PVOID *PortOffset, NDIS_HANDLE MiniportAdapterHandle,
                                     UINT InitialPort, UINT NumberOfPorts) {
    return Host::current().register_ports(PortOffset, MiniportAdapterHandle, InitialPort,
                                          NumberOfPorts);
}

VOID NdisMDeregisterIoPortRange(NDIS_HANDLE MiniportAdapterHandle, UINT InitialPort,
                                UINT NumberOfPorts, PVOID PortOffset) {
    Host::current().log_release("NdisMDeregisterIoPortRange");
    Host::current().deregister_ports(MiniportAdapterHandle, InitialPort, NumberOfPorts, PortOffset);
}

NDIS_STATUS NdisMRegisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt,
                                   NDIS_HANDLE MiniportAdapterHandle, UINT InterruptVector,
                                   UINT InterruptLevel, BOOLEAN RequestIsr, BOOLEAN SharedInterrupt,
                                   NDIS_INTERRUPT_MODE InterruptMode) {
    return Host::current().register_interrupt(Interrupt, MiniportAdapterHandle, InterruptVector,
                                              InterruptLevel, RequestIsr, SharedInterrupt,
                                              InterruptMode);
}

VOID NdisMDeregisterInterrupt(PNDIS_MINIPORT_INTERRUPT Interrupt) {
    Host::current().log_release("NdisMDeregisterInterrupt");
    Host::current().deregister_interrupt(Interrupt);
}

VOID NdisMInitializeTimer(PNDIS_MINIPORT_TIMER Timer, NDIS_HANDLE MiniportAdapterHandle,
                          PNDIS_TIMER_FUNCTION TimerFunction, PVOID FunctionContext) {
    Host::current().init_timer(Timer, MiniportAdapterHandle, TimerFunction, FunctionContext);
}

VOID NdisMSetPeriodicTimer(PNDIS_MINIPORT_TIMER Timer, UINT MillisecondPeriod) {
    Host::current().set_periodic_timer(Timer, MillisecondPeriod);
}

VOID NdisMCancelTimer(PNDIS_MINIPORT_TIMER Timer, PBOOLEAN TimerCancelled) {
    Host::current().log_release("NdisMCancelTimer");
    Host::current().cancel_timer(Timer, TimerCancelled);
}

VOID NdisAcquireSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Host::current().acquire_lock(SpinLock);
}

VOID NdisReleaseSpinLock(PNDIS_SPIN_LOCK SpinLock) {
    Host::current().release_lock(SpinLock);
}

VOID NdisQueryBuffer(PNDIS_BUFFER Buffer, PVOID *VirtualAddress, PUINT Length) {
    if (VirtualAddress)
        *VirtualAddress = Buffer->VirtualAddress;
    *Length = Buffer->Length;
}

VOID NdisGetNextBuffer(PNDIS_BUFFER CurrentBuffer, PNDIS_BUFFER *NextBuffer) {
    *NextBuffer = CurrentBuffer->Next;
}

VOID NdisMSendComplete(NDIS_HANDLE MiniportAdapterHandle, PNDIS_PACKET Packet, NDIS_STATUS Status) {
    Host::current().log_release("NdisMSendComplete");
    Host::current().send_complete(MiniportAdapterHandle, Packet, Status);
}

VOID NdisMIndicateStatus(NDIS_HANDLE MiniportAdapterHandle, NDIS_STATUS GeneralStatus,
                         PVOID StatusBuffer, UINT StatusBufferSize) {
    Host::current().indicate_status(MiniportAdapterHandle, GeneralStatus, StatusBuffer,
                                    StatusBufferSize);
}

VOID NdisMIndicateStatusComplete(NDIS_HANDLE MiniportAdapterHandle) {
    Host::current().indicate_status_complete(MiniportAdapterHandle);
}

VOID NdisWriteErrorLogEntry(NDIS_HANDLE NdisAdapterHandle, NDIS_ERROR_CODE ErrorCode,
                            ULONG NumberOfErrorValues, ...) {
    std::vector<ULONG> values;
    va_list ap;
    va_start(ap, NumberOfErrorValues);
    for (ULONG i = 0; i < NumberOfErrorValues; i++)
        values.push_back(va_arg(ap, ULONG));
    va_end(ap);
    Host::current().write_error_log(NdisAdapterHandle, ErrorCode, std::move(values));
}

USHORT READ_PORT_USHORT(PUSHORT Port) {
    return Host::current().hal_read_port((uint32_t)(uintptr_t)Port);
}

VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
    Host::current().hal_write_port((uint32_t)(uintptr_t)Port, Value);
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    Host::current().hal_stall(MicroSeconds);
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    Host::current().hal_assert((const char *)FailedAssertion, (const char *)FileName, LineNumber,
                               Message);
}
