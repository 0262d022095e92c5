// What an output form is to the walk: something that is handed each kept message with its
// payload work done, and told where a capture and the run begin and end. The report line, the
// dumps, JSON, CSV, the summary and the capture file are each one; the run chooses its sinks
// once, and each thread that walks captures has sinks of its own, since a sink keeps what it
// remembers of the capture it is in.
//
// The forms that write text per message (text_sink) split the work in three, so that the text can
// be made on other threads while the walk goes on: what depends on the messages before (noted in
// frame order as the walk takes a message), the text itself (made from the message alone, on any
// thread), and what goes in front of it (written in frame order with the text).
#ifndef NELO_REPORT_MESSAGE_SINK_H_
#define NELO_REPORT_MESSAGE_SINK_H_

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

#include "packet/decoded_packet.h"
#include "report/line_buffer.h"
#include "report/payload_digest.h"
#include "report/reply_pairing.h"

namespace nelo {

// What the text of a message shows that depends on the messages before it in the capture.
struct message_note {
  std::optional<reply_match> reply;  // the request a reply answers
};

class message_sink {
 public:
  virtual ~message_sink() = default;

  // How much payload work write_message reads from its digest; the walk does no more than the
  // most any of its sinks needs.
  virtual digest_need need() const = 0;
  // The run begins; no capture has been opened yet. Told to the driver's sinks once, before
  // any list worker starts; a list worker's sinks are not told.
  virtual void begin_run() {}
  // The walk of the capture `name` begins; its messages follow.
  virtual void begin_capture(const std::string& /*name*/) {}
  // Writes one kept message, messages in frame order. `digest` holds at least what need() asked
  // for. Flushes only where the form asks for it; a failed stream is left for the caller to see.
  virtual void write_message(const decoded_packet& packet, const payload_digest& digest) = 0;
  // The walk of the capture named last has ended; none of its messages is still to come.
  virtual void end_capture() {}
  // Before end_capture: requests of the capture that this sink could not pair with replies, its
  // conversations being too many to follow.
  virtual uint64_t unpaired() const { return 0; }
  // Every capture this sink will see has ended. Told to the driver's sinks once, before the
  // report is flushed for the last time; a list worker's sinks are not told.
  virtual void end_run() {}
};

// A form that writes text for each message to the report stream. write_message does the three
// steps below at once; a walk that makes the text elsewhere calls them itself.
class text_sink : public message_sink {
 public:
  // Notes what the text of `packet`, the next kept message, shows of the messages before it.
  // Called in frame order, once a message, on the walking thread.
  virtual void note_message(const decoded_packet& /*packet*/, message_note& /*note*/) {}
  // The most bytes format_text writes for `packet`.
  virtual size_t text_bound(const decoded_packet& packet) const = 0;
  // Writes the text of `packet` to `out`. Reads only the sink's settings and what begin_capture
  // set, which stays as it is until the capture's last text is written, so several threads may
  // make the texts of one capture's messages at once.
  virtual void format_text(const decoded_packet& packet, const payload_digest& digest,
                           const message_note& note, text_target& out) const = 0;
  // Writes what goes in front of the next message's text (the report's column header), on the
  // walking thread, in frame order.
  virtual void before_text(std::ostream& /*out*/) {}
  // The report is flushed after every message's text.
  bool flushes_each_line() const { return m_flush_each_line; }
  // Making the text costs about what handing the message to another thread costs: another
  // thread that makes it saves the walk nothing.
  virtual bool text_is_cheap() const { return false; }

  // Notes, writes what goes in front, then the text of `packet` to `out` and flushes it when the
  // sink flushes each line.
  void write_message(const decoded_packet& packet, const payload_digest& digest) final;

 protected:
  // The text goes to `out`, which must outlive the sink.
  text_sink(std::ostream& out, bool flush_each_line)
      : m_out(out), m_direct(out), m_flush_each_line(flush_each_line) {}

 private:
  std::ostream& m_out;
  text_target m_direct;  // kept, with what it remembers, from one message to the next
  bool m_flush_each_line;
};

}  // namespace nelo

#endif  // NELO_REPORT_MESSAGE_SINK_H_
