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
  if (settings.summary) {
    auto summary = std::make_unique<summary_sink>(settings, out);
    m_summary = summary.get();
    m_sinks.push_back(std::move(summary));
  } else if (settings.json) {
    m_sinks.push_back(std::make_unique<json_sink>(settings, out));
  } else if (settings.csv) {
    m_sinks.push_back(std::make_unique<csv_sink>(settings, target));
  } else {
    // Raw bytes have no room for a line of text between them.
    if (settings.dump_meta && settings.format != output_format::binary) {
      m_sinks.push_back(std::make_unique<report_line_sink>(target));
    }
    if (settings.dump_hdr || settings.dump_payload) {
      m_sinks.push_back(std::make_unique<dump_sink>(settings, out));
    }
  }
  // The frames go to the capture file whatever the report shows, or when it shows nothing.
  if (target.capture != nullptr) {
    m_sinks.push_back(std::make_unique<capture_sink>(*target.capture, target.notes));
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

uint64_t sink_set::summary_untracked() const {
  return m_summary != nullptr ? m_summary->untracked() : 0;
}

}  // namespace nelo
