#include "hostile_server.h"

#include <dirent.h>

#include <functional>
#include <thread>

namespace kavor2::xmlrpc::rpctest {
namespace {

std::size_t CountEntries(const char* dir) {
  DIR* d = ::opendir(dir);
  if (!d) return 0;
  std::size_t n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

std::size_t Threads() { return CountEntries("/proc/self/task"); }
std::size_t Descriptors() { return CountEntries("/proc/self/fd"); }

// Polls until `value()` equals `want` or the test deadline passes; gives
// back the last value seen.
std::size_t WaitUntilEqual(const std::function<std::size_t()>& value, std::size_t want) {
  const auto until = std::chrono::steady_clock::now() + kTestDeadline;
  std::size_t seen = value();
  while (seen != want && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    seen = value();
  }
  return seen;
}

}  // namespace

void HostileServerTest::Start(bool aes, const RequestTimeouts& timeouts) {
  aes_ = aes;
  server_ = std::make_unique<TRpcServer>(loop_.loop());
  server_->SetListenPort(0);
  server_->SetAESCrypt(aes);
  server_->SetTimeouts(timeouts);
  server_->Methods().Add("Echo", [this](const std::string&, TRpcParams& p, TRpcFunction& r, TRpcStruct&) {
    ++executed_;
    r.AddItem(p.at(0).AsString());
  });
  server_->SetActive(true);
  port_ = server_->BoundPort();
  ASSERT_NE(port_, 0);
  threads_ = Threads();
  fds_ = Descriptors();
}

std::string HostileServerTest::EchoCall(const std::string& text) {
  return CallXml("Echo", {"<value><string>" + text + "</string></value>"});
}

std::string HostileServerTest::EchoAnswer(const std::string& text) {
  return "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n<methodResponse>\r\n   <params>\r\n"
         "   <param>\r\n<value><string>" +
         text + "</string></value>\r\n   </param>\r\n   </params>\r\n</methodResponse>\r\n";
}

std::string HostileServerTest::PostBytes(const std::string& body) {
  return "POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

void HostileServerTest::ExpectServingAndNothingLeft() {
  // A connection thread ends before its descriptor is released, which
  // happens at the next accept.
  EXPECT_EQ(WaitUntilEqual(Threads, threads_), threads_) << "a connection thread is still running";
  {
    RawHttpClient probe(port_);
    ASSERT_TRUE(probe.connected());
    if (aes_) {
      ASSERT_TRUE(probe.ExchangeKey());
      ASSERT_TRUE(probe.PostEncrypted(EchoCall("probe")));
      EXPECT_EQ(probe.ReadDecrypted(), EchoAnswer("probe"));
    } else {
      ASSERT_TRUE(probe.Post(EchoCall("probe")));
      auto r = probe.Read();
      ASSERT_TRUE(r);
      EXPECT_EQ(r->body, EchoAnswer("probe"));
    }
    // The probe's two ends and nothing else.
    EXPECT_EQ(WaitUntilEqual(Descriptors, fds_ + 2), fds_ + 2) << "a connection's descriptor was left open";
  }
  EXPECT_EQ(WaitUntilEqual(Threads, threads_), threads_) << "the probe's thread did not end";
}

}  // namespace kavor2::xmlrpc::rpctest
