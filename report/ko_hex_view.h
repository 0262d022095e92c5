// The hexadecimal view of a run of bytes: `ko::binary_data`, a non-owning view over the caller's
// bytes, and the functions that render it as lines of offset, hex column and character column.
// The view copies nothing; the caller keeps the bytes alive while the view is in use.
#ifndef NELO_REPORT_KO_HEX_VIEW_H_
#define NELO_REPORT_KO_HEX_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "report/line_buffer.h"
#include "support/byte_text.h"

namespace ko {

// Stops the program with "assertion failed: <condition> (<source>)" on standard error. Used for
// index checks that no input can reach; unlike <cassert> it stays on in release builds.
[[noreturn]] void assertion_failed(const char* condition, const char* source);

// A read-only view of `num` bytes at `data`. The bytes belong to the caller.
class binary_data {
 public:
  binary_data(const uint8_t* data, uint32_t num) : m_num_data(num), m_data(data) {}
  virtual ~binary_data();

  // The byte at `index`; an index outside the view stops the program.
  uint8_t operator()(uint32_t index) const {
    if (index >= m_num_data) assertion_failed("index < m_num_data", "ko_hex_view");
    return m_data[index];
  }
  uint32_t size() const { return m_num_data; }
  const uint8_t* data() const { return m_data; }

 protected:
  uint32_t m_num_data;
  const uint8_t* m_data;
};

}  // namespace ko

namespace nelo {

inline constexpr uint32_t HEX_VIEW_BYTES_PER_LINE = 16;
// A full line: 12 offset characters, 16 x 3 hex characters, the group gap, one blank, 16
// characters. The character column starts at position 62.
inline constexpr uint32_t HEX_VIEW_LINE_WIDTH = 78;
inline constexpr uint32_t HEX_VIEW_CHAR_COLUMN = 62;
// What the character column, and the ASCII dump, show for every byte value: a printable byte as
// itself, any other as '.'. A table, so that a run of bytes is shown without a branch a byte.
struct shown_chars {
  char of[256];
};
constexpr shown_chars make_shown_chars() {
  shown_chars shown{};
  for (int b = 0; b < 256; ++b) {
    shown.of[b] =
        b >= FIRST_PRINTABLE_BYTE && b <= LAST_PRINTABLE_BYTE ? static_cast<char>(b) : '.';
  }
  return shown;
}
inline constexpr shown_chars SHOWN_CHARS = make_shown_chars();

// Regions above this size are not rendered; a one-line notice takes their place.
inline constexpr uint32_t HEX_DUMP_MAX_SIZE = 0x1000000;

// Replaces `text` with the lines for the bytes 0 to `end` of `view` (at most its size), each
// ended by "\n", the first one labelled `base` and each next one 16 more.
void hex_view_text(std::string& text, const ko::binary_data& view, uint32_t end, uint64_t base);

// Writes the hex view of `len` bytes at `data` through `line`, offsets counted from `base`.
// Above 16 MiB writes "size to big to output: size 0x<len in hex>\n" instead.
void hex_dump(const uint8_t* data, uint32_t len, line_buffer& line, int64_t base);
// The same to `out`; the stream's formatting flags are left as they were.
void hex_dump(const uint8_t* data, uint32_t len, std::ostream& out, int64_t base);
// The most bytes hex_dump writes for `len` bytes.
size_t hex_dump_bound(uint32_t len);

}  // namespace nelo

#endif  // NELO_REPORT_KO_HEX_VIEW_H_
