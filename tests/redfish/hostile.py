#!/usr/bin/python3
# Hostile clients against ktzmon-redfish, each kind while an ordinary client
# keeps asking: headers that trickle in, headers too large, more idle
# connections than the service takes, broken and stalled TLS handshakes, an
# old TLS version. Prints what it saw as one JSON object; the test judges it.
# Every wait is bounded.
#
# usage: hostile.py PORT CA_FILE USER PASSWORD REQUEST_TIMEOUT MAX_CONNECTIONS
import base64
import http.client
import json
import os
import socket
import ssl
import sys
import threading
import time

HOST = "127.0.0.1"
PORT = int(sys.argv[1])
CA = sys.argv[2]
AUTH = "Basic " + base64.b64encode(("%s:%s" % (sys.argv[3], sys.argv[4])).encode()).decode()
REQUEST_TIMEOUT = float(sys.argv[5])
MAX_CONNECTIONS = int(sys.argv[6])


def context():
    return ssl.create_default_context(cafile=CA)


def get(path="/redfish/v1/Chassis/KTZ/Sensors/Fan1"):
    """An ordinary client's GET: its status and how long it took (ms)."""
    start = time.monotonic()
    try:
        c = http.client.HTTPSConnection(HOST, PORT, context=context(), timeout=10)
        c.request("GET", path, headers={"Authorization": AUTH})
        status = c.getresponse().status
        c.close()
    except OSError as e:
        status = str(e)
    return status, round((time.monotonic() - start) * 1000)


def ordinary(n=3):
    return [get() for _ in range(n)]


def closed_within(sock, seconds):
    """Seconds until the peer closed `sock`, or None if it did not in time."""
    start = time.monotonic()
    sock.settimeout(0.2)
    while time.monotonic() - start < seconds:
        try:
            if sock.recv(4096) == b"":
                return round(time.monotonic() - start, 2)
        except socket.timeout:
            continue
        except (ConnectionError, ssl.SSLError, OSError):
            return round(time.monotonic() - start, 2)
    return None


out = {"before": ordinary(1)}

# Headers that trickle in: one line every 0.3 s, never ending.
slow = []
for _ in range(8):
    s = context().wrap_socket(socket.create_connection((HOST, PORT), timeout=5), server_hostname=HOST)
    s.sendall(b"GET /redfish/v1 HTTP/1.1\r\nHost: x\r\n")
    slow.append(s)
stop = threading.Event()


def trickle():
    while not stop.wait(0.3):
        for s in slow:
            try:
                s.sendall(b"X-Slow: 1\r\n")
            except OSError:
                pass


feeder = threading.Thread(target=trickle)
feeder.start()
out["during_slow_headers"] = ordinary()
out["slow_closed_after"] = [closed_within(s, REQUEST_TIMEOUT + 5) for s in slow]
stop.set()
feeder.join()
for s in slow:
    s.close()

def status_of(request):
    """The status code the service answers `request` (raw bytes) with, or None."""
    s = context().wrap_socket(socket.create_connection((HOST, PORT), timeout=5), server_hostname=HOST)
    s.sendall(request)
    s.settimeout(5)
    try:
        return s.recv(64).split(b" ")[1].decode()
    except (OSError, IndexError):
        return None
    finally:
        s.close()


# Headers (request line included) and bodies at their bounds and one byte past.
head = b"GET /redfish/v1 HTTP/1.1\r\nHost: x\r\nX-Big: "
out["header_statuses"] = [status_of(head + b"a" * (n - len(head) - 4) + b"\r\n\r\n") for n in (16384, 16385)]
login = json.dumps({"UserName": sys.argv[3], "Password": sys.argv[4]}).encode()
out["body_statuses"] = [
    status_of(b"POST /redfish/v1/SessionService/Sessions HTTP/1.1\r\nHost: x\r\nContent-Type: "
              b"application/json\r\nContent-Length: %d\r\n\r\n" % n + login.ljust(n)) for n in (4096, 4097)]

# More idle connections than the service takes, none saying anything.
idle = [socket.create_connection((HOST, PORT), timeout=5) for _ in range(MAX_CONNECTIONS + 16)]
time.sleep(0.2)
out["during_idle_flood"] = ordinary()
out["idle_closed"] = sum(1 for s in idle if closed_within(s, 0.05) is not None)
for s in idle:
    s.close()

# Broken handshakes: garbage, a record header promising more than comes,
# a client hello cut short, and a close right after connecting.
broken = []
for i in range(30):
    s = socket.create_connection((HOST, PORT), timeout=5)
    kind = i % 4
    if kind == 0:
        s.sendall(os.urandom(512))
    elif kind == 1:
        s.sendall(b"\x16\x03\x01\x40\x00" + os.urandom(100))
    elif kind == 2:
        s.sendall(b"\x16\x03\x01\x00\x05\x01\x00\x00\x01")
    else:
        s.close()
        continue
    broken.append(s)
out["during_broken_tls"] = ordinary()
for s in broken:
    s.close()

# TLS 1.1 is refused.
old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
old.load_verify_locations(CA)
old.minimum_version = ssl.TLSVersion.TLSv1
old.maximum_version = ssl.TLSVersion.TLSv1_1
old.set_ciphers("ALL:@SECLEVEL=0")
try:
    old.wrap_socket(socket.create_connection((HOST, PORT), timeout=5), server_hostname=HOST).close()
    out["tls11"] = "accepted"
except (ssl.SSLError, OSError) as e:
    out["tls11"] = str(e)  # the server's alert, when the client could offer it

out["after"] = ordinary(1)
print(json.dumps(out))
