"""The cache under SIGKILL, round after round on one data directory. Each
round starts the service, registers an owner, takes a simulated device with
GetEvent (which re-sends and re-keys the rows left by earlier rounds) and
lets the device send numbered events while the service is killed at a
random moment. The owner's callback server either holds the first data call
and never answers (rows pile up) or accepts every call (rows come and go).

After each kill the file, with its journal as the kill left them, must pass
integrity_check, and every row seen committed before must still be there
unless its data reached an owner. A last run with an accepting owner must
deliver every row ever seen and leave the table empty. A row whose call was
accepted just before a kill may be delivered again later: duplicates are
allowed, loss is not.

Arguments: the service program, the data directory, the number of rounds,
the random seed."""

import os
import random
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

import k2it

DEVICE = "0000000000E5"
program, data_dir, rounds, seed = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
db_file = os.path.join(data_dir, os.path.basename(program) + ".S3DB")
rng = random.Random(seed)
print("seed", seed, flush=True)


def frame(seq):
    """The frame k2sim sends for "data 45HHLL": length byte, event kind 5,
    the sequence number."""
    return "0445%04X" % seq


def read_rows(path, writable=False):
    mode = "rw" if writable else "ro"
    db = sqlite3.connect("file:%s?mode=%s" % (path, mode), uri=True, timeout=5)
    try:
        return [r[0] for r in db.execute("SELECT Data FROM LogData")]
    finally:
        db.close()


def seen_now():
    """The rows committed at this moment; none while the file is busy."""
    if not os.path.exists(db_file):
        return []
    try:
        return read_rows(db_file)
    except sqlite3.Error:
        return []


def after_kill():
    """Checks a copy of the file and its journal as the kill left them (the
    next run must recover them itself); gives the rows."""
    scratch = tempfile.mkdtemp(prefix="k2-kill-check")
    try:
        copy = os.path.join(scratch, "c.S3DB")
        shutil.copyfile(db_file, copy)
        if os.path.exists(db_file + "-journal"):
            shutil.copyfile(db_file + "-journal", copy + "-journal")
        db = sqlite3.connect(copy, timeout=5)
        try:
            verdict = [r[0] for r in db.execute("PRAGMA integrity_check")]
            assert verdict == ["ok"], verdict
            return [r[0] for r in db.execute("SELECT Data FROM LogData")]
        finally:
            db.close()
    finally:
        shutil.rmtree(scratch)


class Service:
    def __init__(self, round_no):
        self.port = k2it.free_tcp_port()
        env = dict(os.environ, KAVOR2_SYSCONFDIR=os.path.join(data_dir, "etc"))
        env.pop("NOTIFY_SOCKET", None)
        self.log = os.path.join(data_dir, "events-%d.log" % round_no)
        self.proc = subprocess.Popen([program, "/noncrypt", "/port=%d" % self.port, "/datadir=" + data_dir,
                                      "/eventlog=" + self.log], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + k2it.DEADLINE
        while True:
            try:
                with socket.create_connection((k2it.HOST, self.port), timeout=1):
                    break
            except OSError:
                assert self.proc.poll() is None, "the service ended at start"
                assert time.monotonic() < end, "the service never listened"
                time.sleep(0.05)

    def kill(self):
        self.proc.send_signal(signal.SIGKILL)
        assert self.proc.wait(10) == -signal.SIGKILL

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        assert self.proc.wait(30) == 0, "the service did not stop cleanly"

    def entries(self):
        with open(self.log, encoding="cp1251", errors="replace") as f:
            return f.read()


def data_of(server):
    """The frames that reached the owner: the second parameter of the
    nine-parameter data call and of the two-parameter re-send alike."""
    return {c[2] for c in server.find(["Data", DEVICE])}


def owner_with_device(service, server):
    api = k2it.Api(crypt=False, port=service.port)
    cert = api.AddMessageSubscriber(server.port, "Owner", "Data", "State")
    line_port, device_port = k2it.free_udp_port(), k2it.free_udp_port()
    line = api.AddLine(cert, "ETHERNET", line_port, False, False, device_port)
    sim = k2it.Sim(line_port, DEVICE, device_port)
    k2it.add_device(api, cert, line, DEVICE, device_port, get_event=True)
    return api, sim


seen = set()       # every row ever seen committed
delivered = set()  # every frame an owner was handed
next_seq = 0
for round_no in range(rounds):
    hold = round_no % 2 == 0
    service = Service(round_no)
    server = k2it.CallbackServer(crypt=False, hold_data=hold)
    api, sim = owner_with_device(service, server)
    try:
        # Every third round is killed early, during the re-send's re-keying
        # or before the device is connected; the others while events
        # stream in.
        if round_no % 3 == 2:
            time.sleep(rng.uniform(0.0, 0.3))
        else:
            sim.wait_for("connected")
            kill_at = time.monotonic() + rng.uniform(0.1, 1.5)
            while time.monotonic() < kill_at:
                for _ in range(rng.randint(1, 4)):
                    sim.command("data 45%04X" % next_seq)
                    next_seq += 1
                seen.update(seen_now())
                time.sleep(rng.uniform(0.002, 0.02))
        service.kill()
    finally:
        sim.stop()
    if not hold:  # a held call was never answered: its row must stay
        delivered |= data_of(server)
    server.kill()
    rows = after_kill()
    missing = sorted(seen - set(rows) - delivered)
    assert not missing, "round %d lost %r" % (round_no, missing)
    assert "atabase" not in service.entries(), service.entries()
    seen.update(rows)
    print("round %d: %s, %d sent, %d rows, %d delivered so far" %
          (round_no, "holding" if hold else "accepting", next_seq, len(rows), len(delivered)), flush=True)

# The last run recovers the file, re-sends every row to an owner that takes
# them, and the table ends empty.
service = Service(rounds)
server = k2it.CallbackServer(crypt=False)
api, sim = owner_with_device(service, server)
try:
    k2it.wait_until(lambda: seen <= delivered | data_of(server) and read_rows(db_file) == [],
                    "every row delivered and the table empty")
finally:
    sim.stop()
delivered |= data_of(server)
assert "atabase" not in service.entries(), service.entries()
service.stop()
assert len(seen) >= rounds, "too few rows to tell anything: %d" % len(seen)
print("%d rows seen, all delivered" % len(seen))
k2it.done()
