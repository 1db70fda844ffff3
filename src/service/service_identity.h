#pragma once
#include <string>
#include <string_view>

#include "platform/text.h"

namespace kavor2::service {

// The service's own identity; these are fixed values, not configuration.
inline constexpr std::string_view kServiceName = "Kavor2";  // also the event-log source
inline constexpr std::string_view kDisplayName = "Kavor2 - Device Interface Protocol";
// The typos are part of the title users and scripts already know.
inline constexpr std::string_view kApplicationTitle = "KavorPro2 - Device Inerface Protokol";
// The systemd unit the installer writes.
inline constexpr std::string_view kUnitName = "kavor2.service";

inline constexpr std::string_view kServiceDescriptionUtf8 =
    "Интерфейс работы с приборами по протоколу Кавор 2 (версия протокола 2.1)";

// The description as the service stores and shows it: Windows-1251 bytes.
inline std::string ServiceDescription() { return platform::Utf8ToCp1251(kServiceDescriptionUtf8); }

}  // namespace kavor2::service
