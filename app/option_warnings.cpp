#include "app/option_warnings.h"

#include <string>

#include "support/error_writer.h"

namespace nelo {

void warn_unread_value(const message_writer& messages, std::string_view option,
                       std::string_view word, std::string_view outcome) {
  const std::string o(option), w(word), what(outcome);
  messages.write("%s: cannot read \"%s\", %s\n", o.c_str(), w.c_str(), what.c_str());
}

void warn_unread_words(const message_writer& messages, std::string_view option,
                       const unread_words& words) {
  for (const unread_word& u : words) warn_unread_value(messages, option, u.word, u.outcome);
}

void warn_no_value(const message_writer& messages, std::string_view option,
                   std::string_view outcome) {
  const std::string o(option), what(outcome);
  messages.write("%s: no value, %s\n", o.c_str(), what.c_str());
}

void warn_no_effect(const message_writer& messages, std::string_view option) {
  const std::string o(option);
  messages.write("option %s has no effect in nelo, ignoring\n", o.c_str());
}

void warn_repeated_option(const message_writer& messages, std::string_view option) {
  const std::string o(option);
  messages.write("%s given more than once, using the first value\n", o.c_str());
}

}  // namespace nelo
