#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "platform/systemd_unit.h"

namespace kavor2::service {

// The systemd unit that runs this program as the Kavor2 service with the
// given service arguments.
platform::SystemdUnit ServiceUnit(const std::filesystem::path& program, std::vector<std::string> arguments);

}  // namespace kavor2::service
