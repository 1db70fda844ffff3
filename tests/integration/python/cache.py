"""The cache of undelivered device data, in two runs of the service on one
data directory. "store": events of a device with GetEvent reach an owner
that never answers; the qualifying ones stay in the database. "resend":
after the restart, a client that takes the device with GetEvent receives
each stored row as a two-parameter call, and the rows go once accepted."""

import glob
import os
import sqlite3
import sys

import k2it

DEVICE = "0000000000C1"
STORED = ["034501", "038602"]  # event kinds 5 and 6 in the low six bits; 0x07 is not one


def rows(data_dir):
    (path,) = glob.glob(os.path.join(data_dir, "*.S3DB"))
    with sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5) as db:
        return db.execute("SELECT IDTransaction, IDDevice, Data FROM LogData").fetchall()


def stored_data(data_dir):
    return sorted(r[2] for r in rows(data_dir))


phase, data_dir = sys.argv[1], sys.argv[2]
if phase == "store":
    # The owner takes the first call and never answers it.
    server, api, cert, line, sim = k2it.connected_event_device(DEVICE)
    try:
        server.wait_for(["State", 1, line, DEVICE])
        for content in ("4501", "0703", "8602"):
            sim.command("data " + content)
            sim.wait_for("data-sent", "03" + content)
        server.wait_for(["Data", DEVICE, "034501"])
        k2it.wait_until(lambda: stored_data(data_dir) == STORED, "the stored rows")
        for transaction, device, _ in rows(data_dir):
            assert device == DEVICE and len(transaction) == 38 and transaction[0] == "{", transaction
    finally:
        sim.stop()
    print("stored", " ".join(stored_data(data_dir)))
elif phase == "resend":
    assert stored_data(data_dir) == STORED, stored_data(data_dir)
    creator_server, owner_server = k2it.CallbackServer(), k2it.CallbackServer()
    creator, owner = k2it.Api(), k2it.Api()
    cert_c = creator.AddMessageSubscriber(creator_server.port, "Creator", "Data", "State")
    cert_o = owner.AddMessageSubscriber(owner_server.port, "Owner", "Data", "State")
    line = creator.AddLine(cert_c, "ETHERNET", k2it.free_udp_port(), False, False, k2it.free_udp_port())
    k2it.add_device(creator, cert_c, line, DEVICE, k2it.free_udp_port())
    creator.DeviceLock(cert_c, DEVICE, False)
    assert creator_server.find(["Data"]) == [], creator_server.calls  # no GetEvent, no re-send

    owner.DeviceLock(cert_o, DEVICE, True, True)
    calls = owner_server.wait_for(["Data", DEVICE], count=2)
    assert sorted(c[2] for c in calls) == STORED and all(len(c) == 3 for c in calls), calls
    k2it.wait_until(lambda: stored_data(data_dir) == [], "the rows to go")
    assert owner.GetEvent(cert_o, DEVICE) is True
else:
    raise SystemExit("unknown phase " + phase)
k2it.done()
