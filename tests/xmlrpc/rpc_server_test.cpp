#include "xmlrpc/rpc_server.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/base64.h"
#include "platform/digest.h"
#include "platform/errors.h"
#include "platform/text.h"
#include "rpc_test_client.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/http_request.h"
#include "xmlrpc/session_key.h"

namespace kavor2::xmlrpc {
namespace {

using rpctest::CallXml;
using rpctest::FirstValue;
using rpctest::LoopThread;
using rpctest::ParseFault;
using rpctest::RawHttpClient;

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n";
const std::string kEmptyResponse = kDecl + "<methodResponse>\r\n   <params>\r\n   </params>\r\n</methodResponse>\r\n";

std::string Str(const std::string& s) { return "<value><string>" + s + "</string></value>"; }
std::string Int(int v) { return "<value><int>" + std::to_string(v) + "</int></value>"; }

std::string ResponseWith(const std::string& value_line) {
  return kDecl + "<methodResponse>\r\n   <params>\r\n   <param>\r\n" + value_line +
         "\r\n   </param>\r\n   </params>\r\n</methodResponse>\r\n";
}

// An array parameter's value block as the writer lays it out.
std::string StringArrayBlock(const std::vector<std::string>& items) {
  std::string s = "<value>\r\n  <array>\r\n    <data>\r\n";
  for (const std::string& i : items) s += "      <value><string>" + i + "</string></value>\r\n";
  return s + "  </data>\r\n</array>\r\n</value>\r\n";
}

// Records what handlers saw on the loop thread; tests wait on it.
class Recorder {
 public:
  void Add(std::string what) {
    {
      std::lock_guard<std::mutex> l(m_);
      events_.push_back(std::move(what));
    }
    cv_.notify_all();
  }
  // Waits until `n` events are recorded; returns them.
  std::vector<std::string> WaitFor(std::size_t n) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait_for(l, rpctest::kTestDeadline, [&] { return events_.size() >= n; });
    return events_;
  }
  std::vector<std::string> Snapshot() {
    std::lock_guard<std::mutex> l(m_);
    return events_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
};

class RpcServerTest : public ::testing::Test {
 protected:
  void MakeServer(bool aes = false) {
    server_ = std::make_unique<TRpcServer>(loop_.loop());
    server_->SetListenPort(0);
    server_->SetAESCrypt(aes);
    TXRMethods& m = server_->Methods();
    m.Add(
        "Echo",
        [](const std::string&, TRpcParams& p, TRpcFunction& r, TRpcStruct&) { r.AddItem(p.at(0).AsString()); },
        "Echoes its text", "string (string text)");
    m.Add(
        "AddLine",
        [this](const std::string& name, TRpcParams&, TRpcFunction& r, TRpcStruct&) {
          calls_.Add("AddLine as " + name);
          r.AddItem(std::int32_t{1});
        },
        "Adds a line", "int ()");
    m.Add("Fail", [](const std::string&, TRpcParams&, TRpcFunction&, TRpcStruct&) {
      throw std::runtime_error("handler failed");
    });
    m.Add("Caller", [](const std::string&, TRpcParams&, TRpcFunction& r, TRpcStruct& c) {
      r.AddItem(c.Keys("IP").AsString() + ":" + std::to_string(c.Keys("Port").AsInteger()));
    });
  }
  void Start(bool aes = false) {
    if (!server_) MakeServer(aes);
    server_->SetActive(true);
    port_ = server_->BoundPort();
    ASSERT_NE(port_, 0);
  }
  // One call on the connection: the response body, or "" when none came.
  static std::string Call(RawHttpClient& c, const std::string& doc) {
    if (!c.Post(doc)) return {};
    auto r = c.Read();
    return r ? r->body : std::string();
  }
  std::string Call(const std::string& doc) {
    RawHttpClient c(port_);
    return Call(c, doc);
  }

  void TearDown() override { server_.reset(); }

