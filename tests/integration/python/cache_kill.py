"""The cache under SIGKILL. Events of a device with GetEvent reach an owner
that never answers, so their rows stay. Once five rows can be read, their
transaction IDs are printed on a line beginning with "stored"; the test
kills the service right then, while further events keep arriving, and checks
the file afterwards."""

import glob
import os
import sqlite3
import sys
import time

import k2it

DEVICE = "0000000000D7"
data_dir = sys.argv[1]


def transactions():
    paths = glob.glob(os.path.join(data_dir, "*.S3DB"))
    if not paths:
        return []
    db = sqlite3.connect("file:%s?mode=ro" % paths[0], uri=True, timeout=5)
    try:
        return [r[0] for r in db.execute("SELECT IDTransaction FROM LogData")]
    finally:
        db.close()


server, api, cert, line, sim = k2it.connected_event_device(DEVICE)
try:
    for i in range(5):
        sim.command("data 45%02X" % i)
        sim.wait_for("data-sent", "0345%02X" % i)
    k2it.wait_until(lambda: len(transactions()) >= 5, "five rows")
    print("stored " + " ".join(transactions()), flush=True)
    # More events while the service is being killed.
    for i in range(100):
        sim.command("data 86%02X" % i)
        time.sleep(0.01)
finally:
    sim.stop()
k2it.done()
