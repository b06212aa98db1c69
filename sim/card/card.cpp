#include "card/card.h"

#include "card/cardframe.h"
#include "card/cardwep.h"

#include "wire/ieee80211.h"

#include <algorithm>
#include <optional>

namespace talsim {

using A = CardModel::Access;

// The register window: one row per register the card answers to. Offsets
// missing here are not decoded: reads give 0xFFFF and a device error.
const CardModel::RegisterInfo CardModel::kRegisters[] = {
    {reg::Command, A::RW, 0x0000, "command", &CardModel::read_command, &CardModel::write_command},
    {reg::Param0, A::RW, 0x0000, "parameter 0", nullptr, nullptr},
    {reg::Param1, A::RW, 0x0000, "parameter 1", nullptr, nullptr},
    {reg::Param2, A::RW, 0x0000, "parameter 2", nullptr, nullptr},
    {reg::Status, A::R, 0x0000, "status", nullptr, nullptr},
    {reg::Resp0, A::R, 0x0000, "response 0", nullptr, nullptr},
    {reg::Resp1, A::R, 0x0000, "response 1", nullptr, nullptr},
    {reg::Resp2, A::R, 0x0000, "response 2", nullptr, nullptr},
    {reg::InfoFid, A::R, 0x0000, "information FID", nullptr, nullptr},
    {reg::Control, A::RW, 0x0000, "control", nullptr, &CardModel::write_control},
    {reg::Select0, A::RW, 0x0000, "select 0", nullptr, nullptr},
    {reg::Select1, A::RW, 0x0000, "select 1", nullptr, nullptr},
    {reg::Offset0, A::RW, 0x0000, "offset 0", &CardModel::read_offset, &CardModel::write_offset},
    {reg::Offset1, A::RW, 0x0000, "offset 1", &CardModel::read_offset, &CardModel::write_offset},
    {reg::RxFid, A::R, 0x0000, "receive FID", nullptr, nullptr},
    {reg::AllocFid, A::R, 0x0000, "allocate FID", nullptr, nullptr},
    {reg::TxComplFid, A::R, 0x0000, "transmit completion FID", nullptr, nullptr},
    {reg::EvStat, A::R, 0x0000, "event status", nullptr, nullptr},
    {reg::IntEn, A::RW, 0x0000, "interrupt enable", nullptr, &CardModel::write_int_enable},
    {reg::EvAck, A::W, 0x0000, "event acknowledge", nullptr, &CardModel::write_event_ack},
    {reg::Data0, A::RW, 0x0000, "data 0", &CardModel::read_data, &CardModel::write_data},
    {reg::Data1, A::RW, 0x0000, "data 1", &CardModel::read_data, &CardModel::write_data},
    {reg::AuxPage, A::RW, 0x0000, "auxiliary page", &CardModel::read_aux, &CardModel::write_aux},
    {reg::AuxOffset, A::RW, 0x0000, "auxiliary offset", &CardModel::read_aux,
     &CardModel::write_aux},
    {reg::AuxData, A::RW, 0x0000, "auxiliary data", &CardModel::read_aux, &CardModel::write_aux},
};

// The firmware's commands, keyed by the low byte of the command word; each
// handler checks the modifiers it accepts. Latencies are virtual microseconds.
const CardModel::CommandInfo CardModel::kCommands[] = {
    {cmd::Initialize, "initialize", 1000, &CardModel::cmd_initialize},
    {cmd::Enable, "enable", 200, &CardModel::cmd_enable},
    {cmd::Disable, "disable", 200, &CardModel::cmd_disable},
    {cmd::Allocate, "allocate", 40, &CardModel::cmd_allocate},
    {cmd::Access, "access", 25, &CardModel::cmd_access},
    {cmd::Transmit, "transmit", 30, &CardModel::cmd_transmit},
    {cmd::Test, "test", 100, &CardModel::cmd_test},
    {cmd::Inquire, "inquire", 25, &CardModel::cmd_inquire},
    {cmd::Download, "download", 150, &CardModel::cmd_download},
    {cmd::ReadRegister, "read register", 20, &CardModel::cmd_read_register},
    {cmd::WriteRegister, "write register", 20, &CardModel::cmd_write_register},
};

CardModel::RowIndex CardModel::build_rows() {
    RowIndex rows{};
    for (const RegisterInfo &r : kRegisters)
        rows[r.offset / 2] = &r;
    return rows;
}

const CardModel::RowIndex CardModel::kRows = CardModel::build_rows();

const CardModel::RegisterInfo *CardModel::register_info(uint16_t offset) {
    return offset < kPortCount && !(offset & 1) ? kRows[offset / 2] : nullptr;
}

const CardModel::CommandInfo *CardModel::command_info(uint8_t code) {
    for (const CommandInfo &c : kCommands)
        if (c.code == code)
            return &c;
    return nullptr;
}

CardModel::CardModel(talhost::World &world, const FactoryData &factory)
    : world_(world), records_(factory),
      // The backoff draws are seeded by the card's own address: reproducible, and apart per card.
      tx_(
          world, (uint64_t)factory.mac[3] << 16 | factory.mac[4] << 8 | factory.mac[5],
          [this](const TxJob *job, const AirFrame &f) { put_on_air(job, f); },
          [this] { return radio_channel(); }) {
    paths_[0] = Path{reg::Select0, reg::Offset0, reg::Data0, Busy::Path0};
    paths_[1] = Path{reg::Select1, reg::Offset1, reg::Data1, Busy::Path1};
    reset();
}

CardModel::~CardModel() {
    cancel_all(false);
}

// ---- Bus face ----

uint16_t CardModel::port_read16_general(uint32_t offset) {
    uint16_t value = read_register((uint16_t)offset, ReadMode::Access);
    trace(TraceKind::PortRead, (uint16_t)offset, value);
    return value;
}

// The one read path, for the bus and for peek(): the register table says
// what may be read, the row's handler what it shows.
uint16_t CardModel::read_register(uint16_t offset, ReadMode mode) {
    const RegisterInfo *ri = register_info(offset);
    if (removed_)
        return 0xFFFF;
    if (!ri || ri->access == A::W) {
        if (mode == ReadMode::Access)
            device_error(offset, false, 0,
                         ri ? "read of a write-only register" : "read of an unknown port");
        return 0xFFFF;
    }
    return ri->read ? (this->*ri->read)(offset, mode) : reg(offset);
}

void CardModel::port_write16_general(uint32_t offset, uint16_t value) {
    uint16_t off = (uint16_t)offset;
    trace(TraceKind::PortWrite, off, value);
    if (removed_)
        return;
    const RegisterInfo *ri = register_info(off);
    if (!ri || ri->access == A::R) {
        device_error(off, true, value,
                     ri ? "write of a read-only register" : "write of an unknown port");
        return;
    }
    if (ri->write)
        (this->*ri->write)(off, value);
    else
        set_reg(off, value);
}

// ---- State ----

void CardModel::reset() {
    cancel_all(false);
    regs_.fill(0);
    for (const RegisterInfo &r : kRegisters)
        set_reg(r.offset, r.reset);
    latched_params_.fill(0);
    running_ = false;
    port_enabled_ = false;
    for (Path &p : paths_) {
        p.busy = p.error = false;
        p.offset = p.target = 0;
        p.pos = 0;
        p.settle_token = 0;
        p.fast = nullptr;
        p.fast_limit = 0;
    }
    rec_buf_.fill(0);
    rec_rid_ = 0;
    rec_loaded_ = false;
    controller_regs_.fill(0);
    frames_.release_all();
    records_.restore_defaults();
    sta_ = Sta{}; // its work went with everything scheduled
    reset_tx_state();
    reset_rx_state();
    reset_aux_state();
    for (PeriodicEvent &e : periodic_)
        arm_periodic(e);
    update_irq();
}

void CardModel::raise_event(uint16_t bits) {
    if (removed_)
        return;
    bits &= (uint16_t)~suppressed_events_;
    if (!bits)
        return;
    set_reg(reg::EvStat, reg(reg::EvStat) | bits);
    trace(TraceKind::EventRaise, reg::EvStat, bits);
    update_irq();
}

// The one place the interrupt line is derived.
void CardModel::update_irq() {
    bool level = !removed_ && (reg(reg::EvStat) & reg(reg::IntEn)) != 0;
    if (level == irq_)
        return;
    irq_ = level;
    trace(TraceKind::IrqLine, reg::EvStat, level ? 1 : 0);
    if (irq_observer_)
        irq_observer_(level);
}

uint16_t CardModel::peek(uint16_t offset) const {
    // A peek acts on nothing, so the read path may serve a const card.
    return const_cast<CardModel *>(this)->read_register(offset, ReadMode::Peek);
}

void CardModel::poke(uint16_t offset, uint16_t value) {
    if (offset >= kPortCount || (offset & 1))
        return;
    set_reg(offset, value);
    update_irq();
}

uint32_t CardModel::command_latency(uint8_t code) const {
    auto it = latency_override_.find(code);
    if (it != latency_override_.end())
        return it->second;
    const CommandInfo *c = command_info(code);
    return c ? c->latency_us : timing_.unknown_command_us;
}

// Out of the accesses' way: a string built at the call would cost every
// access a stack frame.
void CardModel::device_error(uint16_t offset, bool write, uint16_t value, const char *what) {
    device_error(offset, write, value, std::string(what));
}

void CardModel::device_error(uint16_t offset, bool write, uint16_t value, std::string what) {
    ++device_error_count_;
    if (device_errors_.size() == kDeviceErrorsKept)
        device_errors_.erase(device_errors_.begin());
    device_errors_.push_back(DeviceError{world_.now(), offset, write, value, std::move(what)});
    trace(TraceKind::DeviceError, offset, value, write ? 1 : 0);
}

void CardModel::trace(TraceKind kind, uint16_t offset, uint16_t value, uint16_t aux) {
    if (trace_.active())
        trace_.add(TraceRecord{world_.now(), kind, offset, value, aux});
}

uint64_t CardModel::schedule(uint64_t delay, bool firmware, std::function<void()> fn) {
    uint64_t token = ++next_token_;
    auto id =
        world_.schedule_in(delay, talhost::EventKind::Device, [this, token, fn = std::move(fn)] {
            scheduled_.erase(token);
            fn();
        });
    scheduled_[token] = Scheduled{id, firmware};
    return token;
}

void CardModel::cancel(uint64_t token) {
    auto it = scheduled_.find(token);
    if (it == scheduled_.end())
        return;
    world_.cancel(it->second.id);
    scheduled_.erase(it);
}

void CardModel::cancel_all(bool firmware_only) {
    for (auto it = scheduled_.begin(); it != scheduled_.end();) {
        if (firmware_only && !it->second.firmware) {
            ++it;
            continue;
        }
        world_.cancel(it->second.id);
        it = scheduled_.erase(it);
    }
}

// ---- Faults ----

void CardModel::set_stuck_busy(Busy which, bool stuck) {
    stuck_[(int)which] = stuck;
}

void CardModel::fail_command(uint16_t word, uint16_t result, int times) {
    if (times == 0)
        command_faults_.erase(word);
    else
        command_faults_[word] = CommandFault{false, (uint16_t)(result & 0x7F), times};
}

void CardModel::hang_command(uint16_t word, int times) {
    if (times == 0)
        command_faults_.erase(word);
    else
        command_faults_[word] = CommandFault{true, 0, times};
}

void CardModel::make_record_unreadable(uint16_t rid, uint16_t result) {
    unreadable_records_[rid] = (uint16_t)(result & 0x7F);
}

void CardModel::set_removed(bool removed) {
    removed_ = removed;
    if (removed) {
        cancel_all(true);
        tx_.reset();
    }
    for (PeriodicEvent &e : periodic_)
        arm_periodic(e);
    update_irq();
}

// ---- Firmware behaviour ----

void CardModel::set_periodic_event(uint16_t bit, uint32_t period_us) {
    for (PeriodicEvent &e : periodic_) {
        if (e.bit != bit)
            continue;
        e.period_us = period_us;
        arm_periodic(e);
        return;
    }
    device_error(reg::EvStat, true, bit, "the firmware raises no such event on its own");
}

// (Re)starts an event the firmware raises on its own, one period from now;
// a removed card's firmware raises none.
void CardModel::arm_periodic(PeriodicEvent &e) {
    if (e.token)
        cancel(e.token);
    e.token = 0;
    if (!e.period_us || removed_)
        return;
    e.token = schedule(e.period_us, false, [this, &e] {
        e.token = 0;
        raise_event(e.bit);
        arm_periodic(e);
    });
}

void CardModel::clear_faults() {
    std::fill(std::begin(stuck_), std::end(stuck_), false);
    command_faults_.clear();
    suppressed_events_ = 0;
    stuck_events_ = 0;
    unreadable_records_.clear();
    set_removed(false);
    aux_stuck_ = false;
}

// ---- Event registers ----

void CardModel::write_int_enable(uint16_t offset, uint16_t value) {
    set_reg(offset, value);
    update_irq();
}

void CardModel::write_event_ack(uint16_t, uint16_t value) {
    set_reg(reg::EvStat, reg(reg::EvStat) & (uint16_t) ~(value & ~stuck_events_));
    // The host is done with the receive FID the event named.
    if ((value & ev::Rx) && rx_.current)
        release(rx_);
    if ((value & ev::Info) && info_.current)
        release(info_);
    update_irq();
}

// ---- Command engine ----

uint16_t CardModel::read_command(uint16_t offset, ReadMode) {
    return (uint16_t)(reg(offset) | (stuck_[(int)Busy::Command] ? kBusy : 0));
}

void CardModel::write_command(uint16_t offset, uint16_t word) {
    if (running_ || stuck_[(int)Busy::Command]) {
        bool busy = (reg(offset) & kBusy) || stuck_[(int)Busy::Command];
        device_error(offset, true, word,
                     busy ? "command written while the command register is busy"
                          : "command written before the previous command completed");
        return;
    }
    running_ = true;
    latched_params_ = {reg(reg::Param0), reg(reg::Param1), reg(reg::Param2)};
    set_reg(reg::Command, (uint16_t)(word | kBusy));
    trace(TraceKind::CommandStart, offset, word);

    const CommandInfo *info = command_info((uint8_t)(word & 0xFF));
    uint32_t latency = info ? command_latency(info->code) : timing_.unknown_command_us;
    bool has_fault = false, hang = false;
    uint16_t fault_result = 0;
    auto f = command_faults_.find(word);
    if (f != command_faults_.end()) {
        CommandFault fault = f->second;
        if (f->second.times > 0 && --f->second.times == 0)
            command_faults_.erase(f);
        hang = fault.hang;
        has_fault = true;
        fault_result = fault.result;
    }
    if (busy_clears_on_accept_) {
        // Some cards clear the busy bit once they have taken the command.
        schedule(timing_.command_accept_us, false, [this, word] {
            if (running_)
                set_reg(reg::Command, (uint16_t)(word & ~kBusy));
        });
    }
    if (hang)
        return; // running until reset()
    schedule(latency, false, [this, word, info, has_fault, fault_result] {
        finish_command(word, info, has_fault, fault_result);
    });
}

void CardModel::finish_command(uint16_t word, const CommandInfo *info, bool has_fault,
                               uint16_t fault_result) {
    uint16_t res;
    if (has_fault)
        res = fault_result;
    else if (!info)
        res = result::UnknownCommand;
    else
        res = (this->*info->run)(word);
    running_ = false;
    set_reg(reg::Command, (uint16_t)(word & ~kBusy));
    set_reg(reg::Status, (uint16_t)(((res & 0x7F) << 8) | (word & 0xFF)));
    trace(TraceKind::CommandDone, reg::Command, word, res);
    raise_event(ev::Cmd);
}

uint16_t CardModel::cmd_initialize(uint16_t word) {
    if (word & 0xFF00)
        return result::BadParameter;
    cancel_all(true);
    set_reg(reg::EvStat, 0);
    for (uint16_t r : {reg::Resp0, reg::Resp1, reg::Resp2, reg::InfoFid, reg::RxFid, reg::AllocFid,
                       reg::TxComplFid})
        set_reg(r, 0);
    frames_.release_all();
    records_.restore_defaults();
    rec_buf_.fill(0);
    rec_rid_ = 0;
    rec_loaded_ = false;
    port_enabled_ = false;
    sta_stop();
    reset_tx_state();
    reset_rx_state();
    announced_.reset();
    update_irq();
    return result::Ok;
}

uint16_t CardModel::cmd_read_register(uint16_t word) {
    uint16_t index = latched_params_[0];
    if ((word & 0xFF00) || index >= kControllerRegisters)
        return result::BadParameter;
    set_reg(reg::Resp0, controller_regs_[index]);
    return result::Ok;
}

uint16_t CardModel::cmd_write_register(uint16_t word) {
    uint16_t index = latched_params_[0];
    if ((word & 0xFF00) || index >= kControllerRegisters)
        return result::BadParameter;
    controller_regs_[index] = latched_params_[1];
    return result::Ok;
}

uint16_t CardModel::cmd_enable(uint16_t word) {
    if (word & 0xFF00)
        return result::BadParameter;
    port_enabled_ = true;
    records_.set_word(rid::PortStatus, 0, portstatus::Searching);
    records_.set_word(rid::CurrentChannel, 0, records_.word(rid::OwnChannel, 0));
    if (joined_)
        apply_join();
    else if (station_firmware_)
        sta_start();
    return result::Ok;
}

uint16_t CardModel::cmd_disable(uint16_t word) {
    if (word & 0xFF00)
        return result::BadParameter;
    port_enabled_ = false;
    sta_stop();
    records_.set_word(rid::PortStatus, 0, portstatus::Disabled);
    return result::Ok;
}

uint16_t CardModel::cmd_allocate(uint16_t word) {
    uint16_t bytes = latched_params_[0];
    if ((word & 0xFF00) || bytes == 0 || bytes > FrameMemory::kMaxBytes)
        return result::BadParameter;
    uint16_t fid = frames_.allocate(bytes);
    if (!fid)
        return result::NoBuffer;
    schedule(timing_.alloc_event_us, true, [this, fid] {
        set_reg(reg::AllocFid, fid);
        raise_event(ev::Alloc);
    });
    return result::Ok;
}

uint16_t CardModel::cmd_access(uint16_t word) {
    uint16_t rid = latched_params_[0];
    uint16_t mode = word & 0xFF00;
    if (mode == 0) {
        auto u = unreadable_records_.find(rid);
        if (u != unreadable_records_.end())
            return u->second;
        if (uint16_t r = records_.check_read(rid))
            return r;
        std::vector<uint16_t> img = *records_.image(rid);
        rec_buf_.fill(0);
        std::copy_n(img.begin(), std::min(img.size(), rec_buf_.size()), rec_buf_.begin());
        rec_rid_ = rid;
        rec_loaded_ = true;
        return result::Ok;
    }
    if (mode == cmd::AccessWriteModifier) {
        // The image is what the host wrote through a path selecting this record.
        if (rec_rid_ != rid)
            return result::BadRecord;
        return records_.host_write(rid, rec_buf_);
    }
    return result::BadParameter;
}

// ---- Transmit ----

namespace {

constexpr uint32_t kMacHeaderBytes = wire::MacHeaderView<const uint8_t>::kLen;
constexpr uint32_t kMinFragThreshold = 256;
constexpr uint32_t kMaxFragThreshold = 2346;
constexpr size_t kWepOverhead = 8; // IV header and ICV

// Rate in 500 kb/s units from the rate mask: the highest rate allowed.
uint8_t tx_rate(uint16_t mask) {
    if (mask & ratebit::Mbps11)
        return 22;
    if (mask & ratebit::Mbps5_5)
        return 11;
    if (mask & ratebit::Mbps2)
        return 4;
    return 2;
}

} // namespace

void CardModel::join(const std::array<uint8_t, 6> &bssid, uint8_t channel) {
    joined_ = true;
    join_bssid_ = bssid;
    join_channel_ = channel;
    if (port_enabled_)
        apply_join();
}

void CardModel::leave() {
    joined_ = false;
    if (port_enabled_) {
        records_.set(rid::CurrentBssid, {0, 0, 0});
        records_.set_word(rid::PortStatus, 0, portstatus::Searching);
    }
}

void CardModel::apply_join() {
    records_.set(rid::CurrentBssid, bytes_to_words(join_bssid_));
    records_.set(rid::CurrentSsid, *records_.data(rid::DesiredSsid));
    records_.set_word(rid::CurrentChannel, 0,
                      join_channel_ ? join_channel_ : records_.word(rid::OwnChannel, 0));
    bool infra = records_.word(rid::PortType, 0) == kPortTypeInfrastructure;
    records_.set_word(rid::PortStatus, 0,
                      infra ? portstatus::EssConnected : portstatus::IbssConnected);
}

void CardModel::reset_tx_state() {
    tx_queued_.clear();
    tx_.reset();
    sequence_ = 0;
    iv_counter_ = 0;
    iv_frames_left_ = 0;
}

uint16_t CardModel::cmd_transmit(uint16_t word) {
    uint16_t fid = latched_params_[0];
    if ((word & 0xFF00) & ~cmd::TransmitReclaim)
        return result::BadParameter;
    bool reclaim = (word & cmd::TransmitReclaim) != 0;
    const std::vector<uint8_t> *bufp = frames_.buffer(fid);
    if (!bufp || tx_queued_.count(fid))
        return result::BadParameter;
    tx_queued_.insert(fid);

    uint16_t length = 0;
    bool infra = records_.word(rid::PortType, 0) == kPortTypeInfrastructure;
    auto tx = CardFrameView<const uint8_t>::parse(*bufp);
    std::optional<TxRefusal> why;
    if (!tx) {
        why = TxRefusal::BeyondBuffer;
    } else {
        length = tx->data_len() ? tx->data_len() : tx->length();
        if (!port_enabled_)
            why = TxRefusal::PortDisabled;
        else if (infra && !associated())
            why = TxRefusal::NotJoined;
        else if (length > txf::MaxBody)
            why = TxRefusal::TooLong;
        else if (length > tx->body().size())
            why = TxRefusal::BeyondBuffer;
    }
    if (why) {
        refuse_tx(fid, reclaim, *why, length);
        return result::Ok;
    }

    std::span<const uint8_t> body = tx->body().first(length);
    wire::MacAddr bssid = address_record(rid::CurrentBssid);
    wire::MacAddr dst = tx->dest();

    // Header: frame control, duration, three addresses, sequence control.
    uint16_t wep = records_.word(rid::WepFlags, 0);
    bool privacy = wep & wepflag::Privacy;
    uint16_t flags = (uint16_t)((infra ? wire::fc::ToDs : 0) | (privacy ? wire::fc::Protected : 0));
    const wire::MacAddr &a1 = infra ? bssid : dst;
    const wire::MacAddr &a3 = infra ? dst : bssid;
    uint8_t rate = tx_rate(records_.word(rid::TxRateControl, 0));
    bool short_preamble = records_.word(rid::ShortPreamble, 0) != 0 && rate > 2;
    uint16_t duration = wire::is_group(a1) ? 0 : ack_duration(rate, short_preamble);

    std::vector<uint8_t> header =
        wire::MacHeader{wire::fc::TypeData, 0, flags, duration, a1, tx->src(), a3, sequence_, 0}
            .to_bytes();
    sequence_ = (uint16_t)((sequence_ + 1) & 0xFFF);

    bool host_sealed = privacy && (wep & wepflag::HostEncrypt);
    bool seal = privacy && !host_sealed;
    std::vector<std::vector<uint8_t>> pieces;
    if (host_sealed)
        pieces.emplace_back(body.begin(), body.end());
    else
        pieces = fragment_body(body, seal);
    bool tx_event = (tx->tx_control() & txf::TxControlTxOk) != 0;
    TxJob job;
    for (size_t i = 0; i < pieces.size(); ++i) {
        std::vector<uint8_t> frame = header;
        if (pieces.size() > 1) {
            auto v = *wire::MacHeaderView<uint8_t>::parse(frame);
            bool more = i + 1 < pieces.size();
            v.set_frame_control(
                (uint16_t)(v.frame_control() | (more ? wire::fc::MoreFragments : 0)));
            v.set_seq_ctrl((uint16_t)(v.seq_ctrl() | i));
        }
        if (seal) {
            std::vector<uint8_t> sealed = firmware_seal(pieces[i]);
            frame.insert(frame.end(), sealed.begin(), sealed.end());
        } else {
            frame.insert(frame.end(), pieces[i].begin(), pieces[i].end());
        }
        job.mpdus.push_back(std::move(frame));
    }
    job.rate = rate;
    job.short_preamble = short_preamble;
    job.directed = !wire::is_group(a1);
    job.tag = fid;
    job.done = [this, fid, reclaim, tx_event, group = wire::is_group(dst),
                octets = (uint32_t)body.size()](const TxOutcome &o) {
        count_tx(o);
        if (!o.delivered) {
            ++tallies_.tx_discards;
            set_reg(reg::TxComplFid, fid);
            tx_done(fid, reclaim, ev::TxExc);
            return;
        }
        (group ? tallies_.tx_multicast_frames : tallies_.tx_unicast_frames)++;
        (group ? tallies_.tx_multicast_octets : tallies_.tx_unicast_octets) += octets;
        ++tx_stats_.sent;
        if (tx_event)
            set_reg(reg::TxComplFid, fid);
        tx_done(fid, reclaim, tx_event ? ev::Tx : 0);
    };
    tx_.send(std::move(job));
    return result::Ok;
}

// The retry tallies of one frame the firmware is done with.
void CardModel::count_tx(const TxOutcome &o) {
    tallies_.tx_deferred += o.deferred;
    if (!o.delivered)
        ++tallies_.tx_retry_limit_exceeded;
    else if (o.retries == 1)
        ++tallies_.tx_single_retry_frames;
    else if (o.retries > 1)
        ++tallies_.tx_multiple_retry_frames;
}

// The body as the firmware cuts it for the air: whole, or in fragments
// the fragmentation threshold allows (8 bytes fewer when each is sealed).
std::vector<std::vector<uint8_t>> CardModel::fragment_body(std::span<const uint8_t> body,
                                                           bool seal) {
    uint32_t threshold = std::clamp<uint32_t>(records_.word(rid::FragThreshold, 0),
                                              kMinFragThreshold, kMaxFragThreshold);
    size_t room = threshold - kMacHeaderBytes - kFcsBytes - (seal ? kWepOverhead : 0);
    std::vector<std::vector<uint8_t>> pieces;
    if (body.size() <= room) {
        pieces.emplace_back(body.begin(), body.end());
        return pieces;
    }
    for (size_t at = 0; at < body.size(); at += room) {
        size_t n = std::min(room, body.size() - at);
        pieces.emplace_back(body.begin() + (long)at, body.begin() + (long)(at + n));
    }
    return pieces;
}

void CardModel::refuse_tx(uint16_t fid, bool reclaim, TxRefusal why, uint16_t length) {
    ++tx_stats_.refused;
    trace(TraceKind::TxRefused, fid, length, (uint16_t)why);
    schedule(timing_.tx_refuse_us, true, [this, fid, reclaim] {
        set_reg(reg::TxComplFid, fid);
        tx_done(fid, reclaim, ev::TxExc);
    });
}

// The firmware is done with a transmit buffer: it comes back with the
// allocate event (reclaim) or is freed, and `events` rise with it.
void CardModel::tx_done(uint16_t fid, bool reclaim, uint16_t events) {
    tx_queued_.erase(fid);
    if (reclaim) {
        set_reg(reg::AllocFid, fid);
        events |= ev::Alloc;
    } else {
        frames_.release(fid);
    }
    raise_event(events);
}

// Every frame the firmware puts on the air ends here: data frames (the FID
// they came from) are counted and traced; then the air sink takes it.
void CardModel::put_on_air(const TxJob *job, const AirFrame &frame) {
    if (job && job->tag) {
        ++tx_stats_.fragments;
        ++tallies_.tx_fragments;
        trace(TraceKind::FrameOnAir, job->tag, (uint16_t)frame.bytes.size(), frame.rate);
    }
    if (air_sink_)
        air_sink_->on_air(frame);
}

std::vector<uint8_t> CardModel::firmware_seal(std::span<const uint8_t> body) {
    uint16_t wep = records_.word(rid::WepFlags, 0);
    uint32_t reuse = (wep & wepflag::IvReuseMask) >> wepflag::IvReuseShift;
    if (iv_frames_left_ == 0) {
        iv_counter_ = (iv_counter_ + 1) & 0xFFFFFF;
        iv_frames_left_ = std::max<uint32_t>(reuse, 1);
    }
    --iv_frames_left_;

    // Two bits of key id: the one that picks the key is the one announced.
    uint8_t key_id = (uint8_t)(records_.word(rid::WepDefaultKeyId, 0) & 3);
    return card_wep_seal(iv_counter_, key_id, firmware_key(key_id), body);
}

// Default key `id` (0-3) as the firmware uses it: key 0's record length
// sets the size of every key (8 = 13 bytes, else 5).
std::vector<uint8_t> CardModel::firmware_key(uint8_t id) const {
    size_t key_len = records_.data(rid::WepDefaultKey0)->size() == 7 ? 13 : 5;
    std::vector<uint8_t> key =
        words_to_bytes(*records_.data((uint16_t)(rid::WepDefaultKey0 + (id & 3))));
    key.resize(key_len, 0);
    return key;
}

// ---- Auxiliary port ----

void CardModel::reset_aux_state() {
    aux_switch_token_ = 0; // reset() has cancelled it
    aux_address_ = 0;
    download_buffer_.clear();
    announced_.reset();
    download_writes_ = 0;
    downloaded_.clear();
    download_stats_ = {};
}

void CardModel::write_control(uint16_t offset, uint16_t value) {
    if (value != aux::EnableRequest && value != aux::DisableRequest) {
        device_error(offset, true, value, "control word that is no auxiliary port request");
        return;
    }
    if (reg(reg::Param0) != aux::Key0 || reg(reg::Param1) != aux::Key1 ||
        reg(reg::Param2) != aux::Key2) {
        device_error(offset, true, value, "auxiliary port request without the access code");
        return;
    }
    if (aux_stuck_)
        return;
    if (aux_switch_token_)
        cancel(aux_switch_token_);
    set_reg(reg::Control, value); // the request shows until it takes effect
    uint16_t state = value == aux::EnableRequest ? aux::Enabled : 0;
    aux_switch_token_ = schedule(timing_.aux_switch_us, false, [this, state] {
        aux_switch_token_ = 0;
        set_reg(reg::Control, state);
    });
}

uint32_t CardModel::download_base() const {
    return aux::address(records_.word(rid::DownloadBuffer, 0),
                        records_.word(rid::DownloadBuffer, 1));
}

uint32_t CardModel::download_bytes() const {
    return records_.word(rid::DownloadBuffer, 2);
}

// The download buffer's word at `address`, or null outside the buffer.
uint16_t *CardModel::download_word(uint32_t address) {
    uint32_t base = download_base();
    if (address < base || address - base >= download_bytes())
        return nullptr;
    if (download_buffer_.size() < download_bytes() / 2)
        download_buffer_.resize(download_bytes() / 2, 0);
    return &download_buffer_[(address - base) / 2];
}

uint16_t CardModel::read_aux(uint16_t offset, ReadMode mode) {
    if (!aux_port_enabled()) {
        if (mode == ReadMode::Access)
            device_error(offset, false, 0, "auxiliary port read while the port is closed");
        return 0xFFFF;
    }
    if (offset != reg::AuxData)
        return reg(offset);
    if (mode == ReadMode::Peek)
        return 0xFFFF; // the read would move the address
    uint32_t address = aux_address_;
    aux_address_ += 2;
    if (address & 1) {
        device_error(offset, false, 0, "auxiliary read at an odd address");
        return 0xFFFF;
    }
    if (address >= pda::Address && address - pda::Address < pda::Words * 2u)
        return records_.pda()[(address - pda::Address) / 2];
    if (uint16_t *w = download_word(address))
        return *w;
    device_error(offset, false, 0, "auxiliary read of unmapped card memory");
    return 0xFFFF;
}

void CardModel::write_aux(uint16_t offset, uint16_t value) {
    if (!aux_port_enabled()) {
        device_error(offset, true, value, "auxiliary port write while the port is closed");
        return;
    }
    if (offset == reg::AuxOffset && value > aux::OffsetMask) {
        device_error(offset, true, value, "auxiliary offset beyond its page");
        return;
    }
    if (offset != reg::AuxData) {
        set_reg(offset, value);
        aux_address_ = aux::address(reg(reg::AuxPage), reg(reg::AuxOffset));
        return;
    }
    uint32_t address = aux_address_;
    aux_address_ += 2;
    uint16_t *w = (address & 1) ? nullptr : download_word(address);
    if (!w) {
        device_error(offset, true, value, "auxiliary write outside the download buffer");
        return;
    }
    *w = value;
    ++download_writes_;
}

// ---- Download ----

uint16_t CardModel::cmd_download(uint16_t word) {
    switch (word & 0xFF00) {
    case cmd::DownloadEnd:
        announced_.reset();
        return result::Ok;
    case cmd::DownloadAnnounce: {
        uint32_t address = latched_params_[0] | ((uint32_t)latched_params_[1] << 16);
        uint16_t bytes = latched_params_[2];
        announced_.reset();
        if (bytes == 0 || (bytes & 1) || bytes > download_bytes())
            return result::BadParameter;
        announced_ = Announcement{address, bytes};
        download_writes_ = 0;
        return result::Ok;
    }
    case cmd::DownloadCommit: {
        if (!announced_) {
            ++download_stats_.empty_commits;
            return result::Ok;
        }
        Announcement a = *announced_;
        announced_.reset();
        if (download_writes_ * 2u != a.bytes)
            device_error(reg::Command, true, word,
                         "commit after " + std::to_string(download_writes_ * 2u) +
                             " bytes were written for a block of " + std::to_string(a.bytes));
        if (download_buffer_.size() < a.bytes / 2u)
            download_buffer_.resize(a.bytes / 2u, 0); // words never written read 0
        downloaded_[a.address] =
            words_to_bytes(std::span<const uint16_t>(download_buffer_).first(a.bytes / 2));
        ++download_stats_.blocks;
        return result::Ok;
    }
    default:
        return result::BadParameter;
    }
}

// ---- Buffer access paths ----

CardModel::Path &CardModel::path_for(uint16_t offset) {
    return (offset == reg::Select0 || offset == reg::Offset0 || offset == reg::Data0) ? paths_[0]
                                                                                      : paths_[1];
}

bool CardModel::path_busy(const Path &p) const {
    return p.busy || stuck_[(int)p.busy_kind];
}

uint16_t CardModel::read_offset(uint16_t offset, ReadMode) {
    const Path &p = path_for(offset);
    return (uint16_t)(p.offset | (path_busy(p) ? kBusy : 0) | (p.error ? kOffsetError : 0));
}

void CardModel::write_offset(uint16_t offset, uint16_t value) {
    Path &p = path_for(offset);
    if (p.settle_token)
        cancel(p.settle_token);
    p.settle_token = 0;
    p.offset = value & kOffsetMask;
    p.target = reg(p.select_reg);
    p.busy = true;
    p.fast = nullptr;
    p.fast_limit = 0;
    p.error = (value & (uint16_t)~kOffsetMask) != 0; // odd, or beyond the offset field
    if (timing_.path_busy_us == 0) {
        settle_path(p);
        return;
    }
    p.settle_token = schedule(timing_.path_busy_us, false, [this, &p] {
        p.settle_token = 0;
        settle_path(p);
    });
}

void CardModel::settle_path(Path &p) {
    p.busy = false;
    p.pos = p.offset;
    bool valid;
    if (is_rid(p.target)) {
        valid = RecordStore::describe(p.target) != nullptr;
        if (valid && rec_rid_ != p.target) {
            // The record buffer now belongs to this record, for a write.
            rec_buf_.fill(0);
            rec_rid_ = p.target;
            rec_loaded_ = false;
        }
    } else {
        valid = frames_.allocated(p.target);
    }
    p.error = p.error || !valid;
    std::vector<uint8_t> *buf = p.error || is_rid(p.target) ? nullptr : frames_.buffer(p.target);
    p.fast = buf ? buf->data() : nullptr;
    p.fast_limit = buf && buf->size() > 1 ? (uint32_t)buf->size() - 1 : 0;
    p.fast_generation = frames_.generation();
}

uint16_t CardModel::read_data(uint16_t offset, ReadMode mode) {
    if (mode == ReadMode::Peek)
        return 0xFFFF; // the read would move the path
    Path &p = path_for(offset);
    if (path_busy(p)) {
        device_error(offset, false, 0, "data read while the path is busy");
        return 0xFFFF;
    }
    if (p.error) {
        device_error(offset, false, 0, "data read with nothing valid selected");
        return 0xFFFF;
    }
    uint16_t w = 0;
    if (is_rid(p.target)) {
        size_t i = p.pos / 2;
        if (rec_rid_ != p.target) {
            device_error(offset, false, 0, "data read of a record whose buffer was taken");
            w = 0xFFFF;
        } else if (i >= rec_buf_.size()) {
            device_error(offset, false, 0, "data read past the record buffer");
        } else {
            if (!rec_loaded_)
                device_error(offset, false, 0, "data read of a record no access command opened");
            w = rec_buf_[i];
        }
    } else {
        const std::vector<uint8_t> *buf = frames_.buffer(p.target);
        if (!buf) {
            device_error(offset, false, 0, "data read of a released FID");
            w = 0xFFFF;
        } else if (p.pos >= buf->size()) {
            device_error(offset, false, 0, "data read past the frame buffer");
        } else {
            w = (*buf)[p.pos];
            if (p.pos + 1 < buf->size())
                w |= (uint16_t)((*buf)[p.pos + 1] << 8);
        }
    }
    p.pos += 2;
    return w;
}

void CardModel::write_data(uint16_t offset, uint16_t value) {
    Path &p = path_for(offset);
    if (path_busy(p)) {
        device_error(offset, true, value, "data write while the path is busy");
        return;
    }
    if (p.error) {
        device_error(offset, true, value, "data write with nothing valid selected");
        return;
    }
    if (is_rid(p.target)) {
        size_t i = p.pos / 2;
        if (rec_rid_ != p.target)
            device_error(offset, true, value, "data write of a record whose buffer was taken");
        else if (i >= rec_buf_.size())
            device_error(offset, true, value, "data write past the record buffer");
        else
            rec_buf_[i] = value;
    } else {
        std::vector<uint8_t> *buf = frames_.buffer(p.target);
        if (!buf)
            device_error(offset, true, value, "data write of a released FID");
        else if (p.pos >= buf->size())
            device_error(offset, true, value, "data write past the frame buffer");
        else {
            (*buf)[p.pos] = (uint8_t)(value & 0xFF);
            if (p.pos + 1 < buf->size())
                (*buf)[p.pos + 1] = (uint8_t)(value >> 8);
        }
    }
    p.pos += 2;
}

} // namespace talsim
