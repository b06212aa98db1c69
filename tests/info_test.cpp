// Information frames through the event loop: link status and the media
// indications, the tallies and scan results the inquiries ask for, and the
// site survey's steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "datapath/interrupt.h"
#include "mac/talregs.h"
#include "mgmt/talmgmt.h"
#include "support/adapter_fixture.h"
#include "support/bytes.h"

using taltest::AdapterTest;
using taltest::Bytes;
using taltest::words_le;

namespace {

class InfoTest : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        ASSERT_EQ(bring_up(), NDIS_STATUS_SUCCESS);
        card.trace().enable();
    }

    // The loop as the wrapper runs it, after the card announced `frame`.
    void serve(const Bytes &frame) {
        ASSERT_TRUE(card.inject_info(frame));
        run();
    }
    void run() {
        host.world().run_for(200);
        NDIS_MINIPORT_BLOCK &b = host.block(handle).ndis;
        b.LockAcquired = TRUE;
        TalHandleInterrupt(adapter.get());
        b.LockAcquired = FALSE;
    }

    // The statuses indicated since the last call (completions left out).
    std::vector<NDIS_STATUS> indicated() {
        std::vector<NDIS_STATUS> out;
        auto &all = host.block(handle).statuses;
        for (size_t i = seen_; i < all.size(); i++)
            if (all[i].status != talhost::kStatusComplete)
                out.push_back(all[i].status);
        seen_ = all.size();
        return out;
    }

    long transmits() {
        std::vector<uint16_t> c = writes_to(TAL_REG_COMMAND);
        return std::count(c.begin(), c.end(), 0x010B);
    }

    size_t seen_ = 0;
};

// ---- Link status ----

