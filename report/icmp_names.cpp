// ICMP and ICMPv6 message names as data: one {value, text} table per lookup level.
#include "report/icmp_names.h"

#include <algorithm>
#include <array>
#include <span>

#include "report/icmp_types.h"

namespace nelo {

namespace {

struct message_name {
  uint8_t value;
  std::string_view text;
};

// Texts used by both protocols.
constexpr char ECHO_REPLY[] = "echo reply";
constexpr char ECHO_REQUEST[] = "echo request";
constexpr char DST_UNREACHABLE[] = "dst unreachable";
constexpr char REDIRECT[] = "redirect";
constexpr char ROUTER_ADVERTISEMENT[] = "router advertisement";
constexpr char ROUTER_SOLICITATION[] = "router solicitation";
constexpr char TIME_EXCEEDED[] = "time exceeded";
constexpr char PARAM_PROBLEM[] = "param problem";

constexpr message_name ICMP_TYPES[] = {
    {0, ECHO_REPLY},
    {3, DST_UNREACHABLE},
    {4, "src quench"},
    {5, REDIRECT},
    {8, ECHO_REQUEST},
    {9, ROUTER_ADVERTISEMENT},
    {10, ROUTER_SOLICITATION},
    {11, TIME_EXCEEDED},
    {12, PARAM_PROBLEM},
    {13, "icmp timestamp request"},
    {14, "timestamp reply"},
    {15, "information request"},
    {16, "information reply"},
    {17, "addr mask request"},
    {18, "addr mask reply"},
    // Types named after the table above was drawn: their names are written as tshark writes them.
    {42, "Extended Echo request"},
    {43, "Extended Echo reply"},
};

// Codes 1 to 15 of destination unreachable; code 0 and the codes above 15 keep the plain name.
constexpr message_name ICMP_DST_UNREACHABLE_CODES[] = {
    {1, "dst unreachable [host unreachable]"},
    {2, "dst unreachable [protocol unreachable]"},
    {3, "dst unreachable [port unreachable]"},
    {4, "dst unreachable [frag needed]"},
    {5, "dst unreachable [src route failed]"},
    {6, "dst unreachable [dst network unk]"},
    {7, "dst unreachable [dst host unk]"},
    {8, "dst unreachable [src host isolated]"},
    {9, "dst unreachable [dst network prohibited]"},
    {10, "dst unreachable [dst host prohibited]"},
    {11, "dst unreachable [network unreachable]"},
    {12, "dst unreachable [host unreachable]"},
    {13, "dst unreachable [comm prohibited]"},
    {14, "dst unreachable [host precedence violation]"},
    {15, "dst unreachable [precedence cutoff]"},
};

constexpr message_name ICMPV6_TYPES[] = {
    {1, DST_UNREACHABLE},
    {2, "packet too big"},
    {3, TIME_EXCEEDED},
    {4, PARAM_PROBLEM},
    {128, ECHO_REQUEST},
    {129, ECHO_REPLY},
    {130, "multicast listener query"},
    {131, "multicast listener report"},
    {132, "multicast listener done"},
    {133, ROUTER_SOLICITATION},
    {134, ROUTER_ADVERTISEMENT},
    {135, "neighbor solicitation"},
    {136, "neighbor advertisement"},
    {137, REDIRECT},
    // Types named after the table above was drawn: their names are written as tshark writes them.
    {143, "Multicast Listener Report Message v2"},
    {144, "Home Agent Address Discovery Request"},
    {145, "Home Agent Address Discovery Reply"},
    {146, "Mobile Prefix Solicitation"},
    {147, "Mobile Prefix Advertisement"},
    {148, "Certification Path Solicitation"},
    {149, "Certification Path Advertisement"},
    {150, "Experimental Mobility"},
    {151, "Multicast Router Advertisement"},
    {152, "Multicast Router Solicitation"},
    {153, "Multicast Router Termination"},
    {155, "RPL Control"},
    {160, "Extended Echo request"},
    {161, "Extended Echo reply"},
};

constexpr message_name ICMPV6_DST_UNREACHABLE_CODES[] = {
    {0, "dst unreachable [no route to dst]"},  {1, "dst unreachable [administratively prohibited]"},
    {2, "dst unreachable [out of scope]"},     {3, "dst unreachable [address unreachable]"},
    {4, "dst unreachable [port unreachable]"},
};

// Every type and code of one family looked up by index, built from the tables above when the
// program is compiled: every message of a report is named, and a search per message shows.
struct name_index {
  std::array<std::string_view, 256> types;
  std::array<std::string_view, 256> unreachable_codes;  // empty: the plain name
};

constexpr name_index index_names(std::span<const message_name> types,
                                 std::span<const message_name> unreachable_codes) {
  name_index index;
  index.types.fill(UNKNOWN_TYPE_NAME);
  for (const message_name& entry : types) index.types[entry.value] = entry.text;
  for (const message_name& entry : unreachable_codes) {
    index.unreachable_codes[entry.value] = entry.text;
  }
  return index;
}

constexpr name_index ICMP_NAMES = index_names(ICMP_TYPES, ICMP_DST_UNREACHABLE_CODES);
constexpr name_index ICMPV6_NAMES = index_names(ICMPV6_TYPES, ICMPV6_DST_UNREACHABLE_CODES);

// The outputs size their lines by MESSAGE_NAME_MAX, so no name may pass it.
constexpr bool names_fit(const name_index& index) {
  const auto fits = [](std::string_view name) { return name.size() <= MESSAGE_NAME_MAX; };
  return std::ranges::all_of(index.types, fits) &&
         std::ranges::all_of(index.unreachable_codes, fits);
}
static_assert(names_fit(ICMP_NAMES) && names_fit(ICMPV6_NAMES));

std::string_view name_of(const name_index& index, uint8_t unreachable, uint8_t type, uint8_t code) {
  if (type == unreachable && !index.unreachable_codes[code].empty()) {
    return index.unreachable_codes[code];
  }
  return index.types[type];
}

}  // namespace

// The names are literals, so each view ends where a NUL follows.
const char* icmp_message_name(uint8_t type, uint8_t code) {
  return name_of(ICMP_NAMES, ICMP_UNREACH, type, code).data();
}

const char* icmpv6_message_name(uint8_t type, uint8_t code) {
  return name_of(ICMPV6_NAMES, ICMP6_DST_UNREACH, type, code).data();
}

std::string_view icmp_name(bool ipv6, uint8_t type, uint8_t code) {
  return ipv6 ? name_of(ICMPV6_NAMES, ICMP6_DST_UNREACH, type, code)
              : name_of(ICMP_NAMES, ICMP_UNREACH, type, code);
}

}  // namespace nelo
