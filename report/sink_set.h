// The sinks a walker feeds, chosen once per run from the output settings, and the one stream
// they write to. The walk hands each kept message to the set, which hands it to its sinks in
// order: the report line before the dumps of the same message, or JSON or CSV alone, then the
// capture file's. Each thread that walks captures has a set of its own; a set is used by one
// thread at a time, but for format_text, which the threads of a payload pipeline call at once.
//
// A walk may write a message in one step (write_message), or in the steps a payload pipeline
// takes: note it as it is taken, make its text on any thread, then write the texts of several
// messages at once and hand each message to the sinks that write no text, in frame order.
#ifndef NELO_REPORT_SINK_SET_H_
#define NELO_REPORT_SINK_SET_H_

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
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

  // Some sink writes text for each message.
  bool writes_text() const { return !m_text.empty(); }
  // Some sink's text costs more to make than handing its message on, so that making it elsewhere
  // pays.
  bool text_worth_sharing() const;
  // Some sink writes no text but takes each message in order (the summary, the capture file).
  bool takes_messages() const { return !m_untexted.empty(); }
  // The steps of write_message apart. note_message is called for every message in frame order
  // when the walk takes it; format_text, on any thread, writes the message's text (at most
  // text_bound bytes); write_texts writes in frame order what goes in front of the next
  // message's text and then `text`, the texts of `messages` messages one after another, and
  // flushes them when a sink asks for it; take_message hands each message in frame order to
  // the sinks that write no text. write_texts and take_message ask the run to stop as
  // write_message does.
  message_note note_message(const decoded_packet& packet);
  size_t text_bound(const decoded_packet& packet) const;
  void format_text(const decoded_packet& packet, const payload_digest& digest,
                   const message_note& note, text_target& out) const;
  void write_texts(std::string_view text, size_t messages);
  // Writes what goes in front of the message's text, then the text of `packet`, made here: for
  // a message whose text was not made elsewhere, in frame order among the others.
  void write_text(const decoded_packet& packet, const payload_digest& digest,
                  const message_note& note);
  void take_message(const decoded_packet& packet, const payload_digest& digest);
  void end_capture();
  void end_run();
  // Hands what this set's sinks gathered for the whole run to `run`, the driver's set made from
  // the same settings; a list worker's set does so after each capture, in the list's order.
  void hand_over(sink_set& run);
  // Messages the summary left out: those of conversations beyond CONVERSATIONS_MAX.
  uint64_t summary_untracked() const;
  // Before end_capture: the requests of the capture the sinks could not pair (see
  // message_sink::unpaired).
  uint64_t unpaired() const;
  // The -summary sink, or null.
  summary_sink* summary() const { return m_summary; }

 private:
  // Asks the run to stop when a stream has failed.
  void check_streams() const;

  report_target m_target;
  std::vector<std::unique_ptr<message_sink>> m_sinks;
  std::vector<text_sink*> m_text;         // among m_sinks, in order
  std::vector<message_sink*> m_untexted;  // the others, in order
  bool m_flush_each_line = false;         // some text sink flushes after each message
  digest_need m_need = digest_need::none;
  summary_sink* m_summary = nullptr;  // among m_sinks, with -summary
};

}  // namespace nelo

#endif  // NELO_REPORT_SINK_SET_H_
