// The card model's auxiliary port, production data area and download mode,
// driven port by port on the bus face.
#include "support/card_bus.h"

#include <gtest/gtest.h>

#include <vector>

using namespace talsim;
using Words = std::vector<uint16_t>;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint16_t kBufferPage = 0x0100; // record 0xFD01's default: address 0x8000

class AuxBus : public taltest::CardBusFixture {
protected:
    AuxBus() = default;
    explicit AuxBus(const FactoryData &f) : CardBusFixture(f) {}

    void request(uint16_t control, uint16_t k0 = aux::Key0, uint16_t k1 = aux::Key1,
                 uint16_t k2 = aux::Key2) {
        wr(reg::Param0, k0);
        wr(reg::Param1, k1);
        wr(reg::Param2, k2);
        wr(reg::Control, control);
    }
    void open() {
        request(aux::EnableRequest);
        world.run_for(card.timing().aux_switch_us);
        ASSERT_TRUE(card.aux_port_enabled());
    }
    void seek(uint16_t page, uint16_t offset) {
        wr(reg::AuxPage, page);
        wr(reg::AuxOffset, offset);
    }
    Words read(uint16_t page, uint16_t offset, size_t n) {
        seek(page, offset);
        Words out;
        for (size_t i = 0; i < n; ++i)
            out.push_back(rd(reg::AuxData));
        return out;
    }
    void write(uint16_t page, uint16_t offset, const Words &words) {
        seek(page, offset);
        for (uint16_t w : words)
            wr(reg::AuxData, w);
    }

    uint16_t announce(uint32_t address, uint16_t bytes) {
        return command(0x0222, (uint16_t)address, (uint16_t)(address >> 16), bytes);
    }
    // A whole block as a host sends it: announce, words into the buffer, commit.
    void download(uint32_t address, const Words &words) {
        ASSERT_EQ(announce(address, (uint16_t)(words.size() * 2)), result::Ok);
        write(kBufferPage, 0, words);
        ASSERT_EQ(command(0x0322), result::Ok);
    }
};

// ---- Opening and closing the port ----

TEST_F(AuxBus, PortOpensAndClosesOnARequestWithTheAccessCodeAfterItsDelay) {
    const uint32_t delay = card.timing().aux_switch_us;
    EXPECT_EQ(rd(reg::Control), 0x0000);
    request(0x8000);
    EXPECT_EQ(rd(reg::Control), 0x8000) << "the request shows until it takes effect";
    world.run_for(delay - 1);
    EXPECT_FALSE(card.aux_port_enabled());
    world.run_for(1);
    EXPECT_EQ(rd(reg::Control), 0xC000);
    EXPECT_EQ(command(0x0000), result::Ok);
    EXPECT_TRUE(card.aux_port_enabled()) << "initialize leaves the port alone";

    request(0x4000);
    EXPECT_EQ(rd(reg::Control), 0x4000);
    world.run_for(delay);
    EXPECT_EQ(rd(reg::Control), 0x0000);
    EXPECT_EQ(card.device_error_count(), 0u);

    // A request replaces the one still pending, and its delay starts anew.
    request(0x8000);
    world.run_for(delay - 1);
    request(0x4000);
    world.run_for(delay - 1);
    EXPECT_EQ(rd(reg::Control), 0x4000) << "the open did not take effect";
    world.run_for(1);
    EXPECT_EQ(rd(reg::Control), 0x0000);
    open();
    card.reset();
    EXPECT_FALSE(card.aux_port_enabled());
}

struct BadRequest {
    const char *what;
    uint16_t control, k0, k1, k2;
};

TEST_F(AuxBus, RequestWithoutTheAccessCodeOrThatIsNoRequestIsADeviceError) {
    const BadRequest cases[] = {
        {"first word wrong", 0x8000, 0x3A7D, aux::Key1, aux::Key2},
        {"second word wrong", 0x8000, aux::Key0, 0x0000, aux::Key2},
        {"third word wrong", 0x8000, aux::Key0, aux::Key1, 0xE25B},
        {"codes in the wrong registers", 0x8000, aux::Key1, aux::Key0, aux::Key2},
        {"both request bits", 0xC000, aux::Key0, aux::Key1, aux::Key2},
        {"no request bit", 0x0001, aux::Key0, aux::Key1, aux::Key2},
    };
    uint64_t errors = 0;
    for (const BadRequest &c : cases) {
        SCOPED_TRACE(c.what);
        request(c.control, c.k0, c.k1, c.k2);
        world.run_for(1000);
        EXPECT_EQ(rd(reg::Control), 0x0000);
        EXPECT_EQ(card.device_error_count(), ++errors);
    }
}

