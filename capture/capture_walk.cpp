#include "capture/capture_walk.h"

#include "capture/link_layer.h"

namespace nelo {

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
  if (walk.events != nullptr && walk.events->on_link_type_skipped != nullptr) {
    walk.events->on_link_type_skipped(walk.events->user, link_type);
  }
}

}  // namespace nelo
