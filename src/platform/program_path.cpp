#include "platform/program_path.h"

namespace kavor2::platform {

std::filesystem::path ProgramFile() { return std::filesystem::read_symlink("/proc/self/exe"); }

std::filesystem::path ProgramDirectory() { return ProgramFile().parent_path(); }

}  // namespace kavor2::platform
