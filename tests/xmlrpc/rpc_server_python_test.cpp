// The server against an independent client: Python's xmlrpc.client.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "platform/text.h"
#include "rpc_test_client.h"
#include "xmlrpc/rpc_server.h"

namespace kavor2::xmlrpc {
namespace {

constexpr const char* kClientScript = R"PY(
import json, sys, xmlrpc.client
proxy = xmlrpc.client.ServerProxy("http://127.0.0.1:%s/RPC2" % sys.argv[1])
out = {"methods": proxy.system.listMethods(), "text": proxy.Greeting("world")}
try:
    proxy.NoSuch()
except xmlrpc.client.Fault as f:
    out["fault"] = [f.faultCode, f.faultString]
print(json.dumps(out))
)PY";

std::string RunPython(const std::string& script_path, std::uint16_t port, int& status) {
  const std::string command = "python3 " + script_path + " " + std::to_string(port) + " 2>&1";
  std::string output;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) {
    status = -1;
    return output;
  }
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
  status = ::pclose(p);
  return output;
}

TEST(RpcServerPython, StandardClientReadsWindows1251Answers) {
  rpctest::LoopThread loop;
  TRpcServer server(loop.loop());
  server.SetListenPort(0);
  server.Methods().Add("Greeting", [](const std::string&, TRpcParams& p, TRpcFunction& r, TRpcStruct&) {
    r.AddItem(platform::Utf8ToCp1251("Привет, ") + p.at(0).AsString());
  });
  server.SetActive(true);

  const std::string script = ::testing::TempDir() + "rpc_server_python_client.py";
  std::ofstream(script) << kClientScript;
  int status = 0;
  const std::string output = RunPython(script, server.BoundPort(), status);
  std::remove(script.c_str());

  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output,
            "{\"methods\": [\"system.listMethods\", \"system.methodHelp\", \"system.methodSignature\", "
            "\"Greeting\"], \"text\": \"\\u041f\\u0440\\u0438\\u0432\\u0435\\u0442, world\", "
            "\"fault\": [1000, \"Requested method was not registered on the server: NoSuch\"]}\n");
}

}  // namespace
}  // namespace kavor2::xmlrpc
