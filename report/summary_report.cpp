// The summary's three forms. They are written once per run, a row per conversation, so they are
// built in strings for clarity rather than speed.
#include "report/summary_report.h"

#include <cmath>
#include <sstream>
#include <string_view>

#include "report/address_text.h"
#include "report/json_report.h"
#include "report/line_buffer.h"
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
    {NOTE_REPLY_DIFFERS, "reply differs from request"},
    {NOTE_PAYLOADS_VARY, "payloads vary"},
    {NOTE_ENTROPY_HIGH, "entropy high"},
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
    {"proto", 6, align::left},      {"requester", 25, align::left},
    {"responder", 25, align::left}, {"id", 6, align::left},
    {"message", 34, align::left},   {"first", 23, align::left},
    {"last", 23, align::left},      {"requests", 8, align::right},
    {"replies", 8, align::right},   {"unanswered", 10, align::right},
    {"bytes", 12, align::right},    {"sizes", 11, align::right},
    {"payloads", 8, align::right},  {"entropy", 7, align::right},
    {"files", 5, align::right},     {"first seen", 24, align::left},
    {"notes", 0, align::left},
};
constexpr size_t COLUMN_COUNT = std::size(COLUMNS);

// The text of each column of one row, unpadded.
using row_texts = std::array<std::string, COLUMN_COUNT>;

std::string address_text(const std::array<uint8_t, 16>& bytes, bool ipv6) {
  char text[IPV6_TEXT_MAX];
  const size_t len = ipv6 ? ipv6_to_text(bytes.data(), text) : ip_to_text(bytes.data(), text);
  return std::string(text, len);
}

std::string time_text(const std::optional<ko::fine_time>& at) {
  char date[10];
  char clock[12];
  if (!at || !ko::write_date_time_utc(ko::time(at->ticks), date, clock)) return "";
  return std::string(date, sizeof date) + ' ' + std::string(clock, sizeof clock);
}

// `value` with `decimals` decimals, rounded half away from zero.
std::string fixed_text(double value, int decimals) {
  uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  const auto scaled = static_cast<uint64_t>(std::llround(value * static_cast<double>(scale)));
  std::string fraction = std::to_string(scaled % scale);
  fraction.insert(0, static_cast<size_t>(decimals) - fraction.size(), '0');
  return std::to_string(scaled / scale) + '.' + fraction;
}

constexpr int COLUMN_DECIMALS = 2;
constexpr int JSON_DECIMALS = 4;

std::string notes_text(uint8_t notes) {
  std::string text;
  for (const auto& note : NOTE_TEXTS) {
    if ((notes & note.bit) == 0) continue;
    if (!text.empty()) text += NOTE_SEPARATOR;
    text += note.text;
  }
  return text;
}

row_texts texts_of(const summary_row& row) {
  const conversation_key& key = *row.key;
  const bool exchange = key.kind != exchange_kind::none;
  row_texts t;
  size_t i = 0;
  t[i++] = key.ipv6 ? "icmpv6" : "icmp";
  t[i++] = address_text(key.requester, key.ipv6);
  t[i++] = address_text(key.responder, key.ipv6);
  if (exchange) {
    char id[4];
    put_hex4(id, key.id);
    t[i] = "0x" + std::string(id, sizeof id);
  }
  ++i;
  t[i++] = row.message;
  t[i++] = time_text(row.first);
  t[i++] = time_text(row.last);
  t[i++] = std::to_string(row.requests);
  t[i++] = std::to_string(row.replies);
  t[i++] = std::to_string(row.unanswered);
  t[i++] = std::to_string(row.bytes);
  t[i++] = row.size_min == row.size_max
               ? std::to_string(row.size_min)
               : std::to_string(row.size_min) + '-' + std::to_string(row.size_max);
  t[i++] = std::to_string(row.payloads) + (row.payloads_capped ? CAPPED_SUFFIX : "");
  t[i++] = fixed_text(row.entropy, COLUMN_DECIMALS);
  t[i++] = std::to_string(row.files);
  t[i++] = *row.first_file + ':' + std::to_string(row.first_frame);
  t[i++] = notes_text(row.notes);
  return t;
}

void put_padded(std::string& line, std::string_view text, const column& c) {
  const size_t blanks = text.size() < c.width ? c.width - text.size() : 0;
  if (c.side == align::right) line.append(blanks, ' ');
  line += text;
  if (c.side == align::left) line.append(blanks, ' ');
}

void write_padded_line(std::ostream& out, const std::array<std::string_view, COLUMN_COUNT>& texts) {
  std::string line;
  for (size_t i = 0; i < COLUMN_COUNT; ++i) {
    if (i > 0) line += SEPARATOR;
    put_padded(line, texts[i], COLUMNS[i]);
  }
  line += '\n';
  out << line;
}

