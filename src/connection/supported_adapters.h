// Adapters the library drives: channel A of these boards, by the description
// the USB driver lists, compared byte for byte.
#pragma once

#include <array>
#include <cstring>

namespace cm3probe::connection {

inline constexpr std::array<const char*, 8> kSupportedAdapters = {
    "Vorant Evaluation Board A", "Vorant Bridge Board A",        "Vorant Probe Board A",
    "Amber Probe A",             "V200 Evaluation Board A",      "V-Series Development Board A",
    "Vorant Development Board A", "USB Debug Bridge A",
};

inline bool IsSupportedAdapter(const char* description) {
    for (const char* supported : kSupportedAdapters) {
        if (std::strcmp(description, supported) == 0) return true;
    }
    return false;
}

}  // namespace cm3probe::connection
