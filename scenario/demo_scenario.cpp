// The built-in demonstration chassis, run when ktzmon-host is given no
// scenario. The same text ships as scenario/scenarios/demo.toml; a test keeps the
// two equal.
#include "scenario.h"

namespace ktzhost
{

const char* DemoScenarioText()
{
    return R"TOML(# The demonstration chassis that ktzmon-host runs when no scenario is given.
# Chassis time starts at 0 with Load and Start-monitor; the sensor monitor
# checks every 5 seconds and the sensor types attach 30 seconds after Load.
title = "KTZ Monitor demonstration chassis"
description = """\
Three two-sensor fans, a chassis and two stash temperatures, four power-supply
bays (bay 4 empty), power redundancy and the chassis log proxy. Client 7 (base
capabilities) connects before the sensors are known; client 9 (chassis log
events too) connects later and receives the queued events."""
end = 250

[platform]
id = 0x10                 # a platform whose fans report two sensors
chassis_log_proxy = true  # capability word B bit 0x4
stash = true              # capability word B bit 0x1, word A 0x10, stash word 1

[setting]
ktz = "1"                 # monitoring enabled at Load

[ini."Log Monitor"]
"logevtqsize.max" = 8

[[fan]]
names = ["Fan1A", "Fan1B"]
readings = [5400, 5300]
lnc = 2000
lc = 1000
pwm = 40

[[fan]]
names = ["Fan2A", "Fan2B"]
readings = [5500, 5450]
lnc = 2000
lc = 1000
pwm = 40

[[fan]]
names = ["Fan3A", "Fan3B"]
readings = [5350, 5300]
lnc = 2000
lc = 1000
pwm = 40

[chassis_temp]
name = "Chassis Inlet"
reading = 24

[[stash_temp]]
name = "Blade 2 Ambient"
a = 2
b = 2
reading = 27

[[stash_temp]]
name = "Blade 3 Ambient"
a = 3
b = 1
reading = 26

[[psu]]
bay = 1
fru_text = "PWR-SUPPLY 2400W S/N 0001"

[[psu]]
bay = 2
fru_text = "PWR-SUPPLY 2400W S/N 0002"

[[psu]]
bay = 3
fru_text = "PWR-SUPPLY 2400W S/N 0003"

[[psu]]
bay = 4
present = false

[redundancy]
config = 1
state = 1                 # fully redundant

[[client]]
id = 7
caps = 0x1                # base only: no chassis log events

[[client]]
id = 9
caps = 0x3                # base and chassis log events

# ---- timeline -------------------------------------------------------------------

[[step]]
at = 10
action = "connect"        # before the sensor types attach at t=30
client = 7

[[step]]
at = 40
action = "log-event"      # no capable client yet: queued
id = "PSU0100"
values = [3, 1, 0]
args = ["4"]
text = "Power supply bay 4 is empty."

[[step]]
at = 42
action = "log-event"
id = "CHS0210"
values = [1, 0, 0]
text = "Chassis management firmware updated."

[[step]]
at = 50
action = "connect"        # snapshot, data-sync-complete, then the two queued events
client = 9

[[step]]
at = 55
action = "log-event"      # forwarded at once to client 9 only
id = "FAN0004"
values = [2, 2, 0]
args = ["Fan2A", "2000"]

[[step]]
at = 57
action = "caps-request"   # client 9 asks for the module's capabilities
client = 9

[[step]]
at = 61
action = "set-fan"        # a dip below the lower non-critical threshold ...
fan = 2
reading = 1500

[[step]]
at = 72
action = "set-fan"        # ... that recovers within 24 s: clients never see it
fan = 2
reading = 5500

[[step]]
at = 91
action = "set-fan"        # a real failure: stays low, reported after the delay
fan = 3
reading2 = 800
health = 2

[[step]]
at = 131
action = "set-temp"
reading = 31

[[step]]
at = 141
action = "set-temp"
reading = 38
health = 1

[[step]]
at = 150
action = "set-stash-temp"
index = 2
reading = 41

[[step]]
at = 161
action = "pull-psu"
bay = 2

[[step]]
at = 162
action = "set-redundancy"
state = 2                 # redundancy lost

[[step]]
at = 181
action = "insert-psu"     # back in: its FRU record is sent again
bay = 2

[[step]]
at = 182
action = "set-redundancy"
state = 1

[[step]]
at = 200
action = "set-ktz"        # monitoring off: sensor and log monitoring stop
value = "0"

[[step]]
at = 210
action = "log-event"      # nobody listens while monitoring is off
id = "CHS0300"
values = [0, 0, 0]

[[step]]
at = 220
action = "set-ktz"        # monitoring on again: every type attaches at the next pass
value = "1"

[[step]]
at = 240
action = "disconnect"
client = 7

# ---- expectations ------------------------------------------------------------------

[[expect]]
client = 7
sequence = ["ktz-setting", "caps-query", "sensor-data", "fru-by-number", "data-sync-complete"]

[[expect]]
client = 7
receives = "data-sync-complete"
after = 30
by = 30
count = 1

[[expect]]
client = 7
receives = "log-event"
count = 0

[[expect]]
client = 9
receives = "log-event"
by = 50
count = 2

[[expect]]
client = 9
receives = "log-event"
count = 3

[[expect]]
client = 7
receives = "sensor-data"
where = { name = "Fan2A", reading = 1500 }
count = 0

[[expect]]
log = "Fan sensor exiting delay mode: name: 'Fan2A'"
by = 75

[[expect]]
client = 7
receives = "sensor-data"
where = { name = "Fan3B", reading = 800, status = "critical" }
after = 116
by = 120
count = 1

[[expect]]
client = 9
receives = "sensor-data"
where = { name = "Chassis Inlet", reading = 38, status = "non-critical" }
by = 145

[[expect]]
client = 9
receives = "sensor-data"
where = { name = "PS-2", reading = 0x0A }
after = 161
by = 165
count = 1

[[expect]]
client = 9
receives = "fru-by-number"
where = { bay = 2 }
after = 181
by = 185
count = 1

[[expect]]
client = 7
receives = "ktz-setting"
where = { value = 0, changed = true }
after = 200
by = 200
count = 1

[[expect]]
client = 9
receives = "data-sync-complete"
after = 220
by = 225
count = 1
)TOML";
}

} // namespace ktzhost
