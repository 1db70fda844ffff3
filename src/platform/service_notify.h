#pragma once
#include <string>
#include <string_view>

namespace kavor2::platform {

inline constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";
inline constexpr std::string_view kNotifyReady = "READY=1";
inline constexpr std::string_view kNotifyStopping = "STOPPING=1";

// Sends one state datagram ("READY=1", ...) to the service manager's notify
// socket `socket_path`; a path beginning with '@' names an abstract socket.
// Never blocks. Returns true when the datagram was sent, false when the path
// is empty or unusable or sending failed.
bool NotifyServiceManager(const std::string& socket_path, std::string_view state);

// The same to the socket named by $NOTIFY_SOCKET; false when it is not set
// (the program was not started by a service manager that listens).
bool NotifyServiceManager(std::string_view state);

}  // namespace kavor2::platform
