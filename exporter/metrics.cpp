// Decoded module messages to Prometheus series (see metrics.h).
#include "metrics.h"

#include "fru.h"

#include <algorithm>
#include <variant>

namespace ktzexporter
{

namespace
{

// Sensor types of the wire protocol.
constexpr uint8_t kFan = 1;
constexpr uint8_t kTemperature = 2;
constexpr uint8_t kPowerSupply = 3;
constexpr uint8_t kRedundancy = 4;

// The bits of a power supply's and of the redundancy sensor's reading, each
// exposed as its own 0/1 series.
struct Bit
{
    uint32_t mask;
    const char* label;
};
constexpr Bit kSupplyAlerts[] = {
    {.mask = 0x02, .label = "failure"},
    {.mask = 0x08, .label = "input_lost"},
    {.mask = 0x20, .label = "input_out_of_range"},
};
constexpr Bit kRedundancyStates[] = {
    {.mask = 0x01, .label = "fully_redundant"},
    {.mask = 0x02, .label = "lost"},
    {.mask = 0x04, .label = "degraded"},
    {.mask = 0x20, .label = "insufficient_resources"},
};

const char* TypeLabel(uint8_t type)
{
    switch (type)
    {
    case kFan: return "fan";
    case kTemperature: return "temperature";
    case kPowerSupply: return "power_supply";
    case kRedundancy: return "power_redundancy";
    default: return "unknown";
    }
}

bool SettingEnables(uint32_t value)
{
    return value == 1 || value == 2;
}

prometheus::Family<prometheus::Gauge>& GaugeFamily(prometheus::Registry& r, const char* name,
                                                   const char* help)
{
    return prometheus::BuildGauge().Name(name).Help(help).Register(r);
}

} // namespace

std::string LabelText(const std::string& text, size_t max)
{
    std::string out;
    for (const char ch : text)
    {
        if (out.size() == max)
        {
            break;
        }
        const auto c = static_cast<unsigned char>(ch);
        out.push_back(c >= 0x20 && c < 0x7f ? ch : '?');
    }
    while (!out.empty() && out.back() == ' ')
    {
        out.pop_back();
    }
    return out;
}

ChassisMetrics::ChassisMetrics(prometheus::Registry& registry, const std::string& version)
    : fanRpm_(GaugeFamily(registry, "ktzmon_fan_speed_rpm", "Fan sensor reading in revolutions per minute")),
      fanLnc_(GaugeFamily(registry, "ktzmon_fan_speed_lower_noncritical_rpm",
                          "Fan sensor's lower non-critical threshold in revolutions per minute")),
      fanLc_(GaugeFamily(registry, "ktzmon_fan_speed_lower_critical_rpm",
                         "Fan sensor's lower critical threshold in revolutions per minute")),
      temperature_(GaugeFamily(registry, "ktzmon_temperature_celsius",
                               "Temperature sensor reading in degrees Celsius")),
      status_(GaugeFamily(registry, "ktzmon_sensor_status",
                          "Sensor status: 0 unknown, 1 normal, 2 non-critical, 3 critical")),
      presence_(GaugeFamily(registry, "ktzmon_sensor_presence",
                            "Sensor presence: 1 present (power supply: 0 empty bay; power redundancy: 0 not "
                            "configured, 1 configured, 2 unknown configuration)")),
      supplyAlert_(GaugeFamily(registry, "ktzmon_power_supply_alert",
                               "1 while the power supply reports this alert, else 0")),
      redundancy_(GaugeFamily(registry, "ktzmon_power_redundancy_state",
                              "1 for each state bit the power redundancy sensor reports, else 0")),
      fruInfo_(GaugeFamily(registry, "ktzmon_power_supply_fru_info",
                           "Always 1: the product area of the FRU record of the power supply in a bay")),
      ktzSetting_(GaugeFamily(registry, "ktzmon_ktz_setting", "The KTZ setting as the module reports it")),
      ktzEnabled_(
          GaugeFamily(registry, "ktzmon_ktz_enabled", "1 when the KTZ setting enables monitoring (1 or 2)")),
      up_(GaugeFamily(registry, "ktzmon_monitoring_up",
                      "1 while connected, monitoring enabled and the module's first full picture received")
              .Add({})),
      connected_(
          GaugeFamily(registry, "ktzmon_exporter_connected", "1 while connected to the daemon").Add({})),
      reconnects_(prometheus::BuildCounter()
                      .Name("ktzmon_exporter_reconnects_total")
                      .Help("Connections to the daemon established after the first")
                      .Register(registry)
                      .Add({})),
      decodeErrors_(prometheus::BuildCounter()
                        .Name("ktzmon_exporter_decode_errors_total")
                        .Help("Module messages that did not decode and were ignored")
                        .Register(registry)
                        .Add({})),
      messages_(prometheus::BuildCounter()
                    .Name("ktzmon_exporter_messages_total")
                    .Help("Module messages received, by message type")
                    .Register(registry)),
      logEvents_(prometheus::BuildCounter()
                     .Name("ktzmon_chassis_log_events_total")
                     .Help("Chassis log events received, by message ID")
                     .Register(registry))
{
    GaugeFamily(registry, "ktzmon_build_info", "Always 1: the exporter's version")
        .Add({{"version", version}})
        .Set(1);
}

ChassisMetrics::~ChassisMetrics()
{
    ClearChassis();
}

void ChassisMetrics::Connected(bool reconnect)
{
    if (reconnect)
    {
        reconnects_.Increment();
    }
    connectedNow_ = true;
    connected_.Set(1);
    // The connect exchange sends the whole picture again.
    ClearChassis();
    UpdateUp();
}

void ChassisMetrics::Disconnected()
{
    connectedNow_ = false;
    connected_.Set(0);
    ClearChassis();
    UpdateUp();
}

void ChassisMetrics::DecodeFailed()
{
    decodeErrors_.Increment();
}

void ChassisMetrics::Apply(const ktzclient::Message& msg)
{
    messages_.Add({{"type", ktzclient::RequestTypeName(msg.requestType)}}).Increment();
    if (const auto* k = std::get_if<ktzclient::KtzSetting>(&msg.body))
    {
        ApplySetting(*k);
    }
    else if (const auto* s = std::get_if<ktzclient::SensorData>(&msg.body))
    {
        // Sensor data and FRU records only count while monitoring is on: one
        // that arrives after the setting switched it off comes from a check
        // that was already running, and nothing would ever refresh it.
        if (enabled_)
        {
            ApplySensor(*s);
        }
    }
    else if (const auto* f = std::get_if<ktzclient::FruByNumber>(&msg.body))
    {
        if (enabled_)
        {
            ApplyFru(*f);
        }
    }
    else if (std::holds_alternative<ktzclient::DataSyncComplete>(msg.body))
    {
        synced_ = true;
        UpdateUp();
    }
    else if (const auto* e = std::get_if<ktzclient::LogEvent>(&msg.body))
    {
        ApplyLogEvent(*e);
    }
}

void ChassisMetrics::ApplySetting(const ktzclient::KtzSetting& k)
{
    const bool enabled = SettingEnables(k.value);
    if (!enabled || !enabled_)
    {
        // Off: the module stops sending sensor data, so what is held would
        // go stale. Off to on: the module sends everything again.
        ClearSensors();
    }
    enabled_ = enabled;
    Update(setting_,
           {{&ktzSetting_, {}, static_cast<double>(k.value)}, {&ktzEnabled_, {}, enabled ? 1.0 : 0.0}});
    UpdateUp();
}

void ChassisMetrics::ApplySensor(const ktzclient::SensorData& s)
{
    // Power supplies are named by their bay, as in their FRU series.
    const prometheus::Labels id{{"sensor", LabelText(s.name)},
                                {s.type == kPowerSupply ? "bay" : "number", std::to_string(s.number)}};
    prometheus::Labels typed = id;
    typed["type"] = TypeLabel(s.type);

    // A reading is a value only while the sensor is there and its status is
    // known: an unplugged or unreadable sensor reports 0, which is no
    // measurement.
    const bool measured = s.presence == 1 && s.status != 0;
    std::vector<Sample> wanted{{&status_, typed, static_cast<double>(s.status)},
                               {&presence_, typed, static_cast<double>(s.presence)}};
    switch (s.type)
    {
    case kFan:
        if (measured)
        {
            wanted.push_back({&fanRpm_, id, static_cast<double>(s.Reading())});
        }
        if (s.hasThresholds)
        {
            wanted.push_back({&fanLnc_, id, static_cast<double>(s.lncThreshold)});
            wanted.push_back({&fanLc_, id, static_cast<double>(s.lcThreshold)});
        }
        break;
    case kTemperature:
        if (measured)
        {
            wanted.push_back({&temperature_, id, static_cast<double>(s.Reading())});
        }
        break;
    case kPowerSupply:
        for (const Bit& b : kSupplyAlerts)
        {
            prometheus::Labels l = id;
            l["alert"] = b.label;
            wanted.push_back({&supplyAlert_, l, (s.rawReading & b.mask) != 0 ? 1.0 : 0.0});
        }
        break;
    case kRedundancy:
        for (const Bit& b : kRedundancyStates)
        {
            prometheus::Labels l = id;
            l["state"] = b.label;
            wanted.push_back({&redundancy_, l, (s.rawReading & b.mask) != 0 ? 1.0 : 0.0});
        }
        break;
    default: break; // status and presence only
    }
    Update(sensors_[{s.type, s.number}], wanted);

    // A supply that left its bay takes its FRU record along; the module
    // sends the record again when one is inserted.
    if (s.type == kPowerSupply && s.presence == 0)
    {
        const auto it = frus_.find(s.number);
        if (it != frus_.end())
        {
            Clear(it->second);
            frus_.erase(it);
        }
    }
}

void ChassisMetrics::ApplyFru(const ktzclient::FruByNumber& f)
{
    // A record that is not IPMI gives its text, if any, as the product.
    const ktzfru::FruRecord r = ktzfru::ReadFru(f.data.data(), f.data.size());
    const prometheus::Labels l{{"bay", std::to_string(f.bay)},
                               {"manufacturer", r.manufacturer},
                               {"product", r.ipmi ? r.product : r.text},
                               {"part_number", r.partNumber},
                               {"serial_number", r.serialNumber}};
    Update(frus_[f.bay], {{&fruInfo_, l, 1.0}});
}

void ChassisMetrics::ApplyLogEvent(const ktzclient::LogEvent& e)
{
    std::string id = LabelText(e.messageId, 32);
    const prometheus::Labels l{{"message_id", id}};
    if (!logEvents_.Has(l))
    {
        if (messageIds_ >= kMaxMessageIds)
        {
            logEvents_.Add({{"message_id", "other"}}).Increment();
            return;
        }
        messageIds_ += 1;
    }
    logEvents_.Add(l).Increment();
}

void ChassisMetrics::Update(SeriesSet& set, const std::vector<Sample>& wanted)
{
    // Series whose labels changed (a renamed sensor) or that are no longer
    // reported (a threshold that became invalid) go first.
    for (auto it = set.begin(); it != set.end();)
    {
        const bool keep =
            std::any_of(wanted.begin(), wanted.end(),
                        [&](const Sample& w) { return w.family == it->family && w.labels == it->labels; });
        if (keep)
        {
            ++it;
            continue;
        }
        it->family->Remove(it->gauge);
        it = set.erase(it);
    }
    for (const Sample& w : wanted)
    {
        auto it = std::find_if(set.begin(), set.end(),
                               [&](const Owned& o) { return o.family == w.family && o.labels == w.labels; });
        if (it == set.end())
        {
            set.push_back({w.family, w.labels, &w.family->Add(w.labels)});
            it = set.end() - 1;
        }
        it->gauge->Set(w.value);
    }
}

void ChassisMetrics::Clear(SeriesSet& set)
{
    for (const Owned& o : set)
    {
        o.family->Remove(o.gauge);
    }
    set.clear();
}

void ChassisMetrics::ClearSensors()
{
    for (auto& [key, set] : sensors_)
    {
        Clear(set);
    }
    sensors_.clear();
    for (auto& [bay, set] : frus_)
    {
        Clear(set);
    }
    frus_.clear();
    synced_ = false;
}

void ChassisMetrics::ClearChassis()
{
    ClearSensors();
    Clear(setting_);
    enabled_ = false;
}

void ChassisMetrics::UpdateUp()
{
    up_.Set(connectedNow_ && enabled_ && synced_ ? 1.0 : 0.0);
}

} // namespace ktzexporter
