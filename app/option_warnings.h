// What nelo says about its command line. A value it cannot read is refused: the refusal names
// the option, the value and the forms the option takes, so the user can mend the line at once.
// What it can read but means less than it seems is named on standard error, one line each,
// through the message writer; a wrong answer given in silence is the one outcome these exist to
// rule out.
#ifndef NELO_APP_OPTION_WARNINGS_H_
#define NELO_APP_OPTION_WARNINGS_H_

#include <string>
#include <string_view>

#include "support/error_writer.h"

namespace nelo {

// `Error: <option>: cannot read "<value>" (<forms>)`, without a line end, e.g.
// `Error: -srcip: cannot read "10.99.0.256" (an IPv4 or IPv6 address, a prefix, or a list of
// them)`.
std::string unreadable_value_text(std::string_view option, std::string_view value,
                                  std::string_view forms);
// `Error: <option>: no value (<forms>)`, for an option that takes a value given as the last word.
std::string missing_value_text(std::string_view option, std::string_view forms);
// "option <option> has no effect in nelo, ignoring".
void warn_no_effect(const message_writer& messages, std::string_view option);
// "<option> given more than once, using the first value".
void warn_repeated_option(const message_writer& messages, std::string_view option);

}  // namespace nelo

#endif  // NELO_APP_OPTION_WARNINGS_H_
