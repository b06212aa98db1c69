// The card's station firmware in the radio world, read on the bus face as
// a host reads it: information frames (link status, scan results,
// tallies) in the information FID with the information event, and the
// live status records; the medium's delivery chain; the access points.
#include "air/radioworld.h"
#include "support/card_bus.h"
#include "wire/inet.h"
#include "wire/mgmt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace talsim;

namespace {

using Bytes = std::vector<uint8_t>;
using Mac = wire::MacAddr;
using Words = std::vector<uint16_t>;

const Mac kOwn{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01}; // the factory address
const Mac kTalNet{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x01};
const Mac kHarbour{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x02};
const Mac kLighthouse{0x00, 0x0B, 0x0E, 0xAA, 0x00, 0x03};
const Mac kHostMac{0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02};
const Bytes kKeys[4] = {{0x01, 0x02, 0x03, 0x04, 0x05},
                        {0xA1, 0xB2, 0xC3, 0xD4, 0xE5},
                        {0xDE, 0xAD, 0xBE, 0xEF, 0x00},
                        {0x11, 0x22, 0x33, 0x44, 0xCC}};
constexpr uint64_t kMs = 1000;

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Words ssid_record(const std::string &s) {
    Bytes b(s.begin(), s.end());
    b.resize(32, 0);
    Words w{(uint16_t)s.size()};
    for (uint16_t x : bytes_to_words(b))
        w.push_back(x);
    return w;
}

struct Station {
    std::string ssid = "TalNet";
    uint16_t auth = 2;        // record 0xFC2A: 1 open, 2 shared key
    uint16_t wep = 0x0091;    // privacy, the host seals and opens (as examples/adapter.reg)
    Bytes key0 = kKeys[0];
    uint16_t port_type = 1;
};

class WorldCard : public taltest::CardBusFixture {
protected:
    void build(const WorldConfig &config = default_world()) {
        air = std::make_unique<RadioWorld>(world, config);
        air->attach(card);
    }

    // The configuration a driver writes, then enable.
    void enable(const Station &s = {}) {
        card.records().set(rid::PortType, {s.port_type});
        card.records().set(rid::DesiredSsid, ssid_record(s.ssid));
        card.records().set(rid::AuthType, {s.auth, 0, 0});
        card.records().set(rid::WepFlags, {s.wep});
        card.records().set(rid::WepDefaultKeyId, {0});
        card.records().set(rid::WepDefaultKey0, bytes_to_words(s.key0 + Bytes{0}));
        for (uint16_t i = 1; i < 4; ++i)
            card.records().set((uint16_t)(rid::WepDefaultKey0 + i), bytes_to_words(kKeys[i] + Bytes{0}));
        ASSERT_EQ(command(0x0001), result::Ok);
    }

    // The next information frame (length word, type, data) within `us`, read
    // through path 0 and acknowledged; empty if none came.
    Words next_info(uint64_t us = 2000 * kMs) {
        for (uint64_t t = 0; t < us && !(rd(reg::EvStat) & ev::Info); t += 100)
            world.run_for(100);
        if (!(rd(reg::EvStat) & ev::Info))
            return {};
        uint16_t fid = rd(reg::InfoFid);
        point(0, fid);
        Words f{rd(reg::Data0)};
        for (uint16_t i = 0; i < f[0]; ++i)
            f.push_back(rd(reg::Data0));
        wr(reg::EvAck, ev::Info);
        return f;
    }

    // The codes of the link status frames that come within `us`.
    std::vector<uint16_t> link_codes(uint64_t us) {
        std::vector<uint16_t> codes;
        uint64_t end = world.now() + us;
        while (world.now() < end) {
            Words f = next_info(end - world.now());
            if (f.size() >= 3 && f[1] == info::LinkStatus)
                codes.push_back(f[2]);
        }
        return codes;
    }

    Mac current_bssid() {
        Bytes b = words_to_bytes(*card.records().data(rid::CurrentBssid));
        Mac m;
        std::copy_n(b.begin(), 6, m.begin());
        return m;
    }

    std::unique_ptr<RadioWorld> air;
};

TEST_F(WorldCard, JoinsTheAccessPointWithTheDesiredSsidAndSaysConnected) {
    build();
    enable();
    EXPECT_EQ(link_codes(1000 * kMs), (std::vector<uint16_t>{linkstatus::Connected}));
    EXPECT_EQ(current_bssid(), kTalNet);
    EXPECT_EQ(*card.records().data(rid::CurrentSsid), ssid_record("TalNet"));
    EXPECT_EQ(card.records().word(rid::CurrentChannel, 0), 6);
    EXPECT_EQ(card.records().word(rid::PortStatus, 0), portstatus::EssConnected);
    EXPECT_TRUE(air->ap(kTalNet)->associated(kOwn));
    EXPECT_EQ(card.device_error_count(), 0u);
}

} // namespace
