// Text of the message details that JSON and CSV write alike: link-layer addresses, the flags of a
// router advertisement and of its prefixes, the router's preference. Each writer puts its text at
// `p`, which has room for the bound beside it, and returns where the text ends.
#ifndef NELO_REPORT_DETAIL_TEXT_H_
#define NELO_REPORT_DETAIL_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "packet/message_details.h"
#include "report/address_text.h"
#include "report/line_buffer.h"

namespace nelo {

// "02:00:00:00:ab:cd": two hex digits a byte, colons between.
inline constexpr size_t LINK_ADDRESS_TEXT_MAX = 3 * ND_LINK_ADDRESS_MAX;
char* put_link_address(char* p, const uint8_t* bytes, size_t size);

// The letters of the flags set, in the order of the bits: M, O, H and P of a router
// advertisement; L, A and R of a prefix.
inline constexpr size_t FLAG_LETTERS_MAX = 4;
char* put_router_flags(char* p, uint8_t flags);
char* put_prefix_flags(char* p, uint8_t flags);

// "high", "medium", "low" or "reserved": the default router preference in the flags.
inline constexpr size_t PREFERENCE_TEXT_MAX = 8;
std::string_view router_preference(uint8_t flags);

// "2001:db8::/64".
inline constexpr size_t PREFIX_TEXT_MAX = IPV6_TEXT_MAX + 4;
char* put_prefix(char* p, const prefix_option& prefix);

}  // namespace nelo

#endif  // NELO_REPORT_DETAIL_TEXT_H_
