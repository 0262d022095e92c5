// The -summary output: one row per conversation over every capture of the run, written once
// after the last capture, in the padded form, as JSON Lines (-json) or as CSV (-csv). The sink
// gathers each capture's conversations (report/conversation_table.h) and writes nothing per
// message; the driver's sink writes the rows when the run ends.
#ifndef NELO_REPORT_SUMMARY_REPORT_H_
#define NELO_REPORT_SUMMARY_REPORT_H_

#include <cstdint>
#include <ostream>
#include <string>

#include "report/conversation_table.h"
#include "report/message_sink.h"
#include "report/output_settings.h"
#include "support/thread_annotations.h"

namespace nelo {

// Writes the rows of `table`, in the order the conversations were first seen; nothing when it
// walked no capture:
//  - padded: the column header (its blank padding matches the rows) and an empty line, then a row
//  per conversation: proto,
//    requester, responder, id ("0x136c", empty for a message of one direction), message, tunnels
//    (the first message's, as its report line names them after "via"), first
//    and last ("yyyy-mm-dd hh:mm:ss.mmm" UTC, empty without a time), requests, replies,
//    unanswered, bytes, sizes ("min-max", or one number), payloads (or "256+"), entropy (two
//    decimals), files, first seen ("FILE:FRAME") and the notes, ", " between them;
//  - csv: RFC 4180, the same columns unpadded under a header row, CRLF line ends;
//  - json: one object per conversation (keys in summary_report.cpp's write_json_row).
void write_summary(std::ostream& out, const conversation_table& table, const output_settings& form);

// The run shows the summary with -summary, and nothing else.
class summary_sink final : public message_sink {
 public:
  // `settings` and `out` must outlive the sink.
  summary_sink(const output_settings& settings, std::ostream& out)
      : m_settings(settings), m_out(out) {}

  // The summary does its own cheap payload work, and no digest.
  digest_need need() const override { return digest_need::none; }
  void begin_capture(const std::string& name) override;
  void write_message(const decoded_packet& packet, const payload_digest& digest) override;
  // Adds the capture's conversations to those this sink gathered.
  void end_capture() override EXCLUDES(m_mutex);
  // Writes the rows of every capture this sink gathered or was handed.
  void end_run() override EXCLUDES(m_mutex);

  // Hands what this sink gathered to `run`, the sink that writes the run's rows, and forgets
  // it. Called for one capture after another in the order of the list.
  void hand_over(summary_sink& run) EXCLUDES(m_mutex, run.m_mutex);
  // Messages of conversations beyond CONVERSATIONS_MAX, left out of the rows.
  uint64_t untracked() EXCLUDES(m_mutex);
  // Adds a table saved earlier (-merge), whose captures come after those gathered so far.
  void take(conversation_table&& saved) EXCLUDES(m_mutex);
  // Writes what this sink gathered as a saved table (report/summary_file.h) to `path`; false
  // with why in `error`.
  bool save(const std::string& path, std::string& error) EXCLUDES(m_mutex);

 private:
  const output_settings& m_settings;
  std::ostream& m_out;
  conversation_table m_capture;  // of the capture being walked, on the walking thread
  // The captures walked so far; a list worker's sink hands them on from its own thread.
  mutex m_mutex;
  conversation_table m_gathered GUARDED_BY(m_mutex);
};

}  // namespace nelo

#endif  // NELO_REPORT_SUMMARY_REPORT_H_
