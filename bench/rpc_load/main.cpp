// Load figures for the XML-RPC server: N kept-alive connections calling a
// trivial method as fast as the server answers, with AES off and on.
// Loopback only; every run is bounded in time. Usage: bench_rpc_load [seconds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/digest.h"
#include "platform/event_loop.h"
#include "loopback_peer.h"
#include "platform/tcp.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/rpc_server.h"
#include "xmlrpc/session_key.h"

namespace {

using namespace kavor2;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kIoDeadline{5000};

const std::string kCall =
    "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n<methodCall>\r\n  <methodName>Ping</methodName>\r\n"
    "   <params>\r\n   <param>\r\n<value><string>bench</string></value>\r\n   </param>\r\n   </params>\r\n"
    "</methodCall>\r\n";

std::string Request(const std::string& body) {
  return "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nContent-MD5: " + platform::Md5Base64(body) + "\r\n\r\n" + body;
}

struct Worker {
  std::vector<double> latencies_us;
  bool failed = false;
};

void RunClient(std::uint16_t port, bool aes, Clock::time_point end, Worker& w) {
  std::unique_ptr<platform::TcpConnection> c;
  if (!platform::TcpConnection::Connect("127.0.0.1", port, kIoDeadline, c).ok()) {
    w.failed = true;
    return;
  }
  std::optional<platform::Aes128> cipher;
  if (aes) {
    std::string answer;
    if (!c->WriteAll(xmlrpc::MakeKeyProof()).ok() ||
        !c->ReadExact(xmlrpc::kKeyExchangeMessageSize, answer, kIoDeadline).ok()) {
      w.failed = true;
      return;
    }
    auto key = xmlrpc::UnwrapSessionKey(answer);
    if (!key) {
      w.failed = true;
      return;
    }
    cipher.emplace(*key);
  }
  std::string body;
  while (Clock::now() < end) {
    auto start = Clock::now();
    // Encrypting is part of a call's cost on the client side as well.
    const std::string request = Request(cipher ? xmlrpc::EncodeAesBody(*cipher, kCall) : kCall);
    if (!c->WriteAll(request).ok() || !loopback::ReadHttpResponse(*c, body, kIoDeadline)) {
      w.failed = true;
      return;
    }
    if (cipher) body = xmlrpc::DecodeAesBody(*cipher, body);
    if (body.find("<int>1</int>") == std::string::npos) {
      w.failed = true;
      return;
    }
    w.latencies_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

void RunCase(std::uint16_t port, bool aes, int connections, std::chrono::milliseconds duration) {
  std::vector<Worker> workers(static_cast<std::size_t>(connections));
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  const auto end = start + duration;
  for (auto& w : workers) threads.emplace_back([&, port, aes, end] { RunClient(port, aes, end, w); });
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<double> all;
  bool failed = false;
  for (auto& w : workers) {
    all.insert(all.end(), w.latencies_us.begin(), w.latencies_us.end());
    failed = failed || w.failed;
  }
  std::sort(all.begin(), all.end());
  auto pct = [&](double p) {
    if (all.empty()) return 0.0;
    return all[std::min(all.size() - 1, static_cast<std::size_t>(p * static_cast<double>(all.size())))];
  };
  std::printf("AES %-3s  N=%d  calls=%8zu  calls/s=%9.0f  p50=%7.1f us  p99=%7.1f us%s\n", aes ? "on" : "off",
              connections, all.size(), static_cast<double>(all.size()) / seconds, pct(0.50), pct(0.99),
              failed ? "  (a connection failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const auto duration = std::chrono::milliseconds(static_cast<long>(std::clamp(seconds, 0.1, 60.0) * 1000));

  platform::EventLoop loop;
  std::thread loop_thread([&] { loop.Run(); });
  for (bool aes : {false, true}) {
    auto server = std::make_unique<xmlrpc::TRpcServer>(loop);
    server->SetListenPort(0);
    server->SetAESCrypt(aes);
    server->Methods().Add("Ping", [](const std::string&, xmlrpc::TRpcParams&, xmlrpc::TRpcFunction& r,
                                     xmlrpc::TRpcStruct&) { r.AddItem(std::int32_t{1}); });
    server->SetActive(true);
    for (int n : {1, 8}) RunCase(server->BoundPort(), aes, n, duration);
    server.reset();
  }
  loop.Stop();
  loop_thread.join();
  return 0;
}
