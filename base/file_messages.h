// The program's two Czech file messages (its only texts that are not English), shared by the HEX
// reader and the port setting file. Each ends in a blank and names no file.
#pragma once

#include <string_view>

namespace kv {

// "cannot open file "
inline constexpr std::string_view CannotOpenFileMessage = "Nelze otev\u0159\u00edt soubor ";
// "cannot write to file "
inline constexpr std::string_view CannotWriteFileMessage = "Nelze zapsat do souboru ";

}  // namespace kv
