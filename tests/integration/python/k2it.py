"""Shared pieces of the whole-service tests: the API client (plain, or with
the session-key exchange and AES bodies), the subscribers' callback servers,
and k2sim run as the devices. Everything talks over loopback only.

The scenario scripts read their setting from the environment:
K2_SERVICE_PORT, K2SIM (the simulator program), K2_CRYPT ("1" when the
service runs without /noncrypt)."""

import base64
import ctypes
import ctypes.util
import hashlib
import os
import queue
import socket
import socketserver
import subprocess
import sys
import threading
import time
import xmlrpc.client
import xmlrpc.server

DEADLINE = 30.0  # generous: the sanitizer builds are slow
HOST = "127.0.0.1"


def service_port():
    return int(os.environ["K2_SERVICE_PORT"])


def crypt_on():
    return os.environ.get("K2_CRYPT") == "1"


# --- AES in the service's dialect -------------------------------------------

FIXED_KEY = bytes.fromhex("3A915C07E248B61D70C4298F05DB63AE")
BLOCK = 16


class _Ecb:
    """AES-128-ECB over whole blocks, through the system's libcrypto."""

    def __init__(self):
        lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
        lib.EVP_CIPHER_CTX_new.restype = ctypes.c_void_p
        lib.EVP_CIPHER_CTX_free.argtypes = [ctypes.c_void_p]
        lib.EVP_aes_128_ecb.restype = ctypes.c_void_p
        for name in ("EVP_EncryptInit_ex", "EVP_DecryptInit_ex"):
            getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                           ctypes.c_char_p, ctypes.c_char_p]
        for name in ("EVP_EncryptUpdate", "EVP_DecryptUpdate"):
            getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_int),
                                           ctypes.c_char_p, ctypes.c_int]
        lib.EVP_CIPHER_CTX_set_padding.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.lib = lib

    def run(self, key, data, encrypt):
        assert len(key) == BLOCK and len(data) % BLOCK == 0
        lib = self.lib
        ctx = lib.EVP_CIPHER_CTX_new()
        try:
            init = lib.EVP_EncryptInit_ex if encrypt else lib.EVP_DecryptInit_ex
            update = lib.EVP_EncryptUpdate if encrypt else lib.EVP_DecryptUpdate
            assert init(ctx, lib.EVP_aes_128_ecb(), None, key, None) == 1
            lib.EVP_CIPHER_CTX_set_padding(ctx, 0)
            out = ctypes.create_string_buffer(len(data) + BLOCK)
            n = ctypes.c_int(0)
            assert update(ctx, out, ctypes.byref(n), data, len(data)) == 1
            return out.raw[:n.value]
        finally:
            lib.EVP_CIPHER_CTX_free(ctx)


_ECB = None


def _ecb():
    global _ECB
    if _ECB is None:
        _ECB = _Ecb()
    return _ECB


def aes_encrypt(key, plain):
    """Whole blocks as they are, then always one block with the rest, zeros
    and the count of the rest in its last byte."""
    rest = len(plain) % BLOCK
    whole = plain[:len(plain) - rest]
    last = plain[len(plain) - rest:] + bytes(BLOCK - 1 - rest) + bytes([rest])
    return _ecb().run(key, whole + last, True)


def aes_decrypt(key, cipher):
    usable = len(cipher) - len(cipher) % BLOCK
    if usable < BLOCK:
        raise ValueError("ciphertext shorter than a block")
    plain = _ecb().run(key, cipher[:usable], False)
    count = plain[-1]
    if count >= BLOCK:
        raise ValueError("bad count byte %d" % count)
    return plain[:-BLOCK] + plain[-BLOCK:-BLOCK + count]


def _read_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def _read_line(sock):
    line = b""
    while not line.endswith(b"\r\n"):
        c = sock.recv(1)
        if not c:
            raise ConnectionError("closed inside a header")
        line += c
    return line[:-2]


def _read_http_message(sock):
    """Header lines and body of one HTTP message with a Content-Length."""
    headers = {}
    while True:
        line = _read_line(sock)
        if not line:
            if headers:
                break
            continue
        if b":" in line:
            name, value = line.split(b":", 1)
            headers[name.strip().lower()] = value.strip()
        else:
            headers.setdefault(b"", line)
    body = _read_exact(sock, int(headers.get(b"content-length", b"0")))
    return headers, body


def _md5_text(body):
    return base64.b64encode(hashlib.md5(body).digest())


# --- The API client ---------------------------------------------------------

