// Names of ICMP and ICMPv6 messages for the comment column of the report.
// Both lookups are total and pure: every type and code yields a static text, never null, so the
// caller can append the result without a check.
#ifndef NELO_REPORT_ICMP_NAMES_H_
#define NELO_REPORT_ICMP_NAMES_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nelo {

// As long as the longest name at least (the name tables check it when compiled): the outputs
// size their lines by it.
inline constexpr size_t MESSAGE_NAME_MAX = 64;

// The name of every type neither table knows.
inline constexpr char UNKNOWN_TYPE_NAME[] = "<unk type>";

// Name of an ICMP (over IPv4) message. The code matters only for type 3 (destination
// unreachable), whose codes 1 to 15 add their meaning in brackets ("dst unreachable [port
// unreachable]"). Unknown types give UNKNOWN_TYPE_NAME.
const char* icmp_message_name(uint8_t type, uint8_t code);

// Name of an ICMPv6 message. The code matters only for type 1 (destination unreachable), whose
// codes 0 to 4 add their meaning in brackets. Unknown types give UNKNOWN_TYPE_NAME. Texts the
// two tables share are the same constants, so equal names compare equal as pointers too.
const char* icmpv6_message_name(uint8_t type, uint8_t code);

// The name of a message of either family: what every output writes.
std::string_view icmp_name(bool ipv6, uint8_t type, uint8_t code);

}  // namespace nelo

#endif  // NELO_REPORT_ICMP_NAMES_H_
