// The image block on Windows: from the heap (first touches there cost little).
#include "image/image_storage.h"
#include "image/memory_image.h"

namespace kv {

void ImageStorageRelease::operator()(uint8_t* bytes) const {
  delete[] bytes;
}

ImageStorage AllocateImageStorage() {
  return ImageStorage(new uint8_t[ImageSize]);
}

}  // namespace kv
