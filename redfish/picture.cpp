// Module messages applied to the chassis picture.
#include "picture.h"

#include <ktzmon/protocol.h>

namespace ktzredfish
{

namespace
{

std::string Clip(const std::string& s, size_t max)
{
    return s.size() <= max ? s : s.substr(0, max);
}

} // namespace

Health SensorHealth(const Sensor& s)
{
    if (SensorState(s) == State::Absent)
    {
        return Health::Unknown;
    }
    switch (s.status)
    {
    case 1: return Health::OK;
    case 2: return Health::Warning;
    case 3: return Health::Critical;
    default: return Health::Unknown;
    }
}

State SensorState(const Sensor& s)
{
    switch (s.kind)
    {
    case SensorKind::Redundancy:
        return s.presence == 1   ? State::Enabled
               : s.presence == 0 ? State::Disabled
                                 : State::UnavailableOffline;
    default: return s.presence == 0 ? State::Absent : State::Enabled;
    }
}

void Picture::Connected()
{
    ++version_;
    connected_ = true;
}

void Picture::Disconnected()
{
    ++version_;
    connected_ = false;
    hasSetting_ = false;
    setting_ = 0;
    ClearSensors();
}

void Picture::ClearSensors()
{
    sensors_.clear();
    frus_.clear();
    synced_ = false;
}

void Picture::Apply(const ktzclient::Message& msg, int64_t wallMs, std::vector<Change>* changes)
{
    ++version_;
    if (const auto* k = std::get_if<ktzclient::KtzSetting>(&msg.body))
    {
        hasSetting_ = true;
        setting_ = k->value;
        if (!monitoring())
        {
            ClearSensors();
        }
    }
    else if (const auto* s = std::get_if<ktzclient::SensorData>(&msg.body))
    {
        // Data that arrives while monitoring is off is stale news.
        if (monitoring())
        {
            ApplySensor(*s, changes);
        }
    }
    else if (const auto* f = std::get_if<ktzclient::FruByNumber>(&msg.body))
    {
        if (monitoring())
        {
            frus_[f->bay] = ktzfru::ReadFru(f->data.data(), f->data.size());
        }
    }
    else if (std::holds_alternative<ktzclient::DataSyncComplete>(msg.body))
    {
        synced_ = monitoring();
    }
    else if (const auto* e = std::get_if<ktzclient::LogEvent>(&msg.body))
    {
        ApplyLogEvent(*e, wallMs, changes);
    }
}

void Picture::ApplySensor(const ktzclient::SensorData& d, std::vector<Change>* changes)
{
    if (d.type < KTZMON_SENSOR_TYPE_FAN || d.type > KTZMON_SENSOR_TYPE_PWR_RED)
    {
        return;
    }
    Sensor s;
    s.kind = static_cast<SensorKind>(d.type);
    s.number = d.number;
    s.presence = d.presence;
    s.status = d.status;
    s.raw = d.rawReading;
    s.reading = d.Reading();
    s.hasThresholds = d.hasThresholds;
    s.lnc = d.lncThreshold;
    s.lc = d.lcThreshold;
    s.name = Clip(d.name, kMaxNameBytes);
    const SensorKey key{s.kind, s.number};
    const Health health = SensorHealth(s);
    const State state = SensorState(s);

    const auto last = last_.find(key);
    if (last != last_.end())
    {
        if (state != last->second.second)
        {
            changes->push_back({Change::Kind::State, key, health, state, 0});
        }
        if (health != last->second.first && health != Health::Unknown)
        {
            changes->push_back({Change::Kind::Health, key, health, state, 0});
        }
    }
    last_[key] = {health, state};
    if (s.kind == SensorKind::PowerSupply && s.presence == 0)
    {
        frus_.erase(s.number); // the supply left its bay
    }
    sensors_[key] = std::move(s);
}

void Picture::ApplyLogEvent(const ktzclient::LogEvent& e, int64_t wallMs, std::vector<Change>* changes)
{
    LogRecord r;
    r.id = nextLogId_++;
    r.wallMs = wallMs;
    for (int i = 0; i < 3; ++i)
    {
        r.values[i] = e.values[i];
    }
    r.messageId = Clip(e.messageId, kMaxNameBytes);
    for (size_t i = 0; i < e.args.size() && i < kMaxArgs; ++i)
    {
        r.args.push_back(Clip(e.args[i], kMaxArgBytes));
    }
    r.hasText = e.hasText;
    r.text = Clip(e.text, kMaxTextBytes);
    log_.push_back(std::move(r));
    while (log_.size() > kLogCapacity)
    {
        log_.pop_front();
    }
    changes->push_back({Change::Kind::LogEvent, {}, Health::Unknown, State::Enabled, log_.back().id});
}

const Sensor* Picture::Find(SensorKind kind, uint8_t number) const
{
    const auto it = sensors_.find({kind, number});
    return it == sensors_.end() ? nullptr : &it->second;
}

const ktzfru::FruRecord* Picture::Fru(uint8_t bay) const
{
    const auto it = frus_.find(bay);
    return it == frus_.end() ? nullptr : &it->second;
}

const LogRecord* Picture::FindLog(uint64_t id) const
{
    if (log_.empty() || id < log_.front().id || id > log_.back().id)
    {
        return nullptr;
    }
    return &log_[id - log_.front().id]; // ids are consecutive
}

State Picture::ChassisState() const
{
    if (!connected_)
    {
        return State::UnavailableOffline;
    }
    return hasSetting_ && !monitoring() ? State::Disabled : State::Enabled;
}

Health Picture::Rollup() const
{
    Health h = Health::Unknown;
    for (const auto& [key, s] : sensors_)
    {
        h = Worse(h, SensorHealth(s));
    }
    return h;
}

Health Picture::Rollup(SensorKind kind) const
{
    Health h = Health::Unknown;
    for (const auto& [key, s] : sensors_)
    {
        if (key.first == kind)
        {
            h = Worse(h, SensorHealth(s));
        }
    }
    return h;
}

} // namespace ktzredfish
