#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kavor2::xmlrpc {

// The callback client's trace lines: progress of every asynchronous call
// and the failures. The texts are Windows-1251; the writer adds the line
// end. Nothing is produced while no sink is set.
inline constexpr std::string_view kRpcLogName = "rpc.log";
inline constexpr std::string_view kRpcErrorLogName = "rpc_err.txt";

// Receives (logical file name, text). Called on the client's worker thread.
using TRpcTrace = std::function<void(std::string_view logical_name, const std::string& text)>;

// Local time as "dd.mm.yyyy hh:nn:ss".
std::string TraceTimeStamp();

// Before a call is sent: time stamp and batch size, destination and guid,
// document length (three lines in one text).
std::string CallTraceText(std::string_view stamp, std::size_t batch_size, std::string_view host,
                          std::int32_t port, std::string_view guid, std::size_t document_length);
// The call text once the call went out.
std::string SentTraceText(std::string_view call_text);
// The sent text with the time the exchange took.
std::string TookTraceText(std::string_view sent_text, std::chrono::milliseconds elapsed);
std::string FailureTraceText(std::string_view message);
// After a result or error was handed to the owner thread.
std::string HandedOnTraceText();

// For each call failed together with a failed call, in this order, to
// rpc_err.txt except the hand-on line, which goes to rpc.log.
std::string CompanionHeaderText(std::string_view stamp);  // also when the limit is passed
std::string CompanionErrorText(std::string_view host, std::string_view message, std::int32_t port);
std::string CompanionSizeText(std::size_t document_length);
std::string CompanionRemovedText();

}  // namespace kavor2::xmlrpc
