#include "app/option_warnings.h"

#include <string>

#include "support/error_writer.h"

namespace nelo {

std::string unreadable_value_text(std::string_view option, std::string_view value,
                                  std::string_view forms) {
  std::string text = "Error: ";
  text.append(option).append(": cannot read \"").append(value).append("\" (");
  return text.append(forms).append(")");
}

std::string missing_value_text(std::string_view option, std::string_view forms) {
  std::string text = "Error: ";
  return text.append(option).append(": no value (").append(forms).append(")");
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
