// Hostile HTTP input against a real server over loopback: every case ends
// in an answer or a closed connection, never a stuck thread, and the server
// goes on serving.
#include <gtest/gtest.h>

#include <thread>

#include "hostile_server.h"
#include "platform/digest.h"
#include "xmlrpc/http_request.h"

namespace kavor2::xmlrpc {
namespace {

using namespace std::chrono_literals;
using rpctest::HostileServerTest;
using rpctest::RawHttpClient;
using Clock = std::chrono::steady_clock;

const std::string kRequestLine = "POST /RPC2 HTTP/1.1\r\n";

// A request whose head (its lines with CR LF, without the empty line) has
// exactly `lines` lines and `bytes` bytes; filler lines make up the rest.
std::string PaddedRequest(const std::string& body, std::size_t lines, std::size_t bytes) {
  const std::string length_line = "Content-Length: " + std::to_string(body.size()) + "\r\n";
  std::string head = kRequestLine + length_line;
  const std::size_t fillers = lines - 2;
  const std::size_t room = bytes - head.size();
  const std::string prefix = "X-Pad: ";
  for (std::size_t i = 0; i < fillers; ++i) {
    std::size_t size = room / fillers + (i < room % fillers ? 1 : 0);
    head += prefix + std::string(size - prefix.size() - 2, 'p') + "\r\n";
  }
  return head + "\r\n" + body;
}

class HttpHostileTest : public HostileServerTest {};

TEST_F(HttpHostileTest, HeaderValuesThatAreNotWhatTheyClaim) {
  Start(false);
  const std::string doc = EchoCall("x");
  const std::string length = "Content-Length: " + std::to_string(doc.size()) + "\r\n";
  const std::string md5 = "Content-MD5: " + platform::Md5Base64(doc) + "\r\n";
  enum Outcome { kClosed, kAnswered, kChecksumFault };
  struct Case {
    const char* name;
    std::string request;
    Outcome outcome;
  };
  const Case cases[] = {
      {"empty length", kRequestLine + "Content-Length: \r\n\r\n" + doc, kClosed},
      {"no value at all", kRequestLine + "Content-Length:\r\n\r\n" + doc, kClosed},
      {"junk length", kRequestLine + "Content-Length: many\r\n\r\n" + doc, kClosed},
      {"negative length", kRequestLine + "Content-Length: -1\r\n\r\n" + doc, kClosed},
      {"overflowing length", kRequestLine + "Content-Length: 99999999999999999999\r\n\r\n" + doc, kClosed},
      {"just above 32 bits", kRequestLine + "Content-Length: 2147483648\r\n\r\n" + doc, kClosed},
      // The name is matched anywhere in a line; inside another header's
      // value it reads as no number, which refuses the request rather than
      // framing it with a length the client did not mean.
      {"length name in a later value", kRequestLine + length + "X-Note: Content-Length: 5\r\n\r\n" + doc,
       kClosed},
      {"length name in an earlier value", kRequestLine + "X-Note: Content-Length: 5\r\n" + length + "\r\n" + doc,
       kAnswered},
      // A digest name inside a value gives a digest that cannot match: the
      // call is refused with the checksum fault and not run.
      {"digest name in a later value", kRequestLine + length + md5 + "X-Note: Content-MD5: abc\r\n\r\n" + doc,
       kChecksumFault},
      {"digest name in a value only", kRequestLine + length + "X-Note: Content-MD5: " +
                                          platform::Md5Base64(doc) + "\r\n\r\n" + doc,
       kChecksumFault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = executed();
    RawHttpClient client(port_);
    ASSERT_TRUE(client.Send(c.request));
    if (c.outcome == kClosed) {
      EXPECT_TRUE(client.ClosedWithoutData());
      EXPECT_EQ(executed(), before);
      continue;
    }
    auto r = client.Read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    if (c.outcome == kAnswered) {
      EXPECT_EQ(r->body, EchoAnswer("x"));
    } else {
      EXPECT_EQ(rpctest::ParseFault(r->body).code, 1002);
      EXPECT_EQ(executed(), before);
    }
    // Either way the connection is still good for the next call.
    ASSERT_TRUE(client.Post(EchoCall("next")));
    auto next = client.Read();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->body, EchoAnswer("next"));
  }
  ExpectServingAndNothingLeft();
}

TEST_F(HttpHostileTest, RequestHeadIsBoundedInLinesAndBytes) {
  Start(false);
  const std::string doc = EchoCall("padded");
  struct Case {
    const char* name;
    std::size_t lines;
    std::size_t bytes;
    bool answered;
  };
  const Case cases[] = {
      {"most lines", kMaxHeadLines, kMaxHeadLines * 20, true},
      {"one line too many", kMaxHeadLines + 1, (kMaxHeadLines + 1) * 20, false},
      {"most bytes", 8, kMaxHeadLength, true},
      {"one byte too many", 8, kMaxHeadLength + 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpClient client(port_);
    ASSERT_TRUE(client.Send(PaddedRequest(doc, c.lines, c.bytes)));
    if (c.answered) {
      auto r = client.Read();
      ASSERT_TRUE(r);
      EXPECT_EQ(r->body, EchoAnswer("padded"));
    } else {
      EXPECT_TRUE(client.ClosedWithoutData());
    }
  }
  ExpectServingAndNothingLeft();
}

TEST_F(HttpHostileTest, EndlessHeaderLinesAreCutOff) {
  Start(false);
  {
    RawHttpClient client(port_);
    ASSERT_TRUE(client.Send(kRequestLine));
    // Far more than any bound; the server must close long before. It never
    // sends anything here, so input means its end of the stream.
    const std::string line = "X-Filler: 0123456789abcdef\r\n";
    std::size_t sent = 0;
    while (sent < 64 * kMaxHeadLength && !client.connection().WaitForInput(0ms).ok() && client.Send(line)) {
      sent += line.size();
    }
    EXPECT_LT(sent, 64 * kMaxHeadLength) << "the server kept reading header lines";
    EXPECT_TRUE(client.ClosedWithoutData());
  }
  EXPECT_EQ(executed(), 0);
  ExpectServingAndNothingLeft();
}

TEST_F(HttpHostileTest, StalledRequestsAreClosedAfterTheirTimeOut) {
  Start(false);
  const std::string doc = EchoCall("slow");
  struct Case {
    const char* name;
    std::string sent;     // what arrives first
    bool trickle;         // then one byte every 20 ms instead of silence
    std::chrono::milliseconds limit;
  };
  const Case cases[] = {
      {"head begun, then silence", kRequestLine + "Content-Le", false, rpctest::kShortTimeouts.head},
      {"head of one byte, then silence", "P", false, rpctest::kShortTimeouts.head},
      {"head trickling in", kRequestLine + "X-Slow: ", true, rpctest::kShortTimeouts.head},
      {"body shorter than announced", kRequestLine + "Content-Length: 100\r\n\r\n0123456789", false,
       rpctest::kShortTimeouts.body},
      {"body trickling in", kRequestLine + "Content-Length: 10000\r\n\r\n", true, rpctest::kShortTimeouts.body},
      {"largest body announced, few bytes sent",
       kRequestLine + "Content-Length: " + std::to_string(kMaxBodyLength) + "\r\n\r\n<?xml", false,
       rpctest::kShortTimeouts.body},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpClient client(port_);
    const auto start = Clock::now();
    ASSERT_TRUE(client.Send(c.sent));
    if (c.trickle) {
      // Steady progress does not extend the time-out: it bounds the whole
      // head or body. The trickle would last ten times as long.
      const auto trickle_end = start + 10 * c.limit;
      bool closed = false;
      while (Clock::now() < trickle_end) {
        if (client.connection().WaitForInput(20ms).ok()) {
          closed = true;
          break;
        }
        if (!client.Send("a")) {
          closed = true;
          break;
        }
      }
      EXPECT_TRUE(closed) << "a trickle kept the request open";
    }
    EXPECT_TRUE(client.ClosedWithoutData());
    EXPECT_GE(Clock::now() - start, c.limit);
  }
  EXPECT_EQ(executed(), 0);
  ExpectServingAndNothingLeft();
}

TEST_F(HttpHostileTest, IdleKeepAliveConnectionsStayOpen) {
  Start(false);
  // Silent from the start, and silent after an answered call: both outlast
  // the request time-outs, and the connection still serves.
  RawHttpClient fresh(port_);
  RawHttpClient used(port_);
  ASSERT_TRUE(used.Post(EchoCall("first")));
  auto first = used.Read();
  ASSERT_TRUE(first);
  const auto wait = 3 * std::max(rpctest::kShortTimeouts.head, rpctest::kShortTimeouts.body);
  EXPECT_EQ(fresh.connection().WaitForInput(wait).status, platform::IoStatus::kTimeout);
  EXPECT_EQ(used.connection().WaitForInput(0ms).status, platform::IoStatus::kTimeout);
  for (RawHttpClient* c : {&fresh, &used}) {
    ASSERT_TRUE(c->Post(EchoCall("later")));
    auto r = c->Read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, EchoAnswer("later"));
  }
}

TEST_F(HttpHostileTest, PipelinedRequestsAreAnsweredInOrder) {
  Start(false);
  RawHttpClient client(port_);
  // Two whole requests and the start of a third in one write; the third is
  // finished after the first two are answered.
  const std::string third = PostBytes(EchoCall("three"));
  const std::size_t cut = third.size() / 2;
  ASSERT_TRUE(client.Send(PostBytes(EchoCall("one")) + PostBytes(EchoCall("two")) + third.substr(0, cut)));
  for (const char* text : {"one", "two"}) {
    auto r = client.Read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, EchoAnswer(text));
  }
  ASSERT_TRUE(client.Send(third.substr(cut)));
  auto r = client.Read();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, EchoAnswer("three"));
}

