// The sinks a walker feeds, chosen once per run from the output settings, and the one stream
// they write to. The walk hands each kept message to the set, which hands it to its sinks in
// order: the report line before the dumps of the same message, or JSON or CSV alone. Each thread
// that walks captures has a set of its own; a set is used by one thread at a time.
#ifndef NELO_REPORT_SINK_SET_H_
#define NELO_REPORT_SINK_SET_H_

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "packet/decoded_packet.h"
#include "report/message_sink.h"
#include "report/output_settings.h"
#include "report/payload_digest.h"
#include "report/summary_report.h"

namespace nelo {

class sink_set {
 public:
  // The sinks `settings` ask for, writing to `target`; `settings` and `target.out` must be set
  // and outlive the set. A run that shows nothing (binary without dumps) has no sink but the
  // capture file's, when target.capture is set.
  sink_set(const output_settings& settings, const report_target& target);
  sink_set(const sink_set&) = delete;
  sink_set& operator=(const sink_set&) = delete;

  // The most payload work any sink reads; none when no sink reads any.
  digest_need need() const { return m_need; }
  const report_target& target() const { return m_target; }
  // The set writes the frames of its messages (-write_capture): a walk keeps fragments' frames.
  bool writes_frames() const { return m_target.capture != nullptr; }

  void begin_run();
  void begin_capture(const std::string& name);
  // Hands the message to every sink, then asks the run to stop when the report stream or the
  // capture stream has failed, so a full disk or a closed reader ends the walk.
  void write_message(const decoded_packet& packet, const payload_digest& digest);
  void end_capture();
  void end_run();
  // Hands what this set's sinks gathered for the whole run to `run`, the driver's set made from
  // the same settings; a list worker's set does so after each capture, in the list's order.
  void hand_over(sink_set& run);
  // Messages the summary left out: those of conversations beyond CONVERSATIONS_MAX.
  uint64_t summary_untracked() const;

 private:
  report_target m_target;
  std::vector<std::unique_ptr<message_sink>> m_sinks;
  digest_need m_need = digest_need::none;
  summary_sink* m_summary = nullptr;  // among m_sinks, with -summary
};

}  // namespace nelo

#endif  // NELO_REPORT_SINK_SET_H_
