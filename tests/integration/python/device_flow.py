"""One subscriber owns a line and a simulated device: notifications reach
every subscriber, the device's connection and data reach the owner, the
owner's data reaches the device; closing the owner's registration
connection releases it with its line and device."""

import k2it

DEVICE = "0000000000A1"

owner_server, watcher_server = k2it.CallbackServer(), k2it.CallbackServer()
owner, watcher = k2it.Api(), k2it.Api()
cert_o = owner.AddMessageSubscriber(owner_server.port, "Owner", "Data", "State")
cert_w = watcher.AddMessageSubscriber(watcher_server.port, "Watcher", "Data", "State")
owner_text = k2it.display("Owner", owner_server.port)

line_port, device_port = k2it.free_udp_port(), k2it.free_udp_port()
line = owner.AddLine(cert_o, "ETHERNET", line_port, False, False, device_port)
for server in (owner_server, watcher_server):
    server.wait_for(["State", 12, line, owner_text])
assert owner.LineType(cert_o, line) == "ETHERNET"

sim = k2it.Sim(line_port, DEVICE, device_port)
try:
    assert k2it.add_device(owner, cert_o, line, DEVICE, device_port) == DEVICE
    device_note = [line, DEVICE, k2it.HOST, device_port, owner_text]
    for server in (owner_server, watcher_server):
        server.wait_for(["State", 14] + device_note)
        server.wait_for(["State", 6] + device_note)

    # The key exchange: the owner alone hears of the connection.
    owner_server.wait_for(["State", 1, line, DEVICE])
    sim.wait_for("connected")
    assert owner.Connected(cert_o, DEVICE) is True
    assert watcher_server.find(["State", 1]) == []

    # Device data reaches the owner's data method with nine parameters.
    sim.command("data 0102")
    (call,) = owner_server.wait_for(["Data", DEVICE, "030102", 3])
    assert len(call) == 10, call
    flags, pnum, key_counter, trace, time_text, now_text = call[4:]
    assert isinstance(flags, str) and isinstance(pnum, int), call
    assert key_counter.isdigit(), call
    assert isinstance(trace, str) and len(time_text) == len(now_text) == len("dd.mm.yy hh:nn:ss zzz"), call
    assert watcher_server.find(["Data"]) == [], watcher_server.calls

    # The owner's data reaches the device, byte for byte.
    owner.SendData(cert_o, DEVICE, "04C1c2C3")
    sim.wait_for("data", "04C1C2C3")

    # The owner's registration connection closes: it is released, its
    # device is disconnected and unlocked, its line unlocked.
    owner.close()
    watcher_server.wait_for(["State", 7] + device_note)
    watcher_server.wait_for(["State", 5, line, owner_text])
    sim.wait_for("disconnect")
    (entry,) = [l for l in watcher.Lines() if l["ID"] == line]
    assert entry["Subscriber"] == "", entry
    (device,) = watcher.Devices(cert_w, line)
    assert device["MAC"] == DEVICE and device["Subscriber"] == "", device
    k2it.expect_fault(lambda: watcher.LineLock(cert_o, line), 10, "Subscriber not found")

    # The freed line and device are anyone's to take.
    watcher.LineLock(cert_w, line, True)
    watcher.DeviceLock(cert_w, DEVICE, True)
    watcher_server.wait_for(["State", 1, line, DEVICE])
finally:
    sim.stop()
k2it.done()
