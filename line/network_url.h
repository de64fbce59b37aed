// The names of lines on other machines: "rfc2217://HOST:PORT" and "socket://HOST:PORT" (net/ opens
// them and reads their parts). Known here, below the network ports, because a failed open is worded
// apart for them: their port names the server and the cause in its own words, and no advice about a
// local device fits.
#pragma once

#include <string_view>

namespace kv {

inline constexpr std::string_view Rfc2217Scheme = "rfc2217://";
inline constexpr std::string_view RawTcpScheme = "socket://";

// True when `name` starts with one of the network schemes (and so must not be opened as a file).
constexpr bool IsNetworkUrl(std::string_view name) {
  return name.starts_with(Rfc2217Scheme) || name.starts_with(RawTcpScheme);
}

}  // namespace kv
