// The verifier: watches the driver's use of the wrapper and records every
// broken rule by name. Tests fail on any violation; tools may turn it off.
#pragma once

#include <string>
#include <vector>

namespace talhost {

namespace rule {
inline constexpr const char *PortOutsideRange = "port-outside-range";
inline constexpr const char *MemoryLeak = "memory-not-freed";
inline constexpr const char *MemoryFreeUnknown = "memory-free-unknown";
inline constexpr const char *MemoryFreeSize = "memory-free-size-mismatch";
inline constexpr const char *MemoryAfterInit = "memory-allocated-after-initialization";
inline constexpr const char *ConfigHandleLeak = "configuration-handle-not-closed";
inline constexpr const char *ConfigHandleUnknown = "configuration-handle-unknown";
inline constexpr const char *PortRangeLeak = "port-range-not-deregistered";
inline constexpr const char *PortRangeUnknown = "port-range-deregister-unknown";
inline constexpr const char *InterruptLeak = "interrupt-not-deregistered";
inline constexpr const char *InterruptUnknown = "interrupt-deregister-unknown";
inline constexpr const char *SpinLockTwice = "spin-lock-acquired-twice";
inline constexpr const char *SpinLockUnheld = "spin-lock-released-unheld";
inline constexpr const char *StatusWithoutComplete = "status-indication-without-complete";
inline constexpr const char *PacketCompletedTwice = "packet-completed-twice";
inline constexpr const char *PacketNotOwned = "packet-completed-not-owned";
inline constexpr const char *PacketHeldAtHalt = "packet-held-at-halt";
inline constexpr const char *CallAfterHalt = "call-after-halt";
inline constexpr const char *HandlerSlotEmpty = "handler-slot-empty";
inline constexpr const char *InterruptSharedWithoutIsr = "interrupt-shared-without-isr";
inline constexpr const char *InterruptStorm = "interrupt-storm";
inline constexpr const char *TimerUnknown = "timer-not-initialized";
inline constexpr const char *TimerLeak = "timer-not-cancelled";
inline constexpr const char *ShutdownHandlerLeak = "shutdown-handler-not-deregistered";
inline constexpr const char *TimerAfterHalt = "timer-callback-after-halt";
inline constexpr const char *HandlerAfterHalt = "handler-called-after-halt";
inline constexpr const char *IndicationWithoutLock = "receive-indication-without-miniport-lock";
inline constexpr const char *IndicationWithoutComplete = "receive-indication-without-complete";
inline constexpr const char *CompleteWithoutIndication = "receive-complete-without-indication";
inline constexpr const char *TransferOutsideIndication = "transfer-data-outside-indication";
inline constexpr const char *UnknownHandle = "unknown-adapter-handle";
inline constexpr const char *RequestAnsweredTwice = "request-answered-twice";
inline constexpr const char *RequestBytesBeyondBuffer = "request-bytes-beyond-buffer";
inline constexpr const char *RequestWroteOutsideAnswer = "request-wrote-outside-answer";
inline constexpr const char *WrapperNotTerminated = "wrapper-handle-not-terminated";
} // namespace rule

struct Violation {
    std::string rule;
    std::string detail;
};

class Verifier {
public:
    bool enabled = true;

    void report(const char *rule_name, std::string detail);
    const std::vector<Violation> &violations() const { return violations_; }
    bool clean() const { return violations_.empty(); }
    bool has(const char *rule_name) const;
    void clear() { violations_.clear(); }
    // One line per violation: "rule: detail".
    std::string text() const;

private:
    std::vector<Violation> violations_;
};

} // namespace talhost
