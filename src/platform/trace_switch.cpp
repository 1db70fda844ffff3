#include "platform/trace_switch.h"

#include <cstdlib>
#include <system_error>

namespace kavor2::platform {

std::filesystem::path TraceSwitchFolder() {
  const char* root = std::getenv(kSysconfDirVariable);
  std::filesystem::path base = (root != nullptr && *root != '\0') ? root : kDefaultSysconfDir;
  return base / kTraceSwitchFolder;
}

TraceSwitch ReadTraceSwitch(const std::filesystem::path& folder) try {
  TraceSwitch result;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  result.FolderOpened = std::filesystem::is_directory(folder, ec);
  if (result.FolderOpened) {
    // Only its presence counts; what it holds does not matter.
    result.Enabled = std::filesystem::exists(folder / kTraceSwitchFile, ec);
  }
  return result;
} catch (...) {
  return {};
}

TraceSwitch ReadTraceSwitch() {
  try {
    return ReadTraceSwitch(TraceSwitchFolder());
  } catch (...) {
    return {};
  }
}

}  // namespace kavor2::platform
