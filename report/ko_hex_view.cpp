// Hex view rendering. Lines are built with hand-written digits straight into the output string,
// sized exactly up front, because the dumps of large captures spend most of their time here.
#include "report/ko_hex_view.h"
#include "support/byte_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ko {

void assertion_failed(const char* condition, const char* source) {
  std::fprintf(stderr, "assertion failed: %s (%s)\n", condition, source);
  std::fflush(stderr);
  std::abort();
}

binary_data::~binary_data() = default;

}  // namespace ko

namespace nelo {
namespace {

constexpr uint32_t OFFSET_COLUMN_WIDTH = 12;  // "hhhh llll:  "
constexpr uint32_t HEX_CELL_WIDTH = 3;        // two digits and a blank
constexpr uint32_t GROUP_SIZE = 8;            // an extra blank separates the two groups of 8

// Characters of a line of `count` bytes, without the newline.
constexpr uint32_t line_width(uint32_t count) {
  return HEX_VIEW_CHAR_COLUMN + count;
}

// A hex cell for every byte value: its two digits and the blank behind them, padded to four
// bytes so that a cell is copied with one fixed-size store.
struct hex_cells {
  char cell[256][4];
};
constexpr hex_cells make_hex_cells() {
  hex_cells cells{};
  for (int b = 0; b < 256; ++b) {
    cells.cell[b][0] = HEX_DIGITS_LOWER[b >> 4];
    cells.cell[b][1] = HEX_DIGITS_LOWER[b & 0xf];
    cells.cell[b][2] = ' ';
    cells.cell[b][3] = ' ';
  }
  return cells;
}
constexpr hex_cells HEX_CELLS = make_hex_cells();

// Renders one line of `count` (1 to 16) bytes at `bytes` into `dst`; returns the end.
char* render_line(char* dst, const uint8_t* bytes, uint32_t count, uint64_t offset) {
  const uint32_t low32 = static_cast<uint32_t>(offset);
  char* p = put_hex4(dst, static_cast<uint16_t>(low32 >> 16));
  *p++ = ' ';
  p = put_hex4(p, static_cast<uint16_t>(low32 & 0xffff));
  *p++ = ':';
  *p++ = ' ';
  *p++ = ' ';
  // Each cell's fourth byte lands where the next cell, the group gap or the padding below goes,
  // always before the character column.
  for (uint32_t i = 0; i < count; ++i) {
    if (i == GROUP_SIZE) *p++ = ' ';
    std::memcpy(p, HEX_CELLS.cell[bytes[i]], sizeof HEX_CELLS.cell[0]);
    p += HEX_CELL_WIDTH;
  }
  // Pad a short line (and the missing group gap) so the character column always lines up.
  char* const char_column = dst + HEX_VIEW_CHAR_COLUMN;
  while (p < char_column) *p++ = ' ';
  for (uint32_t i = 0; i < count; ++i) p[i] = SHOWN_CHARS.of[bytes[i]];
  return p + count;
}

static_assert(line_width(HEX_VIEW_BYTES_PER_LINE) == HEX_VIEW_LINE_WIDTH);
static_assert(OFFSET_COLUMN_WIDTH + HEX_VIEW_BYTES_PER_LINE * HEX_CELL_WIDTH + 2 ==
              HEX_VIEW_CHAR_COLUMN);

// The notice that takes the place of a view too large to render, and its longest text.
constexpr std::string_view TOO_BIG_PREFIX = "size to big to output: size 0x";
constexpr size_t TOO_BIG_NOTICE_MAX = TOO_BIG_PREFIX.size() + 8 + 1;

// One range check per line instead of one per byte; the per-byte loop then reads the raw bytes.
const uint8_t* checked_span(const ko::binary_data& view, uint32_t pos, uint32_t count) {
  if (static_cast<uint64_t>(pos) + count > view.size()) {
    ko::assertion_failed("index < m_num_data", "ko_hex_view");
  }
  return view.data() + pos;
}

}  // namespace

void hex_view_text(std::string& text, const ko::binary_data& view, uint32_t end, uint64_t base) {
  text.clear();
  end = std::min(end, view.size());
  if (end == 0) return;
  const uint32_t full_lines = end / HEX_VIEW_BYTES_PER_LINE;
  const uint32_t rest = end % HEX_VIEW_BYTES_PER_LINE;
  const size_t total = static_cast<size_t>(full_lines) * (HEX_VIEW_LINE_WIDTH + 1) +
                       (rest == 0 ? 0 : line_width(rest) + 1);
  text.resize(total);
  char* p = text.data();
  uint64_t offset = base;
  for (uint32_t pos = 0; pos < end; pos += HEX_VIEW_BYTES_PER_LINE) {
    const uint32_t count = std::min(HEX_VIEW_BYTES_PER_LINE, end - pos);
    p = render_line(p, checked_span(view, pos, count), count, offset);
    *p++ = '\n';
    offset += HEX_VIEW_BYTES_PER_LINE;
  }
}

void hex_dump(const uint8_t* data, uint32_t len, line_buffer& line, int64_t base) {
  if (len > HEX_DUMP_MAX_SIZE) {
    char* p = put_text(line.room(TOO_BIG_NOTICE_MAX), TOO_BIG_PREFIX);
    char digits[8];
    int n = 0;
    do {
      digits[n++] = HEX_DIGITS_LOWER[len & 0xf];
      len >>= 4;
    } while (len != 0);
    while (n > 0) *p++ = digits[--n];
    *p++ = '\n';
    line.commit(p);
    return;
  }
  if (data == nullptr || len == 0) return;
  const ko::binary_data view(data, len);
  auto offset = static_cast<uint64_t>(base);
  for (uint32_t pos = 0; pos < len; pos += HEX_VIEW_BYTES_PER_LINE) {
    const uint32_t count = std::min(HEX_VIEW_BYTES_PER_LINE, len - pos);
    char* p = render_line(line.room(HEX_VIEW_LINE_WIDTH + 1), checked_span(view, pos, count), count,
                          offset);
    *p++ = '\n';
    line.commit(p);
    offset += HEX_VIEW_BYTES_PER_LINE;
  }
}

void hex_dump(const uint8_t* data, uint32_t len, std::ostream& out, int64_t base) {
  text_target target(out);
  line_buffer line(target);
  hex_dump(data, len, line, base);
  line.flush();
}

size_t hex_dump_bound(uint32_t len) {
  if (len > HEX_DUMP_MAX_SIZE) return TOO_BIG_NOTICE_MAX;
  return (static_cast<size_t>(len) + HEX_VIEW_BYTES_PER_LINE - 1) / HEX_VIEW_BYTES_PER_LINE *
         (HEX_VIEW_LINE_WIDTH + 1);
}

}  // namespace nelo
