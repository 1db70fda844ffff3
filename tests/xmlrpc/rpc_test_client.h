#pragma once
// Helpers for server tests: an event loop on its own thread and a raw HTTP
// client over loopback that shows the bytes as they are on the wire.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/aes128.h"
#include "platform/event_loop.h"
#include "platform/tcp.h"

namespace kavor2::xmlrpc::rpctest {

// Runs an EventLoop on a thread of its own, as the service thread would.
class LoopThread {
 public:
  LoopThread();
  ~LoopThread();
  platform::EventLoop& loop() { return loop_; }
  // Runs fn on the loop thread and waits for it.
  void Sync(std::function<void()> fn);

 private:
  platform::EventLoop loop_;
  std::thread thread_;
};

struct HttpResponse {
  std::string head;  // status and header lines, each with CR LF, and the empty line
  std::string body;
  std::string Header(const std::string& name) const;  // value after "name: ", or ""
};

// The time any wait of a test may take before it counts as a failure.
inline constexpr std::chrono::milliseconds kTestDeadline{5000};

class RawHttpClient {
 public:
  explicit RawHttpClient(std::uint16_t port);

  bool connected() const { return conn_ != nullptr; }
  platform::TcpConnection& connection() { return *conn_; }

  bool Send(const std::string& bytes);
  // Sends a POST with the body; Content-MD5 is the body's digest unless
  // `md5` gives another text, or is left out when md5 is "".
  bool Post(const std::string& body, std::optional<std::string> md5 = std::nullopt);
  // Reads one response (header lines, then Content-Length bytes); nullopt
  // when the connection closes or the deadline passes first.
  std::optional<HttpResponse> Read();
  // True when the server closes the connection (within the deadline)
  // without sending anything more.
  bool ClosedWithoutData();

  // AES: runs the session-key exchange (the proof, then the server's
  // answer) and keeps the session key. False when the server does not
  // answer with a valid key.
  bool ExchangeKey();
  const platform::AesKey& session_key() const { return key_; }
  // Encrypted call and decrypted answer with the session key.
  bool PostEncrypted(const std::string& document);
  std::optional<std::string> ReadDecrypted();

 private:
  std::unique_ptr<platform::TcpConnection> conn_;
  platform::AesKey key_{};
};

// A methodCall document; `params` are the <param> elements' value texts.
std::string CallXml(const std::string& method, const std::vector<std::string>& params = {});

// The value text of a response's first parameter, between <value> and
// </value> of the first param ("" when there is none).
std::string FirstValue(const std::string& response);
// The fault code and string of a fault response; code -1 when none.
struct Fault {
  int code = -1;
  std::string message;
};
Fault ParseFault(const std::string& response);

}  // namespace kavor2::xmlrpc::rpctest
