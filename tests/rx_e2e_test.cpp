// End to end through the air: what one adapter's transmit path sends, its
// card puts on the medium, the other card receives and the other adapter's
// receive path hands up - the same Ethernet frames, in order.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "air/vendor.h"
#include "mgmt/talmgmt.h"
#include "support/host_fixture.h"
#include "support/station.h"

using Bytes = std::vector<uint8_t>;

namespace {

const std::array<uint8_t, 6> kMacA = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x0A};
const std::array<uint8_t, 6> kMacB = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x0B};
const std::array<uint8_t, 6> kCell = {0x02, 0x54, 0x41, 0x4C, 0xCE, 0x11};
const char *kKeys = "0102030405A1B2C3D4E5DEADBEEF0011223344CC";

// How the sender seals and the receiver opens.
enum class Wep { Off, Host, Firmware };

struct Side {
    Wep wep = Wep::Off;
    ULONG frag_threshold = 2346;
};

talhost::AdapterConfig config(const Side &s, ULONG poll) {
    talhost::AdapterConfig c;
    c.set_dword("NetworkMode", 0); // ad hoc: two stations need no access point
    c.set_dword("PollInDriver", poll);
    c.set_dword("FragThresh", s.frag_threshold);
    if (s.wep != Wep::Off) {
        c.set_dword("WepReq", 3);
        c.set_string("DefaultKeys", kKeys);
        // No "DefaultKeyId": the host seals with key 0, the firmware with
        // key 3; each names its key in the key-id byte.
        c.set_dword("EncryptInDriver", s.wep == Wep::Host ? 1 : 0);
        c.set_dword("DecryptInDriver", s.wep == Wep::Host ? 1 : 0);
    }
    return c;
}

class AirPair : public taltest::HostTest {
protected:
    // A fresh medium with two stations on it, A (ports 0x300) and B (0x340).
    struct Pair {
        explicit Pair(talhost::Host &host)
            : medium(host.world()), a(host, medium, 0x300, kMacA), b(host, medium, 0x340, kMacB) {}
        talsim::Medium medium;
        taltest::Station a, b;
    };

    // A sends in polling mode, so that each send serves the buffer its card
    // gave back; B only receives.
    void up(const Side &a, const Side &b) {
        ASSERT_EQ(taltest::register_tal_handlers(), NDIS_STATUS_SUCCESS);
        pair.reset();
        pair = std::make_unique<Pair>(host);
        ASSERT_EQ(pair->a.bring_up(config(a, 1)), NDIS_STATUS_SUCCESS);
        ASSERT_EQ(pair->b.bring_up(config(b, 2)), NDIS_STATUS_SUCCESS);
        pair->a.card.join(kCell);
        pair->b.card.join(kCell);
    }

    // Sends each frame from A and collects what B indicates.
    std::vector<Bytes> exchange(const std::vector<Bytes> &frames) {
        std::vector<Bytes> got;
        for (const Bytes &f : frames) {
            EXPECT_EQ(pair->a.send(f), NDIS_STATUS_PENDING);
            host.world().run_for(5000); // its air time, fragments included
            for (Bytes &r : pair->b.receive())
                got.push_back(std::move(r));
        }
        return got;
    }

    void TearDown() override {
        pair.reset(); // the stations give their port ranges back
        HostTest::TearDown();
    }

    std::unique_ptr<Pair> pair;
};

// Random Ethernet frames from A to B: EtherType frames of every size and
// 802.3 length frames with a correct length field.
std::vector<Bytes> random_frames(std::mt19937 &rng, size_t n) {
    static const uint16_t kTypes[] = {0x0800, 0x0806, 0x86DD, 0x8137, 0x80F3, 0x05DD, 0x88B5};
    std::vector<Bytes> out;
    for (size_t i = 0; i < n; i++) {
        size_t size = std::uniform_int_distribution<size_t>(14, 1514)(rng);
        bool length_frame = rng() % 5 == 0 && size > 14;
        uint16_t type = length_frame ? (uint16_t)(size - 14) : kTypes[rng() % 7];
        Bytes f(kMacB.begin(), kMacB.end());
        f.insert(f.end(), kMacA.begin(), kMacA.end());
        f.push_back((uint8_t)(type >> 8));
        f.push_back((uint8_t)type);
        while (f.size() < size)
            f.push_back((uint8_t)rng());
        out.push_back(std::move(f));
    }
    return out;
}