class Api:
    """One kept-alive connection to the service. Attribute calls are API
    calls: api.AddLine(cert, ...). Plain bodies go through the standard
    ServerProxy; with crypt the connection first exchanges the session key
    and every body is AES-encrypted."""

    def __init__(self, crypt=None, port=None):
        self.crypt = crypt_on() if crypt is None else crypt
        self.port = port or service_port()
        if self.crypt:
            self.sock = socket.create_connection((HOST, self.port), timeout=DEADLINE)
            self.sock.sendall(aes_encrypt(FIXED_KEY, FIXED_KEY))
            self.key = aes_decrypt(FIXED_KEY, _read_exact(self.sock, 2 * BLOCK))
            assert len(self.key) == BLOCK, self.key
        else:
            self.proxy = xmlrpc.client.ServerProxy("http://%s:%d/RPC2" % (HOST, self.port))
            self.proxy.system.listMethods()  # opens the connection

    def call(self, method, *params):
        if not self.crypt:
            return getattr(self.proxy, method)(*params)
        document = xmlrpc.client.dumps(params, method, encoding="windows-1251").encode("cp1251")
        body = base64.b64encode(aes_encrypt(self.key, document)) + b"\r\n"
        self.sock.sendall(b"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n"
                          b"Content-MD5: %s\r\n\r\n" % (len(body), _md5_text(body)) + body)
        headers, answer = _read_http_message(self.sock)
        assert headers.get(b"content-md5") == _md5_text(answer), headers
        plain = aes_decrypt(self.key, base64.b64decode(answer.rstrip(b"\r\n")))
        result, _ = xmlrpc.client.loads(plain)  # raises Fault for a fault
        return result[0] if len(result) == 1 else result

    def __getattr__(self, method):
        if method.startswith("_"):
            raise AttributeError(method)
        return lambda *params: self.call(method, *params)

    def local_port(self):
        """The client end of the connection: the service knows the
        registration by it."""
        if self.crypt:
            return self.sock.getsockname()[1]
        return self.proxy._ServerProxy__transport._connection[1].sock.getsockname()[1]

    def close(self):
        if self.crypt:
            self.sock.close()
        else:
            self.proxy("close")()


def expect_fault(call, code, text=None):
    try:
        call()
    except xmlrpc.client.Fault as f:
        got, want = (f.faultCode, f.faultString), (code, f.faultString if text is None else text)
        assert got == want, "fault %r, expected %r" % (got, want)
        return f
    raise AssertionError("no fault %d (%r)" % (code, text))


def display(name, callback_port):
    return "%s ( %s : %d)" % (name, HOST, callback_port)


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def free_tcp_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(condition, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.05)


# --- Callback servers -------------------------------------------------------

class _PlainHandler(xmlrpc.server.SimpleXMLRPCRequestHandler):
    rpc_paths = ("/xml-rpc",)
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass


