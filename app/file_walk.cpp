#include "app/file_walk.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "capture/packet_handler.h"
#include "capture/payload_pipeline.h"
#include "report/payload_digest.h"
#include "report/sink_set.h"
#include "support/fileio.h"
#include "support/run_control.h"

namespace nelo {

namespace {

constexpr uint64_t MEBIBYTE = 1u << 20;

// printf into a string of any length.
std::string text_of(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string text_of(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return text;
}

// A size as "N MiB" when it is whole mebibytes, else as "N bytes", so that no rounding hides
// how far past a limit it is.
std::string size_text(uint64_t bytes) {
  return bytes % MEBIBYTE == 0
             ? text_of("%llu MiB", static_cast<unsigned long long>(bytes / MEBIBYTE))
             : text_of("%llu bytes", static_cast<unsigned long long>(bytes));
}

// A "<what> length N is below M" reason.
std::string short_text(const char* what, const walk_damage& damage) {
  return text_of("%s length %llu is below %llu", what,
                 static_cast<unsigned long long>(damage.value),
                 static_cast<unsigned long long>(damage.limit));
}

// The walk of one opened capture while it runs.
struct running_walk {
  const std::string& name;
  const walk_io& io;
  payload_pipeline* pipeline = nullptr;

  // What the walk says about a frame comes after the lines of the frames before it, which the
  // pipeline may still hold.
  void say(const std::string& text) const {
    if (pipeline != nullptr) pipeline->drain();
    io.messages.write("%s", text.c_str());
  }
};

void forward_progress(void* user, const walk_progress& progress) {
  const auto& w = *static_cast<const running_walk*>(user);
  walk_progress named = progress;
  named.path = &w.name;
  w.io.progress->on_progress(w.io.progress->user, named);
}

void say_link_type_skipped(void* user, uint32_t link_type) {
  const auto& w = *static_cast<const running_walk*>(user);
  w.say(text_of("frames of link type %u are not decoded in %s\n", link_type, w.name.c_str()));
}

capture_read walk_opened(capture_reader& reader, const std::string& name, packet_ctx& ctx,
                         const walk_io& io, const walk_settings& settings) {
  running_walk w{name, io};
  walk_observer observer;
  observer.on_link_type_skipped = say_link_type_skipped;
  if (io.progress != nullptr && io.progress->on_progress != nullptr) {
    observer.on_progress = forward_progress;
  }
  observer.user = &w;
  std::optional<payload_pipeline> pipeline;
  if (settings.payload_threads >= 2 &&
      (ctx.sinks->need() != digest_need::none || ctx.sinks->text_worth_sharing())) {
    pipeline.emplace(*ctx.sinks, settings.payload_threads);
    if (pipeline->started()) w.pipeline = &*pipeline;
  }
  ctx.pipeline = w.pipeline;

  const walk_result result = reader.walk(handle_packet, &ctx, &observer);
  // A stopped run ends after the lines already written.
  const uint64_t incomplete = finish_reassembly(ctx, !stop_requested());
  if (result.outcome == walk_outcome::walked && io.ended_at != nullptr) {
    io.ended_at->frame = result.frames;
  }
  if (result.outcome == walk_outcome::not_capture) {
    // A list goes on to its next name, so its line must not read as if the run stopped.
    if (result.bytes_delivered == 0) {
      io.announce << name << ": empty file\n";
    } else if (settings.list) {
      io.announce << name << ": not a capture, skipped\n";
    } else {
      io.announce << "invalid pcap file, aborting\n";
    }
  }
  const std::string said = walk_end_text(name, result);
  if (!said.empty()) w.say(said);
  const std::string unopened = unopened_tunnels_text(name, ctx.unopened);
  if (!unopened.empty()) w.say(unopened);
  const std::string extensions = damaged_extensions_text(name, ctx.extensions);
  if (!extensions.empty()) w.say(extensions);
  const std::string fragments = incomplete_datagrams_text(name, incomplete);
  if (!fragments.empty()) w.say(fragments);
  if (result.outcome == walk_outcome::walked && observer.on_progress != nullptr) {
    forward_progress(&w, result.progress);
  }
  if (w.pipeline != nullptr) w.pipeline->finish();
  ctx.pipeline = nullptr;

  if (result.data_damage != nullptr) return capture_read::damaged;
  return result.outcome == walk_outcome::walked ? capture_read::walked : capture_read::not_read;
}

}  // namespace

walk_settings make_walk_settings(const nelo_options& options) {
  walk_settings settings;
  settings.list = options.pipe || options.enumdir;
  settings.output_file = options.output_file;
  settings.capture_file = options.capture_file;
  settings.selection = &options.selection;
  settings.output = &options.output;
  settings.announce_in_report = settings.list && !options.output_file.empty() &&
                                !options.output.json && !options.output.csv &&
                                options.output.format != output_format::binary;
  settings.payload_threads = settings.list ? 0 : options.threads;
  if (settings.list && options.threads > 1) {
    settings.map_window =
        std::clamp<size_t>(LIST_MAP_BUDGET / options.threads, LIST_MAP_WINDOW_MIN, MAP_WINDOW_SIZE);
  }
  // Only a run of one capture has a core to spare for its windows: a list walk already keeps
  // every core busy.
  settings.populate_ahead = !settings.list && options.threads >= 2;
  // A slow populating thread leaves up to three windows mapped, beside the pipeline's batches,
  // which take more memory the more threads share them: the windows shrink as they grow, so the
  // run stays within 64 MiB.
  if (settings.populate_ahead) {
    settings.map_window =
        options.threads <= POPULATED_WIDE_THREADS_MAX ? POPULATED_MAP_WINDOW_SIZE : MAP_WINDOW_SIZE;
  }
  return settings;
}

capture_read walk_capture(const std::string& name, int stream_fd, sink_set& sinks,
                          const walk_io& io, const walk_settings& settings) {
  const bool to_file = !settings.output_file.empty();
  // Reading the report file back into itself would grow it without end; the capture file too.
  if (settings.list &&
      ((to_file && uni::same_file(name, settings.output_file)) ||
       (!settings.capture_file.empty() && uni::same_file(name, settings.capture_file)))) {
    io.messages.write("%s is the output file, skipped\n", name.c_str());
    return capture_read::not_read;
  }
  // Every walk, read or refused, first says which capture it is about.
  if (io.ended_at != nullptr) *io.ended_at = {name, 0};

  capture_reader reader;
  reader.set_map_window(settings.map_window);
  reader.set_populate_ahead(settings.populate_ahead);
  capture_open opened = capture_open::opened;
  if (stream_fd >= 0) {
    reader.open_stream(stream_fd);
  } else {
    opened = reader.open_file(name);
  }
  if (opened == capture_open::not_readable) {
    if (settings.list) {
      io.announce << "prob opening " << name << " for read\n";
    } else {
      io.messages.write("prob accessing file %s for read, aborting\n", name.c_str());
    }
    return capture_read::not_read;
  }
  io.announce << "Processing file: " << name << '\n';
  if (settings.announce_in_report) *sinks.target().out << "Processing file: " << name << '\n';
  capture_read read = capture_read::not_read;
  if (opened == capture_open::directory) {
    io.announce.flush();
    io.messages.write("%s is a directory, not a capture file\n", name.c_str());
  } else {
    packet_ctx ctx{settings.selection, &sinks, nullptr, sinks.writes_frames()};
    sinks.begin_capture(name);
    read = walk_opened(reader, name, ctx, io, settings);
    if (const uint64_t unpaired = sinks.unpaired(); unpaired > 0) {
      io.messages.write("%s: %llu requests of conversations beyond the first %zu are not paired\n",
                        name.c_str(), static_cast<unsigned long long>(unpaired), CONVERSATIONS_MAX);
    }
    sinks.end_capture();
  }
  // A damaged compressed file has had its say; the list goes on.
  if (settings.list && read != capture_read::not_read && !to_file) io.announce << '\n';
  return read;
}

std::string walk_end_text(const std::string& name, const walk_result& result) {
  const char* path = name.c_str();
  const auto frame = static_cast<unsigned long long>(result.frames);
  if (result.outcome == walk_outcome::not_capture || result.outcome == walk_outcome::no_memory) {
    return "";
  }
  if (result.data_damage != nullptr) {
    return text_of("%s: compressed data is damaged after %llu bytes (%s)\n", path,
                   static_cast<unsigned long long>(result.bytes_delivered), result.data_damage);
  }
  if (result.outcome == walk_outcome::read_error) {
    return text_of("%s: read error, the file is not read\n", path);
  }
  switch (result.end) {
    case walk_end::finished:
    case walk_end::stopped:
      break;
    case walk_end::cut_record:
      return text_of("%s: frame %llu is cut short, %u of %u bytes present\n", path, frame,
                     result.cut_present, result.cut_claimed);
    case walk_end::cut_header:
      return text_of("%s: the file ends inside the record header after frame %llu\n", path, frame);
    case walk_end::damaged:
      return text_of("%s: damaged record after frame %llu (%s), the rest is not read\n", path,
                     frame, damage_text(result.damage).c_str());
    case walk_end::read_error:
      return text_of("%s: read error after frame %llu, the rest is not read\n", path, frame);
  }
  return "";
}

std::string incomplete_datagrams_text(const std::string& name, uint64_t count) {
  if (count == 0) return {};
  return text_of("%s: %llu fragmented datagrams were incomplete\n", name.c_str(),
                 static_cast<unsigned long long>(count));
}

std::string unopened_tunnels_text(const std::string& name, const unopened_tally& tally) {
  std::string text;
  for (int i = 0; i < tally.met; ++i) {
    const unopened_tunnel kind = tally.order[i];
    text += text_of("%s: %llu frames %s are not decoded\n", name.c_str(),
                    static_cast<unsigned long long>(tally.frames[static_cast<int>(kind)]),
                    unopened_tunnel_phrase(kind));
  }
  return text;
}

std::string damaged_extensions_text(const std::string& name, const extension_tally& tally) {
  std::string text;
  for (int kind = 1; kind <= EXTENSION_DAMAGE_KINDS; ++kind) {
    if (tally.messages[kind] == 0) continue;
    text += text_of("%s: %llu extension structures %s\n", name.c_str(),
                    static_cast<unsigned long long>(tally.messages[kind]),
                    extension_damage_phrase(static_cast<extension_damage>(kind)));
  }
  return text;
}

std::string damage_text(const walk_damage& damage) {
  const auto value = static_cast<unsigned long long>(damage.value);
  const auto limit = static_cast<unsigned long long>(damage.limit);
  switch (damage.cause) {
    case damage_cause::none:
      return "no reason known";
    case damage_cause::file_header:
      return "the file header is not one nelo reads";
    case damage_cause::captured_above_snaplen:
      return text_of("captured length %llu is above the snaplen %llu", value, limit);
    case damage_cause::record_above_limit:
      return "record of " + size_text(damage.value) + " is above the " + size_text(damage.limit) +
             " limit";
    case damage_cause::block_below_minimum:
      return short_text("block", damage);
    case damage_cause::block_not_multiple_of_4:
      return text_of("block length %llu is not a multiple of 4", value);
    case damage_cause::block_above_limit:
      return "block of " + size_text(damage.value) + " is above the " + size_text(damage.limit) +
             " limit";
    case damage_cause::block_past_end:
      return text_of("block length %llu runs past the end of the data, %llu bytes left", value,
                     limit);
    case damage_cause::trailer_differs:
      return text_of("trailing block length %llu differs from %llu", value, limit);
    case damage_cause::byte_order_unknown:
      return text_of("section byte-order magic 0x%08llx is unknown", value);
    case damage_cause::section_version:
      return text_of("section major version %llu is not 1", value);
    case damage_cause::section_header_short:
      return short_text("section header block", damage);
    case damage_cause::interface_short:
      return short_text("interface description block", damage);
    case damage_cause::simple_packet_short:
      return short_text("simple packet block", damage);
    case damage_cause::packet_block_short:
      return short_text("packet block", damage);
    case damage_cause::captured_past_block:
      return text_of("captured length %llu is above the %llu bytes its block holds", value, limit);
  }
  return "no reason known";
}

}  // namespace nelo
