#include "image/memory_image.h"

#include <algorithm>

namespace kv {

MemoryImage::MemoryImage() : bytes_(new uint8_t[ImageSize]) {
  ResetImage();
}

void MemoryImage::ResetImage() {
  std::fill_n(bytes_.get(), ImageSize, ErasedByte);
  pages_.Clear();
}

}  // namespace kv
