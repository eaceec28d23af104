#pragma once

namespace kestrel::strata_sdk {
inline constexpr const char* kSdkVersion = "1.4.6";
}
