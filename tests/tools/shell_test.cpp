// The configuration shell driven from a script, as a test or a person's
// script drives `talsim shell`: each command goes to the driver through the
// wrapper's requests, and what it did shows in the card model's state. Bad
// commands stop the script with status 2, failed requests with status 1.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "card/cardregs.h"
#include "fwimage.h"
#include "registry.h"
#include "shell.h"
#include "support/srecords.h"
#include "utility.h"

using namespace talsim;

namespace {

const std::array<uint8_t, 6> kStation{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01};
const wire::MacAddr kTalNet{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        talhost::ParseError error;
        auto config = talhost::load_reg_file(TAL_EXAMPLES_DIR "/adapter.reg", error);
        ASSERT_TRUE(config) << error.message();
        ASSERT_EQ(session.load_driver(), 0);
        ASSERT_EQ(session.start(*config), NDIS_STATUS_SUCCESS);
        ASSERT_TRUE(Utility(session).follow_link(3000 * kMs, true)) << "the card joins TalNet";
    }
    void TearDown() override { EXPECT_EQ(session.halt(), "") << "the verifier's findings"; }

    int script(const std::string &text) {
        out.str("");
        err.str("");
        std::istringstream in(text);
        return shell.run_script(in, "test");
    }
    std::vector<uint16_t> record(uint16_t rid) { return *session.card().records().data(rid); }
    bool joined() { return session.world()->ap(kTalNet)->associated(kStation); }

    Session session{default_world()};
    std::ostringstream out, err;
    Shell shell{session, out, err};
};

TEST_F(ShellTest, SurveyListsEveryNetworkTheCardHeardAndRejoinsItsOwn) {
    ASSERT_EQ(script("survey\n"), kExitOk) << err.str();
    const std::vector<ScanEntry> &heard = session.card().scan_results();
    ASSERT_EQ(heard.size(), 3u);
    for (const ScanEntry &n : heard) {
        SCOPED_TRACE(n.ssid);
        char row[128];
        std::snprintf(row, sizeof row, "%s  %7u  %6u  %5u  %-8s  \"%s\"\n",
                      mac_text(n.bssid.data()).c_str(), n.channel, n.signal, n.noise,
                      (n.capability & 0x10) ? "WEP" : "open", n.ssid.c_str());
        EXPECT_NE(out.str().find(row), std::string::npos) << out.str();
    }
    Bytes ssid = words_to_bytes(record(rid::DesiredSsid));
    EXPECT_EQ(Bytes(ssid.begin(), ssid.begin() + 8), (Bytes{6, 0, 'T', 'a', 'l', 'N', 'e', 't'}))
        << "the survey's end gives the card its own network back";
    EXPECT_TRUE(joined());
}

struct Setting {
    const char *command;
    uint16_t rid;
    Bytes before, after; // the record's first bytes
};

TEST_F(ShellTest, SettingsReachTheCardAtTheReset) {
    const Setting cases[] = {
        {"set OID_PRIV_CHANNEL 3  # where an ad hoc cell would start",
         rid::OwnChannel,
         {6, 0},
         {3, 0}},
        {"set channel 0x0B", rid::OwnChannel, {6, 0}, {11, 0}},
        {"set OID_PRIV_DESIRED_ESSID \"Tal Net\"",
         rid::DesiredSsid,
         {6, 0, 'T', 'a', 'l', 'N', 'e', 't'},
         {7, 0, 'T', 'a', 'l', ' ', 'N', 'e', 't'}},
        {"set OID_PRIV_WEP_KEY1 0a0B0c0D0e",
         rid::WepDefaultKey1,
         {0xA1, 0xB2, 0xC3, 0xD4, 0xE5},
         {0x0A, 0x0B, 0x0C, 0x0D, 0x0E}},
        {"set OID_PRIV_RTS_THRESHOLD 500", rid::RtsThreshold, {0xB8, 0x0B}, {0xF4, 0x01}},
    };
    for (const Setting &c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(script(std::string(c.command) + "\n"), kExitOk) << err.str();
        Bytes now = words_to_bytes(record(c.rid));
        EXPECT_EQ(Bytes(now.begin(), now.begin() + (long)c.before.size()), c.before)
            << "the card runs with the old value until the reset";
        ASSERT_EQ(script("reset\n"), kExitOk) << err.str();
        now = words_to_bytes(record(c.rid));
        EXPECT_EQ(Bytes(now.begin(), now.begin() + (long)c.after.size()), c.after);
        // Back to the example's value for the next case.
        script("set OID_PRIV_CHANNEL 6\nset OID_PRIV_DESIRED_ESSID TalNet\n"
               "set OID_PRIV_WEP_KEY1 A1B2C3D4E5\nset OID_PRIV_RTS_THRESHOLD 3000\nreset\n");
    }
    EXPECT_TRUE(joined());
}

