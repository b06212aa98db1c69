// The wrapper stand-in's own rules: what the verifier catches and how the
// configuration, memory and port calls behave.
#include <gtest/gtest.h>

#include <cstring>

#include "host.h"

using talhost::Host;

namespace {

class NullDevice : public talhost::PortDevice {
public:
    uint16_t port_read16(uint32_t offset) override { return (uint16_t)(0x1000 + offset); }
    void port_write16(uint32_t offset, uint16_t value) override { last = {offset, value}; }
    std::pair<uint32_t, uint16_t> last{};
};

// Each port reaches its own device at its own offset; an access outside
// every registered range is named, also once its range was given back.
TEST(HostPortBus, EachPortReachesItsOwnDeviceAndOnlyRegisteredRangesMayBeUsed) {
    Host host;
    NullDevice a, b;
    host.bus().map(0x300, 0x40, &a);
    host.bus().map(0x320, 0x40, &b); // overlaps a: a keeps 0x320-0x33F
    EXPECT_EQ(host.bus().device_at(0x33E), &a);
    EXPECT_EQ(host.bus().device_at(0x340), &b);
    EXPECT_EQ(host.bus().device_at(0x360), nullptr);
    NDIS_HANDLE h1 = host.add_adapter(), h2 = host.add_adapter();
    PVOID base = nullptr;
    ASSERT_EQ(NdisMRegisterIoPortRange(&base, h1, 0x300, 0x80), NDIS_STATUS_SUCCESS);
    EXPECT_EQ((uintptr_t)base, 0x300u);
    NdisMRegisterIoPortRange(&base, h2, 0x340, 0x10);
    EXPECT_EQ(READ_PORT_USHORT((PUSHORT)(uintptr_t)0x33E), 0x103E);
    EXPECT_EQ(READ_PORT_USHORT((PUSHORT)(uintptr_t)0x342), 0x1022) << "b sees its own offset";
    WRITE_PORT_USHORT((PUSHORT)(uintptr_t)0x344, 9);
    EXPECT_EQ(b.last, (std::pair<uint32_t, uint16_t>{0x24, 9}));
    READ_PORT_USHORT((PUSHORT)(uintptr_t)0x380);
    WRITE_PORT_USHORT((PUSHORT)(uintptr_t)0x2FE, 7);
    ASSERT_EQ(host.verifier().violations().size(), 2u);
    EXPECT_EQ(host.verifier().violations()[0].rule, talhost::rule::PortOutsideRange);
    EXPECT_EQ(host.verifier().violations()[1].detail, "write 0x2fe value 0x7");
    host.verifier().clear();
    NdisMDeregisterIoPortRange(h1, 0x300, 0x80, (PVOID)(uintptr_t)0x300);
    READ_PORT_USHORT((PUSHORT)(uintptr_t)0x342);
    EXPECT_TRUE(host.verifier().clean()) << "still registered by the second adapter";
    READ_PORT_USHORT((PUSHORT)(uintptr_t)0x352);
    EXPECT_TRUE(host.verifier().has(talhost::rule::PortOutsideRange));
    host.verifier().clear();
    host.bus().unmap(&b);
    EXPECT_EQ(READ_PORT_USHORT((PUSHORT)(uintptr_t)0x342), 0xFFFF) << "nothing mapped there now";
    NdisMDeregisterIoPortRange(h2, 0x340, 0x10, (PVOID)(uintptr_t)0x340);
    host.bus().unmap(&a);
}

TEST(HostVerifier, ResourcesStillHeldAreNamed) {
    Host host;
    NDIS_HANDLE h = host.add_adapter();
    PVOID mem, base;
    NDIS_PHYSICAL_ADDRESS max = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
    ASSERT_EQ(NdisAllocateMemory(&mem, 64, 0, max), NDIS_STATUS_SUCCESS);
    NDIS_STATUS s;
    NDIS_HANDLE cfg;
    NdisOpenConfiguration(&s, &cfg, host.config_context(h));
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    NdisMRegisterIoPortRange(&base, h, 0x300, 0x40);
    host.check_released();
    EXPECT_TRUE(host.verifier().has(talhost::rule::MemoryLeak));
    EXPECT_TRUE(host.verifier().has(talhost::rule::ConfigHandleLeak));
    EXPECT_TRUE(host.verifier().has(talhost::rule::PortRangeLeak));
    host.verifier().clear();

    NdisFreeMemory(mem, 32, 0);
    EXPECT_TRUE(host.verifier().has(talhost::rule::MemoryFreeSize));
    NdisFreeMemory(mem, 64, 0);
    EXPECT_TRUE(host.verifier().has(talhost::rule::MemoryFreeUnknown));
    NdisCloseConfiguration(cfg);
    NdisCloseConfiguration(cfg);
    EXPECT_TRUE(host.verifier().has(talhost::rule::ConfigHandleUnknown));
    NdisMDeregisterIoPortRange(h, 0x300, 0x40, base);
}

TEST(HostVerifier, SpinLockMisuseAndUnpairedStatusAreViolations) {
    Host host;
    NDIS_HANDLE h = host.add_adapter();
    NDIS_SPIN_LOCK lock{};
    NdisAcquireSpinLock(&lock);
    NdisReleaseSpinLock(&lock);
    EXPECT_TRUE(host.verifier().clean());
    NdisAcquireSpinLock(&lock);
    NdisAcquireSpinLock(&lock);
    EXPECT_TRUE(host.verifier().has(talhost::rule::SpinLockTwice));
    NdisReleaseSpinLock(&lock);
    NdisReleaseSpinLock(&lock);
    EXPECT_TRUE(host.verifier().has(talhost::rule::SpinLockUnheld));

    host.verifier().clear();
    NdisMIndicateStatus(h, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
    NdisMIndicateStatusComplete(h);
    EXPECT_TRUE(host.verifier().clean());
    NdisMIndicateStatus(h, NDIS_STATUS_MEDIA_CONNECT, nullptr, 0);
    NdisMIndicateStatus(h, NDIS_STATUS_MEDIA_DISCONNECT, nullptr, 0);
    EXPECT_TRUE(host.verifier().has(talhost::rule::StatusWithoutComplete));

    host.verifier().clear();
    host.check_released();
    EXPECT_TRUE(host.verifier().has(talhost::rule::StatusWithoutComplete))
        << "an indication left without its completion";
}

TEST(HostMemory, AllocationFailureInjectionHitsTheChosenCall) {
    Host host;
    host.faults().fail_allocation_number = 2;
    NDIS_PHYSICAL_ADDRESS max = NDIS_PHYSICAL_ADDRESS_CONST(-1, -1);
    PVOID a = nullptr, b = nullptr, c = nullptr;
    EXPECT_EQ(NdisAllocateMemory(&a, 8, 0, max), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(NdisAllocateMemory(&b, 8, 0, max), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(NdisAllocateMemory(&c, 8, 0, max), NDIS_STATUS_SUCCESS);
    NdisFreeMemory(a, 8, 0);
    NdisFreeMemory(c, 8, 0);
    host.check_released();
    EXPECT_TRUE(host.verifier().clean());
}

TEST(HostConfiguration, ReadsConvertAsTheWrapperDoes) {
    Host host;
    talhost::AdapterConfig cfg;
    cfg.set_dword("D", 42);
    cfg.set_string("S", "12");
    cfg.set_string("H", "1f");
    cfg.set_string("Prefixed", "0x300");
    cfg.set_string("Signed", " \t-5 blocks");
    cfg.set_string("Long", std::string(32768, 'x'));
    cfg.set_string("Name", "abc");
    NDIS_HANDLE h = host.add_adapter(cfg);
    NDIS_STATUS s;
    NDIS_HANDLE ch;
    NdisOpenConfiguration(&s, &ch, host.config_context(h));
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);

    struct Case {
        NDIS_STRING key;
        NDIS_PARAMETER_TYPE type;
        NDIS_STATUS status;
        ULONG value;
    } cases[] = {
        {NDIS_STRING_CONST("D"), NdisParameterInteger, NDIS_STATUS_SUCCESS, 42},
        {NDIS_STRING_CONST("d"), NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 42},
        {NDIS_STRING_CONST("S"), NdisParameterInteger, NDIS_STATUS_SUCCESS, 12},
        {NDIS_STRING_CONST("S"), NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 0x12},
        {NDIS_STRING_CONST("H"), NdisParameterInteger, NDIS_STATUS_SUCCESS, 1},
        {NDIS_STRING_CONST("H"), NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 0x1F},
        {NDIS_STRING_CONST("Prefixed"), NdisParameterHexInteger, NDIS_STATUS_SUCCESS, 0},
        {NDIS_STRING_CONST("Signed"), NdisParameterInteger, NDIS_STATUS_SUCCESS, 0xFFFFFFFB},
        {NDIS_STRING_CONST("Name"), NdisParameterInteger, NDIS_STATUS_SUCCESS, 0},
        {NDIS_STRING_CONST("Long"), NdisParameterString, NDIS_STATUS_FAILURE, 0},
        {NDIS_STRING_CONST("Missing"), NdisParameterInteger, NDIS_STATUS_FAILURE, 0},
        {NDIS_STRING_CONST("D"), NdisParameterString, NDIS_STATUS_FAILURE, 0},
    };
    for (Case &c : cases) {
        PNDIS_CONFIGURATION_PARAMETER p = nullptr;
        NdisReadConfiguration(&s, &p, ch, &c.key, c.type);
        EXPECT_EQ(s, c.status);
        if (s == NDIS_STATUS_SUCCESS && c.type != NdisParameterString) {
            EXPECT_EQ(p->ParameterData.IntegerData, c.value);
        }
    }
    NDIS_STRING name = NDIS_STRING_CONST("NAME");
    PNDIS_CONFIGURATION_PARAMETER p = nullptr;
    NdisReadConfiguration(&s, &p, ch, &name, NdisParameterString);
    ASSERT_EQ(s, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(p->ParameterData.StringData.Length, 6);
    EXPECT_EQ(std::u16string((char16_t *)p->ParameterData.StringData.Buffer, 3), u"abc");
    NdisCloseConfiguration(ch);
}

TEST(HostConfiguration, AnsiConversionKeepsRoomForTheTerminatorAsTheSystemDoes) {
    char16_t text[] = u"abcdef";
    NDIS_STRING src{12, 14, (PWSTR)text};
    struct Case {
        USHORT capacity;
        bool ok;
        std::string buffer; // 8 bytes after the call
        USHORT length;
    } cases[] = {
        {4, false, std::string("abc\0ZZZZ", 8), 3},
        {6, false, std::string("abcde\0ZZ", 8), 5},
        {7, true, std::string("abcdef\0Z", 8), 6},
    };
    for (const Case &c : cases) {
        char buf[8];
        std::memset(buf, 'Z', sizeof buf);
        NDIS_ANSI_STRING dst{0, c.capacity, buf};
        EXPECT_EQ(NdisUnicodeStringToAnsiString(&dst, &src) == NDIS_STATUS_SUCCESS, c.ok);
        EXPECT_EQ(std::string(buf, 8), c.buffer);
        EXPECT_EQ(dst.Length, c.length);
    }
}

} // namespace
