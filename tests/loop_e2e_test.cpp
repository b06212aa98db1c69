// Two adapters that run by themselves, in interrupt mode and in polling
// mode, exchanging frames through their protocols' bindings: every packet
// completes once, and every frame reaches each binding whose filter takes
// it, once, in order, byte for byte.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "binding.h"
#include "mgmt/talmgmt.h"
#include "support/host_fixture.h"
#include "support/station.h"

using Bytes = std::vector<uint8_t>;
using talhost::MacAddress;

namespace {

const MacAddress kMacA = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x0A};
const MacAddress kMacB = {0x02, 0x00, 0x54, 0x41, 0x4C, 0x0B};
const MacAddress kCell = {0x02, 0x54, 0x41, 0x4C, 0xCE, 0x11};
const MacAddress kGroupIn = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x07};  // in both lists
const MacAddress kGroupOut = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x08}; // in none
const MacAddress kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

struct Node {
    Node(talhost::Host &host, talsim::Medium &medium, UINT base, const MacAddress &mac)
        : station(host, medium, base, mac), direct(host, station.handle),
          group(host, station.handle) {}
    taltest::Station station;
    talhost::TestBinding direct; // directed and broadcast
    talhost::TestBinding group;  // its multicast list only
};

class Exchange : public taltest::HostTest {
protected:
    void up(ULONG poll) {
        ASSERT_EQ(taltest::register_tal_handlers(), NDIS_STATUS_SUCCESS);
        a = std::make_unique<Node>(host, medium, 0x300, kMacA);
        b = std::make_unique<Node>(host, medium, 0x340, kMacB);
        for (Node *n : {a.get(), b.get()}) {
            talhost::AdapterConfig c;
            c.set_dword("NetworkMode", 0);
            c.set_dword("PollInDriver", poll);
            ASSERT_EQ(n->station.bring_up(c), NDIS_STATUS_SUCCESS);
            n->station.card.join(kCell);
            // What the packet filter set will do: the list reaches the card.
            TAL_ADAPTER *ad = n->station.adapter;
            std::copy(kGroupIn.begin(), kGroupIn.end(), ad->MulticastAddress[0]);
            ad->NumberOfAddress = 1;
            ASSERT_EQ(setMulticast(ad), 0);
            n->direct.set_packet_filter(NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST);
            n->group.set_packet_filter(NDIS_PACKET_TYPE_MULTICAST);
            n->group.set_multicast({kGroupIn});
        }
    }

    // Frames from `src` to `dst` and to groups: directed, broadcast, a
    // listed group and an unlisted one; sizes 14 to 1514.
    static std::vector<Bytes> traffic(std::mt19937 &rng, const MacAddress &src,
                                      const MacAddress &dst, size_t n) {
        std::vector<Bytes> out;
        for (size_t i = 0; i < n; i++) {
            unsigned kind = rng() % 10;
            const MacAddress &to = kind < 7    ? dst
                                   : kind == 7 ? kBroadcast
                                   : kind == 8 ? kGroupIn
                                               : kGroupOut;
            Bytes f(to.begin(), to.end());
            f.insert(f.end(), src.begin(), src.end());
            f.push_back(0x08);
            f.push_back(0x00);
            size_t size = std::uniform_int_distribution<size_t>(14, 1514)(rng);
            while (f.size() < size)
                f.push_back((uint8_t)rng());
            out.push_back(std::move(f));
        }
        return out;
    }

    static Bytes padded(Bytes f) {
        if (f.size() < 60)
            f.resize(60, 0);
        return f;
    }

    // What a binding with `group_only` takes of `sent`.
    static std::vector<Bytes> expected(const std::vector<Bytes> &sent, bool group_only) {
        std::vector<Bytes> out;
        for (const Bytes &f : sent) {
            bool listed = std::equal(kGroupIn.begin(), kGroupIn.end(), f.begin());
            bool unlisted = std::equal(kGroupOut.begin(), kGroupOut.end(), f.begin());
            // The direct binding takes frames to its station and broadcast.
            if (group_only ? listed : !listed && !unlisted)
                out.push_back(padded(f));
        }
        return out;
    }

    void exchange(size_t frames) {
        std::mt19937 rng(4242);
        std::vector<Bytes> from_a = traffic(rng, kMacA, kMacB, frames);
        std::vector<Bytes> from_b = traffic(rng, kMacB, kMacA, frames);
        const size_t burst = 8;
        for (size_t i = 0; i < frames; i += burst) {
            for (size_t k = i; k < std::min(frames, i + burst); k++) {
                a->direct.send(from_a[k]);
                b->direct.send(from_b[k]);
            }
            // Until both sides have every packet back.
            for (int t = 0;
                 t < 1000 && (a->direct.completions().size() < std::min(frames, i + burst) ||
                              b->direct.completions().size() < std::min(frames, i + burst));
                 t++)
                host.world().run_for(1000);
        }
        host.world().run_for(10000);

        for (Node *n : {a.get(), b.get()}) {
            ASSERT_EQ(n->direct.completions().size(), frames);
            for (const auto &c : n->direct.completions())
                ASSERT_EQ(c.status, NDIS_STATUS_SUCCESS);
        }
        EXPECT_EQ(b->direct.frames(), expected(from_a, false));
        EXPECT_EQ(b->group.frames(), expected(from_a, true));
        EXPECT_EQ(a->direct.frames(), expected(from_b, false));
        EXPECT_EQ(a->group.frames(), expected(from_b, true));
        EXPECT_EQ(a->station.adapter->EventLoopStops + b->station.adapter->EventLoopStops, 0u);
    }

    void TearDown() override {
        a.reset();
        b.reset();
        HostTest::TearDown();
    }

    talsim::Medium medium{host.world()};
    std::unique_ptr<Node> a, b;
};

TEST_F(Exchange, TenThousandFramesEachWayInInterruptMode) {
    up(0);
    exchange(10000);
    EXPECT_GT(host.interrupt_counts(a->station.handle).deferred, 0u);
}

TEST_F(Exchange, TenThousandFramesEachWayInPollingMode) {
    up(1);
    exchange(10000);
    EXPECT_EQ(host.interrupt_counts(a->station.handle).isr, 0u) << "no interrupt in polling mode";
}

} // namespace
