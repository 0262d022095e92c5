#include "support/ordered_output.h"

namespace nelo {

namespace {

// A job switches between its destinations a few times (announcement, lines, a message); the
// list of held runs grows only past this.
constexpr size_t HELD_RUNS_RESERVED = 16;

}  // namespace

void output_turns::wait_for(uint64_t job) {
  const mutex_lock lock(m_mutex);
  while (m_turn.load(std::memory_order_acquire) != job) m_changed.wait(m_mutex);
}

void output_turns::pass(uint64_t job) {
  {
    const mutex_lock lock(m_mutex);
    m_turn.store(job + 1, std::memory_order_release);
  }
  m_changed.notify_all();
}

std::streamsize ordered_buf::xsputn(const char* s, std::streamsize n) {
  if (n <= 0) return 0;
  return m_owner.write(m_dest, s, static_cast<size_t>(n)) ? n : 0;
}

ordered_buf::int_type ordered_buf::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char ch = traits_type::to_char_type(c);
  return m_owner.write(m_dest, &ch, 1) ? c : traits_type::eof();
}

int ordered_buf::sync() {
  return m_owner.flush(m_dest) ? 0 : -1;
}

ordered_output::ordered_output(output_turns& turns, size_t hold_limit)
    : m_turns(turns),
      m_hold_limit(hold_limit),
      m_dests{{*this, output_dest::out},
              {*this, output_dest::err},
              {*this, output_dest::file},
              {*this, output_dest::capture}} {
  m_held.reserve(hold_limit);
  m_runs.reserve(HELD_RUNS_RESERVED);
}

void ordered_output::begin(uint64_t job, std::ostream* out, std::ostream* err, std::ostream* file,
                           std::ostream* capture) {
  m_job = job;
  m_direct = false;
  m_real[index(output_dest::out)] = out;
  m_real[index(output_dest::err)] = err;
  m_real[index(output_dest::file)] = file;
  m_real[index(output_dest::capture)] = capture;
  m_held.clear();
  m_runs.clear();
  for (dest_stream& d : m_dests) d.stream.clear();
}

void ordered_output::finish() {
  if (m_direct) return;
  m_turns.wait_for(m_job);
  release();
}

bool ordered_output::write(output_dest dest, const char* s, size_t n) {
  if (!m_direct) {
    if (m_turns.is_turn(m_job)) {
      release();
    } else if (m_held.size() + n > m_hold_limit) {
      // Holding more would let one slow job's successors fill memory; wait for the turn instead.
      m_turns.wait_for(m_job);
      release();
    }
  }
  if (m_direct) {
    std::ostream* real = m_real[index(dest)];
    if (real == nullptr) return true;
    real->write(s, static_cast<std::streamsize>(n));
    return !real->fail();
  }
  m_held.append(s, n);
  if (!m_runs.empty() && m_runs.back().dest == dest) {
    m_runs.back().len += n;
  } else {
    m_runs.push_back({dest, n});
  }
  return true;
}

bool ordered_output::flush(output_dest dest) {
  // Held bytes are flushed when the turn comes.
  if (!m_direct) return true;
  std::ostream* real = m_real[index(dest)];
  if (real == nullptr) return true;
  real->flush();
  return !real->fail();
}

bool ordered_output::release() {
  m_direct = true;
  bool ok = true;
  size_t at = 0;
  bool written[OUTPUT_DESTS] = {};
  for (const held_run& run : m_runs) {
    std::ostream* real = m_real[index(run.dest)];
    if (real != nullptr) {
      real->write(m_held.data() + at, static_cast<std::streamsize>(run.len));
      written[index(run.dest)] = true;
    }
    at += run.len;
  }
  m_held.clear();
  m_runs.clear();
  // What was held is old news to whoever reads these streams; let it out now.
  for (size_t d = 0; d < OUTPUT_DESTS; ++d) {
    if (!written[d]) continue;
    m_real[d]->flush();
    ok = ok && !m_real[d]->fail();
  }
  return ok;
}

}  // namespace nelo
