#include "image/memory_image.h"

#include <algorithm>

namespace kv {

MemoryImage::MemoryImage() : bytes_(new uint8_t[ImageSize]) {
  ResetImage();
}

MemoryImage::MemoryImage(const MemoryImage& other) : bytes_(new uint8_t[ImageSize]), pages_(other.pages_) {
  std::copy_n(other.bytes_.get(), ImageSize, bytes_.get());
}

MemoryImage& MemoryImage::operator=(const MemoryImage& other) {
  if (this != &other) {
    std::copy_n(other.bytes_.get(), ImageSize, bytes_.get());
    pages_ = other.pages_;
  }
  return *this;
}

void MemoryImage::ResetImage() {
  std::fill_n(bytes_.get(), ImageSize, ErasedByte);
  pages_.Clear();
}

}  // namespace kv