  LoopThread loop_;  // outlives the server
  std::unique_ptr<TRpcServer> server_;
  std::uint16_t port_ = 0;
  Recorder calls_;
};

// --- HTTP framing ----------------------------------------------------------

TEST_F(RpcServerTest, KeepAliveAnswersPipelinedRequestsInOrder) {
  Start();
  RawHttpClient c(port_);
  ASSERT_TRUE(c.Post(CallXml("Echo", {Str("one")})));
  ASSERT_TRUE(c.Post(CallXml("Echo", {Str("two")})));
  auto first = c.Read();
  auto second = c.Read();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->body, ResponseWith(Str("one")));
  EXPECT_EQ(second->body, ResponseWith(Str("two")));
  // Still open for a third.
  EXPECT_EQ(Call(c, CallXml("Echo", {Str("three")})), ResponseWith(Str("three")));
}

TEST_F(RpcServerTest, XmlResponseHeaderBytes) {
  Start();
  RawHttpClient c(port_);
  ASSERT_TRUE(c.Post(CallXml("Echo", {Str("x")})));
  auto r = c.Read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->head, "HTTP/1.1 200 OK\r\n"
                     "Connection: Keep-Alive\r\n"
                     "Content-Length: " + std::to_string(r->body.size()) + "\r\n"
                     "Content-Type: text/xml\r\n"
                     "Content-MD5: " + platform::Md5Base64(r->body) + "\r\n"
                     "Server:  TerskXMLRPC/1.10 (Windows NT) KAVOR-TERSK v1.10\r\n"
                     "\r\n");
}

TEST_F(RpcServerTest, ContentMd5IsCheckedIgnoringCase) {
  Start();
  RawHttpClient c(port_);
  const std::string doc = CallXml("Echo", {Str("sum")});
  const std::string digest = platform::Md5Base64(doc);

  ASSERT_TRUE(c.Post(doc, "AAAAAAAAAAAAAAAAAAAAAA=="));
  auto bad = c.Read();
  ASSERT_TRUE(bad);
  rpctest::Fault f = ParseFault(bad->body);
  EXPECT_EQ(f.code, 1002);
  EXPECT_EQ(f.message, "Checksum MD5 error of client request \r\nShould be: AAAAAAAAAAAAAAAAAAAAAA== contains: " +
                           digest + "\r\n");
  // The connection stays usable; a digest in lower case is accepted, and so
  // is a request without one.
  ASSERT_TRUE(c.Post(doc, platform::LowerAscii(digest)));
  auto good = c.Read();
  ASSERT_TRUE(good);
  EXPECT_EQ(good->body, ResponseWith(Str("sum")));
  ASSERT_TRUE(c.Post(doc, ""));
  auto none = c.Read();
  ASSERT_TRUE(none);
  EXPECT_EQ(none->body, ResponseWith(Str("sum")));
}

TEST_F(RpcServerTest, BrowserGetGetsTheHelpTextAndIsClosed) {
  Start();
  RawHttpClient c(port_);
  ASSERT_TRUE(c.Send("GET /abc HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n"));
  auto r = c.Read();
  ASSERT_TRUE(r);
  const std::string help =
      "Tersk XML RPC Server received the following request without a XML RPC command:\r\n\r\n"
      "GET /abc HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n"
      "\r\n\r\n"
      "Current URL is: /ABC\r\n\r\n"
      "For information about web-service use XML RPC calls system.listMethods\r\n"
      "  system.methodSignature and system.methodHelp\r\n"
      "In web browser use /wsdl in URL";
  EXPECT_EQ(r->head, "HTTP/1.1 200 OK\r\n"
                     "Connection: Keep-Alive\r\n"
                     "Content-Length: " + std::to_string(help.size()) + "\r\n"
                     "Content-Type: text/plain\r\n"
                     "Server: TerskXMLRPC/1.10 (Windows NT) KAVOR-TERSK v1.10\r\n"
                     "\r\n");
  EXPECT_EQ(r->body, help);
  EXPECT_TRUE(c.ClosedWithoutData());
}

TEST_F(RpcServerTest, RequestsThatEndTheConnectionWithoutAnAnswer) {
  Start();
  const std::string big = std::to_string(kMaxBodyLength + 1);
  const std::string long_line = "X-Pad: " + std::string(kMaxHeaderLineLength - 6, 'p');  // one too many
  const std::vector<std::string> requests = {
      "POST /RPC2 HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
      "POST /RPC2 HTTP/1.1\r\nContent-Type: text/xml\r\n\r\n",
      "POST /RPC2 HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
      "POST /RPC2 HTTP/1.1\r\nContent-Length: 12x\r\n\r\n",
      // Above the body limit: refused before anything is allocated or read.
      "POST /RPC2 HTTP/1.1\r\nContent-Length: " + big + "\r\n\r\n",
      "POST /RPC2 HTTP/1.1\r\n" + long_line + "\r\n\r\n",
  };
  for (const std::string& request : requests) {
    RawHttpClient c(port_);
    ASSERT_TRUE(c.Send(request));
    EXPECT_TRUE(c.ClosedWithoutData()) << request.substr(0, 60);
  }
}

