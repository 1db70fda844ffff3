#!/usr/bin/env python3
"""Watch one Ethernet device through kavor2srv.

Registers as a subscriber with its own callback server, adds an Ethernet
line and the device on it, and prints what the service reports: the
device's connection and every data frame as it arrives. Needs the service
started with /noncrypt (Python's XML-RPC client cannot do the encrypted
dialect). Stop it with Ctrl-C, or give --count.

    python3 examples/watch_device.py --line-port 40000 --device 0000000000A1 --device-port 41000
"""

import argparse
import queue
import signal
import threading
import xmlrpc.client
from xmlrpc.server import SimpleXMLRPCRequestHandler, SimpleXMLRPCServer


class CallbackHandler(SimpleXMLRPCRequestHandler):
    rpc_paths = ("/xml-rpc",)  # the path the service calls

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--service", default="127.0.0.1:8100", help="the service's XML-RPC address")
    parser.add_argument("--callback-port", type=int, default=8121, help="port of this script's callback server")
    parser.add_argument("--line-port", type=int, default=40000, help="UDP port of the new line")
    parser.add_argument("--device", default="0000000000A1", help="the device's ID, 12 hex digits")
    parser.add_argument("--device-port", type=int, default=41000, help="the device's UDP port on 127.0.0.1")
    parser.add_argument("--device-host", default="127.0.0.1", help="the device's IPv4 address")
    parser.add_argument("--count", type=int, default=0, help="stop after this many data frames (0: never)")
    args = parser.parse_args()

    events = queue.Queue()

    # The service calls these on our server: data with nine parameters
    # (device, hex data, kind, flags, packet number, key counter, trace,
    # device time, delivery time); states with a code first.
    def on_data(device, data, *rest):
        events.put(("data", device, data, rest))
        return True

    def on_state(code, *rest):
        events.put(("state", code, rest))
        return True

    callback = SimpleXMLRPCServer(("127.0.0.1", args.callback_port), requestHandler=CallbackHandler,
                                  logRequests=False, allow_none=True)
    callback.register_function(on_data, "OnData")
    callback.register_function(on_state, "OnState")
    callback.register_function(lambda *a: True, "Ping")
    threading.Thread(target=callback.serve_forever, daemon=True).start()

    # The subscriber lives as long as this connection: keep the proxy open.
    service = xmlrpc.client.ServerProxy("http://%s/RPC2" % args.service)
    cert = service.AddMessageSubscriber(args.callback_port, "watch_device", "OnData", "OnState")
    print("registered", cert, flush=True)
    # port, auto-add, fixed device port, device port
    line = service.AddLine(cert, "ETHERNET", args.line_port, False, False, args.device_port)
    print("line", line, flush=True)
    # line, ID, GetEvent, GetCmd, keep the ID, host, port, keep the host, keep the port
    device = service.AddDevice(cert, line, args.device, False, False, True, args.device_host, args.device_port,
                               True, True)
    print("device", device, flush=True)

    frames = 0
    try:
        while args.count == 0 or frames < args.count:
            event = events.get()
            if event[0] == "data":
                _, dev, data, rest = event
                print("data", dev, data, rest[5], flush=True)  # rest[5]: the device's time stamp
                frames += 1
            elif event[1] in (0, 1):
                print("connected" if event[1] == 1 else "disconnected", event[2][1], flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        service.DeleteDevice(cert, device)
        service.DeleteLine(cert, line)
        service.DeleteMessageSubscriber(cert)
        service("close")()
        callback.server_close()


if __name__ == "__main__":
    main()
