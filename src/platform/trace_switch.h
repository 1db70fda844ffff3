#pragma once
#include <filesystem>

namespace kavor2::platform {

inline constexpr const char* kSysconfDirVariable = "KAVOR2_SYSCONFDIR";
inline constexpr const char* kDefaultSysconfDir = "/etc";
inline constexpr const char* kTraceSwitchFolder = "TERSK/KAVOR_PRO/KAVCORE";
inline constexpr const char* kTraceSwitchFile = "CreateWriteFile";

// The installation-wide folder that holds the switch of the XML-RPC trace
// files: $KAVOR2_SYSCONFDIR (or /etc) + /TERSK/KAVOR_PRO/KAVCORE.
std::filesystem::path TraceSwitchFolder();

struct TraceSwitch {
  bool FolderOpened = false;  // the folder exists (was there or was made)
  bool Enabled = false;       // the switch file is in it
};

// Decides the switch, once at program start: makes the folder when it is
// missing (quietly giving up when that is not allowed), then looks for the
// file CreateWriteFile in it. Never throws.
TraceSwitch ReadTraceSwitch();
TraceSwitch ReadTraceSwitch(const std::filesystem::path& folder);

}  // namespace kavor2::platform