TEST_F(RpcServerTest, HeaderLineAtTheLimitIsRead) {
  Start();
  RawHttpClient c(port_);
  const std::string doc = CallXml("Echo", {Str("long")});
  const std::string line = "X-Pad: " + std::string(kMaxHeaderLineLength - 7, 'p');
  ASSERT_EQ(line.size(), kMaxHeaderLineLength);
  ASSERT_TRUE(c.Send("POST /RPC2 HTTP/1.1\r\n" + line + "\r\nContent-Length: " + std::to_string(doc.size()) +
                     "\r\n\r\n" + doc));
  auto r = c.Read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, ResponseWith(Str("long")));
}

TEST_F(RpcServerTest, BodyWithNulIsAnsweredWithItsTextUpToTheNul) {
  Start();
  RawHttpClient c(port_);
  ASSERT_TRUE(c.Post(std::string("abc\0def", 7)));
  auto r = c.Read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "abc");
  EXPECT_EQ(Call(c, CallXml("Echo", {Str("after")})), ResponseWith(Str("after")));
}

// --- AES --------------------------------------------------------------------

TEST_F(RpcServerTest, AesExchangeThenEncryptedCalls) {
  Start(true);
  RawHttpClient a(port_);
  RawHttpClient b(port_);
  ASSERT_TRUE(a.ExchangeKey());
  ASSERT_TRUE(b.ExchangeKey());
  EXPECT_NE(a.session_key(), b.session_key());
  EXPECT_NE(a.session_key(), platform::AesKey{});

  for (int round = 0; round < 2; ++round) {
    for (RawHttpClient* c : {&a, &b}) {
      ASSERT_TRUE(c->PostEncrypted(CallXml("Echo", {Str("secret")})));
      auto answer = c->ReadDecrypted();
      ASSERT_TRUE(answer);
      EXPECT_EQ(*answer, ResponseWith(Str("secret")));
    }
  }
  // The digest is over the encrypted body; a mismatch is answered encrypted.
  platform::Aes128 cipher(a.session_key());
  ASSERT_TRUE(a.Post(EncodeAesBody(cipher, CallXml("Echo", {Str("x")})), "AAAAAAAAAAAAAAAAAAAAAA=="));
  auto fault = a.ReadDecrypted();
  ASSERT_TRUE(fault);
  EXPECT_EQ(ParseFault(*fault).code, 1002);
}

TEST_F(RpcServerTest, AesFailedExchangeOrBadBodyDropsTheConnection) {
  Start(true);
  {
    std::string wrong = MakeKeyProof();
    wrong[0] ^= 0x55;
    RawHttpClient c(port_);
    ASSERT_TRUE(c.Send(wrong));
    EXPECT_TRUE(c.ClosedWithoutData());
  }
  {
    // A plain client: its first 32 bytes are taken as the proof.
    RawHttpClient c(port_);
    ASSERT_TRUE(c.Post(CallXml("Echo", {Str("plain")})));
    EXPECT_TRUE(c.ClosedWithoutData());
  }
  {
    // Nothing sent: the exchange gives up after its read time-out.
    RawHttpClient c(port_);
    EXPECT_TRUE(c.ClosedWithoutData());
  }
  {
    RawHttpClient c(port_);
    ASSERT_TRUE(c.ExchangeKey());
    ASSERT_TRUE(c.Post("not base64!\r\n"));
    EXPECT_TRUE(c.ClosedWithoutData());
  }
  {
    // A block whose count byte says 32: never read past the block.
    RawHttpClient c(port_);
    ASSERT_TRUE(c.ExchangeKey());
    platform::Aes128 cipher(c.session_key());
    platform::AesBlock last{};
    last[15] = 32;
    platform::AesBlock enc = cipher.EncryptBlock(last);
    ASSERT_TRUE(c.Post(platform::Base64Encode(std::string(enc.begin(), enc.end())) + "\r\n"));
    EXPECT_TRUE(c.ClosedWithoutData());
  }
}