TEST_F(AuxBus, StuckPortTakesRequestsButNeverChangesState) {
    open();
    card.set_aux_port_stuck(true);
    request(0x4000);
    world.run_for(100000);
    EXPECT_EQ(rd(reg::Control), 0xC000);
    EXPECT_EQ(card.device_error_count(), 0u);
}

struct BadAccess {
    const char *what;
    bool open;
    bool write;
    uint16_t reg;
    uint16_t page, offset; // where the port points first (open port only)
};

TEST_F(AuxBus, AccessesTheCardDoesNotAllowAreDeviceErrors) {
    const BadAccess cases[] = {
        {"page write, port closed", false, true, reg::AuxPage, 0, 0},
        {"offset read, port closed", false, false, reg::AuxOffset, 0, 0},
        {"data read, port closed", false, false, reg::AuxData, 0, 0},
        {"data write, port closed", false, true, reg::AuxData, 0, 0},
        {"offset beyond its page", true, true, reg::AuxOffset, 0, 0},
        {"write into the production data", true, true, reg::AuxData, 0x7200, 0x00},
        {"read past the production data", true, false, reg::AuxData, 0x7208, 0x00},
        {"read below the production data", true, false, reg::AuxData, 0x71FF, 0x7E},
        {"read at an odd address", true, false, reg::AuxData, 0x7200, 0x01},
        {"write past the download buffer", true, true, reg::AuxData, 0x0140, 0x00},
        {"read of memory nothing maps", true, false, reg::AuxData, 0x0000, 0x00},
    };
    uint64_t errors = 0;
    for (const BadAccess &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.open) {
            open();
            seek(c.page, c.offset);
        }
        if (c.write)
            wr(c.reg, 0x0080);
        else
            EXPECT_EQ(rd(c.reg), 0xFFFF);
        EXPECT_EQ(card.device_error_count(), ++errors);
    }
    EXPECT_EQ(read(0x7200, 0, 1), Words{4}) << "the production data is unchanged";
    EXPECT_EQ(read(kBufferPage, 0, 1), Words{0}) << "the closed port took no data";
}

// ---- Production data ----

class PdaBus : public AuxBus {
protected:
    static FactoryData factory() {
        FactoryData f;
        f.mac = {0x00, 0x60, 0xB3, 0x12, 0x34, 0x56};
        f.channel_list = 0x1FFF;
        return f;
    }
    PdaBus() : AuxBus(factory()) {}
};

TEST_F(PdaBus, AreaHoldsTheFactoryRecordsAndTheFirmwareTakesItsDefaultsFromIt) {
    open();
    Words area = read(0x7200, 0, 512);
    Words head = {4, 0x0004, 0x6000, 0x12B3, 0x5634, // MAC address
                  2, 0x0104, 0x1FFF,                 // channel list
                  1, 0x0000};                        // end
    EXPECT_EQ(Words(area.begin(), area.begin() + (long)head.size()), head);
    EXPECT_EQ(Words(area.begin() + (long)head.size(), area.end()),
              Words(512 - head.size(), 0xFFFF));
    EXPECT_EQ(area, card.records().pda());
    EXPECT_EQ(card.device_error_count(), 0u);
    for (int pass = 0; pass < 2; ++pass) { // at power-on and after initialize
        EXPECT_EQ(*card.records().data(rid::OwnMacAddress), (Words{0x6000, 0x12B3, 0x5634}));
        EXPECT_EQ(*card.records().data(rid::ChannelList), (Words{0x1FFF}));
        command(0x0000);
    }
}

TEST_F(PdaBus, AddressIsPageTimes128PlusOffsetAndAdvancesAcrossPages) {
    open();
    Words area = card.records().pda();
    EXPECT_EQ(read(0x7200, 0x06, 2), (Words{area[3], area[4]}));
    // 0x39007E, then 0x390080 on the next page.
    EXPECT_EQ(read(0x7200, 0x7E, 2), (Words{area[0x3F], area[0x40]}));
    EXPECT_EQ(read(0x7201, 0x00, 1), (Words{area[0x40]}));
    EXPECT_EQ(card.device_error_count(), 0u);
}

// ---- Download ----

