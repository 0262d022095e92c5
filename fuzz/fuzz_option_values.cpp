// The option value readers and the date and time readers on arbitrary text. The first byte
// picks the reader; the rest is its text (split at a newline where a reader takes two texts).
// Besides staying inside their buffers, the readers must keep the promises of their contracts,
// which are checked here.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/value_readers.h"
#include "capture/byte_pattern_match.h"
#include "fuzz/fuzz_input.h"
#include "support/ko_time.h"
#include "support/ko_time_parse.h"

namespace {

using nelo::fuzz::byte_source;

constexpr uint64_t TICK_LIMIT = uint64_t{1} << 63;
constexpr const char* DATE_ORDERS[] = {"YMD", "MDY", "DMY", "DMonY", "MonDY", "ymd", "YM", "YMX"};
constexpr char SEPARATORS[] = {'/', '-', '.', ' '};

void check_pattern(bool ok, const nelo::byte_pattern& pattern) {
  NELO_FUZZ_CHECK(ok == pattern.on());
  uint64_t sum = 0;
  for (size_t i = 0; i < pattern.runs.size(); ++i) {
    const nelo::pattern_run& run = pattern.runs[i];
    // Only the first run may hold wildcards alone.
    NELO_FUZZ_CHECK(i == 0 || !run.literal.empty());
    sum += run.literal.size() + run.wildcards;
  }
  NELO_FUZZ_CHECK(sum == pattern.total_len);
}

// A successful date-and-time read hands on only records that convert.
void check_date_time(bool ok, const ko::_windows_systemtime& st) {
  if (!ok) return;
  const uint64_t ticks = ko::systemtime_to_ticks(st);
  NELO_FUZZ_CHECK(ticks != 0 && ticks < TICK_LIMIT);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  byte_source in(data, size);
  const uint8_t selector = in.u8();
  switch (selector % 12) {
    case 0: {
      uint32_t value = 1;
      const bool ok = nelo::parse_number(in.rest(), value);
      NELO_FUZZ_CHECK(ok || value == 0);
      break;
    }
    case 1: {
      uint64_t value = 1;
      const std::string_view text = in.rest();
      const bool ok = nelo::parse_u64(text, value);
      NELO_FUZZ_CHECK(ok || value == 0);
      NELO_FUZZ_CHECK(!ok || (!text.empty() && text.size() <= 30));
      break;
    }
    case 2: {
      const std::string_view text = in.rest();
      for (const std::string& word : nelo::split_words(text))
        NELO_FUZZ_CHECK(word.size() <= text.size());
      break;
    }
    case 3: {
      // The delimiters either the tool's own or a few bytes from the input.
      const bool own = (selector & 0x80) != 0;
      const std::string delimiters(own ? std::string_view(nelo::LIST_DELIMITERS) : in.until('\n'));
      (void)nelo::parse_number_list(in.rest(), delimiters);
      break;
    }
    case 4:
      (void)nelo::parse_frame_list(in.rest());
      break;
    case 5: {
      const std::vector<uint8_t> bytes = nelo::parse_ipv6(in.rest());
      (void)bytes;
      break;
    }
    case 6:
    case 7: {
      nelo::byte_pattern pattern;
      pattern.total_len = 99;  // reset first, whatever was there
      const bool ok = nelo::parse_byte_pattern(in.rest(), selector % 12 == 6, pattern);
      check_pattern(ok, pattern);
      break;
    }
    case 8: {
      const std::string date(in.until('\n'));
      const std::string clock(in.rest());
      ko::_windows_systemtime st{};
      const bool with_clock = (selector & 0x80) != 0;
      check_date_time(ko::parse_date_time(date.c_str(), with_clock ? clock.c_str() : nullptr, st),
                      st);
      break;
    }
    case 9: {
      const char* order = DATE_ORDERS[(selector >> 4) % std::size(DATE_ORDERS)];
      const char separator = SEPARATORS[(selector >> 2) % std::size(SEPARATORS)];
      const std::string date(in.until('\n'));
      const std::string clock(in.rest());
      ko::_windows_systemtime st{};
      check_date_time(
          ko::parse_date_time_ordered(date.c_str(), clock.c_str(), order, separator, st), st);
      break;
    }
    case 10: {
      ko::_windows_systemtime st;
      st.year = in.u16();
      st.month = in.u16();
      st.day = in.u16();
      st.hour = in.u16();
      st.minute = in.u16();
      st.second = in.u16();
      st.milliseconds = in.u16();
      const uint64_t ticks = ko::systemtime_to_ticks(st);
      NELO_FUZZ_CHECK(ticks < TICK_LIMIT);
      if (st.month == 0 || st.month > 12 || st.day == 0 || st.year < 1601)
        NELO_FUZZ_CHECK(ticks == 0);
      break;
    }
    default: {
      // Round trip: a tick count broken into fields and converted back is unchanged to the
      // millisecond. The calendar breakdown is exact up to the year 3000 only (beyond it the
      // fields are an estimate, which no pcap time can reach).
      static const uint64_t year_3000 = [] {
        ko::_windows_systemtime first{};
        first.year = 3000;
        first.month = 1;
        first.day = 1;
        return ko::systemtime_to_ticks(first);
      }();
      NELO_FUZZ_CHECK(year_3000 != 0);
      const uint64_t ticks = in.u64() % year_3000;
      ko::_windows_systemtime st;
      if (ko::ticks_to_systemtime(ticks, st)) {
        NELO_FUZZ_CHECK(ko::systemtime_to_ticks(st) == ticks - ticks % ko::TICKS_PER_MILLISECOND);
      }
      break;
    }
  }
  return 0;
}