TEST_F(ShellTest, MonitorModeSwitchesTheCardAndItsEndBringsTheLinkBack) {
    ASSERT_EQ(script("monitor on\n"), kExitOk) << err.str();
    EXPECT_TRUE(session.card().monitor_mode());
    ASSERT_EQ(script("monitor off\n"), kExitOk) << err.str();
    EXPECT_FALSE(session.card().monitor_mode());
    EXPECT_NE(out.str().find("media connect"), std::string::npos) << out.str();
    EXPECT_TRUE(joined());
}

TEST_F(ShellTest, RegisterDumpShowsTheControllersRegistersHighByteFirst) {
    for (uint16_t index = 0; index < 128; index += 2)
        session.card().set_controller_register(index, (uint16_t)(0xA000 | index));
    session.card().set_controller_register(1, 0xFFFF); // odd indexes are not dumped
    ASSERT_EQ(script("regdump\n"), kExitOk) << err.str();
    EXPECT_EQ(out.str(), "index  +0   +2   +4   +6   +8   +10  +12  +14\n"
                         "    0  A000 A002 A004 A006 A008 A00A A00C A00E\n"
                         "   16  A010 A012 A014 A016 A018 A01A A01C A01E\n"
                         "   32  A020 A022 A024 A026 A028 A02A A02C A02E\n"
                         "   48  A030 A032 A034 A036 A038 A03A A03C A03E\n"
                         "   64  A040 A042 A044 A046 A048 A04A A04C A04E\n"
                         "   80  A050 A052 A054 A056 A058 A05A A05C A05E\n"
                         "   96  A060 A062 A064 A066 A068 A06A A06C A06E\n"
                         "  112  A070 A072 A074 A076 A078 A07A A07C A07E\n");
}

TEST_F(ShellTest, DownloadPutsEveryBlockOfTheImageIntoTheCardAndResetBringsItBack) {
    std::mt19937 rng(7);
    Bytes big(10000), small(64);
    for (uint8_t &b : big)
        b = (uint8_t)rng();
    for (uint8_t &b : small)
        b = (uint8_t)rng();
    const std::string path = testing::TempDir() + "shell_fw.srec";
    std::ofstream(path) << taltest::s3_records(0x00100000, small)
                        << taltest::s3_records(0x00010000, big) << taltest::srecord('7', 4, 0, {});
    ASSERT_EQ(script("download " + path + "\n"), kExitOk) << err.str();
    EXPECT_EQ(join_pieces(session.card().downloaded()),
              (std::vector<FirmwareBlock>{{0x00010000, big}, {0x00100000, small}}))
        << "a block of 5000 words goes in two pieces";
    EXPECT_EQ(out.str(),
              "download: 2 blocks, 10064 bytes in the card; reset puts it back in service\n");
    EXPECT_FALSE(session.card().port_enabled()) << "the card is initialized, not configured";

    ASSERT_EQ(script("reset\n"), kExitOk) << err.str();
    EXPECT_TRUE(session.card().port_enabled());
    EXPECT_TRUE(joined());

    // A block the card refuses: the driver answers every step with success,
    // its error flag says otherwise.
    session.card().fail_command(0x0222, result::BadParameter, 1);
    EXPECT_EQ(script("download " + path + "\n"), kExitFailed);
    EXPECT_NE(err.str().find("error: the card refused the block at 0x00010000 (8192 bytes)"),
              std::string::npos)
        << err.str();
    script("reset\n");
}

struct Decoded {
    const char *command;
    std::string line;
};