Bytes padded(Bytes f) {
    if (f.size() < 60)
        f.resize(60, 0);
    return f;
}

TEST_F(AirPair, ThousandRandomFramesArriveAsSentInEveryWepAndFragmentationMode) {
    struct Case {
        const char *name;
        Side a, b;
    } cases[] = {
        {"plain", {}, {}},
        {"host WEP both sides", {Wep::Host}, {Wep::Host}},
        {"firmware WEP both sides", {Wep::Firmware}, {Wep::Firmware}},
        {"host seals, firmware opens", {Wep::Host}, {Wep::Firmware}},
        {"firmware seals fragments, host opens and reassembles", {Wep::Firmware, 500}, {Wep::Host}},
        {"plain fragments, firmware reassembles", {Wep::Off, 400}, {}},
    };
    std::mt19937 rng(20261206);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        up(c.a, c.b);
        std::vector<Bytes> frames = random_frames(rng, 1000);
        std::vector<Bytes> got = exchange(frames);
        ASSERT_EQ(got.size(), frames.size());
        for (size_t i = 0; i < frames.size(); i++)
            ASSERT_EQ(got[i], padded(frames[i])) << "frame " << i;
        EXPECT_EQ(pair->b.adapter->PacketMonitor.RxPacketErrCounter, 0u);
        if (c.a.frag_threshold < 2346) {
            EXPECT_GT(pair->b.card.rx_stats().fragments, 1000u) << "frames went in fragments";
        }
    }
}

TEST_F(AirPair, VendorRequestIsAnsweredAndTheAnswerFillsTheVendorFields) {
    struct Case {
        const char *name;
        Wep wep;
        std::optional<Bytes> raw; // an answer other than the items
        std::string model;
        UCHAR flag;
    } cases[] = {
        {"plain", Wep::Off, std::nullopt, "TAL-AP 100", 1},
        {"host WEP", Wep::Host, std::nullopt, "TAL-AP 100", 1},
        {"model longer than its field", Wep::Off,
         Bytes{0,   1,   9,   0,   1,   60,  'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J',
               'K', 'L', 'M', 'N', 'O', 'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z',
               '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f',
               'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 0},
         "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234", 1},
        {"item length past the frame's end", Wep::Off, Bytes{0, 1, 9, 0, 1, 200, 'x', 'y'}, "xy",
         1},
        {"not version 0: ignored", Wep::Off, Bytes{5, 1, 9, 0, 1, 2, 'q', 0}, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        up({c.wep}, {});
        taltest::Station &sender = pair->a;
        talsim::VendorResponderConfig rc;
        rc.address = kCell; // the request goes to the BSSID
        rc.bssid = kCell;
        rc.channel = sender.card.radio_channel();
        if (c.wep != Wep::Off) {
            rc.keys[0] = {0x01, 0x02, 0x03, 0x04, 0x05};
            rc.tx_key = 0;
        }
        talsim::VendorResponder responder(pair->medium, rc);
        if (c.raw)
            responder.raw_payload = *c.raw;

        ASSERT_EQ(QuenlixOUIRequest(sender.adapter), 1);
        host.world().run_for(5000);
        EXPECT_TRUE(sender.receive().empty()) << "the answer is not indicated";
        EXPECT_EQ(responder.requests(), 1u);
        EXPECT_EQ(sender.adapter->APCard_Info_Flag, c.flag);
        EXPECT_EQ(std::string((const char *)sender.adapter->APCard_Info.Model), c.model);
        if (!c.raw) {
            EXPECT_EQ(std::string((const char *)sender.adapter->APCard_Info.Version), "1.4.2");
            EXPECT_EQ(sender.adapter->APCard_Info.Internet_Type, 3);
        }
    }
}

} // namespace
