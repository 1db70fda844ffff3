#pragma once
// A real server on loopback for hostile-input tests, with short time-outs
// and a check that a misbehaving client leaves neither a thread nor a
// descriptor behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "rpc_test_client.h"
#include "xmlrpc/rpc_server.h"

namespace kavor2::xmlrpc::rpctest {

// Short enough for fast tests, long enough for a loaded sanitizer build.
inline constexpr RequestTimeouts kShortTimeouts{std::chrono::milliseconds{300}, std::chrono::milliseconds{300}};

class HostileServerTest : public ::testing::Test {
 protected:
  // Starts the server with the method "Echo" (answers its string parameter)
  // and records the process's threads and descriptors.
  void Start(bool aes, const RequestTimeouts& timeouts = kShortTimeouts);
  void TearDown() override { server_.reset(); }

  // The answer a plain Echo call of `text` gets.
  static std::string EchoAnswer(const std::string& text);
  static std::string EchoCall(const std::string& text);
  // A whole POST of `body` with its Content-Length and no digest.
  static std::string PostBytes(const std::string& body);

  // A fresh client is served (after the key exchange with AES), and once it
  // is, every earlier connection has given back its thread and descriptor.
  void ExpectServingAndNothingLeft();

  int executed() const { return executed_.load(); }

  LoopThread loop_;  // outlives the server
  std::unique_ptr<TRpcServer> server_;
  std::uint16_t port_ = 0;
  bool aes_ = false;

 private:
  std::atomic<int> executed_{0};
  std::size_t threads_ = 0;
  std::size_t fds_ = 0;
};

}  // namespace kavor2::xmlrpc::rpctest
