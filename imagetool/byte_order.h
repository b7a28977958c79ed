#pragma once
// Reading and writing fixed-width integers in a byte buffer: little-endian (APFS, GPT, MBR, exFAT) and
// big-endian (HFS Plus, the encrypted-image header).

#include <cstdint>

namespace quorbel::imagetool::bytes {

inline std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
inline std::uint32_t le32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline std::uint64_t le64(const unsigned char* p) { return le32(p) | std::uint64_t{le32(p + 4)} << 32; }

inline std::uint16_t be16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
inline std::uint32_t be32(const unsigned char* p) { return std::uint32_t{be16(p)} << 16 | be16(p + 2); }
inline std::uint64_t be64(const unsigned char* p) { return std::uint64_t{be32(p)} << 32 | be32(p + 4); }

inline void putLe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void putLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void putLe64(unsigned char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline void putBe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}
inline void putBe32(unsigned char* p, std::uint32_t v) {
  putBe16(p, static_cast<std::uint16_t>(v >> 16));
  putBe16(p + 2, static_cast<std::uint16_t>(v));
}
inline void putBe64(unsigned char* p, std::uint64_t v) {
  putBe32(p, static_cast<std::uint32_t>(v >> 32));
  putBe32(p + 4, static_cast<std::uint32_t>(v));
}

}  // namespace quorbel::imagetool::bytes
