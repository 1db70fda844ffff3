"""The cache on a data directory that fills up. The owner's callback server
accepts data calls while its gate is open and holds them while it is shut.
With the disk full, live data still reaches the owner, the API still
answers, and the failed inserts are in the event log; once there is room
again a held call's row is stored, and goes when the call is accepted.

When the file system is already full at the start (a file "filler" fills
it), the service could not make the table: that is in the event log, and
the table is made once the filler is gone.

Arguments: the data directory (a small file system of its own), the event
log."""

import errno
import glob
import os
import sqlite3
import sys
import threading

import k2it

DEVICE = "0000000000E6"
data_dir, event_log = sys.argv[1], sys.argv[2]


def rows():
    """The table's rows; None while there is no table yet."""
    (path,) = glob.glob(os.path.join(data_dir, "*.S3DB"))
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True, timeout=5)
    try:
        return sorted(r[0] for r in db.execute("SELECT Data FROM LogData"))
    except sqlite3.OperationalError as e:
        if "no such table" in str(e):
            return None
        raise
    finally:
        db.close()


def entries():
    with open(event_log, encoding="cp1251", errors="replace") as f:
        return f.read()


def fill(path):
    """Writes until the file system says it is full."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        for size in (65536, 4096, 512, 1):
            chunk = b"\0" * size
            while True:
                try:
                    os.write(fd, chunk)
                except OSError as e:
                    assert e.errno == errno.ENOSPC, e
                    break
    finally:
        os.close(fd)


server = k2it.CallbackServer()
gate = threading.Event()
gate.set()


def gated_data(*params):
    with server.cond:
        server.calls.append(["Data"] + list(params))
        server.cond.notify_all()
    gate.wait()
    return True


server.dispatcher.register_function(gated_data, "Data")
api = k2it.Api()
cert = api.AddMessageSubscriber(server.port, "Owner", "Data", "State")
line_port, device_port = k2it.free_udp_port(), k2it.free_udp_port()
line = api.AddLine(cert, "ETHERNET", line_port, False, False, device_port)
sim = k2it.Sim(line_port, DEVICE, device_port)
filler = os.path.join(data_dir, "filler")
try:
    k2it.add_device(api, cert, line, DEVICE, device_port, get_event=True)
    sim.wait_for("connected")
    if os.path.exists(filler):
        assert "Database create error : database or disk is full" in entries(), entries()
        sim.command("data 450000")
        server.wait_for(["Data", DEVICE, "04450000"])
        k2it.wait_until(lambda: "Insert to database error : " in entries(), "the failed insert")
        os.remove(filler)

    # Room: the row comes and goes with the accepted call.
    sim.command("data 450001")
    server.wait_for(["Data", DEVICE, "04450001"])
    k2it.wait_until(lambda: rows() == [], "the accepted row to go")

    fill(filler)
    for i in range(5):
        sim.command("data 4501%02X" % i)
        server.wait_for(["Data", DEVICE, "044501%02X" % i])  # live data still flows
    k2it.wait_until(lambda: entries().count("Insert to database error : database or disk is full") >= 5,
                    "the failed inserts in the event log")
    assert api.GetEvent(cert, DEVICE) is True
    assert api.Connected(cert, DEVICE) is True

    # Room again: a held call's row is stored, and goes once it is accepted.
    os.remove(filler)
    gate.clear()
    sim.command("data 450200")
    server.wait_for(["Data", DEVICE, "04450200"])
    k2it.wait_until(lambda: rows() == ["04450200"], "the row stored again")
    gate.set()
    k2it.wait_until(lambda: rows() == [], "the row to go")
finally:
    gate.set()
    sim.stop()
    if os.path.exists(filler):
        os.remove(filler)
k2it.done()