TEST_F(ShellTest, AnswersAreShownDecoded) {
    const std::vector<uint16_t> &pda = session.card().records().pda();
    // Two lines of eight words, each after its word offset.
    std::string pda_line;
    char word[16];
    for (size_t w = 0; w < 16; w++) {
        if (w % 8 == 0) {
            std::snprintf(word, sizeof word, "%s%04zX:", w ? "\n" : "", w);
            pda_line += word;
        }
        std::snprintf(word, sizeof word, " %04X", pda[w]);
        pda_line += word;
    }
    pda_line += "\n";
    const Decoded cases[] = {
        {"pda", pda_line},
        {"query OID_802_3_CURRENT_ADDRESS", "02:00:54:41:4c:01\n"},
        {"query current_bssid", "00:0b:0e:aa:00:01\n"},
        {"query OID_PRIV_CURRENT_ESSID", "\"TalNet\"\n"},
        {"query oid_priv_station_name", "\"tal-station\"\n"},
        {"query OID_GEN_LINK_SPEED", "110000 (11 Mbit/s)\n"},
        {"query OID_GEN_DRIVER_VERSION", "3.0\n"},
        {"query OID_GEN_MEDIA_CONNECT_STATUS", "0 (connected)\n"},
        {"query OID_PRIV_LINK_STATUS", "1 (connected)\n"},
        {"query 0xFFFFFFFC", "6\n"},
        {"query OID_PRIV_WEP_KEY2", "DE AD BE EF 00 00\n"},
        {"apinfo",
         "model \"TAL-AP 100\", version \"1.4.2\"\ndescription \"Tal access point\"\n"
         "NAT 1, DHCP 1, connections 2, internet type 3, address by DHCP 1, connectivity 1\n"},
    };
    for (const Decoded &c : cases) {
        SCOPED_TRACE(c.command);
        ASSERT_EQ(script(std::string(c.command) + "\n"), kExitOk) << err.str();
        EXPECT_EQ(out.str().substr(0, c.line.size()), c.line);
    }
}

struct Refused {
    const char *line;
    int status;
    const char *message;
};

TEST_F(ShellTest, ABadCommandOrAFailedRequestStopsTheScriptWithItsStatus) {
    const Refused cases[] = {
        {"frobnicate", kExitUsage, "unknown command 'frobnicate'"},
        {"query", kExitUsage, "usage: query NAME|CODE"},
        {"query OID_PRIV_NOTHING", kExitUsage, "unknown OID 'OID_PRIV_NOTHING'"},
        {"query driver_version", kExitUsage, "'driver_version' names more than one OID"},
        {"query OID_PRIV_RESET_CARD", kExitUsage, "OID_PRIV_RESET_CARD cannot be queried"},
        {"set OID_GEN_LINK_SPEED 1", kExitUsage, "OID_GEN_LINK_SPEED cannot be set"},
        {"set OID_PRIV_CHANNEL 15", kExitUsage, "takes a number from 1 to 14, not '15'"},
        {"set OID_PRIV_CHANNEL 0", kExitUsage, "takes a number from 1 to 14, not '0'"},
        {"set OID_PRIV_CHANNEL six", kExitUsage, "takes a number from 1 to 14, not 'six'"},
        {"set OID_PRIV_WEP_KEY1 01020304", kExitUsage, "takes a key of 10 hexadecimal digits"},
        {"set OID_PRIV_WEP_KEY0 010203040g", kExitUsage,
         "takes a key of 10 or 26 hexadecimal digits"},
        {"set OID_802_3_MULTICAST_LIST 01:00:5e:00:00", kExitUsage, "takes addresses like"},
        {"set OID_PRIV_DESIRED_ESSID \"unclosed", kExitUsage, "a quote is not closed"},
        {"set OID_PRIV_RESET_CARD now", kExitUsage, "OID_PRIV_RESET_CARD takes no value"},
        {"set desired_essid", kExitUsage, "OID_PRIV_DESIRED_ESSID takes one text value"},
        {"set desired_essid Tal Net", kExitUsage, "OID_PRIV_DESIRED_ESSID takes one text value"},
        {"monitor maybe", kExitUsage, "monitor takes on or off, not 'maybe'"},
        {"run 2 fortnights", kExitUsage, "usage: run DURATION"},
        {"run 2h", kExitUsage, "run takes a duration up to 1 hour"},
        {"run 3601s", kExitUsage, "run takes a duration up to 1 hour"},
        {"send 0", kExitUsage, "send takes a count from 1 to 10000, not '0'"},
        {"ping 192.0.2.1 1001", kExitUsage, "not '1001'"},
        {"ping 192.0.2", kExitUsage, "ping takes an IPv4 address"},
        {"download /nonexistent/fw.srec", kExitUsage,
         "/nonexistent/fw.srec: No such file or directory"},
        {"query \x1b[2Jx", kExitUsage, "unknown OID '\\x1B[2Jx'"},
        {"query 0xFFFFFFFA", kExitFailed,
         "query 0xFFFFFFFA: the driver answers NDIS_STATUS_INVALID_OID (0xC0010017)"},
        {"ping 198.51.100.1", kExitFailed, "no ARP answer from 198.51.100.1"},
    };
    for (const Refused &c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(script(std::string(c.line) + "\nquery channel\n"), c.status);
        EXPECT_NE(err.str().find(c.message), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("test:1: the shell stops at this line"), std::string::npos);
        EXPECT_EQ(out.str().find("6\n"), std::string::npos) << "the next line did not run";
    }
    // The card fails the register reads: the driver answers failure.
    session.card().fail_command(0x0030, result::CardFailure);
    EXPECT_EQ(script("query channel\nregdump\n"), kExitFailed);
    EXPECT_NE(err.str().find("query OID_PRIV_REGISTER_DUMP: the driver answers NDIS_STATUS_FAILURE "
                             "(0xC0000001)"),
              std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("test:2:"), std::string::npos);
    session.card().clear_faults();
}

