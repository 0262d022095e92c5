// Warnings about the command line. Where a word cannot mean what it seems to, nelo goes on with
// what it made of it and says so on standard error, one line each, through the message writer;
// a wrong answer given in silence is the one outcome these exist to rule out.
#ifndef NELO_APP_OPTION_WARNINGS_H_
#define NELO_APP_OPTION_WARNINGS_H_

#include <string_view>

#include "app/value_readers.h"
#include "support/error_writer.h"

namespace nelo {

// "<option>: cannot read \"<word>\", <outcome>", e.g. `-srcip: cannot read "999.1.1.1", read as
// 999`.
void warn_unread_value(const message_writer& messages, std::string_view option,
                       std::string_view word, std::string_view outcome);
// One such line for each word a reader reported.
void warn_unread_words(const message_writer& messages, std::string_view option,
                       const unread_words& words);
// "<option>: no value, <outcome>", e.g. `-icmp_type: no value, filter off`, for an option that
// takes a value given as the last word.
void warn_no_value(const message_writer& messages, std::string_view option,
                   std::string_view outcome);
// "option <option> has no effect in nelo, ignoring".
void warn_no_effect(const message_writer& messages, std::string_view option);
// "<option> given more than once, using the first value".
void warn_repeated_option(const message_writer& messages, std::string_view option);

}  // namespace nelo

#endif  // NELO_APP_OPTION_WARNINGS_H_
