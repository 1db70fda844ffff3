#pragma once
#include <filesystem>

namespace kavor2::platform {

// The running program's file, absolute, with links resolved
// (/proc/self/exe). Throws std::filesystem::filesystem_error when the
// system does not tell.
std::filesystem::path ProgramFile();

// The directory that holds the program file.
std::filesystem::path ProgramDirectory();

}  // namespace kavor2::platform
