// What a message says beyond its type and code, read once from its bytes when the message is
// kept, so every output form only writes it: the MTU, gateway and pointer of the errors that carry
// them, the times of a timestamp message, the mask of an address-mask message, the target (and
// destination) of an ICMPv6 neighbor solicitation, advertisement or redirect, the link-layer
// address options and router advertisement fields of neighbor discovery, the multicast addresses
// of MLD, the extension objects behind an error or an extended echo request and the fields of
// extended echo. Fixed values are copied out of the frame; what comes in lists (the prefixes of a
// router advertisement, the records of an MLDv2 report, the extension objects) stays in the
// payload as an offset, a size and a count, validated when read, and the walkers below and in
// packet/message_extensions.h hand out its items. The payload may move with the record, so
// nothing here points into it.
#ifndef NELO_PACKET_MESSAGE_DETAILS_H_
#define NELO_PACKET_MESSAGE_DETAILS_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "packet/protocol_fields.h"
#include "support/wire.h"

namespace nelo {

// What keeps the objects of an extension structure from being read: the message ends before the
// structure or an object does, the structure has another version than 2 or a wrong checksum, or an
// object's length or contents cannot be those of its kind.
enum class extension_damage : uint8_t { none, cut_short, version, checksum, object };
inline constexpr int EXTENSION_DAMAGE_KINDS = 4;

struct message_details {
  // Which of the fields below the message has.
  enum field : uint32_t {
    MTU = 1,                // frag needed, packet too big
    GATEWAY = 2,            // IPv4 redirect
    POINTER = 4,            // parameter problem
    TIMES = 8,              // timestamp request and reply
    MASK = 16,              // address-mask request and reply
    TARGET = 32,            // ICMPv6 neighbor solicitation, advertisement and redirect
    DESTINATION = 64,       // ICMPv6 redirect
    SOURCE_LL = 128,        // a source link-layer address option of neighbor discovery
    TARGET_LL = 256,        // a target link-layer address option
    ROUTER = 512,           // router advertisement: hop limit, flags, lifetime
    LINK_MTU = 1024,        // an MTU option, in `mtu`
    PREFIXES = 2048,        // router advertisement: prefix information options in `items`
    GROUP = 4096,           // MLD: the multicast address
    RECORDS = 8192,         // MLDv2 report: address records in `items`
    DAMAGED = 16384,        // options or records cut short or malformed, in `damaged`
    MPLS_LABELS = 1 << 16,  // an error's extension objects hold an MPLS label stack
    INTERFACES = 1 << 17,   // an error's extension objects hold interface information
    EXT_REQUEST = 1 << 18,  // extended echo request: ext_seq and the L bit of ext_bits
    EXT_REPLY = 1 << 19,    // extended echo reply: ext_seq, and state and A, 4, 6 in ext_bits
    IDENTIFIED = 1 << 20    // extended echo request: its objects name the interface probed
  };
  // What the JSON writers of lists, and of the extension structure and extended echo, look for:
  // a message with none of it passes them by.
  static constexpr uint32_t LIST_FIELDS = PREFIXES | RECORDS | DAMAGED;
  static constexpr uint32_t EXTENSION_FIELDS =
      MPLS_LABELS | INTERFACES | EXT_REQUEST | EXT_REPLY | IDENTIFIED;
  uint32_t has = 0;
  uint32_t mtu = 0;
  uint32_t pointer = 0;
  uint32_t originate = 0;  // milliseconds since midnight UTC, as the message gives them
  uint32_t receive = 0;
  uint32_t transmit = 0;
  uint8_t gateway[IPV4_ADDRESS_SIZE] = {};
  uint8_t mask[IPV4_ADDRESS_SIZE] = {};
  uint8_t target[IPV6_ADDRESS_SIZE] = {};
  uint8_t destination[IPV6_ADDRESS_SIZE] = {};
  uint8_t group[IPV6_ADDRESS_SIZE] = {};
  // The link-layer addresses of the first source and target options, as offsets into the payload.
  uint16_t source_ll_at = 0;
  uint16_t target_ll_at = 0;
  uint16_t source_ll_size = 0;
  uint16_t target_ll_size = 0;
  uint8_t hop_limit = 0;     // the hop limit a router advertises, 0 when it leaves it open
  uint8_t router_flags = 0;  // M, O, H, the preference and P, as on the wire
  uint16_t router_lifetime = 0;
  // The region of the payload whose options (PREFIXES) or records (RECORDS) were all found whole,
  // and how many prefixes or records it holds.
  uint16_t items_at = 0;
  uint16_t items_size = 0;
  uint16_t item_count = 0;
  uint16_t damaged = 0;  // options or records left out
  // The whole, plausible objects of the extension structure behind the message (RFC 4884): where
  // they start in the payload and how many bytes they take, and how many MPLS label stack
  // entries and interface information objects are among them.
  uint32_t objects_at = 0;
  uint32_t objects_size = 0;
  uint16_t mpls_labels = 0;
  uint16_t interfaces = 0;
  uint8_t ext_seq = 0;
  uint8_t ext_bits = 0;  // the last byte of an extended echo header, as sent
  // Why an extension structure the message has was not read, or read only up to a damaged object.
  extension_damage damage = extension_damage::none;
};

// Neighbor discovery options: a type, a length in units of 8 bytes, then the body.
inline constexpr size_t ND_OPTION_UNIT = 8;
// The longest link-layer address option read, of four units: room for any link layer's address
// (20 bytes for InfiniBand); a longer one is counted as damaged.
inline constexpr size_t ND_LINK_ADDRESS_MAX = 4 * ND_OPTION_UNIT - 2;
inline constexpr uint8_t ND_OPTION_PREFIX = 3;
inline constexpr size_t ND_PREFIX_OPTION_SIZE = 32;
inline constexpr uint8_t ND_PREFIX_LENGTH_MAX = 128;
// An MLDv2 address record: type, auxiliary data length in 4-byte words, number of sources, the
// multicast address, the sources, the auxiliary data.
inline constexpr size_t MLD_RECORD_HEADER_SIZE = 4 + IPV6_ADDRESS_SIZE;
inline constexpr size_t MLD_AUX_UNIT = 4;

// The size of the option at `at` of `options` (bytes), or 0 when it is not whole there.
inline size_t nd_option_size(std::span<const uint8_t> options, size_t at) {
  if (options.size() - at < 2) return 0;
  const size_t size = options[at + 1] * ND_OPTION_UNIT;
  return size <= options.size() - at ? size : 0;
}

// The size of the MLDv2 record at `at` of `records`, or 0 when it is not whole there.
inline size_t mld_record_size(std::span<const uint8_t> records, size_t at) {
  if (records.size() - at < MLD_RECORD_HEADER_SIZE) return 0;
  const size_t size = MLD_RECORD_HEADER_SIZE + load_be16(&records[at + 2]) * IPV6_ADDRESS_SIZE +
                      records[at + 1] * MLD_AUX_UNIT;
  return size <= records.size() - at ? size : 0;
}

// A prefix information option of a router advertisement.
struct prefix_option {
  const uint8_t* prefix;  // 16 bytes
  uint8_t length;         // at most 128
  uint8_t flags;          // L, A and R, as on the wire
  uint32_t valid;         // seconds
  uint32_t preferred;
};

// Calls `fn(prefix_option)` for each prefix of a router advertisement whose payload is `payload`,
// in the order of the message.
template <typename Fn>
void for_each_prefix(const message_details& details, std::span<const uint8_t> payload, Fn fn) {
  if (!(details.has & message_details::PREFIXES)) return;
  const std::span<const uint8_t> options = payload.subspan(details.items_at, details.items_size);
  for (size_t at = 0, size; (size = nd_option_size(options, at)) > 0; at += size) {
    const uint8_t* option = &options[at];
    if (option[0] != ND_OPTION_PREFIX || size != ND_PREFIX_OPTION_SIZE ||
        option[2] > ND_PREFIX_LENGTH_MAX) {
      continue;
    }
    fn(prefix_option{option + 16, option[2], option[3], load_be32(option + 4),
                     load_be32(option + 8)});
  }
}

// An address record of an MLDv2 report.
struct group_record {
  uint8_t type;
  const uint8_t* group;  // 16 bytes
  uint16_t sources;      // how many source addresses follow
};

// Calls `fn(group_record)` for each record of an MLDv2 report whose payload is `payload`.
template <typename Fn>
void for_each_record(const message_details& details, std::span<const uint8_t> payload, Fn fn) {
  if (!(details.has & message_details::RECORDS)) return;
  const std::span<const uint8_t> records = payload.subspan(details.items_at, details.items_size);
  for (size_t at = 0, size; (size = mld_record_size(records, at)) > 0; at += size) {
    fn(group_record{records[at], &records[at + 4], load_be16(&records[at + 2])});
  }
}

}  // namespace nelo

#endif  // NELO_PACKET_MESSAGE_DETAILS_H_