TEST_F(AuxBus, CommittedBlocksAreKeptByAddressAsLittleEndianBytes) {
    open();
    download(0x00123456, {0x1234, 0xABCD, 0x0001});
    EXPECT_EQ(read(kBufferPage, 0, 3), (Words{0x1234, 0xABCD, 0x0001}))
        << "the buffer reads back through the port";
    download(0x2000, {5});
    download(0x00123456, {6, 7}); // replaces the first
    Words whole(4096);
    for (size_t i = 0; i < whole.size(); ++i)
        whole[i] = (uint16_t)(i * 7);
    download(0x00400000, whole);
    EXPECT_EQ(card.device_error_count(), 0u);

    ASSERT_EQ(card.downloaded().size(), 3u);
    EXPECT_EQ(card.downloaded().at(0x00123456), (Bytes{6, 0, 7, 0}));
    EXPECT_EQ(card.downloaded().at(0x2000), (Bytes{5, 0}));
    const Bytes &b = card.downloaded().at(0x00400000);
    ASSERT_EQ(b.size(), 8192u);
    EXPECT_EQ(b[8190] | b[8191] << 8, 4095 * 7);
    EXPECT_EQ(card.download_stats().blocks, 4u);

    command(0x0000);
    EXPECT_EQ(card.downloaded().size(), 3u) << "initialize keeps them";
    card.reset();
    EXPECT_TRUE(card.downloaded().empty());
    EXPECT_EQ(card.download_stats().blocks, 0u);
}

struct Prelude {
    const char *what;
    std::vector<std::pair<uint16_t, uint16_t>> commands; // word, p2 (bytes)
};

TEST_F(AuxBus, CommitWithoutAValidAnnouncementSucceedsStoresNothingAndIsCounted) {
    const Prelude cases[] = {
        {"nothing before it", {}},
        {"a commit used the announcement", {{0x0222, 2}, {0x0322, 0}}},
        {"announced nothing", {{0x0222, 0}}},
        {"announced an odd length", {{0x0222, 7}}},
        {"announced more than the buffer", {{0x0222, 8194}}},
        {"download end", {{0x0222, 2}, {0x0022, 0}}},
        {"initialize", {{0x0222, 2}, {0x0000, 0}}},
    };
    open();
    uint64_t empty = 0;
    for (const Prelude &c : cases) {
        SCOPED_TRACE(c.what);
        for (auto [word, bytes] : c.commands)
            command(word, 0x0000, 0x0001, bytes);
        card.clear_device_errors(); // the used-up announcement had no data
        EXPECT_EQ(command(0x0322), result::Ok);
        EXPECT_EQ(card.download_stats().empty_commits, ++empty);
    }
    card.fail_command(0x0222, 0x0C, 1);
    EXPECT_EQ(announce(0x1000, 2), 0x0C);
    EXPECT_EQ(command(0x0322), result::Ok);
    EXPECT_EQ(card.download_stats().empty_commits, ++empty) << "a failed announcement";
    EXPECT_EQ(command(0x0122), result::BadParameter) << "no such download mode";
    EXPECT_EQ(card.downloaded().size(), 1u) << "only the block of the second case";
}

TEST_F(AuxBus, CommitOfOtherThanTheAnnouncedWordsIsADeviceError) {
    open();
    ASSERT_EQ(announce(0x1000, 4), result::Ok);
    write(kBufferPage, 0, {0x0A0A});
    EXPECT_EQ(command(0x0322), result::Ok);
    EXPECT_EQ(card.device_error_count(), 1u);
    EXPECT_EQ(card.downloaded().at(0x1000).size(), 4u) << "the announced length is stored";
}

TEST_F(AuxBus, DownloadBufferFollowsItsRecord) {
    card.records().set(rid::DownloadBuffer, {0x0200, 0x0010, 0x0008});
    open();
    ASSERT_EQ(announce(0x1000, 10), result::BadParameter) << "the buffer has 8 bytes now";
    ASSERT_EQ(announce(0x1000, 8), result::Ok);
    write(0x0200, 0x10, {1, 2, 3, 4}); // address 0x10010
    EXPECT_EQ(command(0x0322), result::Ok);
    EXPECT_EQ(card.downloaded().at(0x1000), (Bytes{1, 0, 2, 0, 3, 0, 4, 0}));
    EXPECT_EQ(card.device_error_count(), 0u);
    write(0x0200, 0x18, {5});
    EXPECT_EQ(card.device_error_count(), 1u) << "just past the buffer";
}

} // namespace