// --- Executor ---------------------------------------------------------------

TEST_F(RpcServerTest, FaultsOfTheExecutor) {
  Start();
  struct Case {
    std::string doc;
    int code;
    std::string message;  // "" to accept any non-empty message
  };
  const Case cases[] = {
      {CallXml("NoSuch"), 1000, "Requested method was not registered on the server: NoSuch"},
      // Built-in names are compared with their letter case.
      {CallXml("SYSTEM.LISTMETHODS"), 1000, "Requested method was not registered on the server: SYSTEM.LISTMETHODS"},
      {CallXml("Fail"), 1001, "handler failed"},
      {CallXml("Echo", {Int(5)}), 1001, "Item is not a string type"},
      {CallXml("system.methodHelp"), 1001, "List index out of bounds (0)"},
      {CallXml("system.methodSignature"), 1001, "List index out of bounds (0)"},
      {CallXml("system.methodHelp", {Int(1)}), 1001, "Item is not a string type"},
      // A request the call parser refuses is answered, not dropped.
      {CallXml("Echo", {"<value><int>abc</int></value>"}), 1001, "'abc' is not a valid integer value"},
      {kDecl + "<!DOCTYPE m [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
               "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
               "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
               "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
               "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]>"
               "<methodCall><methodName>Echo</methodName><params><param><value><string>&e;&e;&e;&e;"
               "</string></value></param></params></methodCall>",
       1001, ""},
      {CallXml("AsyncResult"), 1003, "Too few parameters in AsyncResult"},
      {CallXml("AsyncResult", {Int(7)}), 1004, "First parameter should be async method name"},
  };
  RawHttpClient c(port_);
  for (const Case& k : cases) {
    rpctest::Fault f = ParseFault(Call(c, k.doc));
    EXPECT_EQ(f.code, k.code) << k.doc.substr(0, 120);
    if (k.message.empty()) {
      EXPECT_FALSE(f.message.empty());
    } else {
      EXPECT_EQ(f.message, k.message);
    }
  }
}

TEST_F(RpcServerTest, RegisteredNamesIgnoreCaseWithCyrillicRules) {
  MakeServer();
  const std::string lower = platform::Utf8ToCp1251("метод");
  const std::string upper = platform::Utf8ToCp1251("МЕТОД");
  server_->Methods().Add(lower, [this](const std::string& name, TRpcParams&, TRpcFunction&, TRpcStruct&) {
    calls_.Add("cyr as " + name);
  });
  Start();
  EXPECT_EQ(Call(CallXml("addline")), ResponseWith(Int(1)));
  EXPECT_EQ(Call(CallXml(upper)), kEmptyResponse);
  EXPECT_EQ(calls_.Snapshot(), (std::vector<std::string>{"AddLine as addline", "cyr as " + upper}));
}

TEST_F(RpcServerTest, EveryMatchingMethodRunsWithTheEventsAroundIt) {
  MakeServer();
  server_->Methods().Add("Twice", [](const std::string&, TRpcParams&, TRpcFunction& r, TRpcStruct&) {
    r.AddItem(std::int32_t{1});
  });
  server_->Methods().Add().MethodName = "TWICE";  // no handler: still counts as handled
  server_->Methods().Add("twice", [](const std::string&, TRpcParams&, TRpcFunction& r, TRpcStruct&) {
    r.AddItem(std::int32_t{2});
  });
  server_->OnBeforeExecute = [this](const std::string& name, TRpcParams& p, TRpcFunction&, TRpcStruct& c,
                                    const std::string& request) {
    calls_.Add("before " + name + " " + std::to_string(p.size()) + " " + c.Keys("IP").AsString() + " " +
               std::to_string(request.find("<methodCall>") != std::string::npos));
  };
  server_->OnAfterExecute = [this](const std::string& name, TRpcParams&, TRpcFunction& r, TRpcStruct&) {
    calls_.Add("after " + name + " " + std::to_string(r.Count()));
  };
  server_->OnReceiveXML = [this](TRpcServer&, const std::string& xml, TRpcStruct&) {
    calls_.Add("receive " + std::to_string(xml.size()));
  };
  server_->OnSendXML = [this](TRpcServer&, const std::string& xml, TRpcStruct&) {
    calls_.Add("send " + std::to_string(xml.find("<int>2</int>") != std::string::npos));
  };
  server_->OnLogRequest = [this](const std::string& request) { calls_.Add("log " + std::to_string(request.size())); };
  Start();
  const std::string doc = CallXml("Twice", {Str("p")});
  const std::string response = Call(doc);
  EXPECT_NE(response.find("<int>1</int>"), std::string::npos);
  EXPECT_NE(response.find("<int>2</int>"), std::string::npos);
  const std::string size = std::to_string(doc.size());
  EXPECT_EQ(calls_.WaitFor(7), (std::vector<std::string>{"receive " + size, "log " + size,
                                                          "before Twice 1 127.0.0.1 1", "after Twice 1",
                                                          "after Twice 1", "after Twice 2", "send 1"}));
}

