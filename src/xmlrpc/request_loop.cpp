#include "xmlrpc/request_loop.h"

#include <algorithm>
#include <thread>

#include "platform/errors.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/content_md5.h"
#include "xmlrpc/http_request.h"
#include "xmlrpc/http_response.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/session_key.h"

namespace kavor2::xmlrpc {
namespace {

using platform::IoStatus;
using platform::TcpConnection;

// A client that has AES on sends its proof right after connecting.
constexpr std::chrono::milliseconds kKeyExchangeTimeout{1000};
constexpr std::int32_t kFaultChecksum = 1002;

ConnectionEnd EndFor(const platform::IoResult& r) {
  switch (r.status) {
    case IoStatus::kTooLong:
      return ConnectionEnd::kLineTooLong;
    case IoStatus::kTimeout:
      return ConnectionEnd::kTimedOut;
    case IoStatus::kError:
      return ConnectionEnd::kIoError;
    default:
      return ConnectionEnd::kPeerClosed;
  }
}

bool ExchangeSessionKey(TcpConnection& connection, const TClientRec& client) {
  std::string proof;
  if (!connection.ReadExact(kKeyExchangeMessageSize, proof, kKeyExchangeTimeout).ok()) return false;
  if (!IsValidKeyProof(proof)) return false;
  return connection.WriteAll(WrapSessionKey(client.SessionKey)).ok();
}

std::string ChecksumFault(const std::string& expected, const std::string& computed) {
  TRpcFunction fault;
  fault.SetError(kFaultChecksum, "Checksum MD5 error of client request \r\nShould be: " + expected +
                                     " contains: " + computed + "\r\n");
  return fault.GetResponseXML();
}

// Reads the header lines up to the empty line. nullopt with `end` set when
// the connection has to end instead.
std::optional<HttpRequestHead> ReadHead(TcpConnection& connection, const RequestTimeouts& timeouts,
                                        ConnectionEnd& end) {
  // Waiting for a request to begin has no limit (keep-alive); the clock
  // starts with its first byte.
  platform::IoResult r = connection.WaitForInput();
  if (!r.ok()) {
    end = EndFor(r);
    return std::nullopt;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeouts.head;
  HttpRequestHead head;
  std::size_t lines = 0;
  std::string line;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    r = connection.ReadLine(line, kMaxHeaderLineLength, std::max(left, std::chrono::milliseconds{0}));
    if (!r.ok()) {
      // "Max line length exceeded.", a time-out, a close or a socket error:
      // nothing of this request can be answered.
      end = EndFor(r);
      return std::nullopt;
    }
    if (line.empty()) return head;
    if (++lines > kMaxHeadLines || head.RawLines().size() + line.size() + 2 > kMaxHeadLength) {
      end = ConnectionEnd::kHeadTooLarge;
      return std::nullopt;
    }
    head.AddLine(line);
  }
}

}  // namespace

ConnectionEnd RunRequestLoop(TcpConnection& connection, TClientRec& client, const RequestLoopOptions& options,
                             const RequestExecutor& execute) {
  std::optional<platform::Aes128> cipher;
  if (options.aes_crypt) {
    cipher.emplace(client.SessionKey);
    if (client.KeyExchangeDue) {
      // Tried once per connection whatever the outcome.
      client.KeyExchangeDue = false;
      if (!ExchangeSessionKey(connection, client)) return ConnectionEnd::kExchangeFailed;
    }
  }
  for (;;) {
    ConnectionEnd end = ConnectionEnd::kPeerClosed;
    std::optional<HttpRequestHead> head = ReadHead(connection, options.timeouts, end);
    if (!head) return end;

    const std::int32_t length = head->ContentLength();
    if (length <= 0) {
      if (head->Url()) {
        connection.WriteAll(BuildHelpResponse(BuildHelpText(*head)));
      }
      return ConnectionEnd::kBodyless;
    }
    if (length > kMaxBodyLength) return ConnectionEnd::kBodyTooLarge;

    std::string body;
    platform::IoResult r = connection.ReadExact(static_cast<std::size_t>(length), body, options.timeouts.body);
    if (!r.ok()) return EndFor(r);

    std::optional<std::string> response;
    if (head->ContentMd5() && !TCalcMd5Class::Matches(*head->ContentMd5(), body)) {
      response = ChecksumFault(*head->ContentMd5(), TCalcMd5Class::Digest(body));
    }
    if (cipher) {
      // The digest is over the body as sent, so it was checked first.
      try {
        body = DecodeAesBody(*cipher, body);
      } catch (const platform::ConversionError&) {
        return ConnectionEnd::kBadBody;
      }
    }
    if (!response) {
      for (int attempt = 0; attempt < options.handoff_attempts; ++attempt) {
        std::optional<std::string> answer = execute(body);
        if (!answer) return ConnectionEnd::kServerStopping;
        if (!answer->empty()) {
          response = std::move(answer);
          break;
        }
        if (attempt + 1 < options.handoff_attempts) std::this_thread::sleep_for(options.handoff_pause);
      }
      // The executor refuses a body with a NUL in it; the client gets back
      // what it sent up to the NUL.
      if (!response) response = body.substr(0, body.find('\0'));
    }
    if (cipher) *response = EncodeAesBody(*cipher, *response);
    r = connection.WriteAll(BuildXmlResponse(*response));
    if (!r.ok()) return EndFor(r);
  }
}

}  // namespace kavor2::xmlrpc