TEST_F(HttpHostileTest, RequestSplitAnywhereGetsTheSameAnswer) {
  // Time-outs long enough that a loaded machine never hits them here.
  Start(false, RequestTimeouts{10s, 10s});
  const std::string request = PostBytes(EchoCall("split"));
  RawHttpClient whole(port_);
  ASSERT_TRUE(whole.Send(request));
  auto expected = whole.Read();
  ASSERT_TRUE(expected);
  ASSERT_EQ(expected->body, EchoAnswer("split"));

  // One connection, each request split once at another byte; some splits
  // pause so that the two parts surely arrive apart.
  RawHttpClient client(port_);
  for (std::size_t at = 1; at < request.size(); ++at) {
    SCOPED_TRACE(at);
    ASSERT_TRUE(client.Send(request.substr(0, at)));
    if (at % 8 == 0) std::this_thread::sleep_for(2ms);
    ASSERT_TRUE(client.Send(request.substr(at)));
    auto r = client.Read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->head, expected->head);
    EXPECT_EQ(r->body, expected->body);
  }
  // Two pipelined requests written one byte at a time.
  const std::string both = request + request;
  for (std::size_t i = 0; i < both.size(); ++i) {
    ASSERT_TRUE(client.Send(both.substr(i, 1)));
    if (i % 32 == 0) std::this_thread::sleep_for(1ms);
  }
  for (int n = 0; n < 2; ++n) {
    auto r = client.Read();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, expected->body);
  }
}

}  // namespace
}  // namespace kavor2::xmlrpc