TEST_F(RpcServerTest, AsyncResultGoesToItsEvent) {
  MakeServer();
  server_->OnAsyncResult = [this](const std::string& name, TRpcParams& p, TRpcFunction&, TRpcStruct&) {
    calls_.Add(name + " " + std::to_string(p.size()));
  };
  Start();
  EXPECT_EQ(Call(CallXml("AsyncResult", {Str("DeviceData"), Int(3)})), kEmptyResponse);
  EXPECT_EQ(calls_.Snapshot(), std::vector<std::string>{"DeviceData 2"});
}

TEST_F(RpcServerTest, CallerInfoNamesThePeer) {
  Start();
  RawHttpClient c(port_);
  const std::string expected = "127.0.0.1:" + std::to_string(c.connection().LocalPort());
  EXPECT_EQ(Call(c, CallXml("Caller")), ResponseWith(Str(expected)));
}

TEST_F(RpcServerTest, Introspection) {
  MakeServer();
  server_->Methods().Add();  // no name: not listed
  Start();
  EXPECT_EQ(FirstValue(Call(CallXml("system.listMethods"))),
            StringArrayBlock({"system.listMethods", "system.methodHelp", "system.methodSignature", "Echo",
                              "AddLine", "Fail", "Caller"}) +
                "\r\n");
  struct Help {
    std::string name;
    std::string help;
  };
  for (const Help& h : {Help{"system.listMethods", "Returns a list  of all methods registered with the server"},
                        Help{"system.methodHelp", "Returns any help text supplied for this method"},
                        Help{"system.methodSignature", "Returns a array of know signatures for this method"},
                        Help{"  AddLine ", "Adds a line"}, Help{"addline", "addline"}, Help{"nothing", "nothing"}}) {
    EXPECT_EQ(Call(CallXml("system.methodHelp", {Str(h.name)})), ResponseWith(Str(h.help))) << h.name;
  }
  auto signature = [&](const std::string& name) {
    return FirstValue(Call(CallXml("system.methodSignature", {Str(name)})));
  };
  auto nested = [](const std::vector<std::string>& items) {
    // A nested block is one line of the outer one: its own CR LF and then
    // the line's.
    std::string inner = StringArrayBlock(items) + "\r\n";
    return "<value>\r\n  <array>\r\n    <data>\r\n" + inner + "  </data>\r\n</array>\r\n</value>\r\n\r\n";
  };
  EXPECT_EQ(signature("system.listMethods"), nested({"array (no params)"}));
  EXPECT_EQ(signature("system.methodHelp"), nested({"string (string method_name)"}));
  EXPECT_EQ(signature("system.methodSignature"), nested({"array of arrays (string method_name)"}));
  EXPECT_EQ(signature("Echo"), nested({"string (string text)"}));
  EXPECT_EQ(signature("none"), nested({}));
}

TEST_F(RpcServerTest, IntrospectionCanBeLeftOut) {
  MakeServer();
  server_->SetEnableIntrospect(false);
  Start();
  EXPECT_TRUE(server_->BuiltInMethods().empty());
  EXPECT_EQ(ParseFault(Call(CallXml("system.listMethods"))).code, 1000);
}

// --- Connections and lifecycle ----------------------------------------------

