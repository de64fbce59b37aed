// The 64-byte identification block at the start of each downloaded firmware's first page: marker
// 0xAA 0x55, the 8-byte file name, the file's last-write time as DDMMYYYYhhmmss, 0x00, and a checksum
// byte that makes the 8-bit sum over every sector the kind erases come out as zero.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "download/file_kind.h"
#include "image/loaded_file.h"
#include "image/memory_image.h"

namespace kv {

inline constexpr uint32_t IdentificationChecksumByte = 63;

// A run of image bytes that a kind's checksum covers: bank, first and last offset within the bank.
struct CoveredRange {
  uint32_t bank;
  uint32_t firstOffset;
  uint32_t lastOffset;  // inclusive
};

// The covered ranges of a kind that is sent (empty for Empty and Unknown).
std::span<const CoveredRange> ChecksumCoverage(FileKind kind);

// Writes bytes 38..63 of the block that starts at blockOffset in the image; byte 63 becomes 0x00.
void StampIdentificationBlock(MemoryImage& image, uint32_t blockOffset, std::string_view loadedFileName,
                              const SystemTime& loadedFileTime);

// Stamps the block at the kind's first page and sets byte 63 so the covered bytes sum to 0.
// Does nothing for Empty and Unknown.
void SealIdentificationBlock(MemoryImage& image, FileKind kind, std::string_view loadedFileName,
                             const SystemTime& loadedFileTime);

}  // namespace kv
