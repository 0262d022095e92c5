// String extraction for the strings dump.
#include "report/string_extract.h"

#include <algorithm>

#include "support/byte_text.h"

namespace nelo {
namespace {

constexpr char BLANK = ' ';

// The run being collected. Leading blanks are dropped so that indented text lines up; blanks
// inside or after the text are part of it.
class run_collector {
 public:
  run_collector(size_t min_len, std::vector<std::string>& strings)
      : m_min_len(min_len), m_strings(strings) {}

  void add(char c) {
    if (c == BLANK && m_cur.empty()) return;
    m_cur.push_back(c);
  }
  void end_run() {
    if (m_cur.size() >= m_min_len) m_strings.push_back(m_cur);
    m_cur.clear();
  }

 private:
  size_t m_min_len;
  std::vector<std::string>& m_strings;
  std::string m_cur;
};

size_t effective_min_len(int32_t min_len) {
  return static_cast<size_t>(std::max(min_len, 1));
}

}  // namespace

bool extract_ascii_strings(const uint8_t* data, int32_t len, int32_t min_len,
                           std::vector<std::string>& strings) {
  strings.clear();
  if (data == nullptr || len < 1) return false;
  run_collector run(effective_min_len(min_len), strings);
  for (int32_t i = 0; i < len; ++i) {
    if (is_printable_byte(data[i])) {
      run.add(static_cast<char>(data[i]));
    } else {
      run.end_run();
    }
  }
  run.end_run();
  return true;
}

bool extract_utf16_strings(const uint8_t* data, uint32_t len, int32_t min_len,
                           std::vector<std::string>& strings) {
  strings.clear();
  if (data == nullptr || len < 1) return false;
  run_collector run(effective_min_len(min_len), strings);
  uint32_t i = 0;
  while (i < len - 1) {
    if (data[i + 1] == 0 && is_printable_byte(data[i])) {
      run.add(static_cast<char>(data[i]));
      i += 2;
    } else {
      run.end_run();
      i += 1;
    }
  }
  run.end_run();
  return true;
}

void message_strings(const decoded_packet& packet, bool payload_dumped,
                     std::vector<std::string>& strings) {
  strings.clear();
  const byte_span bytes = payload_dumped ? packet.payload : packet.headers;
  if (bytes.empty()) return;
  // Captured lengths, so the narrowing is exact.
  const auto len = static_cast<int32_t>(bytes.size());
  extract_ascii_strings(bytes.data(), len, MIN_STRING_LENGTH, strings);
  std::vector<std::string> wide;
  extract_utf16_strings(bytes.data(), static_cast<uint32_t>(len), MIN_STRING_LENGTH, wide);
  strings.insert(strings.end(), wide.begin(), wide.end());
}

}  // namespace nelo
