#include "support/csv_text.h"

namespace nelo {

bool csv_needs_quotes(std::string_view field) {
  for (const char c : field) {
    if (c == CSV_SEPARATOR || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

char* put_csv_quoted_text(char* p, std::string_view text) {
  for (const char c : text) {
    *p++ = c;
    if (c == '"') *p++ = '"';
  }
  return p;
}

char* put_csv_field(char* p, std::string_view field) {
  if (!csv_needs_quotes(field)) {
    for (const char c : field) *p++ = c;
    return p;
  }
  *p++ = '"';
  p = put_csv_quoted_text(p, field);
  *p++ = '"';
  return p;
}

std::string csv_field(std::string_view field) {
  std::string text(csv_field_max(field.size()), '\0');
  text.resize(static_cast<size_t>(put_csv_field(text.data(), field) - text.data()));
  return text;
}

}  // namespace nelo
