#include "xmlrpc/rpc_client_trace.h"

#include <ctime>

#include "platform/text.h"

namespace kavor2::xmlrpc {
namespace {

constexpr std::int64_t kMsPerSecond = 1000;

// The fixed texts, kept in UTF-8 here and written in Windows-1251.
std::string Cp1251(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

}  // namespace

std::string TraceTimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::size_t n = std::strftime(text, sizeof text, "%d.%m.%Y %H:%M:%S", &local);
  return std::string(text, n);
}

std::string CallTraceText(std::string_view stamp, std::size_t batch_size, std::string_view host,
                          std::int32_t port, std::string_view guid, std::size_t document_length) {
  std::string text(stamp);
  text += Cp1251(" Размер буфера:") + std::to_string(batch_size) + " \r\n";
  text += Cp1251("Телеграмма:") + std::string(host) + " " + std::to_string(port) + " guid:" + std::string(guid) +
          "\r\n";
  text += Cp1251("Данных:") + std::to_string(document_length);
  return text;
}

std::string SentTraceText(std::string_view call_text) { return std::string(call_text) + Cp1251("Выслано!"); }

std::string TookTraceText(std::string_view sent_text, std::chrono::milliseconds elapsed) {
  const std::int64_t ms = elapsed.count();
  return std::string(sent_text) + Cp1251("Выполнялось:") + std::to_string(ms / kMsPerSecond) + ":" +
         std::to_string(ms % kMsPerSecond) + " ";
}

std::string FailureTraceText(std::string_view message) { return Cp1251("Ошибка:") + std::string(message); }

std::string HandedOnTraceText() { return Cp1251("отсылка результата:"); }

std::string CompanionHeaderText(std::string_view stamp) { return Cp1251("ошибка:") + std::string(stamp); }

std::string CompanionErrorText(std::string_view host, std::string_view message, std::int32_t port) {
  return std::string(host) + " " + std::string(message) + " " + std::to_string(port);
}

std::string CompanionSizeText(std::size_t document_length) {
  return Cp1251("данные размер:") + std::to_string(document_length);
}

std::string CompanionRemovedText() { return Cp1251("удаление записи"); }

}  // namespace kavor2::xmlrpc