class _PlainServer(socketserver.ThreadingMixIn, xmlrpc.server.SimpleXMLRPCServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, address = super().get_request()
        self.owner.track(sock)
        return sock, address


class _AesHandler(socketserver.BaseRequestHandler):
    """The callback side of the encrypted dialect: the session key first,
    then requests with Base64 AES bodies."""

    def handle(self):
        owner = self.server.owner
        sock = self.request
        owner.track(sock)
        try:
            proof = _read_exact(sock, 2 * BLOCK)
            if aes_decrypt(FIXED_KEY, proof) != FIXED_KEY:
                return
            key = os.urandom(BLOCK)
            sock.sendall(aes_encrypt(FIXED_KEY, key))
            while True:
                _, body = _read_http_message(sock)
                document = aes_decrypt(key, base64.b64decode(body.rstrip(b"\r\n")))
                response = owner.dispatcher._marshaled_dispatch(document)
                out = base64.b64encode(aes_encrypt(key, response)) + b"\r\n"
                sock.sendall(b"HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Type: text/xml\r\n"
                             b"Content-Length: %d\r\nContent-MD5: %s\r\n\r\n" % (len(out), _md5_text(out)) + out)
        except (ConnectionError, OSError, ValueError):
            pass


class _AesServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class CallbackServer:
    """A subscriber's own XML-RPC server at path /xml-rpc: records every call
    as [method, params...]. `ping` is what "Ping" does: "ok", or a fault code
    to answer with."""

    def __init__(self, crypt=None, data="Data", state="State", ping="ok", hold_data=False):
        self.crypt = crypt_on() if crypt is None else crypt
        self.data = data
        self.hold_data = hold_data  # take data calls and never answer them
        self.calls = []
        self.cond = threading.Condition()
        self.sockets = []
        if self.crypt:
            self.server = _AesServer((HOST, 0), _AesHandler)
            self.dispatcher = xmlrpc.server.SimpleXMLRPCDispatcher(allow_none=True)
        else:
            self.server = _PlainServer((HOST, 0), _PlainHandler, logRequests=False, allow_none=True)
            self.dispatcher = self.server
        self.server.owner = self
        self.dispatcher.register_function(self._recorder(data), data)
        self.dispatcher.register_function(self._recorder(state), state)
        if ping == "ok":
            self.dispatcher.register_function(self._recorder("Ping"), "Ping")
        else:
            self.dispatcher.register_function(self._faulting("Ping", ping), "Ping")
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def track(self, sock):
        with self.cond:
            self.sockets.append(sock)

    def _recorder(self, name):
        def record(*params):
            with self.cond:
                self.calls.append([name] + list(params))
                self.cond.notify_all()
            if self.hold_data and name == self.data:
                threading.Event().wait()
            return True
        return record

    def _faulting(self, name, code):
        def fault(*params):
            with self.cond:
                self.calls.append([name] + list(params))
                self.cond.notify_all()
            raise xmlrpc.client.Fault(code, "Requested method was not registered on the server: " + name)
        return fault

    def find(self, prefix):
        with self.cond:
            return [c for c in self.calls if c[:len(prefix)] == prefix]

    def wait_for(self, prefix, count=1, timeout=DEADLINE):
        """The first `count` calls that begin with `prefix`."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                found = [c for c in self.calls if c[:len(prefix)] == prefix]
                if len(found) >= count:
                    return found[:count]
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("never received %r x%d; got %r" % (prefix, count, self.calls))
                self.cond.wait(left)

    def kill(self):
        """The server dies: no listener, and its open connections are cut."""
        self.server.shutdown()
        self.server.server_close()
        with self.cond:
            for sock in self.sockets:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                sock.close()


# --- Devices ----------------------------------------------------------------

class Sim:
    """k2sim playing one device for a line, commanded through its stdin; its
    event lines ("time ID event HEX") are collected as they come."""

    def __init__(self, line_port, device_id, device_port, *extra):
        args = [os.environ["K2SIM"], "--service", "%s:%d" % (HOST, line_port), "--first-id", device_id,
                "--base-port", str(device_port), "--id-every", "200", "--commands",
                # ends by itself should this script be killed
                "--duration", "200"] + list(extra)
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.events = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            words = line.split()
            with self.cond:
                # [event, hex] without the time and the ID
                self.events.append(words[2:] if len(words) >= 3 else words)
                self.cond.notify_all()

    def wait_for(self, event, data=None, timeout=DEADLINE):
        want = [event] if data is None else [event, data]
        end = time.monotonic() + timeout
        with self.cond:
            while want not in [e[:len(want)] for e in self.events]:
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("k2sim never said %r; said %r" % (want, self.events))
                self.cond.wait(left)

    def seen(self, event, data=None):
        want = [event] if data is None else [event, data]
        with self.cond:
            return want in [e[:len(want)] for e in self.events]

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)


def add_device(api, cert, line, device_id, device_port, get_event=False, key=None):
    """An Ethernet device of a simulated device at 127.0.0.1:device_port that
    keeps its ID, address and port."""
    params = [cert, line, device_id, get_event, False, True, HOST, device_port, True, True]
    if key is not None:
        params.append(key)
    return api.AddDevice(*params)


def connected_event_device(device_id):
    """A subscriber "Owner" whose callback server takes the first Data call
    and never answers it, an Ethernet line of its own and on it the simulated
    device device_id with GetEvent, connected. Gives (server, api, cert,
    line, sim); the caller stops sim."""
    server = CallbackServer(hold_data=True)
    api = Api()
    cert = api.AddMessageSubscriber(server.port, "Owner", "Data", "State")
    line_port, device_port = free_udp_port(), free_udp_port()
    line = api.AddLine(cert, "ETHERNET", line_port, False, False, device_port)
    sim = Sim(line_port, device_id, device_port)
    try:
        add_device(api, cert, line, device_id, device_port, get_event=True)
        sim.wait_for("connected")
    except BaseException:
        sim.stop()
        raise
    return server, api, cert, line, sim


def done():
    print("done")
    sys.stdout.flush()
