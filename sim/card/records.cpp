#include "card/records.h"

#include "card/cardregs.h"

#include <algorithm>

namespace talsim {

namespace {

constexpr uint16_t kStringLen = 18;    // length word + 32 bytes, RID counted
constexpr uint16_t kAddressLen = 4;    // three words
constexpr uint16_t kMaxMulticast = 32; // addresses in the multicast list

using D = RecordDir;

// Every record the firmware knows. Lengths are RecordLen values.
constexpr RecordLayout kRecords[] = {
    {rid::PortType, "port type", D::ReadWrite, 2, 2, 1},
    {rid::OwnMacAddress, "own MAC address", D::ReadWrite, kAddressLen, kAddressLen, 1},
    {rid::DesiredSsid, "desired SSID", D::ReadWrite, kStringLen, kStringLen, 1},
    {rid::OwnChannel, "own channel", D::ReadWrite, 2, 2, 1},
    {rid::OwnSsid, "own SSID", D::ReadWrite, kStringLen, kStringLen, 1},
    {rid::ApDensity, "AP density", D::ReadWrite, 2, 2, 1},
    {rid::PmEnabled, "power management enabled", D::ReadWrite, 2, 2, 1},
    {rid::PmLevel, "power management level", D::ReadWrite, 2, 2, 1},
    {rid::StationName, "station name", D::ReadWrite, kStringLen, kStringLen, 1},
    {rid::WepDefaultKeyId, "WEP default key id", D::ReadWrite, 2, 2, 1},
    {rid::WepDefaultKey0, "WEP default key 0", D::WriteOnly, 4, 8, 4},
    {rid::WepDefaultKey1, "WEP default key 1", D::WriteOnly, 4, 4, 1},
    {rid::WepDefaultKey2, "WEP default key 2", D::WriteOnly, 4, 4, 1},
    {rid::WepDefaultKey3, "WEP default key 3", D::WriteOnly, 4, 4, 1},
    {rid::WepFlags, "WEP flags", D::ReadWrite, 2, 2, 1},
    {rid::AuthType, "authentication type", D::ReadWrite, 4, 4, 1},
    {rid::MulticastList, "multicast list", D::ReadWrite, 1, 1 + 3 * kMaxMulticast, 3},
    {rid::FragThreshold, "fragmentation threshold", D::ReadWrite, 2, 2, 1},
    {rid::RtsThreshold, "RTS threshold", D::ReadWrite, 2, 2, 1},
    {rid::TxRateControl, "transmit rate control", D::ReadWrite, 2, 2, 1},
    {rid::ShortPreamble, "short preamble", D::ReadWrite, 2, 2, 1},
    {rid::ConfigFCE0, "configuration word FCE0", D::ReadWrite, 2, 2, 1},
    {rid::DownloadBuffer, "download buffer", D::ReadOnly, 4, 4, 1},
    {rid::PriIdentity, "primary firmware identity", D::ReadOnly, 5, 5, 1},
    {rid::ChannelList, "channel list", D::ReadOnly, 2, 2, 1},
    {rid::RegDomains, "regulatory domains", D::ReadOnly, 5, 5, 1},
    {rid::StaIdentity, "station firmware identity", D::ReadOnly, 5, 5, 1},
    {rid::PortStatus, "port status", D::ReadOnly, 2, 2, 1},
    {rid::CurrentSsid, "current SSID", D::ReadOnly, kStringLen, kStringLen, 1},
    {rid::CurrentBssid, "current BSSID", D::ReadOnly, kAddressLen, kAddressLen, 1},
    {rid::CommsQuality, "communication quality", D::ReadOnly, 4, 4, 1},
    {rid::CurrentTxRate, "current transmit rate", D::ReadOnly, 2, 2, 1},
    {rid::WepAvailable, "WEP available", D::ReadOnly, 2, 2, 1},
    {rid::CurrentChannel, "current channel", D::ReadOnly, 2, 2, 1},
    {rid::CurrentPowerState, "current power state", D::ReadOnly, 2, 2, 1},
};

std::vector<uint16_t> zeros(uint16_t record_len) {
    return std::vector<uint16_t>(record_len - 1u, 0);
}

} // namespace

std::vector<uint16_t> bytes_to_words(std::span<const uint8_t> bytes) {
    std::vector<uint16_t> words((bytes.size() + 1) / 2, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        words[i / 2] |= (uint16_t)(bytes[i] << (i % 2 ? 8 : 0));
    return words;
}

std::vector<uint8_t> words_to_bytes(std::span<const uint16_t> words) {
    std::vector<uint8_t> bytes;
    bytes.reserve(words.size() * 2);
    for (uint16_t w : words) {
        bytes.push_back((uint8_t)(w & 0xFF));
        bytes.push_back((uint8_t)(w >> 8));
    }
    return bytes;
}

std::vector<uint16_t> build_pda(const FactoryData &factory) {
    std::vector<uint16_t> area;
    auto add = [&area](uint16_t code, std::vector<uint16_t> data) {
        area.push_back((uint16_t)(data.size() + 1));
        area.push_back(code);
        area.insert(area.end(), data.begin(), data.end());
    };
    add(pda::MacAddress, bytes_to_words(factory.mac));
    add(pda::ChannelList, {factory.channel_list});
    add(pda::End, {});
    area.resize(pda::Words, pda::Unprogrammed);
    return area;
}

std::optional<std::vector<uint16_t>> pda_record(std::span<const uint16_t> area, uint16_t code) {
    size_t i = 0;
    while (i + 1 < area.size()) {
        size_t len = area[i];
        if (len == 0 || i + 1 + len > area.size() || area[i + 1] == pda::End)
            return std::nullopt;
        if (area[i + 1] == code)
            return std::vector<uint16_t>(area.begin() + (long)i + 2,
                                         area.begin() + (long)(i + 1 + len));
        i += 1 + len;
    }
    return std::nullopt;
}

RecordStore::RecordStore(const FactoryData &factory) : factory_(factory), pda_(build_pda(factory)) {
    restore_defaults();
}

std::span<const RecordLayout> RecordStore::table() {
    return kRecords;
}

const RecordLayout *RecordStore::describe(uint16_t rid) {
    for (const RecordLayout &s : kRecords)
        if (s.rid == rid)
            return &s;
    return nullptr;
}

void RecordStore::restore_defaults() {
    data_.clear();
    for (const RecordLayout &s : kRecords)
        data_[s.rid] = zeros(s.min_len);
    const FactoryData &f = factory_;
    data_[rid::PortType] = {1};
    // The firmware takes its own address and channels from the production data.
    data_[rid::OwnMacAddress] = pda_record(pda_, pda::MacAddress).value_or(zeros(kAddressLen));
    data_[rid::OwnChannel] = {3};
    data_[rid::ApDensity] = {1};
    data_[rid::AuthType] = {1, 0, 0};
    data_[rid::FragThreshold] = {2346};
    data_[rid::RtsThreshold] = {2347};
    data_[rid::TxRateControl] = {0x000F};
    data_[rid::DownloadBuffer].assign(f.download_buffer.begin(), f.download_buffer.end());
    data_[rid::PriIdentity].assign(f.pri_identity.begin(), f.pri_identity.end());
    data_[rid::ChannelList] = pda_record(pda_, pda::ChannelList).value_or(zeros(2));
    data_[rid::RegDomains] = {1, f.reg_domain, 0, 0}; // count, then the domain bytes
    data_[rid::StaIdentity].assign(f.sta_identity.begin(), f.sta_identity.end());
    data_[rid::WepAvailable] = {f.wep_available};
    data_[rid::PortStatus] = {portstatus::Disabled};
}

uint16_t RecordStore::check_read(uint16_t rid) const {
    const RecordLayout *s = describe(rid);
    if (!s || s->dir == RecordDir::WriteOnly)
        return result::BadRecord;
    return result::Ok;
}

uint16_t RecordStore::host_write(uint16_t rid, std::span<const uint16_t> image) {
    const RecordLayout *s = describe(rid);
    if (!s || s->dir == RecordDir::ReadOnly || image.size() < 2 || image[1] != rid)
        return result::BadRecord;
    uint16_t len = image[0];
    if (!s->takes(len) || image.size() < (size_t)len + 1)
        return result::BadLength;
    data_[rid].assign(image.begin() + 2, image.begin() + len + 1);
    return result::Ok;
}

std::optional<std::vector<uint16_t>> RecordStore::image(uint16_t rid) const {
    auto it = data_.find(rid);
    if (it == data_.end())
        return std::nullopt;
    std::vector<uint16_t> img;
    img.reserve(it->second.size() + 2);
    img.push_back((uint16_t)(it->second.size() + 1));
    img.push_back(rid);
    img.insert(img.end(), it->second.begin(), it->second.end());
    return img;
}

const std::vector<uint16_t> *RecordStore::data(uint16_t rid) const {
    auto it = data_.find(rid);
    return it == data_.end() ? nullptr : &it->second;
}

bool RecordStore::set(uint16_t rid, std::vector<uint16_t> data) {
    const RecordLayout *s = describe(rid);
    if (!s || !s->takes((uint16_t)(data.size() + 1)))
        return false;
    data_[rid] = std::move(data);
    return true;
}

uint16_t RecordStore::word(uint16_t rid, size_t index) const {
    const std::vector<uint16_t> *d = data(rid);
    return d && index < d->size() ? (*d)[index] : 0;
}

void RecordStore::set_word(uint16_t rid, size_t index, uint16_t value) {
    auto it = data_.find(rid);
    if (it != data_.end() && index < it->second.size())
        it->second[index] = value;
}

} // namespace talsim
