"""A subscriber owns a line and a simulated device and trades data with it;
then SIGUSR1 (argv[1] is the service's pid) writes the statistics entry to
the event log (argv[2]) and rewrites the status file (argv[3]) at once: the
line, the device with its packets both ways and its connect, and the
subscriber with its calls; no certificate anywhere."""

import json
import os
import signal
import sys

import k2it

DEVICE = "0000000000B7"
pid, event_log, status_file = int(sys.argv[1]), sys.argv[2], sys.argv[3]


def status():
    try:
        with open(status_file, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def entries():
    try:
        with open(event_log, "rb") as f:
            return [l for l in f.read().split(b"\n") if l.startswith(b"Statistics: ")]
    except OSError:
        return []


# Written at start already, before anything happened.
first = status()
assert first is not None and first["program"] == "kavor2srv" and first["pid"] == pid, first
assert first["lines"] == [] and first["subscribers"] == [], first

server, api = k2it.CallbackServer(), k2it.Api()
cert = api.AddMessageSubscriber(server.port, "Owner", "Data", "State")
line_port, device_port = k2it.free_udp_port(), k2it.free_udp_port()
line = api.AddLine(cert, "ETHERNET", line_port, False, False, device_port)
sim = k2it.Sim(line_port, DEVICE, device_port)
try:
    assert k2it.add_device(api, cert, line, DEVICE, device_port) == DEVICE
    server.wait_for(["State", 1, line, DEVICE])
    sim.wait_for("connected")
    sim.command("data 0102")
    server.wait_for(["Data", DEVICE, "030102", 3])
    api.SendData(cert, DEVICE, "04C1C2C3")
    sim.wait_for("data", "04C1C2C3")

    before = len(entries())
    os.kill(pid, signal.SIGUSR1)
    # Well before the 10 s rewrite could have come.
    k2it.wait_until(lambda: len(entries()) > before, "the Statistics entry", timeout=5)
    (entry,) = entries()[before:]
    assert entry.startswith(b"Statistics: lines 1, devices 1, subscribers 1; packets in "), entry
    for part in (b"; CRC errors ", b"; authentication errors ", b"; retransmissions ", b"; connects 1;",
                 b"; disconnects ", b"; calls queued ", b", sent ", b", failed ", b"; cached rows "):
        assert part in entry, (part, entry)

    def reported():
        s = status()
        if not s or len(s["lines"]) != 1 or len(s["subscribers"]) != 1:
            return False
        devices = s["lines"][0]["devices"]
        return len(devices) == 1 and devices[0]["connects"] == 1 and s["subscribers"][0]["calls_sent"] > 0

    k2it.wait_until(reported, "the status file rewritten on SIGUSR1", timeout=5)
    s = status()
    (l,) = s["lines"]
    assert l["id"] == line and l["type"] == "ETHERNET" and l["port"] == line_port, l
    assert l["packets_in"] > 0 and l["packets_out"] > 0 and l["connects"] == 1, l
    (d,) = l["devices"]
    assert d["mac"] == DEVICE and d["packets_in"] > 0 and d["packets_out"] > 0, d
    assert d["crc_errors"] == 0 and d["auth_errors"] == 0 and d["disconnects"] == 0, d
    (sub,) = s["subscribers"]
    assert sub["client"] == "Owner" and sub["host"] == k2it.HOST and sub["port"] == server.port, sub
    assert sub["calls_queued"] >= sub["calls_sent"] > 0 and sub["calls_failed"] == 0, sub
    with open(status_file, encoding="utf-8") as f:
        text = f.read()
    assert cert.strip("{}").upper() not in text.upper(), "the certificate is a secret"
    assert s["written"] >= s["started"], s
finally:
    sim.stop()
print("done")