TEST_F(ShellTest, MulticastListReachesTheCardWithTheFilterThatAsksForIt) {
    ASSERT_EQ(script("set OID_802_3_MULTICAST_LIST 01:00:5e:00:00:01,01-00-5E-7F-FF-FA\n"
                     "set OID_GEN_CURRENT_PACKET_FILTER 0x0B\n"),
              kExitOk)
        << err.str();
    EXPECT_EQ(words_to_bytes(record(rid::MulticastList)),
              (Bytes{0x01, 0x00, 0x5E, 0x00, 0x00, 0x01, 0x01, 0x00, 0x5E, 0x7F, 0xFF, 0xFA}));
}

TEST_F(ShellTest, TrafficAndCountersAreTheCardsAndTheDriversOwn) {
    session.run_for(20 * kMs); // the vendor request the link brought is out
    const uint64_t sent = session.card().tx_stats().sent;
    ASSERT_EQ(script("send 4\n"), kExitOk) << err.str();
    EXPECT_EQ(session.card().tx_stats().sent - sent, 4u);
    EXPECT_NE(out.str().find("4 sent, 4 completed with success, 0 with failure\n"),
              std::string::npos);
    ASSERT_EQ(script("ping 192.0.2.1 2\n"), kExitOk) << err.str();
    EXPECT_EQ(session.world()->ap(kTalNet)->wired_host()->stats().echo_replies, 2u);
    EXPECT_NE(out.str().find("2 echo requests, 2 replies\n"), std::string::npos) << out.str();

    ASSERT_EQ(script("stats\n"), kExitOk) << err.str();
    auto shown = [&](const std::string &name) {
        size_t at = out.str().find(name + " ");
        return at == std::string::npos ? -1L : std::stol(out.str().substr(at + name.size()));
    };
    const Tallies &t = session.card().tallies();
    EXPECT_EQ(shown("tx unicast frames"), t.tx_unicast_frames);
    EXPECT_EQ(shown("tx multicast frames"), t.tx_multicast_frames);
    EXPECT_EQ(shown("rx unicast octets"), t.rx_unicast_octets);
    EXPECT_EQ(shown("tx deferred"), t.tx_deferred);
    auto counter = [&](NDIS_OID oid) { return (long)le32_at(session.query(oid, 4).answer(), 0); };
    EXPECT_EQ(shown("packets sent"), counter(OID_GEN_XMIT_OK));
    EXPECT_EQ(shown("packets received"), counter(OID_GEN_RCV_OK));
    EXPECT_GT(shown("bytes received"), shown("packets received") * 60);
}

TEST_F(ShellTest, RunLetsTheTimeItIsGivenPass) {
    const std::pair<const char *, uint64_t> cases[] = {
        {"run 250ms", 250000}, {"run 2s", 2000000}, {"run 100us", 100}, {"run 7", 7000}};
    for (const auto &[line, us] : cases) {
        SCOPED_TRACE(line);
        uint64_t from = session.now();
        ASSERT_EQ(script(std::string(line) + "\n"), kExitOk) << err.str();
        EXPECT_EQ(session.now() - from, us);
    }
}

TEST(ShellCompletion, CompletesCommandsOidNamesAndArguments) {
    EXPECT_EQ(Shell::completions("", "re"), (std::vector<std::string>{"reset", "regdump"}));
    EXPECT_EQ(Shell::completions("query ", "oid_priv_current_c"),
              (std::vector<std::string>{"OID_PRIV_CURRENT_CHANNEL"}));
    EXPECT_EQ(Shell::completions("set ", "OID_PRIV_SNIFFER"),
              (std::vector<std::string>{"OID_PRIV_SNIFFER_ON", "OID_PRIV_SNIFFER_OFF"}));
    EXPECT_EQ(Shell::completions("query ", "OID_PRIV_SNIFFER"), std::vector<std::string>{})
        << "set-only codes are not offered to query";
    EXPECT_EQ(Shell::completions("monitor ", ""), (std::vector<std::string>{"on", "off"}));
    EXPECT_EQ(Shell::completions("ping ", "1"), std::vector<std::string>{});
}

} // namespace
