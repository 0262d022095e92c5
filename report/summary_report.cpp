// The summary's three forms. They are written once per run, a row per conversation, so they are
// built in strings for clarity rather than speed.
#include "report/summary_report.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string_view>

#include "report/address_text.h"
#include "report/json_report.h"
#include "report/line_buffer.h"
#include "report/summary_file.h"
#include "support/byte_text.h"
#include "support/csv_text.h"
#include "support/ko_time_format.h"

namespace nelo {

namespace {

constexpr std::string_view SEPARATOR = " , ";
constexpr std::string_view NOTE_SEPARATOR = ", ";
constexpr char CAPPED_SUFFIX[] = "+";

// The notes in the order a row names them, by their conversation_note bit.
constexpr struct {
  uint8_t bit;
  std::string_view text;
} NOTE_TEXTS[] = {
    {NOTE_CARRIES_DATA, "payload carries data"},
    {NOTE_PAYLOADS_VARY, "payloads vary"},
    {NOTE_ENTROPY_HIGH, "entropy high"},
    {NOTE_REPLY_DIFFERS, "reply differs from request"},
    {NOTE_STRAY_REPLIES, "replies answer nothing"},
    {NOTE_NO_REPLIES, "no replies"},
};

enum class align : uint8_t { left, right };

struct column {
  std::string_view name;
  size_t width;
  align side;
};

// The padded columns, in order; values wider than a column are written whole. The last one,
// the notes, is not padded.
constexpr column COLUMNS[] = {
    {"proto", 6, align::left},    {"requester", 25, align::left},   {"responder", 25, align::left},
    {"id", 6, align::left},       {"message", 34, align::left},     {"tunnels", 7, align::left},
    {"first", 23, align::left},   {"last", 23, align::left},        {"requests", 8, align::right},
    {"replies", 8, align::right}, {"unanswered", 10, align::right}, {"bytes", 12, align::right},
    {"sizes", 11, align::right},  {"payloads", 8, align::right},    {"entropy", 7, align::right},
    {"files", 5, align::right},   {"first seen", 24, align::left},  {"notes", 0, align::left},
};
constexpr size_t COLUMN_COUNT = std::size(COLUMNS);

// The texts of one row's columns, unpadded, end to end in one buffer that is reused row after
// row, so writing a large table allocates nothing per row.
class row_texts {
 public:
  void clear() {
    m_text.clear();
    m_count = 0;
  }
  // Starts the next column: what is appended to the result until the next call is its text.
  std::string& next() {
    m_at[m_count++] = m_text.size();
    return m_text;
  }
  std::string_view operator[](size_t i) const {
    const size_t end = i + 1 < m_count ? m_at[i + 1] : m_text.size();
    return std::string_view(m_text).substr(m_at[i], end - m_at[i]);
  }

