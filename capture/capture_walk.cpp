#include "capture/capture_walk.h"

#include <cstdio>

#include "capture/link_layer.h"
#include "support/error_writer.h"

namespace nelo {

namespace {

constexpr uint64_t MEBIBYTE = 1u << 20;

// A size as "N MiB" when it is whole mebibytes, else as "N bytes", so that no rounding hides
// how far past a limit it is.
std::string size_text(uint64_t bytes) {
  char text[32];
  if (bytes % MEBIBYTE == 0) {
    std::snprintf(text, sizeof text, "%llu MiB", static_cast<unsigned long long>(bytes / MEBIBYTE));
  } else {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  }
  return text;
}

// A "<what> length N is below M" reason.
std::string short_text(const char* what, const walk_damage& damage) {
  char text[96];
  std::snprintf(text, sizeof text, "%s length %llu is below %llu", what,
                static_cast<unsigned long long>(damage.value),
                static_cast<unsigned long long>(damage.limit));
  return text;
}

}  // namespace

std::string damage_text(const walk_damage& damage) {
  const auto value = static_cast<unsigned long long>(damage.value);
  const auto limit = static_cast<unsigned long long>(damage.limit);
  char text[128];
  switch (damage.cause) {
    case damage_cause::none:
      return "no reason known";
    case damage_cause::file_header:
      return "the file header is not one nelo reads";
    case damage_cause::captured_above_snaplen:
      std::snprintf(text, sizeof text, "captured length %llu is above the snaplen %llu", value,
                    limit);
      return text;
    case damage_cause::record_above_limit:
      return "record of " + size_text(damage.value) + " is above the " + size_text(damage.limit) +
             " limit";
    case damage_cause::block_below_minimum:
      return short_text("block", damage);
    case damage_cause::block_not_multiple_of_4:
      std::snprintf(text, sizeof text, "block length %llu is not a multiple of 4", value);
      return text;
    case damage_cause::block_above_limit:
      return "block of " + size_text(damage.value) + " is above the " + size_text(damage.limit) +
             " limit";
    case damage_cause::block_past_end:
      std::snprintf(text, sizeof text,
                    "block length %llu runs past the end of the data, %llu bytes left", value,
                    limit);
      return text;
    case damage_cause::trailer_differs:
      std::snprintf(text, sizeof text, "trailing block length %llu differs from %llu", value,
                    limit);
      return text;
    case damage_cause::byte_order_unknown:
      std::snprintf(text, sizeof text, "section byte-order magic 0x%08llx is unknown", value);
      return text;
    case damage_cause::section_version:
      std::snprintf(text, sizeof text, "section major version %llu is not 1", value);
      return text;
    case damage_cause::section_header_short:
      return short_text("section header block", damage);
    case damage_cause::interface_short:
      return short_text("interface description block", damage);
    case damage_cause::simple_packet_short:
      return short_text("simple packet block", damage);
    case damage_cause::packet_block_short:
      return short_text("packet block", damage);
    case damage_cause::captured_past_block:
      std::snprintf(text, sizeof text,
                    "captured length %llu is above the %llu bytes its block holds", value, limit);
      return text;
  }
  return "no reason known";
}

void note_link_type(capture_walk& walk, uint32_t link_type) {
  if (link_type_decoded(link_type)) {
    walk.decoded_link_type = link_type;
    return;
  }
  for (int i = 0; i < walk.noted_count; ++i) {
    if (walk.noted_link_types[i] == link_type) return;
  }
  if (walk.noted_count == LINK_TYPES_NOTED_MAX) return;
  walk.noted_link_types[walk.noted_count++] = link_type;
  walk.io.messages.write("frames of link type %u are not decoded in %s\n", link_type,
                         walk.path.c_str());
}

}  // namespace nelo
