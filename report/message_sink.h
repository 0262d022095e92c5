// What an output form is to the walk: something that is handed each kept message with its
// payload work done, and told where a capture and the run begin and end. The report line, the
// dumps and JSON are each one; the run chooses its sinks once, and each thread that walks
// captures has sinks of its own, since a sink keeps what it remembers of the capture it is in.
#ifndef NELO_REPORT_MESSAGE_SINK_H_
#define NELO_REPORT_MESSAGE_SINK_H_

#include <string>

#include "packet/decoded_packet.h"
#include "report/payload_digest.h"

namespace nelo {

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
  // Writes one kept message. `digest` holds at least what need() asked for. Flushes only where
  // the form asks for it; a failed stream is left for the caller to see.
  virtual void write_message(const decoded_packet& packet, const payload_digest& digest) = 0;
  // The walk of the capture named last has ended; none of its messages is still to come.
  virtual void end_capture() {}
  // Every capture this sink will see has ended. Told to the driver's sinks once, before the
  // report is flushed for the last time; a list worker's sinks are not told.
  virtual void end_run() {}
};

}  // namespace nelo

#endif  // NELO_REPORT_MESSAGE_SINK_H_
