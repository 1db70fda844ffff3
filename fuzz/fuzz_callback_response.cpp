// The callback client reading a server's answer: a synchronous call of a
// real TRpcClient whose connector hands it one end of a socket pair. The
// other end already holds the answer and is shut for writing, so every read
// ends at once, and a connection the client opens again (a close before the
// head is retried) gets the same bytes. The client reads the status line,
// the header lines and the body and parses the response.
//
// The first input byte picks how the rest becomes the answer:
//   bit 0: AES on: the answer starts with the server's half of the
//          session-key exchange (the key below, wrapped);
//   bit 1: framed: the rest is head lines, an empty line, then a document;
//          the harness adds the matching Content-Length line (last, so it
//          wins) and, with AES, sends the document encrypted.
// Without bit 1 the bytes go out as they are.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/aes128.h"
#include "platform/event_loop.h"
#include "platform/tcp.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/rpc_client.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/session_key.h"

namespace {

using kavor2::platform::IoResult;
using kavor2::platform::TcpConnection;
namespace xr = kavor2::xmlrpc;

constexpr kavor2::platform::AesKey kSessionKey = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                                  0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr std::uint8_t kAesBit = 1;
constexpr std::uint8_t kFramedBit = 2;
constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
// Never waited for: the answer is complete before the client reads.
constexpr int kReadTimeoutMs = 2000;
constexpr std::int32_t kFakePort = 8080;

std::string BuildAnswer(std::uint8_t mode, std::string_view rest) {
  std::string answer;
  if (mode & kAesBit) answer = xr::WrapSessionKey(kSessionKey);
  if (!(mode & kFramedBit)) return answer.append(rest);

  const std::size_t split = rest.find(kHeadEnd);
  const std::string_view head = rest.substr(0, split);
  const std::string_view document =
      split == std::string_view::npos ? std::string_view() : rest.substr(split + kHeadEnd.size());
  std::string body(document);
  if (mode & kAesBit) {
    const kavor2::platform::Aes128 cipher(kSessionKey);
    body = xr::EncodeAesBody(cipher, body);
  }
  answer.append(head).append(kLineEnd);
  answer.append("Content-Length: ").append(std::to_string(body.size())).append(kHeadEnd);
  return answer.append(body);
}

// The fake server: the far ends of the pairs the client was given, each
// holding the answer. They stay open until the call is over, so that the
// client's request is written as to any server that reads it later.
class FakeServer {
 public:
  explicit FakeServer(std::string answer) : answer_(std::move(answer)) {}
  ~FakeServer() {
    for (int fd : peers_) ::close(fd);
  }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  IoResult Connect(std::unique_ptr<TcpConnection>& out) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    peers_.push_back(fds[1]);
    // The whole answer has to fit the pair's buffers before the client reads.
    const int buffer = static_cast<int>(answer_.size() + kBufferSlack);
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    std::size_t done = 0;
    while (done < answer_.size()) {
      const ssize_t n = ::send(fds[1], answer_.data() + done, answer_.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;  // the fuzzer's timer signal
      if (n <= 0) __builtin_trap();  // the harness itself is broken
      done += static_cast<std::size_t>(n);
    }
    ::shutdown(fds[1], SHUT_WR);
    out = std::make_unique<TcpConnection>(fds[0]);
    return IoResult::Ok();
  }

 private:
  static constexpr std::size_t kBufferSlack = 64 * 1024;
  std::string answer_;
  std::vector<int> peers_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t mode = data[0];
  FakeServer server(BuildAnswer(mode, std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1)));

  kavor2::platform::EventLoop owner;
  xr::TRpcClient client(owner);
  client.SetAESCrypt((mode & kAesBit) != 0);
  client.SetReadTimeout(kReadTimeoutMs);
  client.SetHostName("127.0.0.1");
  client.SetHostPort(kFakePort);
  client.SetConnector([&server](const std::string&, std::uint16_t, kavor2::platform::Timeout,
                                std::unique_ptr<TcpConnection>& out) { return server.Connect(out); });

  auto call = std::make_shared<xr::TRpcFunction>();
  call->SetObjectMethod("Notify");
  call->AddItem(std::string("fuzz"));
  xr::TRpcResult result;
  try {
    client.Execute(std::move(call), false, result);
  } catch (const std::exception&) {
    // The parser's conversion and limit errors reach the caller.
  }
  return 0;
}
