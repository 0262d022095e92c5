// The one rule for reading a number from option and date text, shared by the option readers and
// the calendar code: "0x41" or "x41" in hexadecimal, "o101" in octal, "65" (or with a sign) in
// decimal, or a character between single quotes ('A').
#ifndef NELO_SUPPORT_NUMBER_TEXT_H_
#define NELO_SUPPORT_NUMBER_TEXT_H_

#include <cstdint>
#include <string_view>

namespace nelo {

// Reads `text` by the rule above into a 32-bit value (0 when false). Conversions stop at the
// first character that does not fit; blanks around the text are allowed. Values are read as a
// 32-bit unsigned long once read them, because scripts rely on it: a minus sign negates modulo
// 2^32 ("-1" is 4294967295) and a magnitude beyond 32 bits saturates. False for an empty or
// blank text and for text that matches none of the forms. `whole`, when given, tells whether the
// conversion read up to the end of the text (trailing blanks aside); it is false when the text
// was refused, when no digit could be read, or when reading stopped early ("12ab" reads as 12).
bool parse_plain_number(std::string_view text, uint32_t& value, bool* whole = nullptr);

// The unsigned conversion of a NUL-terminated text in `base`, with the 32-bit behaviour above.
// `end`, when given, receives where the conversion stopped (`text` itself when it read nothing).
uint32_t to_ulong32(const char* text, int base, const char** end = nullptr);

}  // namespace nelo

#endif  // NELO_SUPPORT_NUMBER_TEXT_H_
