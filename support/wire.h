// Byte-order helpers for reading fields out of capture files and packets.
// Every multi-byte wire field is assembled from bytes with shifts, so no code ever casts a
// struct onto packet bytes and no read depends on the host's byte order or alignment.
// The caller is responsible for having checked that the bytes are really there.
#ifndef NELO_SUPPORT_WIRE_H_
#define NELO_SUPPORT_WIRE_H_

#include <cstdint>

namespace nelo {

inline uint16_t load_be16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint16_t load_le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint32_t load_be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t load_be64(const uint8_t* p) {
  return (static_cast<uint64_t>(load_be32(p)) << 32) | load_be32(p + 4);
}

// The same fields in a byte order known only at run time (a capture file's own).
inline uint16_t load_u16(const uint8_t* p, bool big_endian) {
  return big_endian ? load_be16(p) : load_le16(p);
}

inline uint32_t load_u32(const uint8_t* p, bool big_endian) {
  return big_endian ? load_be32(p) : load_le32(p);
}

inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline void store_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace nelo

#endif  // NELO_SUPPORT_WIRE_H_
