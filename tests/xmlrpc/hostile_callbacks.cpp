#include "xmlrpc/hostile_callbacks.h"

#include <random>

#include "xmlrpc/client_error_codes.h"
#include "xmlrpc/client_http_framing.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::xmlrpc::testing {
namespace {

constexpr const char* kInvalidPayload = "Invalid payload received from xml-rpc server";
constexpr std::int32_t kRefusedCode = 4;
constexpr const char* kRefusedText = "Refused by the subscriber";
// Deeper than any parser limit, small enough to send at once.
constexpr int kHostileNesting = 1000;

std::string Pong() {
  TRpcFunction response;
  response.AddItem(std::string("pong"));
  return response.GetResponseXML();
}

std::string Head(std::int64_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\nContent-Type: text/xml\r\n\r\n";
}

// Waits out one tick; ends at once when the peer stops.
void Tick(RawPeer& peer, std::chrono::milliseconds tick) { peer.WaitOpened(tick); }

bool TakeRequest(RawConnection& c) {
  std::string head, body;
  return c.ReadRequest(head, body);
}

// Writes `bytes` one at a time, a tick apart, until the client goes.
void Drip(RawPeer& peer, RawConnection& c, const std::string& bytes, std::chrono::milliseconds tick) {
  for (char b : bytes) {
    if (!c.Write(std::string(1, b))) return;
    Tick(peer, tick);
  }
}

// Writes `chunk` again and again until the client goes.
void Flood(RawConnection& c, const std::string& chunk) {
  while (c.Write(chunk)) {
  }
}

// Random bytes, 32 KiB, without the letter x (so never "xml").
std::string Garbage() {
  std::mt19937 random(20261211);
  std::string out;
  while (out.size() < (32u << 10)) {
    const char c = static_cast<char>(random() & 0xFF);
    if (c != 'x' && c != 'X') out.push_back(c);
  }
  return out;
}

std::string DeepNesting() {
  std::string out = "<?xml version=\"1.0\"?><methodResponse><params><param>";
  for (int i = 0; i < kHostileNesting; ++i) out += "<value><array><data>";
  return out;
}

std::string FaultDocument() {
  return "<?xml version=\"1.0\" encoding=\"Windows-1251\"?><methodResponse><fault><value><struct>"
         "<member><name>faultCode</name><value><int>" +
         std::to_string(kRefusedCode) +
         "</int></value></member><member><name>faultString</name><value><string>" + kRefusedText +
         "</string></value></member></struct></value></fault></methodResponse>";
}

}  // namespace

std::vector<HostileCallback> HostileCallbacks() {
  using B = HostileBound;
  const std::string pong = Pong();
  return {
      {"accepts and never reads",
       [](RawPeer& peer, RawConnection&, int, std::chrono::milliseconds) { peer.WaitOpened(std::chrono::hours(1)); },
       B::kReadTimeout,
       {kWsaETimedOut}, "Read timed out.", true},
      {"status line at one byte per tick",
       [pong](RawPeer& peer, RawConnection& c, int, std::chrono::milliseconds tick) {
         if (TakeRequest(c)) Drip(peer, c, Head(static_cast<std::int64_t>(pong.size())) + pong, tick);
       },
       B::kReadTimeout, {kWsaETimedOut}, "Read timed out.", true},
      {"empty lines at one byte per tick, for ever",
       [](RawPeer& peer, RawConnection& c, int, std::chrono::milliseconds tick) {
         if (!TakeRequest(c)) return;
         for (;;) {
           if (!c.Write("\r")) return;
           Tick(peer, tick);
           if (!c.Write("\n")) return;
           Tick(peer, tick);
         }
       },
       B::kCallDeadline, {kWsaETimedOut}, "Call timed out.", true},
      // The read time-out bounds the whole of a read, and the body is read
      // in one piece, so a trickle cannot stretch it.
      {"body trickled a kilobyte per tick",
       [](RawPeer& peer, RawConnection& c, int, std::chrono::milliseconds tick) {
         if (!TakeRequest(c) || !c.Write(Head(kMaxResponseContentLength))) return;
         const std::string piece(1024, 'x');
         while (c.Write(piece)) Tick(peer, tick);
       },
       B::kReadTimeout, {kWsaETimedOut}, "Read timed out.", true},
      {"reset on accept", [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) { c.Reset(); }, B::kData,
       {kWsaEConnReset, kErrSocketClosed}, "", true},
      {"reset after reading the request",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         TakeRequest(c);
         c.Reset();
       },
       B::kData, {kWsaEConnReset, kErrSocketClosed}, "", true},
      {"reset in the middle of the head",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         if (TakeRequest(c)) c.Write("HTTP/1.1 200 OK\r\nContent-Le");
         c.Reset();
       },
       B::kData, {kErrSocketClosed}, "Connection closed by the server.", true},
      {"reset in the middle of the body",
       [pong](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         if (TakeRequest(c)) c.Write(Head(static_cast<std::int64_t>(pong.size())) + pong.substr(0, pong.size() / 2));
         c.Reset();
       },
       B::kData, {kErrSocketClosed}, "Connection closed by the server.", true},
      {"Content-Length of 900 MB",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         if (TakeRequest(c) && c.Write(Head(900'000'000))) Flood(c, std::string(64 * 1024, 'x'));
       },
       B::kData, {kErrInvalidPayload}, kInvalidPayload, false},
      {"endless body after a Content-Length at the cap",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         if (TakeRequest(c) && c.Write(Head(kMaxResponseContentLength))) Flood(c, std::string(64 * 1024, 'x'));
       },
       B::kData, {kErrInvalidPayload}, kInvalidPayload, false},
      {"Content-Length longer than the body",
       [pong](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         if (TakeRequest(c)) c.Write(Head(static_cast<std::int64_t>(pong.size()) + 100) + pong);
         c.HoldUntilClosed();
       },
       B::kReadTimeout, {kWsaETimedOut}, "Read timed out.", true},
      // The client takes what was announced: here the start of the XML
      // declaration, which is no payload.
      {"Content-Length shorter than the body",
       [pong](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         if (TakeRequest(c)) c.Write(Head(4) + pong);
         c.HoldUntilClosed();
       },
       B::kData, {kErrInvalidPayload}, kInvalidPayload, false},
      {"32 KiB of binary garbage",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         const std::string body = Garbage();
         if (TakeRequest(c)) c.Write(Head(static_cast<std::int64_t>(body.size())) + body);
         c.HoldUntilClosed();
       },
       B::kData, {kErrInvalidPayload}, kInvalidPayload, false},
      {"values nested past the parser's limit",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         const std::string body = DeepNesting();
         if (TakeRequest(c)) c.Write(Head(static_cast<std::int64_t>(body.size())) + body);
         c.HoldUntilClosed();
       },
       B::kData, {kErrInvalidPayload}, kInvalidPayload, false},
      {"a fault structure",
       [](RawPeer&, RawConnection& c, int, std::chrono::milliseconds) {
         const std::string body = FaultDocument();
         if (TakeRequest(c)) c.Write(Head(static_cast<std::int64_t>(body.size())) + body);
         c.HoldUntilClosed();
       },
       B::kData, {kRefusedCode}, kRefusedText, false},
  };
}

RawPeer::Script HostileScript(RawPeer& peer, const HostileCallback& hostile, std::chrono::milliseconds tick) {
  return [&peer, serve = hostile.serve, tick](RawConnection& c, int index) { serve(peer, c, index, tick); };
}

}  // namespace kavor2::xmlrpc::testing
