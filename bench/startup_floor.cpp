// The least a program can spend on `ld6193-flash --plan FILE` on this machine: a static process that
// makes the flasher's empty image and reads FILE through the flasher's own chunked reader, but decodes
// nothing, parses no options and starts no C++ runtime. bench/startup.sh times it beside the flasher
// and srec_cat: the gap between it and the flasher is the flasher's own doing; its own time is the
// machine's (starting a process, touching fresh pages, copying the file out of the page cache).
//   startup_floor FILE     exit 0 when FILE was read, 1 when it could not be opened or was empty
#include <string>

#include "image/hex_file.h"
#include "image/memory_image.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string reason;
  kv::HexFile file(argv[1], reason);
  if (!file.IsOpen()) return 1;
  const kv::MemoryImage image;
  size_t total = 0;
  for (auto chunk = file.NextChunk(); !chunk.empty(); chunk = file.NextChunk()) total += chunk.size();
  return total > 0 ? 0 : 1;
}
