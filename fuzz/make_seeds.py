#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_http_server, fuzz_aes_body and
fuzz_callback_response into fuzz/corpus/<target>/. Each seed starts with the
mode byte its target reads first (see the target's header comment). The AES
seeds use openssl for the block cipher."""
import base64
import hashlib
import pathlib
import subprocess

root = pathlib.Path(__file__).resolve().parent / "corpus"
DECL = b'<?xml version="1.0" encoding="Windows-1251" ?>\r\n'
BODY_KEY = bytes.fromhex("2B7E151628AED2A6ABF7158809CF4F3C")  # fuzz_aes_body's key


def call(method, *strings):
    params = b"".join(b"<param><value><string>" + s + b"</string></value></param>" for s in strings)
    return DECL + b"<methodCall><methodName>" + method + b"</methodName><params>" + params + b"</params></methodCall>\r\n"


def post(body, md5=True):
    head = b"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n" % len(body)
    if md5:
        head += b"Content-MD5: " + base64.b64encode(hashlib.md5(body).digest()) + b"\r\n"
    return head + b"\r\n" + body


def aes_seal(key, plain):
    """The body cipher: whole blocks, then a last block with the count byte."""
    whole = len(plain) // 16 * 16
    rest = plain[whole:]
    last = rest + bytes(15 - len(rest)) + bytes([len(rest)])
    return subprocess.run(["openssl", "enc", "-aes-128-ecb", "-nopad", "-K", key.hex()],
                          input=plain[:whole] + last, capture_output=True, check=True).stdout


def write(target, name, data):
    d = root / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


PLAIN, AES, EXCHANGE, FRAMED = 0, 1, 2, 4
echo = call(b"Echo", b"one", b"two &amp; three")
write("fuzz_http_server", "plain_echo_keepalive", bytes([PLAIN]) + post(echo) + post(call(b"system.listMethods"), md5=False))
write("fuzz_http_server", "plain_method_help", bytes([PLAIN]) + post(call(b"system.methodHelp", b"Echo")))
write("fuzz_http_server", "plain_bad_md5", bytes([PLAIN]) + post(echo).replace(b"Content-MD5: ", b"Content-MD5: AAAA"))
write("fuzz_http_server", "plain_get_help", bytes([PLAIN]) + b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
write("fuzz_http_server", "plain_short_body", bytes([PLAIN]) + b"POST /RPC2 HTTP/1.1\r\nContent-Length: 400\r\n\r\n<?xml")
write("fuzz_http_server", "aes_no_proof", bytes([AES]) + post(echo))
write("fuzz_http_server", "aes_exchange_raw_body", bytes([AES | EXCHANGE]) + post(b"jHSYj8rdrt40vSk+4HcfOw==\r\n"))
write("fuzz_http_server", "aes_framed_echo", bytes([AES | EXCHANGE | FRAMED]) +
      b"POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\n\r\n" + echo)
write("fuzz_http_server", "aes_framed_introspect", bytes([AES | EXCHANGE | FRAMED]) +
      b"POST /RPC2 HTTP/1.1\r\n\r\n" + call(b"system.methodSignature", b"Echo"))

sealed = base64.b64encode(aes_seal(BODY_KEY, DECL.rstrip(b"\r\n") + b"<methodCall/>")) + b"\r\n"
write("fuzz_aes_body", "valid_body", bytes([0]) + sealed)
write("fuzz_aes_body", "valid_blocks", bytes([0]) + aes_seal(BODY_KEY, b"sixteen bytes!!!" + b"and seven"))
write("fuzz_aes_body", "bad_base64", bytes([0]) + b"jHSYj8rd*t40vSk+4HcfOw==\r\n")
write("fuzz_aes_body", "short_block", bytes([0]) + base64.b64encode(b"0123456789") + b"\r\n")
write("fuzz_aes_body", "input_key_document", bytes([1]) + echo)
write("fuzz_aes_body", "empty_key_fixed", bytes([0]))

ok = (b"HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Type: text/xml\r\n"
      b"Server:  TerskXMLRPC/1.10 (Windows NT) KAVOR-TERSK v1.10\r\n")
response = DECL + (b"<methodResponse>\r\n   <params>\r\n   <param>\r\n<value><string>ok</string></value>\r\n"
                   b"   </param>\r\n   </params>\r\n</methodResponse>\r\n")
fault = DECL + (b"<methodResponse><fault><value><struct><member><name>faultCode</name><value><int>1001</int>"
                b"</value></member><member><name>faultString</name><value><string>failed</string></value>"
                b"</member></struct></value></fault></methodResponse>\r\n")
PLAIN, AES, FRAMED = 0, 1, 2
write("fuzz_callback_response", "plain_ok", bytes([PLAIN]) + ok + b"Content-Length: %d\r\n\r\n" % len(response) + response)
write("fuzz_callback_response", "plain_continue_then_ok", bytes([PLAIN]) + b"HTTP/1.1 100 Continue\r\n\r\n" + ok +
      b"Content-Length: %d\r\nContent-MD5: x\r\n\r\n" % len(fault) + fault)
write("fuzz_callback_response", "plain_no_length", bytes([PLAIN]) + ok + b"\r\n" + response)
write("fuzz_callback_response", "plain_closed_in_body", bytes([PLAIN]) + ok + b"Content-Length: 9999\r\n\r\n" + response)
write("fuzz_callback_response", "framed_empty_string", bytes([FRAMED]) + ok + b"\r\n" +
      response.replace(b"<string>ok</string>", b"<string></string>"))
write("fuzz_callback_response", "aes_framed_ok", bytes([AES | FRAMED]) + ok + b"\r\n" + response)
write("fuzz_callback_response", "aes_framed_fault", bytes([AES | FRAMED]) + ok + b"\r\n" + fault)
write("fuzz_callback_response", "aes_raw_body", bytes([AES]) + ok + b"Content-Length: 26\r\n\r\njHSYj8rdrt40vSk+4HcfOw==\r\n")