 private:
  std::string m_text;
  std::array<size_t, COLUMN_COUNT> m_at{};
  size_t m_count = 0;
};

void append_number(std::string& out, uint64_t value) {
  char digits[20];
  out.append(digits, put_number(digits, value));
}

void append_address(std::string& out, const std::array<uint8_t, 16>& bytes, bool ipv6) {
  char text[IPV6_TEXT_MAX];
  const size_t len = ipv6 ? ipv6_to_text(bytes.data(), text) : ip_to_text(bytes.data(), text);
  out.append(text, len);
}

// The date and clock of the second written last: the times of a table fall in few seconds, and
// working a date out of ticks costs more than the rest of a row.
struct second_text {
  uint64_t second = UINT64_MAX;
  bool valid = false;
  char date[10];
  char clock[12];
};

void append_time(std::string& out, const std::optional<ko::fine_time>& at, second_text& last) {
  if (!at) return;
  const uint64_t second = at->ticks / ko::TICKS_PER_SECOND;
  if (second != last.second) {
    last.second = second;
    last.valid = ko::write_date_time_utc(ko::time(at->ticks), last.date, last.clock);
  }
  if (!last.valid) return;
  constexpr size_t WHOLE_SECONDS = 9;  // "hh:mm:ss."
  const uint64_t milliseconds = at->ticks % ko::TICKS_PER_SECOND / ko::TICKS_PER_MILLISECOND;
  char clock[12];
  std::copy_n(last.clock, WHOLE_SECONDS, clock);
  put_digits(clock + WHOLE_SECONDS, milliseconds, 3);
  out.append(last.date, sizeof last.date);
  out += ' ';
  out.append(clock, sizeof clock);
}

// `value` with `decimals` decimals, rounded half away from zero.
void append_fixed(std::string& out, double value, int decimals) {
  uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const auto scaled = static_cast<uint64_t>(std::llround(value * static_cast<double>(scale)));
  append_number(out, scaled / scale);
  out += '.';
  char digits[20];
  uint64_t fraction = scaled % scale;
  for (int i = decimals - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  out.append(digits, static_cast<size_t>(decimals));
}

constexpr int COLUMN_DECIMALS = 2;
constexpr int JSON_DECIMALS = 4;

void append_notes(std::string& out, uint8_t notes) {
  bool first = true;
  for (const auto& note : NOTE_TEXTS) {
    if ((notes & note.bit) == 0) continue;
    if (!first) out += NOTE_SEPARATOR;
    first = false;
    out += note.text;
  }
}

void fill_texts(const summary_row& row, row_texts& t, second_text& last_second) {
  const conversation_key& key = *row.key;
  t.clear();
  t.next() += key.ipv6 ? "icmpv6" : "icmp";
  append_address(t.next(), key.requester, key.ipv6);
  append_address(t.next(), key.responder, key.ipv6);
  std::string& id = t.next();
  if (key.kind != exchange_kind::none) {
    char digits[4];
    put_hex4(digits, key.id);
    id += "0x";
    id.append(digits, sizeof digits);
  }
  t.next() += row.message;
  t.next() += row.tunnels;
  append_time(t.next(), row.first, last_second);
  append_time(t.next(), row.last, last_second);
  append_number(t.next(), row.requests);
  append_number(t.next(), row.replies);
  append_number(t.next(), row.unanswered);
  append_number(t.next(), row.bytes);
  std::string& sizes = t.next();
  append_number(sizes, row.size_min);
  if (row.size_max != row.size_min) {
    sizes += '-';
    append_number(sizes, row.size_max);
  }
  std::string& payloads = t.next();
  append_number(payloads, row.payloads);
  if (row.payloads_capped) payloads += CAPPED_SUFFIX;
  append_fixed(t.next(), row.entropy, COLUMN_DECIMALS);
  append_number(t.next(), row.files);
  std::string& seen = t.next();
  seen += *row.first_file;
  seen += ':';
  append_number(seen, row.first_frame);
  append_notes(t.next(), row.notes);
}

// Writes one padded line of `texts`, built in `line`: sized once, then filled in place, as a
// sweep of a whole network has as many rows as messages.
template <typename texts_type>
void write_padded_line(std::ostream& out, const texts_type& texts, std::string& line) {
  size_t total = 1;
  for (size_t i = 0; i < COLUMN_COUNT; ++i) {
    total += SEPARATOR.size() + std::max(texts[i].size(), COLUMNS[i].width);
  }
  if (line.size() < total) line.resize(total);
  char* p = line.data();
  for (size_t i = 0; i < COLUMN_COUNT; ++i) {
    if (i > 0) {
      std::memcpy(p, SEPARATOR.data(), SEPARATOR.size());
      p += SEPARATOR.size();
    }
    const std::string_view text = texts[i];
    const size_t width = std::max(text.size(), COLUMNS[i].width);
    const size_t blanks = width - text.size();
    std::memset(p, ' ', width);
    std::memcpy(COLUMNS[i].side == align::right ? p + blanks : p, text.data(), text.size());
    p += width;
  }
  *p++ = '\n';
  out.write(line.data(), p - line.data());
}

// Appends `field` as one CSV field.
void put_csv(std::string& line, std::string_view field) {
  const size_t at = line.size();
  line.resize(at + csv_field_max(field.size()));
  line.resize(static_cast<size_t>(put_csv_field(line.data() + at, field) - line.data()));
}

template <typename texts_type>
void write_csv_line(std::ostream& out, const texts_type& texts, std::string& line) {
  line.clear();
  for (size_t i = 0; i < COLUMN_COUNT; ++i) {
    if (i > 0) line += CSV_SEPARATOR;
    put_csv(line, texts[i]);
  }
  line += CSV_RECORD_END;
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

// A conversation's time as JSON, written as the report's JSON writes a record's time.
void append_json_time(std::string& out, const std::optional<ko::fine_time>& at) {
  capture_record record;
  if (at) {
    record.ticks = at->ticks;
    record.sub_tick_ns = at->sub_tick_ns;
  }
  char text[UTC_TIME_TEXT_MAX];
  char* end = at ? put_utc_time(text, record) : text;
  if (end == text) {
    out += "null";
    return;
  }
  out += '"';
  out.append(text, end);
  out += '"';
}

// A capture's name as a JSON string body, escaped once for all the rows first seen in it.
class escaped_names {
 public:
  const std::string& of(const std::string& name) {
    if (&name != m_last) {
      std::ostringstream escaped;
      write_json_escaped(escaped, name);
      m_escaped = escaped.str();
      m_last = &name;
    }
    return m_escaped;
  }

 private:
  const std::string* m_last = nullptr;
  std::string m_escaped;
};

// Keys, in order: proto, requester, responder, id (a number; absent for a message of one
// direction), message, tunnels (the via text of the first message, "" when none), first and last
// (RFC 3339 UTC with nine fraction digits, or null), requests, replies, unanswered, bytes, sizes
// {min, max}, payloads (with payloads_capped true when there were more), entropy (four decimals),
// files, first_seen {file, frame}, notes. The object is built in `o`.
void write_json_row(std::ostream& out, const summary_row& row, escaped_names& names,
                    std::string& o) {
  const conversation_key& key = *row.key;
  o = key.ipv6 ? "{\"proto\":\"icmpv6\"" : "{\"proto\":\"icmp\"";
  o += ",\"requester\":\"";
  append_address(o, key.requester, key.ipv6);
  o += "\",\"responder\":\"";
  append_address(o, key.responder, key.ipv6);
  o += '"';
  if (key.kind != exchange_kind::none) {
    o += ",\"id\":";
    append_number(o, key.id);
  }
  // Message names are plain ASCII of the tables; nothing in them needs escaping.
  o += ",\"message\":\"";
  o += row.message;
  o += "\",\"tunnels\":\"";
  // Tunnel names and addresses are plain ASCII too.
  o += row.tunnels;
  o += "\",\"first\":";
  append_json_time(o, row.first);
  o += ",\"last\":";
  append_json_time(o, row.last);
  o += ",\"requests\":";
  append_number(o, row.requests);
  o += ",\"replies\":";
  append_number(o, row.replies);
  o += ",\"unanswered\":";
  append_number(o, row.unanswered);
  o += ",\"bytes\":";
  append_number(o, row.bytes);
  o += ",\"sizes\":{\"min\":";
  append_number(o, row.size_min);
  o += ",\"max\":";
  append_number(o, row.size_max);
  o += "},\"payloads\":";
  append_number(o, row.payloads);
  if (row.payloads_capped) o += ",\"payloads_capped\":true";
  o += ",\"entropy\":";
  append_fixed(o, row.entropy, JSON_DECIMALS);
  o += ",\"files\":";
  append_number(o, row.files);
  o += ",\"first_seen\":{\"file\":\"";
  o += names.of(*row.first_file);
  o += "\",\"frame\":";
  append_number(o, row.first_frame);
  o += "},\"notes\":[";
  bool first = true;
  for (const auto& note : NOTE_TEXTS) {
    if ((row.notes & note.bit) == 0) continue;
    if (!first) o += ',';
    first = false;
    o += '"';
    o += note.text;
    o += '"';
  }
  o += "]}\n";
  out.write(o.data(), static_cast<std::streamsize>(o.size()));
}

}  // namespace

void write_summary(std::ostream& out, const conversation_table& table,
                   const output_settings& form) {
  // A run that walked no capture (its one file could not be opened) has no table to show.
  if (table.captures_walked() == 0) return;
  const bool padded = !form.json && !form.csv;
  std::array<std::string_view, COLUMN_COUNT> names;
  for (size_t i = 0; i < COLUMN_COUNT; ++i) names[i] = COLUMNS[i].name;
  std::string line;
  if (padded) {
    write_padded_line(out, names, line);
    out << '\n';
  }
  if (form.csv) write_csv_line(out, names, line);
  row_texts texts;
  second_text last_second;
  escaped_names file_names;
  for (size_t r = 0; r < table.size(); ++r) {
    const summary_row row = table.row(r);
    if (form.json) {
      write_json_row(out, row, file_names, line);
      continue;
    }
    fill_texts(row, texts, last_second);
    if (form.csv) {
      write_csv_line(out, texts, line);
    } else {
      write_padded_line(out, texts, line);
    }
  }
}

void summary_sink::begin_capture(const std::string& name) {
  m_capture = {};
  m_capture.begin_capture(name);
}

void summary_sink::write_message(const decoded_packet& packet, const payload_digest& /*digest*/) {
  m_capture.add(packet);
}

void summary_sink::end_capture() {
  m_capture.end_capture();
  const mutex_lock lock(m_mutex);
  m_gathered.merge(std::move(m_capture));
}

void summary_sink::end_run() {
  const mutex_lock lock(m_mutex);
  write_summary(m_out, m_gathered, m_settings);
}

void summary_sink::hand_over(summary_sink& run) {
  conversation_table gathered;
  {
    const mutex_lock lock(m_mutex);
    gathered = std::move(m_gathered);
    m_gathered = {};
  }
  const mutex_lock lock(run.m_mutex);
  run.m_gathered.merge(std::move(gathered));
}

uint64_t summary_sink::untracked() {
  const mutex_lock lock(m_mutex);
  return m_gathered.untracked();
}

void summary_sink::take(conversation_table&& saved) {
  const mutex_lock lock(m_mutex);
  m_gathered.merge(std::move(saved));
}

bool summary_sink::save(const std::string& path, std::string& error) {
  const mutex_lock lock(m_mutex);
  return save_summary_file(m_gathered, path, error);
}

}  // namespace nelo
