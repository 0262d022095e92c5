// The one quoting rule of every CSV nelo writes (RFC 4180): a field goes out as it is unless it
// holds a comma, a double quote, CR or LF; then it goes between double quotes, each double quote
// inside doubled. Records end in CRLF. The writers put their text at a place the caller has made
// room for and return where it ends, so a caller that builds its line on the stack allocates
// nothing; csv_field() is there for the callers that do not care.
#ifndef NELO_SUPPORT_CSV_TEXT_H_
#define NELO_SUPPORT_CSV_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace nelo {

inline constexpr char CSV_SEPARATOR = ',';
inline constexpr std::string_view CSV_RECORD_END = "\r\n";

// True when `field` must be quoted: it holds a comma, a double quote, CR or LF.
bool csv_needs_quotes(std::string_view field);

// The most bytes put_csv_field writes for a field of `size` bytes: every byte a doubled quote,
// and the two quotes around them.
constexpr size_t csv_field_max(size_t size) {
  return 2 * size + 2;
}

// Writes `field` at `p` as one CSV field, quoted only when it must be; `p` has room for
// csv_field_max(field.size()) bytes.
char* put_csv_field(char* p, std::string_view field);

// Writes `text` at `p` with each double quote doubled and nothing around it: the inside of a
// quoted field, for a field written in pieces. `p` has room for 2 * text.size() bytes.
char* put_csv_quoted_text(char* p, std::string_view text);

// `field` as one CSV field, quoted only when it must be.
std::string csv_field(std::string_view field);

}  // namespace nelo

#endif  // NELO_SUPPORT_CSV_TEXT_H_
