// Advice for a HEX file that the reader refuses but srec_cat or tr can turn into one it takes: the
// command to run, worked out from a second look at the whole file, only after the refusal, so the
// reading of a good file pays nothing. Internal to image/; the reader appends it to the fault's text.
//
// The commands name the file as the reader was given it, written so that a POSIX shell and the Windows
// command line take it alike (in double quotes when it holds a blank or the like); a name that no
// quoting carries safely, and a file without a name, appear as FILE.hex. The converted file goes beside
// it as NAME-kv6193.EXT, so the original stays.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "image/hex_reader.h"

namespace kv {

// What the reader refused.
enum class Refusal : uint8_t {
  LowerCase,      // a lower-case hex digit
  StartAddress,   // a start-address record (type 03 or 05)
  LinearAddress,  // an extended linear address record (type 04)
};

// The advice, starting with "; ". Reads the source again from its start (ByteSource::Restart) to find
// the lowest and highest data address of the whole file and everything else srec_cat must mend there;
// a source that cannot start over (a pipe) gets the commands without the addresses, on FILE.hex.
std::string ConversionAdvice(Refusal refusal, ByteSource& source, std::string_view fileName);

}  // namespace kv
