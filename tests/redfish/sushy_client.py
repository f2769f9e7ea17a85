#!/usr/bin/python3
# Reads the chassis through python3-sushy, the Redfish library provisioning
# systems use: opens a session, reads the chassis, its fans, temperatures
# and power supplies, closes the session, and prints what it read as one
# JSON object for the test to compare with what ktzmon-watch shows.
#
# usage: sushy_client.py BASE_URL CA_FILE USER PASSWORD
import json
import os
import sys

# requests takes these before the verify argument a session is given.
os.environ.pop("REQUESTS_CA_BUNDLE", None)
os.environ.pop("CURL_CA_BUNDLE", None)

import sushy  # noqa: E402
from sushy import auth  # noqa: E402


def status(s):
    return {"state": s.state.value if s and s.state else None,
            "health": s.health.value if s and s.health else None}


def main():
    base, ca, user, password = sys.argv[1:5]
    session = auth.SessionAuth(username=user, password=password)
    root = sushy.Sushy(base, verify=ca, auth=session)
    out = {"session": session.get_session_resource_id()}
    ids = root.get_chassis_collection().members_identities
    out["chassis"] = list(ids)
    chassis = root.get_chassis(ids[0])
    out["status"] = status(chassis.status)
    out["uuid"] = chassis.uuid
    thermal = chassis.thermal
    out["fans"] = [{"name": f.name, "reading": f.reading, "units": f.reading_units.value,
                    "lc": f.lower_threshold_critical, "lnc": f.lower_threshold_non_critical,
                    **status(f.status)} for f in thermal.fans]
    out["temperatures"] = [{"name": t.name, "reading": t.reading_celsius, **status(t.status)}
                           for t in thermal.temperatures]
    out["supplies"] = [{"name": p.name, "manufacturer": p.manufacturer, "model": p.model,
                        "serial": p.serial_number, "part": p.part_number, **status(p.status)}
                       for p in chassis.power.power_supplies]
    session.close()
    print(json.dumps(out))


if __name__ == "__main__":
    main()
