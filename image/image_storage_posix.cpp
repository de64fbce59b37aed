// The image block on POSIX systems: an anonymous mapping with its pages populated at once.
#include <sys/mman.h>

#include <new>

#include "image/image_storage.h"
#include "image/memory_image.h"

namespace kv {

void ImageStorageRelease::operator()(uint8_t* bytes) const {
  munmap(bytes, ImageSize);
}

ImageStorage AllocateImageStorage() {
  void* block =
      mmap(nullptr, ImageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  return ImageStorage(static_cast<uint8_t*>(block));
}

}  // namespace kv
