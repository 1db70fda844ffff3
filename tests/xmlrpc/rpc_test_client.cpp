#include "rpc_test_client.h"

#include <future>

#include "platform/digest.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/session_key.h"

namespace kavor2::xmlrpc::rpctest {

LoopThread::LoopThread() : thread_([this] { loop_.Run(); }) {}

LoopThread::~LoopThread() {
  loop_.Stop();
  thread_.join();
}

void LoopThread::Sync(std::function<void()> fn) {
  loop_.Call<bool>([&fn] {
    fn();
    return true;
  });
}

std::string HttpResponse::Header(const std::string& name) const {
  const std::string key = "\r\n" + name + ": ";
  std::size_t at = head.find(key);
  if (at == std::string::npos) return {};
  at += key.size();
  return head.substr(at, head.find("\r\n", at) - at);
}

RawHttpClient::RawHttpClient(std::uint16_t port) {
  platform::TcpConnection::Connect("127.0.0.1", port, kTestDeadline, conn_);
}

bool RawHttpClient::Send(const std::string& bytes) { return conn_ && conn_->WriteAll(bytes).ok(); }

bool RawHttpClient::Post(const std::string& body, std::optional<std::string> md5) {
  std::string request = "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n";
  request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  std::string digest = md5.value_or(platform::Md5Base64(body));
  if (!digest.empty()) request += "Content-MD5: " + digest + "\r\n";
  request += "\r\n" + body;
  return Send(request);
}

std::optional<HttpResponse> RawHttpClient::Read() {
  if (!conn_) return std::nullopt;
  HttpResponse r;
  std::size_t length = 0;
  std::string line;
  for (;;) {
    if (!conn_->ReadLine(line, 100000, kTestDeadline).ok()) return std::nullopt;
    r.head += line + "\r\n";
    if (line.empty()) break;
    const std::string name = "Content-Length: ";
    if (line.rfind(name, 0) == 0) length = std::stoul(line.substr(name.size()));
  }
  if (!conn_->ReadExact(length, r.body, kTestDeadline).ok()) return std::nullopt;
  return r;
}

bool RawHttpClient::ClosedWithoutData() {
  std::string byte;
  return conn_ && conn_->ReadExact(1, byte, kTestDeadline).status == platform::IoStatus::kClosed;
}

bool RawHttpClient::ExchangeKey() {
  if (!Send(MakeKeyProof())) return false;
  std::string answer;
  if (!conn_->ReadExact(kKeyExchangeMessageSize, answer, kTestDeadline).ok()) return false;
  std::optional<platform::AesKey> key = UnwrapSessionKey(answer);
  if (!key) return false;
  key_ = *key;
  return true;
}

bool RawHttpClient::PostEncrypted(const std::string& document) {
  platform::Aes128 cipher(key_);
  return Post(EncodeAesBody(cipher, document));
}

std::optional<std::string> RawHttpClient::ReadDecrypted() {
  std::optional<HttpResponse> r = Read();
  if (!r) return std::nullopt;
  if (r->Header("Content-MD5") != platform::Md5Base64(r->body)) return std::nullopt;
  platform::Aes128 cipher(key_);
  return DecodeAesBody(cipher, r->body);
}

std::string CallXml(const std::string& method, const std::vector<std::string>& params) {
  std::string doc = "<?xml version=\"1.0\" encoding=\"Windows-1251\" ?>\r\n<methodCall>\r\n";
  doc += "  <methodName>" + method + "</methodName>\r\n   <params>\r\n";
  for (const std::string& p : params) doc += "   <param>\r\n" + p + "\r\n   </param>\r\n";
  doc += "   </params>\r\n</methodCall>\r\n";
  return doc;
}

std::string FirstValue(const std::string& response) {
  const std::string open = "   <param>\r\n";
  std::size_t at = response.find(open);
  if (at == std::string::npos) return {};
  at += open.size();
  std::size_t end = response.find("   </param>", at);
  return response.substr(at, end - at);
}

Fault ParseFault(const std::string& response) {
  Fault f;
  std::size_t code = response.find("<name>faultCode</name>");
  std::size_t text = response.find("<name>faultString</name>");
  if (code == std::string::npos || text == std::string::npos) return f;
  code = response.find("<int>", code) + 5;
  f.code = std::stoi(response.substr(code, response.find("</int>", code) - code));
  text = response.find("<string>", text) + 8;
  f.message = response.substr(text, response.find("</string></value>", text) - text);
  return f;
}

}  // namespace kavor2::xmlrpc::rpctest