// The column header; its blank padding matches the data widths of the rows.
std::string padded_header() {
  std::array<std::string_view, COLUMN_COUNT> names;
  for (size_t i = 0; i < COLUMN_COUNT; ++i) names[i] = COLUMNS[i].name;
  std::ostringstream out;
  write_padded_line(out, names);
  return out.str();
}

// Appends `field` as one CSV field.
void put_csv(std::string& line, std::string_view field) {
  const size_t at = line.size();
  line.resize(at + csv_field_max(field.size()));
  line.resize(static_cast<size_t>(put_csv_field(line.data() + at, field) - line.data()));
}

void write_csv_line(std::ostream& out, const std::array<std::string_view, COLUMN_COUNT>& texts) {
  std::string line;
  for (size_t i = 0; i < COLUMN_COUNT; ++i) {
    if (i > 0) line += CSV_SEPARATOR;
    put_csv(line, texts[i]);
  }
  line += CSV_RECORD_END;
  out << line;
}

std::string json_string(std::string_view text) {
  std::ostringstream escaped;
  write_json_escaped(escaped, text);
  return '"' + escaped.str() + '"';
}

// A conversation's time as JSON, written as the report's JSON writes a record's time.
std::string json_time(const std::optional<ko::fine_time>& at) {
  capture_record record;
  if (at) {
    record.ticks = at->ticks;
    record.sub_tick_ns = at->sub_tick_ns;
  }
  char text[UTC_TIME_TEXT_MAX];
  char* end = at ? put_utc_time(text, record) : text;
  if (end == text) return "null";
  return '"' + std::string(text, end) + '"';
}

// Keys, in order: proto, requester, responder, id (a number; absent for a message of one
// direction), message, first and last (RFC 3339 UTC with nine fraction digits, or null),
// requests, replies, unanswered, bytes, sizes {min, max}, payloads (with payloads_capped true
// when there were more), entropy (four decimals), files, first_seen {file, frame}, notes.
void write_json_row(std::ostream& out, const summary_row& row) {
  const conversation_key& key = *row.key;
  std::string o = "{\"proto\":";
  o += key.ipv6 ? "\"icmpv6\"" : "\"icmp\"";
  o += ",\"requester\":\"" + address_text(key.requester, key.ipv6);
  o += "\",\"responder\":\"" + address_text(key.responder, key.ipv6) + '"';
  if (key.kind != exchange_kind::none) o += ",\"id\":" + std::to_string(key.id);
  // Message names are plain ASCII of the tables; nothing in them needs escaping.
  o += ",\"message\":\"" + std::string(row.message) + '"';
  o += ",\"first\":" + json_time(row.first);
  o += ",\"last\":" + json_time(row.last);
  o += ",\"requests\":" + std::to_string(row.requests);
  o += ",\"replies\":" + std::to_string(row.replies);
  o += ",\"unanswered\":" + std::to_string(row.unanswered);
  o += ",\"bytes\":" + std::to_string(row.bytes);
  o += ",\"sizes\":{\"min\":" + std::to_string(row.size_min);
  o += ",\"max\":" + std::to_string(row.size_max) + '}';
  o += ",\"payloads\":" + std::to_string(row.payloads);
  if (row.payloads_capped) o += ",\"payloads_capped\":true";
  o += ",\"entropy\":" + fixed_text(row.entropy, JSON_DECIMALS);
  o += ",\"files\":" + std::to_string(row.files);
  o += ",\"first_seen\":{\"file\":" + json_string(*row.first_file);
  o += ",\"frame\":" + std::to_string(row.first_frame) + "},\"notes\":[";
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
  out << o;
}

}  // namespace

void write_summary(std::ostream& out, const conversation_table& table,
                   const output_settings& form) {
  // A run that walked no capture (its one file could not be opened) has no table to show.
  if (table.captures_walked() == 0) return;
  const bool padded = !form.json && !form.csv;
  if (padded) out << padded_header() << '\n';
  if (form.csv) {
    std::array<std::string_view, COLUMN_COUNT> names;
    for (size_t i = 0; i < COLUMN_COUNT; ++i) names[i] = COLUMNS[i].name;
    write_csv_line(out, names);
  }
  for (size_t r = 0; r < table.size(); ++r) {
    const summary_row row = table.row(r);
    if (form.json) {
      write_json_row(out, row);
      continue;
    }
    const row_texts texts = texts_of(row);
    std::array<std::string_view, COLUMN_COUNT> views;
    for (size_t i = 0; i < COLUMN_COUNT; ++i) views[i] = texts[i];
    if (form.csv) {
      write_csv_line(out, views);
    } else {
      write_padded_line(out, views);
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

}  // namespace nelo
