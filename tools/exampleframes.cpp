#include "exampleframes.h"

namespace talsim {

namespace {

const uint8_t kSelfIp[4] = {10, 0, 0, 2};
const uint8_t kPeerIp[4] = {10, 0, 0, 1};

void put(std::vector<uint8_t> &f, std::initializer_list<uint8_t> b) {
    f.insert(f.end(), b);
}
void put(std::vector<uint8_t> &f, const uint8_t *p, size_t n) {
    f.insert(f.end(), p, p + n);
}
void put16(std::vector<uint8_t> &f, uint16_t v) {
    put(f, {(uint8_t)(v >> 8), (uint8_t)v});
}

std::vector<uint8_t> ethernet(const Mac &dst, const Mac &src, uint16_t type) {
    std::vector<uint8_t> f(dst.begin(), dst.end());
    put(f, src.data(), 6);
    put16(f, type);
    return f;
}

std::vector<uint8_t> icmp_echo(const Mac &self, const Mac &peer, uint16_t seq) {
    std::vector<uint8_t> f = ethernet(peer, self, 0x0800);
    size_t ip = f.size();
    put(f, {0x45, 0x00});
    put16(f, 84); // IP header + ICMP header + 56 data bytes
    put16(f, (uint16_t)(0x1000 + seq));
    put(f, {0x40, 0x00, 64, 1, 0, 0}); // don't fragment, TTL 64, ICMP, checksum later
    put(f, kSelfIp, 4);
    put(f, kPeerIp, 4);
    uint16_t c = inet_checksum(f.data() + ip, 20);
    f[ip + 10] = (uint8_t)(c >> 8);
    f[ip + 11] = (uint8_t)c;
    size_t icmp = f.size();
    put(f, {8, 0, 0, 0});
    put16(f, 0x7461); // identifier
    put16(f, seq);
    for (int i = 0; i < 56; i++)
        f.push_back((uint8_t)(0x10 + i));
    c = inet_checksum(f.data() + icmp, f.size() - icmp);
    f[icmp + 2] = (uint8_t)(c >> 8);
    f[icmp + 3] = (uint8_t)c;
    return f;
}

std::vector<uint8_t> arp_request(const Mac &self) {
    const Mac broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    std::vector<uint8_t> f = ethernet(broadcast, self, 0x0806);
    put(f, {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01});
    put(f, self.data(), 6);
    put(f, kSelfIp, 4);
    put(f, {0, 0, 0, 0, 0, 0});
    put(f, kPeerIp, 4);
    return f;
}

std::vector<uint8_t> ipx(const Mac &self, const Mac &peer, uint16_t seq) {
    std::vector<uint8_t> f = ethernet(peer, self, 0x8137);
    put(f, {0xFF, 0xFF}); // checksum: none
    put16(f, 30 + 4);     // IPX header and 4 data bytes
    put(f, {0x00, 0x04}); // transport control, packet type: SAP/PEP
    put(f, {0, 0, 0, 1});
    put(f, peer.data(), 6);
    put16(f, 0x0452);
    put(f, {0, 0, 0, 1});
    put(f, self.data(), 6);
    put16(f, 0x4000);
    put16(f, 0x0001);
    put16(f, seq);
    return f;
}

std::vector<uint8_t> stp_bpdu(const Mac &self) {
    const Mac bridges = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};
    std::vector<uint8_t> f(bridges.begin(), bridges.end());
    put(f, self.data(), 6);
    put16(f, 38); // LLC header and BPDU: a length, not a type
    put(f, {0x42, 0x42, 0x03});
    put(f, {0x00, 0x00, 0x00, 0x00, 0x00}); // protocol, version, configuration BPDU, flags
    put(f, {0x80, 0x00});
    put(f, self.data(), 6); // root
    put(f, {0, 0, 0, 0});   // root path cost
    put(f, {0x80, 0x00});
    put(f, self.data(), 6);                                   // bridge
    put(f, {0x80, 0x01});                                     // port
    put(f, {0x00, 0x00, 0x14, 0x00, 0x02, 0x00, 0x0F, 0x00}); // ages and times
    while (f.size() < 60)
        f.push_back(0);
    return f;
}

} // namespace

uint16_t inet_checksum(const uint8_t *p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += (uint32_t)(p[i] << 8 | p[i + 1]);
    if (n & 1)
        sum += (uint32_t)(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

std::vector<ExampleFrame> example_frames(const Mac &self, const Mac &peer, uint16_t seq) {
    std::vector<uint8_t> arp = arp_request(self);
    while (arp.size() < 60)
        arp.push_back(0);
    return {
        {"IPv4 ICMP echo request", icmp_echo(self, peer, seq)},
        {"ARP request", arp},
        {"IPX (802.1H bridge tunnel)", ipx(self, peer, seq)},
        {"802.3 length frame (spanning tree)", stp_bpdu(self)},
    };
}

} // namespace talsim
