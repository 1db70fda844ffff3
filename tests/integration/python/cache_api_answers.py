"""The API answers: a subscriber registers, adds a line and lists it."""

import k2it

server = k2it.CallbackServer()
api = k2it.Api()
cert = api.AddMessageSubscriber(server.port, "Owner", "Data", "State")
line = api.AddLine(cert, "ETHERNET", k2it.free_udp_port(), False, False, k2it.free_udp_port())
assert [l["ID"] for l in api.Lines()] == [line], api.Lines()
k2it.done()
