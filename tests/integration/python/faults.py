"""Fault codes and texts of representative line and device calls, as the
real program answers them to a second subscriber and to the owner."""

import k2it

a_server, b_server = k2it.CallbackServer(), k2it.CallbackServer()
a, b = k2it.Api(), k2it.Api()
cert_a = a.AddMessageSubscriber(a_server.port, "A", "Data", "State")
cert_b = b.AddMessageSubscriber(b_server.port, "B", "Data", "State")
a_text = k2it.display("A", a_server.port)
DEVICE = "0000000000B1"
UNKNOWN_CERT = "{00000000-0000-0000-0000-000000000001}"

line = a.AddLine(cert_a, "ETHERNET", k2it.free_udp_port(), False, False, k2it.free_udp_port())
lines_before = a.Lines()
device_port = k2it.free_udp_port()


def device(*tail):
    return [cert_a, line, DEVICE, False, False, True, k2it.HOST, device_port, True] + list(tail)


L = str(line)
cases = [
    # A owns the line.
    (lambda: b.LineLock(cert_b, line), 1, "Line locked " + a_text),
    (lambda: b.DeleteLine(cert_b, line), 7, "Object is locked by other user Line ID : " + L + " " + a_text),
    (lambda: b.LineAutoAdd(cert_b, line), 7, "Object is locked by other user Line ID : " + L + " " + a_text),
    (lambda: a.DeleteLine(cert_a, 999), 1, "Line not found ID : 999"),
    (lambda: a.LinePortSpeed(cert_a, line), 1, "Invalid line type"),
    (lambda: a.LineType(cert_a, 999), 1, "Device not found"),
    (lambda: a.LineLock(UNKNOWN_CERT, line), 10, "Subscriber not found"),
    (lambda: a.LineLock("not a certificate", line), 3, "Inavlid parameter type"),
    (lambda: a.AddLine(cert_a, "ETHERNET", k2it.free_udp_port(), False, False, k2it.free_udp_port(),
                       0, 0, 5, 30, 30), 3, "Inavlid parameter type"),
    # Devices.
    (lambda: a.AddDevice(*device()), 2, "Parameters count error"),
    (lambda: a.AddDevice(*(device(True)[:2] + ["0000000000B12"] + device(True)[3:])), 4, "not valid ID"),
    (lambda: a.AddDevice(*device(True, "00" * 15 + "0")), 4, "not valid MasterKey"),
    (lambda: a.AddDevice(*([cert_a, 999] + device(True)[2:])), 3, "Not Line ID : 999"),
    (lambda: a.Connected(cert_a, DEVICE), 1, "Device not found"),
]
for call, code, text in cases:
    k2it.expect_fault(call, code, text)
assert a.Lines() == lines_before, a.Lines()  # the refused AddLine left no line

assert k2it.add_device(a, cert_a, line, DEVICE, device_port) == DEVICE
cases = [
    (lambda: b.Connected(cert_b, DEVICE), 7,
     "Object is locked by other user  Device ID : " + DEVICE + " " + a_text),
    (lambda: b.DeviceLock(cert_b, DEVICE, True), 1, "Device locked " + a_text),
    (lambda: a.DeviceLock(cert_a, DEVICE, True, True), 9, "Object is locked by me"),
    (lambda: a.SendData(cert_a, DEVICE, "0A1B"), 1, "Device not coonected"),
    (lambda: a.SubDevice(cert_a, DEVICE, "01"), 1, "Device not found"),
]
for call, code, text in cases:
    k2it.expect_fault(call, code, text)
assert a.SubDevices(cert_a, DEVICE) == []
a.CommandTimeOut(cert_a, DEVICE, 5)
assert a.CommandTimeOut(cert_a, DEVICE) == 5.0

# Released, the device and the line are nobody's.
a.DeviceLock(cert_a, DEVICE, False)
a.LineLock(cert_a, line, False)
k2it.expect_fault(lambda: b.Connected(cert_b, DEVICE), 8, "Object is unlocked  Device ID : " + DEVICE + " ")
k2it.expect_fault(lambda: b.LineType(cert_b, line), 8, "Object is unlocked Line ID : " + L + " ")
b.DeleteDevice(cert_b, DEVICE)
b_server.wait_for(["State", 15, DEVICE, k2it.display("B", b_server.port)])
b.DeleteLine(cert_b, line)
k2it.done()
