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
  switch (selector % 14) {
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
      std::vector<uint64_t> values;
      const uint64_t max_value = in.u16();
      if (nelo::parse_number_list(in.rest(), max_value, values)) {
        NELO_FUZZ_CHECK(!values.empty());
        for (uint64_t v : values) NELO_FUZZ_CHECK(v <= max_value);
      }
      break;
    }
    case 4: {
      // Sorted, apart and from frame 1 on, as the filter's binary search needs them.
      std::vector<nelo::frame_range> frames;
      if (nelo::parse_frame_list(in.rest(), frames)) {
        for (size_t i = 0; i < frames.size(); ++i) {
          NELO_FUZZ_CHECK(frames[i].first >= 1 && frames[i].first <= frames[i].last);
          NELO_FUZZ_CHECK(i == 0 || frames[i - 1].last + 1 < frames[i].first);
        }
      }
      break;
    }
    case 5: {
      // No address bit lies outside its prefix.
      std::vector<nelo::ipv4_prefix> v4;
      std::vector<nelo::ipv6_prefix> v6;
      const bool ipv4 = (selector & 0x80) != 0;
      if (nelo::parse_address_list(in.rest(), ipv4, v4, v6)) {
        NELO_FUZZ_CHECK(ipv4 || v4.empty());
        for (const auto& p : v4) NELO_FUZZ_CHECK((p.address & ~p.mask) == 0);
        for (const auto& p : v6) {
          NELO_FUZZ_CHECK((p.high & ~p.mask_high) == 0 && (p.low & ~p.mask_low) == 0);
        }
      }
      break;
    }
    case 6:
    case 7: {
      nelo::byte_pattern pattern;
      pattern.total_len = 99;  // reset first, whatever was there
      const bool ok = nelo::parse_byte_pattern(in.rest(), selector % 14 == 6, pattern);
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
    case 11: {
      std::vector<nelo::icmp_value> values;
      if (nelo::parse_icmp_values(in.rest(), (selector & 0x80) != 0, values)) {
        NELO_FUZZ_CHECK(!values.empty());
        for (const auto& v : values) NELO_FUZZ_CHECK(v.icmpv4 || v.icmpv6);
      }
      break;
    }
    case 12: {
      ko::fine_time bound;
      if (nelo::parse_time_value(in.rest(), (selector & 0x80) != 0, bound)) {
        NELO_FUZZ_CHECK(bound.ticks != 0 && bound.ticks < TICK_LIMIT);
        NELO_FUZZ_CHECK(bound.sub_tick_ns < ko::NANOSECONDS_PER_TICK);
      }
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
