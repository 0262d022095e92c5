#include "report/sink_set.h"

#include <algorithm>

#include "report/capture_sink.h"
#include "report/csv_report.h"
#include "report/dumps.h"
#include "report/json_report.h"
#include "report/packet_report.h"
#include "support/run_control.h"

namespace nelo {

sink_set::sink_set(const output_settings& settings, const report_target& target)
    : m_target(target) {
  std::ostream& out = *target.out;
  const auto add_text = [&](std::unique_ptr<text_sink> sink) {
    m_text.push_back(sink.get());
    m_flush_each_line = m_flush_each_line || sink->flushes_each_line();
    m_sinks.push_back(std::move(sink));
  };
  const auto add_untexted = [&](std::unique_ptr<message_sink> sink) {
    m_untexted.push_back(sink.get());
    m_sinks.push_back(std::move(sink));
  };
  if (settings.summary) {
    auto summary = std::make_unique<summary_sink>(settings, out);
    m_summary = summary.get();
    add_untexted(std::move(summary));
  } else if (settings.json) {
    add_text(std::make_unique<json_sink>(settings, out));
  } else if (settings.csv) {
    add_text(std::make_unique<csv_sink>(settings, target));
  } else {
    // Raw bytes have no room for a line of text between them.
    if (settings.dump_meta && settings.format != output_format::binary) {
      add_text(std::make_unique<report_line_sink>(target));
    }
    if (settings.dump_hdr || settings.dump_payload) {
      add_text(std::make_unique<dump_sink>(settings, out));
    }
  }
  // The frames go to the capture file whatever the report shows, or when it shows nothing.
  if (target.capture != nullptr) {
    add_untexted(std::make_unique<capture_sink>(*target.capture, target.notes));
  }
  for (const auto& sink : m_sinks) m_need = std::max(m_need, sink->need());
}

void sink_set::begin_run() {
  for (const auto& sink : m_sinks) sink->begin_run();
}

void sink_set::begin_capture(const std::string& name) {
  for (const auto& sink : m_sinks) sink->begin_capture(name);
}

void sink_set::write_message(const decoded_packet& packet, const payload_digest& digest) {
  for (const auto& sink : m_sinks) sink->write_message(packet, digest);
  check_streams();
}

bool sink_set::text_worth_sharing() const {
  return std::any_of(m_text.begin(), m_text.end(),
                     [](const text_sink* sink) { return !sink->text_is_cheap(); });
}

message_note sink_set::note_message(const decoded_packet& packet) {
  message_note note;
  for (text_sink* sink : m_text) sink->note_message(packet, note);
  return note;
}

size_t sink_set::text_bound(const decoded_packet& packet) const {
  size_t bound = 0;
  for (const text_sink* sink : m_text) bound += sink->text_bound(packet);
  return bound;
}

void sink_set::format_text(const decoded_packet& packet, const payload_digest& digest,
                           const message_note& note, text_target& out) const {
  for (const text_sink* sink : m_text) sink->format_text(packet, digest, note, out);
}

void sink_set::write_texts(std::string_view text, size_t messages) {
  if (messages == 0) return;
  std::ostream& out = *m_target.out;
  for (text_sink* sink : m_text) sink->before_text(out);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (m_flush_each_line) out.flush();
  check_streams();
}

void sink_set::write_text(const decoded_packet& packet, const payload_digest& digest,
                          const message_note& note) {
  std::ostream& out = *m_target.out;
  for (text_sink* sink : m_text) sink->before_text(out);
  text_target target(out);
  format_text(packet, digest, note, target);
  if (m_flush_each_line) out.flush();
  check_streams();
}

void sink_set::take_message(const decoded_packet& packet, const payload_digest& digest) {
  for (message_sink* sink : m_untexted) sink->write_message(packet, digest);
  check_streams();
}

void sink_set::check_streams() const {
  if (m_target.out->fail() || (m_target.capture != nullptr && m_target.capture->fail())) {
    request_stop_for_write_failure();
  }
}

void sink_set::end_capture() {
  for (const auto& sink : m_sinks) sink->end_capture();
}

void sink_set::end_run() {
  for (const auto& sink : m_sinks) sink->end_run();
}

void sink_set::hand_over(sink_set& run) {
  if (m_summary != nullptr && run.m_summary != nullptr) m_summary->hand_over(*run.m_summary);
}

uint64_t sink_set::unpaired() const {
  uint64_t most = 0;
  for (const auto& sink : m_sinks) most = std::max(most, sink->unpaired());
  return most;
}

uint64_t sink_set::summary_untracked() const {
  return m_summary != nullptr ? m_summary->untracked() : 0;
}

}  // namespace nelo
