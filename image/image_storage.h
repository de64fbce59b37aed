// The block that holds the image's ImageSize bytes. Each platform allocates it its own way
// (image_storage_posix.cpp, image_storage_win32.cpp): on Linux every page of the block is made present
// in one call, where touching a fresh block faults once per 4 KiB page, and those faults are most of
// what loading a small file costs.
#pragma once

#include <cstdint>
#include <memory>

namespace kv {

struct ImageStorageRelease {
  void operator()(uint8_t* bytes) const;
};
using ImageStorage = std::unique_ptr<uint8_t[], ImageStorageRelease>;

// ImageSize bytes of unspecified content; throws std::bad_alloc as new does when memory is short.
ImageStorage AllocateImageStorage();

}  // namespace kv
