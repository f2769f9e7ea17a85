// The chassis picture as Prometheus series: every decoded module message
// updates the series it concerns, and the series of a sensor, a supply's FRU
// record or the KTZ setting exist only while the exporter holds fresh data for
// them. A lost connection removes every chassis series; monitoring switched
// off removes the sensor and FRU series (the setting itself stays, it is the
// fresh news). Counters of the exporter's own (log events seen, reconnects,
// messages) live as long as the process.
//
// Not locked: one thread applies messages. The registry's families and
// metrics are safe to collect from the HTTP threads meanwhile.
#ifndef KTZEXPORTER_METRICS_H
#define KTZEXPORTER_METRICS_H

#include "ktzclient_decode.h"

#include <cstdint>
#include <map>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <string>
#include <utility>
#include <vector>

namespace ktzexporter
{

// Distinct message IDs counted one by one; further IDs count under "other"
// so that a flood of odd IDs cannot grow the exposition without bound.
constexpr size_t kMaxMessageIds = 64;

class ChassisMetrics
{
  public:
    // `version` is published as ktzmon_build_info's label.
    ChassisMetrics(prometheus::Registry& registry, const std::string& version);
    ~ChassisMetrics();
    ChassisMetrics(const ChassisMetrics&) = delete;
    ChassisMetrics& operator=(const ChassisMetrics&) = delete;

    // A connection to the daemon was established; `reconnect` when it is not
    // the process's first.
    void Connected(bool reconnect);
    // The connection is gone: every chassis series is removed.
    void Disconnected();
    // One decoded module message.
    void Apply(const ktzclient::Message& msg);
    // A message that did not decode (counted, otherwise ignored).
    void DecodeFailed();

  private:
    // One series this object added: the family it belongs to and its labels.
    struct Sample
    {
        prometheus::Family<prometheus::Gauge>* family = nullptr;
        prometheus::Labels labels;
        double value = 0;
    };
    struct Owned
    {
        prometheus::Family<prometheus::Gauge>* family = nullptr;
        prometheus::Labels labels;
        prometheus::Gauge* gauge = nullptr;
    };
    using SeriesSet = std::vector<Owned>;

    void ApplySensor(const ktzclient::SensorData& s);
    void ApplyFru(const ktzclient::FruByNumber& f);
    void ApplySetting(const ktzclient::KtzSetting& k);
    void ApplyLogEvent(const ktzclient::LogEvent& e);
    // Makes `set` hold exactly `wanted`: removes what is no longer wanted,
    // adds or updates the rest.
    static void Update(SeriesSet& set, const std::vector<Sample>& wanted);
    static void Clear(SeriesSet& set);
    void ClearSensors(); // sensor and FRU series
    void ClearChassis(); // those and the setting
    void UpdateUp();

    prometheus::Family<prometheus::Gauge>& fanRpm_;
    prometheus::Family<prometheus::Gauge>& fanLnc_;
    prometheus::Family<prometheus::Gauge>& fanLc_;
    prometheus::Family<prometheus::Gauge>& temperature_;
    prometheus::Family<prometheus::Gauge>& status_;
    prometheus::Family<prometheus::Gauge>& presence_;
    prometheus::Family<prometheus::Gauge>& supplyAlert_;
    prometheus::Family<prometheus::Gauge>& redundancy_;
    prometheus::Family<prometheus::Gauge>& fruInfo_;
    prometheus::Family<prometheus::Gauge>& ktzSetting_;
    prometheus::Family<prometheus::Gauge>& ktzEnabled_;
    prometheus::Gauge& up_;
    prometheus::Gauge& connected_;
    prometheus::Counter& reconnects_;
    prometheus::Counter& decodeErrors_;
    prometheus::Family<prometheus::Counter>& messages_;
    prometheus::Family<prometheus::Counter>& logEvents_;

    // Sensors by (type, number); FRU records by bay.
    std::map<std::pair<uint8_t, uint8_t>, SeriesSet> sensors_;
    std::map<uint8_t, SeriesSet> frus_;
    SeriesSet setting_;
    bool connectedNow_ = false;
    bool enabled_ = false;
    bool synced_ = false;
    size_t messageIds_ = 0;
};

// Sensor and FRU texts as label values: printable ASCII kept, every other
// byte becomes '?', at most `max` characters, trailing blanks dropped.
std::string LabelText(const std::string& text, size_t max = 64);

} // namespace ktzexporter

#endif