TEST_F(InfoTest, LinkStatusChangesAreIndicatedOnceAndLinkUpAsksTheAccessPoint) {
    const NDIS_STATUS up = NDIS_STATUS_MEDIA_CONNECT, down = NDIS_STATUS_MEDIA_DISCONNECT;
    struct Case {
        const char *name;
        ULONG mode;
        LONG was_down;
        Bytes frame;
        std::vector<NDIS_STATUS> statuses;
        LONG now_down;
        USHORT link_status;
        int vendor_requests;
    } cases[] = {
        {"roamed while down", 1, 1, words_le({2, 0xF200, 3}), {up}, 0, 3, 1},
        {"back in range while down", 1, 1, words_le({2, 0xF200, 5}), {up}, 0, 5, 1},
        {"connected while up", 1, 0, words_le({2, 0xF200, 1}), {}, 0, 1, 0},
        {"disconnected while up", 1, 0, words_le({2, 0xF200, 2}), {down}, 1, 2, 0},
        {"out of range while up", 1, 0, words_le({2, 0xF200, 4}), {down}, 1, 4, 0},
        {"disconnected while down", 1, 1, words_le({2, 0xF200, 2}), {}, 1, 2, 0},
        {"ad hoc ignores it", 0, 0, words_le({2, 0xF200, 2}), {}, 0, 9, 0},
        {"too short for its code", 1, 0, words_le({1, 0xF200, 2}), {}, 0, 9, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        host.world().run_for(5000); // any frame in the card is back
        adapter->reclaimStatus = 1;
        adapter->NetworkMode = c.mode;
        adapter->LinkIsActive = c.was_down;
        adapter->LinkStatus = 9;
        adapter->APCard_Info_Flag = 1;
        indicated();
        card.trace().clear();
        serve(c.frame);
        EXPECT_EQ(indicated(), c.statuses);
        EXPECT_EQ(adapter->LinkIsActive, c.now_down);
        EXPECT_EQ(adapter->LinkStatus, c.link_status);
        EXPECT_EQ(transmits(), c.vendor_requests) << "the vendor request goes out on link up";
        EXPECT_EQ(adapter->APCard_Info_Flag, c.statuses == std::vector<NDIS_STATUS>{down} ? 0 : 1);
    }
}

// ---- Tallies and scan results ----

TEST_F(InfoTest, TalliesFrameIsReadByItsLengthAndClampedToTheBuffer) {
    struct Case {
        const char *name;
        uint16_t length;     // the frame's length word
        size_t counters_set; // counters read whole, the rest 0
        size_t words_read;   // after the first five
    } cases[] = {
        {"whole frame", 43, 21, 44},
        {"length 150 read as 100 words", 150, 21, 100},
        {"ends inside counter 4", 10, 4, 11},
        {"type word only", 1, 0, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes f = words_le({c.length, 0xF100});
        for (uint16_t w = 0; w < 200; w++)
            f.push_back((uint8_t)(w + 1)), f.push_back(0x80);
        std::memset(&adapter->tallies, 0xEE, sizeof adapter->tallies);
        card.trace().clear();
        serve(f);
        EXPECT_EQ(reads_of(TAL_REG_DATA0), 5 + c.words_read);
        const ULONG *got = (const ULONG *)&adapter->tallies;
        for (size_t k = 0; k < 21; k++) {
            ULONG want = k < c.counters_set
                             ? (ULONG)(0x8000 | (2 * k + 1)) | (ULONG)(0x8000 | (2 * k + 2)) << 16
                             : 0;
            EXPECT_EQ(got[k], want) << "counter " << k;
        }
    }
}

TEST_F(InfoTest, ScanResultsFrameIsKeptWholeUpToTheBuffer) {
    struct Case {
        uint16_t length;
        size_t bytes_read;
    } cases[] = {{10, 22}, {499, 1000}, {500, 982}, {0xFFFF, 982}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        Bytes f = words_le({c.length, 0xF101});
        for (size_t i = 4; i < 1200; i++)
            f.push_back((uint8_t)(i * 7));
        std::memset(adapter->scan_buffer, 0xEE, sizeof adapter->scan_buffer);
        serve(f);
        EXPECT_EQ(Bytes(adapter->scan_buffer, adapter->scan_buffer + c.bytes_read),
                  Bytes(f.begin(), f.begin() + (long)c.bytes_read));
        if (c.bytes_read < 1000) {
            EXPECT_EQ(adapter->scan_buffer[c.bytes_read], 0xEE) << "nothing past the frame";
        }
    }
}

TEST_F(InfoTest, InquiriesAskTheCardForTheFrameType) {
    start_measuring();
    ASSERT_EQ(CardUpdateTallies(adapter.get()), 0);
    ASSERT_EQ(CardUpdateScanResult(adapter.get()), 0);
    EXPECT_EQ(writes_to(TAL_REG_COMMAND), (std::vector<uint16_t>{0x0011, 0x0011}));
    EXPECT_EQ(writes_to(TAL_REG_PARAM0), (std::vector<uint16_t>{0xF100, 0xF101}));
    card.fail_command(0x0011, 0x0A, 1);
    EXPECT_EQ(CardUpdateTallies(adapter.get()), 0x0A);
}

// ---- Site survey ----

TEST_F(InfoTest, SiteSurveyRestoresTheConfiguredNameAndModeHoweverItsStepsCome) {
    struct Case {
        const char *name;
        std::vector<char> steps; // s(tart), c(ontinue), e(nd)
        int resets;
    } cases[] = {
        {"start, end", {'s', 'e'}, 1},
        {"start twice, end", {'s', 's', 'e'}, 1},
        {"continue without start, end", {'c', 'e'}, 3},
        {"start, continue twice, end", {'s', 'c', 'c', 'e'}, 5},
        {"end alone", {'e'}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::memcpy(adapter->Desired_ESSID, "TalNet", 6);
        adapter->Desired_ESSID_Length = 6;
        adapter->NetworkMode = 0;
        // What an earlier survey left behind must not come back.
        std::memcpy(adapter->old_Desired_ESSID, "OLD", 3);
        adapter->old_Desired_ESSID_Length = 3;
        adapter->old_NetworkMode = 5;
        card.trace().clear();
        card.trace().enable();
        for (char step : c.steps) {
            if (step == 's')
                siteSurvey_start(adapter.get());
            else if (step == 'c')
                siteSurvey_cont(adapter.get());
            else
                siteSurvey_end(adapter.get());
            if (step != 'e') {
                EXPECT_EQ(adapter->NetworkMode, 1u) << "surveying with an access point";
                EXPECT_EQ(
                    std::string((char *)adapter->Desired_ESSID, adapter->Desired_ESSID_Length),
                    "ANY");
            }
        }
        EXPECT_EQ(std::string((char *)adapter->Desired_ESSID, adapter->Desired_ESSID_Length),
                  "TalNet");
        EXPECT_EQ(adapter->NetworkMode, 0u);
        std::vector<uint16_t> commands = writes_to(TAL_REG_COMMAND);
        EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x0000), c.resets);
        host.world().run_for(10000);
    }
}

} // namespace