TEST_F(RpcServerTest, ConnectAndDisconnectAreReportedOnTheLoop) {
  MakeServer();
  server_->OnClientConnect = [this](const std::string& host, std::int32_t port) {
    calls_.Add("connect " + host + ":" + std::to_string(port));
  };
  server_->OnClientDisconnect = [this](const std::string& host, std::int32_t port) {
    calls_.Add("disconnect " + host + ":" + std::to_string(port));
  };
  Start();
  std::string peer;
  {
    RawHttpClient c(port_);
    peer = "127.0.0.1:" + std::to_string(c.connection().LocalPort());
    EXPECT_EQ(Call(c, CallXml("Echo", {Str("x")})), ResponseWith(Str("x")));
  }
  EXPECT_EQ(calls_.WaitFor(2), (std::vector<std::string>{"connect " + peer, "disconnect " + peer}));
}

TEST_F(RpcServerTest, DeactivatingFromAHandlerOnTheLoopDoesNotDeadlock) {
  MakeServer();
  server_->Methods().Add("Stop", [this](const std::string&, TRpcParams&, TRpcFunction&, TRpcStruct&) {
    // The calling connection's thread is waiting for this very call.
    server_->SetActive(false);
  });
  Start();
  RawHttpClient idle(port_);
  RawHttpClient c(port_);
  ASSERT_TRUE(c.Post(CallXml("Stop")));
  EXPECT_TRUE(c.ClosedWithoutData());
  EXPECT_TRUE(idle.ClosedWithoutData());
  bool active = true;
  loop_.Sync([&] { active = server_->Active(); });
  EXPECT_FALSE(active);
  // And it comes back.
  server_->SetActive(true);
  port_ = server_->BoundPort();
  EXPECT_EQ(Call(CallXml("Echo", {Str("again")})), ResponseWith(Str("again")));
}

TEST_F(RpcServerTest, DestroyedServerIsNotTouchedByQueuedWork) {
  MakeServer();
  server_->OnClientConnect = [this](const std::string&, std::int32_t) { calls_.Add("connect"); };
  server_->OnClientDisconnect = [this](const std::string&, std::int32_t) { calls_.Add("disconnect"); };
  Start();
  // The loop holds everything: the notifications and the hand-off of the
  // call stay queued while the server goes away.
  loop_.loop().Pause();
  RawHttpClient c(port_);
  ASSERT_TRUE(c.Post(CallXml("Echo", {Str("x")})));
  server_.reset();
  EXPECT_TRUE(c.ClosedWithoutData());
  loop_.loop().Resume();
  loop_.Sync([] {});
  EXPECT_TRUE(calls_.Snapshot().empty());
}

TEST_F(RpcServerTest, PropertiesAndActivationErrors) {
  MakeServer();
  EXPECT_THROW(server_->SetSSLEnable(true), EXmlRpcError);
  EXPECT_FALSE(server_->SSLEnable());
  server_->SetSSLEnable(false);
  EXPECT_THROW(server_->SetListenPort(70000), EXmlRpcError);
  Start();

  // A second server on the same port cannot bind and stays inactive.
  TRpcServer second(loop_.loop());
  second.SetListenPort(port_);
  EXPECT_THROW(second.SetActive(true), EXmlRpcError);
  EXPECT_FALSE(second.Active());

  // Changing the port of an active server moves the listener.
  std::uint16_t other;
  {
    platform::TcpListener probe;
    ASSERT_TRUE(probe.Open(0).ok());
    other = probe.Port();
  }
  const std::uint16_t old = port_;
  server_->SetListenPort(other);
  EXPECT_TRUE(server_->Active());
  EXPECT_EQ(server_->BoundPort(), other);
  port_ = other;
  EXPECT_EQ(Call(CallXml("Echo", {Str("moved")})), ResponseWith(Str("moved")));
  RawHttpClient gone(old);
  EXPECT_FALSE(gone.connected());
}

TEST(TXRMethods, DisplayNames) {
  TXRMethods m;
  m.Add("Named", nullptr);
  m.Add();
  EXPECT_EQ(m.DisplayName(0), "Named");
  EXPECT_EQ(m.DisplayName(1), "MethodName1");
  EXPECT_THROW(m.Items(2), platform::RangeError);
}

}  // namespace
}  // namespace kavor2::xmlrpc
