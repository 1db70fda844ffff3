"""The periodic check pings idle subscribers: a "Ping" answered with fault
1000 (the method is missing) is tolerated, any other fault releases the
subscriber, and so does a callback server that has died."""

import k2it

debug_server = k2it.CallbackServer()
debug = k2it.Api()
cert_d = debug.AddMessageSubscriber(debug_server.port, "D ($DebugMode)", "Data", "State")

subscribers = {}
for name, ping in (("NoPing", 1000), ("BadPing", 1), ("Dead", "ok")):
    server = k2it.CallbackServer(ping=ping)
    api = k2it.Api()
    cert = api.AddMessageSubscriber(server.port, name, "Data", "State")
    text = k2it.display(name, server.port)
    debug_server.wait_for(["State", 20, cert, text])  # its callback connection is made
    subscribers[name] = (server, api, cert, text)

# The dead subscriber owns a line, which its release must free.
server, api, cert, text = subscribers["Dead"]
line = api.AddLine(cert, "ETHERNET", k2it.free_udp_port(), False, False, k2it.free_udp_port())
debug_server.wait_for(["State", 12, line, text])
server.kill()

# A check pass comes every 20 s; give it two.
for name in ("BadPing", "Dead"):
    server, api, cert, text = subscribers[name]
    debug_server.wait_for(["State", 21, cert, text], timeout=50)
    k2it.expect_fault(lambda: debug.Ping(cert), 10, "Subscriber not found")
debug_server.wait_for(["State", 5, line, subscribers["Dead"][3]])

server, api, cert, text = subscribers["NoPing"]
assert server.find(["Ping"]), "the check never pinged NoPing"
assert subscribers["BadPing"][0].find(["Ping"]), "the check never pinged BadPing"
api.Ping(cert)  # still registered
assert debug_server.find(["State", 21, cert]) == [], debug_server.calls
assert debug_server.find(["State", 21, cert_d]) == [], debug_server.calls
debug.Ping(cert_d)
k2it.done()
