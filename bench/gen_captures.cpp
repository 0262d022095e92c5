// Writes the benchmark captures: classic little-endian pcap 2.4 files with microsecond
// timestamps and Ethernet link type, built from a fixed-seed generator so that every run on every
// machine produces the same bytes. Usage: gen_captures OUTDIR
// [mixed|flood|jumbo|vxlan|gre6|fragments|unfragmented|sweep|order_*|giveup|all], or gen_captures
// OUTDIR sized BYTES for 200 MiB of echo messages with BYTES-byte payloads.
//
// mixed  about 1 GiB of internet-like traffic, mostly TCP and UDP over IPv4 and IPv6, with about
//        1 % ICMP and ICMPv6 (echo, destination unreachable, a few large random payloads);
// flood  2 million ICMP echo requests and replies, mostly IPv4, 56-byte payloads;
// jumbo  ICMP echo with random payloads of 8000 to 60000 bytes, about 500 MiB, snaplen 262144;
// vxlan  the flood, every frame carried whole in VXLAN over UDP over IPv4;
// gre6   the flood, every IP packet carried in GRE over IPv6;
// fragments     about 200 MiB of echoes of 3000 to 8000 bytes, each datagram split into
//               fragments that fit a 1500-byte MTU, one in eight of them out of order;
// unfragmented  the same echoes, each datagram whole in one frame.
// sweep  one host pinging each of the 65,536 addresses of 10.200.0.0/16 once, one in four of
//        them answering: as many conversations as messages, the summary's worst case.
// order_in, order_odd, order_reversed, order_shuffled
//        60 IPv6 echoes of 65,512 bytes, each in 8,190 fragments of 8 bytes, arriving in order,
//        odd fragments first, last first, or shuffled;
// giveup 20,000 echoes of 8,000 bytes, each missing its last fragment.
// `all` is the first three: the others only serve the workloads that time them against the
// plain ones.
//
// Each file is written under a temporary name and renamed when complete, so an interrupted run
// never leaves a truncated capture behind that a later run would reuse.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// --- deterministic randomness -------------------------------------------------------------------

// splitmix64: small, fast and good enough to make payloads that look random to byte statistics.
class prng {
 public:
  explicit prng(uint64_t seed) : m_state(seed) {}
  uint64_t next() {
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi], both inclusive; the modulo bias is irrelevant at these ranges.
  uint32_t range(uint32_t lo, uint32_t hi) {
    return lo + static_cast<uint32_t>(next() % (static_cast<uint64_t>(hi) - lo + 1));
  }
  // True with probability `per_mille` / 1000.
  bool chance(uint32_t per_mille) { return next() % 1000 < per_mille; }
  void fill(uint8_t* p, size_t n) {
    while (n >= 8) {
      uint64_t v = next();
      std::memcpy(p, &v, 8);
      p += 8;
      n -= 8;
    }
    if (n > 0) {
      uint64_t v = next();
      std::memcpy(p, &v, n);
    }
  }

 private:
  uint64_t m_state;
};

// --- byte order -------------------------------------------------------------------------------

void put_be16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void put_be32(uint8_t* p, uint32_t v) {
  put_be16(p, v >> 16);
  put_be16(p + 2, v);
}
void put_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put_le32(uint8_t* p, uint32_t v) {
  put_le16(p, v);
  put_le16(p + 2, v >> 16);
}

// --- pcap output --------------------------------------------------------------------------------

constexpr uint32_t PCAP_MAGIC_USEC = 0xA1B2C3D4;
constexpr uint32_t PCAP_VERSION_MAJOR = 2;
constexpr uint32_t PCAP_VERSION_MINOR = 4;
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr size_t PCAP_FILE_HEADER_SIZE = 24;
constexpr size_t PCAP_RECORD_HEADER_SIZE = 16;
constexpr size_t WRITE_BUFFER_SIZE = 8u << 20;

// Appends records to a file through one large buffer; the file appears under its final name only
// after `finish` succeeds.
class pcap_writer {
 public:
  pcap_writer(const std::string& path, uint32_t snaplen)
      : m_path(path), m_tmp_path(path + ".partial") {
    m_buffer.reserve(WRITE_BUFFER_SIZE);
    m_fd = ::open(m_tmp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (m_fd < 0) {
      std::fprintf(stderr, "cannot create %s: %s\n", m_tmp_path.c_str(), std::strerror(errno));
      m_ok = false;
      return;
    }
    uint8_t h[PCAP_FILE_HEADER_SIZE] = {};
    put_le32(h, PCAP_MAGIC_USEC);
    put_le16(h + 4, PCAP_VERSION_MAJOR);
    put_le16(h + 6, PCAP_VERSION_MINOR);
    put_le32(h + 16, snaplen);
    put_le32(h + 20, LINKTYPE_ETHERNET);
    append(h, sizeof h);
  }
  ~pcap_writer() {
    if (m_fd >= 0) {
      ::close(m_fd);
      ::unlink(m_tmp_path.c_str());
    }
  }
  pcap_writer(const pcap_writer&) = delete;
  pcap_writer& operator=(const pcap_writer&) = delete;

  // One record, captured whole (incl_len == orig_len), at `usec` microseconds since 1970.
  void record(uint64_t usec, const uint8_t* frame, uint32_t len) {
    uint8_t h[PCAP_RECORD_HEADER_SIZE];
    put_le32(h, static_cast<uint32_t>(usec / 1000000));
    put_le32(h + 4, static_cast<uint32_t>(usec % 1000000));
    put_le32(h + 8, len);
    put_le32(h + 12, len);
    append(h, sizeof h);
    append(frame, len);
    ++m_records;
  }

  uint64_t bytes() const { return m_bytes; }
  uint64_t records() const { return m_records; }

  bool finish() {
    if (!flush()) return false;
    if (::close(m_fd) != 0) m_ok = false;
    m_fd = -1;
    if (m_ok && ::rename(m_tmp_path.c_str(), m_path.c_str()) != 0) {
      std::fprintf(stderr, "cannot rename to %s: %s\n", m_path.c_str(), std::strerror(errno));
      m_ok = false;
    }
    if (!m_ok) ::unlink(m_tmp_path.c_str());
    return m_ok;
  }

 private:
  void append(const uint8_t* p, size_t n) {
    if (m_buffer.size() + n > WRITE_BUFFER_SIZE) flush();
    m_buffer.insert(m_buffer.end(), p, p + n);
    m_bytes += n;
  }
  bool flush() {
    size_t done = 0;
    while (m_ok && done < m_buffer.size()) {
      ssize_t w = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        std::fprintf(stderr, "write to %s failed: %s\n", m_tmp_path.c_str(), std::strerror(errno));
        m_ok = false;
      } else {
        done += static_cast<size_t>(w);
      }
    }
    m_buffer.clear();
    return m_ok;
  }

  std::string m_path;
  std::string m_tmp_path;
  std::vector<uint8_t> m_buffer;
  int m_fd = -1;
  bool m_ok = true;
  uint64_t m_bytes = 0;
  uint64_t m_records = 0;
};

// --- frame building -----------------------------------------------------------------------------

constexpr size_t ETH_HEADER_SIZE = 14;
constexpr size_t IPV4_HEADER_SIZE = 20;
constexpr size_t IPV6_HEADER_SIZE = 40;
constexpr size_t TCP_HEADER_SIZE = 20;
constexpr size_t TCP_TIMESTAMP_OPTION_SIZE = 12;
constexpr size_t UDP_HEADER_SIZE = 8;
constexpr size_t ICMP_HEADER_SIZE = 8;
constexpr uint32_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint32_t ETHERTYPE_IPV6 = 0x86DD;
constexpr uint8_t PROTO_ICMP = 1;
constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;
constexpr uint8_t PROTO_ICMPV6 = 58;
constexpr size_t ETHERNET_MTU_FRAME = 1514;
constexpr size_t MAX_FRAME = 65535 + ETH_HEADER_SIZE;
constexpr size_t ECHO_PAYLOAD_SIZE = 56;   // the usual ping payload
constexpr size_t ECHO_TIMESTAMP_SIZE = 8;  // ping's send time leads the payload

// ICMP types used below.
constexpr uint8_t ICMP_ECHO_REPLY = 0;
constexpr uint8_t ICMP_DEST_UNREACH = 3;
constexpr uint8_t ICMP_ECHO_REQUEST = 8;
constexpr uint8_t ICMP_TIME_EXCEEDED = 11;
constexpr uint8_t ICMPV6_DEST_UNREACH = 1;
constexpr uint8_t ICMPV6_ECHO_REQUEST = 128;
constexpr uint8_t ICMPV6_ECHO_REPLY = 129;

struct host {
  std::array<uint8_t, 6> mac;
  std::array<uint8_t, 4> v4;
  std::array<uint8_t, 16> v6;
};

// A fixed population of hosts: a few local machines behind one router, and many remote peers in
// the documentation ranges.
struct network {
  std::vector<host> local;
  std::vector<host> remote;
  std::array<uint8_t, 6> router_mac{};
};

host make_host(prng& rng, uint8_t net_a, uint8_t net_b, uint8_t net_c) {
  host h{};
  rng.fill(h.mac.data(), h.mac.size());
  h.mac[0] = static_cast<uint8_t>((h.mac[0] & 0xFC) | 0x02);  // locally administered unicast
  h.v4 = {net_a, net_b, net_c, static_cast<uint8_t>(rng.range(2, 254))};
  h.v6 = {0x20, 0x01, 0x0d, 0xb8};
  h.v6[4] = net_b;
  h.v6[5] = net_c;
  rng.fill(h.v6.data() + 8, 8);
  return h;
}

network make_network(prng& rng) {
  network n;
  rng.fill(n.router_mac.data(), n.router_mac.size());
  n.router_mac[0] = 0x02;
  for (int i = 0; i < 16; ++i) n.local.push_back(make_host(rng, 10, 1, 7));
  const uint8_t ranges[][3] = {{192, 0, 2}, {198, 51, 100}, {203, 0, 113}};
  for (int i = 0; i < 240; ++i) {
    const uint8_t* r = ranges[i % 3];
    n.remote.push_back(make_host(rng, r[0], r[1], r[2]));
  }
  return n;
}

// A packet between a local host and a remote one, in either direction.
struct endpoints {
  const host* src;
  const host* dst;
  const uint8_t* src_mac;
  const uint8_t* dst_mac;
};

endpoints pick_endpoints(prng& rng, const network& n) {
  const host& l = n.local[rng.range(0, static_cast<uint32_t>(n.local.size() - 1))];
  const host& r = n.remote[rng.range(0, static_cast<uint32_t>(n.remote.size() - 1))];
  if (rng.chance(500)) return {&l, &r, l.mac.data(), n.router_mac.data()};
  return {&r, &l, n.router_mac.data(), l.mac.data()};
}

endpoints reversed(const endpoints& e) {
  return {e.dst, e.src, e.dst_mac, e.src_mac};
}

uint32_t ones_sum(const uint8_t* p, size_t n, uint32_t sum = 0) {
  for (; n >= 2; p += 2, n -= 2) sum += static_cast<uint32_t>(p[0] << 8 | p[1]);
  if (n) sum += static_cast<uint32_t>(p[0] << 8);
  return sum;
}

uint16_t fold(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Writes the Ethernet and IP headers for an IP payload of `l4_len` bytes; returns the offset of
// the layer-4 header.
size_t put_ip(uint8_t* f, const endpoints& e, bool v6, uint8_t proto, size_t l4_len, uint8_t ttl,
              uint16_t ip_id) {
  std::memcpy(f, e.dst_mac, 6);
  std::memcpy(f + 6, e.src_mac, 6);
  if (v6) {
    put_be16(f + 12, ETHERTYPE_IPV6);
    uint8_t* ip = f + ETH_HEADER_SIZE;
    put_be32(ip, 0x60000000u | (ip_id & 0xFFFFFu));  // version 6, flow label
    put_be16(ip + 4, static_cast<uint32_t>(l4_len));
    ip[6] = proto;
    ip[7] = ttl;
    std::memcpy(ip + 8, e.src->v6.data(), 16);
    std::memcpy(ip + 24, e.dst->v6.data(), 16);
    return ETH_HEADER_SIZE + IPV6_HEADER_SIZE;
  }
  put_be16(f + 12, ETHERTYPE_IPV4);
  uint8_t* ip = f + ETH_HEADER_SIZE;
  ip[0] = 0x45;
  ip[1] = 0;
  put_be16(ip + 2, static_cast<uint32_t>(IPV4_HEADER_SIZE + l4_len));
  put_be16(ip + 4, ip_id);
  put_be16(ip + 6, 0x4000);  // don't fragment
  ip[8] = ttl;
  ip[9] = proto;
  put_be16(ip + 10, 0);
  std::memcpy(ip + 12, e.src->v4.data(), 4);
  std::memcpy(ip + 16, e.dst->v4.data(), 4);
  put_be16(ip + 10, fold(ones_sum(ip, IPV4_HEADER_SIZE)));
  return ETH_HEADER_SIZE + IPV4_HEADER_SIZE;
}

// The ICMPv6 checksum covers a pseudo-header of both addresses, the length and next header.
void put_icmp_checksum(uint8_t* f, size_t icmp_off, size_t icmp_len, bool v6) {
  uint8_t* icmp = f + icmp_off;
  put_be16(icmp + 2, 0);
  uint32_t sum = 0;
  if (v6) {
    sum = ones_sum(f + ETH_HEADER_SIZE + 8, 32);
    sum += static_cast<uint32_t>(icmp_len >> 16) + static_cast<uint32_t>(icmp_len & 0xFFFF);
    sum += PROTO_ICMPV6;
  }
  put_be16(icmp + 2, fold(ones_sum(icmp, icmp_len, sum)));
}

uint8_t ttl_for(prng& rng, bool outbound) {
  return outbound ? 64 : static_cast<uint8_t>(rng.range(40, 120));
}

// Ping's payload: an 8-byte send time, then the bytes 0x10, 0x11, ...
void put_echo_payload(uint8_t* p, uint64_t usec) {
  put_le32(p, static_cast<uint32_t>(usec / 1000000));
  put_le32(p + 4, static_cast<uint32_t>(usec % 1000000));
  for (size_t i = ECHO_TIMESTAMP_SIZE; i < ECHO_PAYLOAD_SIZE; ++i)
    p[i] = static_cast<uint8_t>(i + 8);
}

// An echo request or reply with `payload_len` bytes; fills the payload with `payload` or, when
// null, with ping's pattern stamped with `sent_usec` (a reply echoes its request's payload).
// Returns the frame length.
size_t build_echo(uint8_t* f, const endpoints& e, bool v6, bool reply, uint16_t id, uint16_t seq,
                  const uint8_t* payload, size_t payload_len, uint8_t ttl, uint16_t ip_id,
                  uint64_t sent_usec) {
  const size_t icmp_len = ICMP_HEADER_SIZE + payload_len;
  const size_t off = put_ip(f, e, v6, v6 ? PROTO_ICMPV6 : PROTO_ICMP, icmp_len, ttl, ip_id);
  uint8_t* icmp = f + off;
  if (v6)
    icmp[0] = reply ? ICMPV6_ECHO_REPLY : ICMPV6_ECHO_REQUEST;
  else
    icmp[0] = reply ? ICMP_ECHO_REPLY : ICMP_ECHO_REQUEST;
  icmp[1] = 0;
  put_be16(icmp + 4, id);
  put_be16(icmp + 6, seq);
  if (payload)
    std::memcpy(icmp + ICMP_HEADER_SIZE, payload, payload_len);
  else
    put_echo_payload(icmp + ICMP_HEADER_SIZE, sent_usec);
  put_icmp_checksum(f, off, icmp_len, v6);
  return off + icmp_len;
}

// --- mixed --------------------------------------------------------------------------------------

constexpr uint64_t MIXED_TARGET_BYTES = 1ull << 30;
constexpr uint64_t START_USEC = 1709294400ull * 1000000;  // 2024-03-01 12:00:00 UTC
constexpr size_t RANDOM_POOL_SIZE = 1u << 20;

// A TCP segment with `data_len` bytes of data; a 12-byte timestamp option on about half of them.
size_t build_tcp(uint8_t* f, prng& rng, const endpoints& e, bool v6, size_t data_len, bool with_ts,
                 const uint8_t* pool, uint16_t ip_id, uint8_t ttl) {
  const size_t hdr = TCP_HEADER_SIZE + (with_ts ? TCP_TIMESTAMP_OPTION_SIZE : 0);
  const size_t off = put_ip(f, e, v6, PROTO_TCP, hdr + data_len, ttl, ip_id);
  uint8_t* t = f + off;
  const bool web = rng.chance(700);
  put_be16(t, web ? 443 : rng.range(32768, 60999));
  put_be16(t + 2, web ? rng.range(32768, 60999) : 443);
  const uint64_t r = rng.next();
  put_be32(t + 4, static_cast<uint32_t>(r));
  put_be32(t + 8, static_cast<uint32_t>(r >> 32));
  t[12] = static_cast<uint8_t>((hdr / 4) << 4);
  t[13] = data_len ? 0x18 : 0x10;  // PSH+ACK with data, bare ACK without
  put_be16(t + 14, rng.range(501, 65535));
  put_be16(t + 16, static_cast<uint32_t>(r >> 16));  // checksums are offloaded on capture hosts
  put_be16(t + 18, 0);
  if (with_ts) {
    const uint8_t opt[4] = {1, 1, 8, 10};  // NOP, NOP, timestamp
    std::memcpy(t + 20, opt, 4);
    put_be32(t + 24, static_cast<uint32_t>(r >> 8));
    put_be32(t + 28, static_cast<uint32_t>(r >> 24));
  }
  std::memcpy(t + hdr, pool + rng.range(0, RANDOM_POOL_SIZE - 2048), data_len);
  return off + hdr + data_len;
}

size_t build_udp(uint8_t* f, prng& rng, const endpoints& e, bool v6, size_t data_len,
                 const uint8_t* pool, uint16_t ip_id, uint8_t ttl) {
  const size_t off = put_ip(f, e, v6, PROTO_UDP, UDP_HEADER_SIZE + data_len, ttl, ip_id);
  uint8_t* u = f + off;
  static constexpr uint16_t ports[] = {53, 443, 123, 4500, 3478};
  const uint16_t service = ports[rng.range(0, 4)];
  const bool to_service = rng.chance(500);
  put_be16(u, to_service ? rng.range(32768, 60999) : service);
  put_be16(u + 2, to_service ? service : rng.range(32768, 60999));
  put_be16(u + 4, static_cast<uint32_t>(UDP_HEADER_SIZE + data_len));
  put_be16(u + 6, rng.range(1, 65535));
  std::memcpy(u + UDP_HEADER_SIZE, pool + rng.range(0, RANDOM_POOL_SIZE - 2048), data_len);
  return off + UDP_HEADER_SIZE + data_len;
}

// ICMP error quoting the offending packet's IP header and the first 8 bytes behind it.
size_t build_unreachable(uint8_t* f, prng& rng, const endpoints& e, bool v6, uint16_t ip_id,
                         uint8_t ttl, const uint8_t* pool) {
  // The quoted packet travelled the other way: from the receiver of this error.
  uint8_t quoted[128];
  const size_t q_ip_len = v6 ? IPV6_HEADER_SIZE : IPV4_HEADER_SIZE;
  build_udp(quoted, rng, reversed(e), v6, 32, pool, static_cast<uint16_t>(ip_id + 7), 64);
  const size_t quote_len = q_ip_len + 8;
  const size_t icmp_len = ICMP_HEADER_SIZE + quote_len;
  const size_t off = put_ip(f, e, v6, v6 ? PROTO_ICMPV6 : PROTO_ICMP, icmp_len, ttl, ip_id);
  uint8_t* icmp = f + off;
  if (v6) {
    icmp[0] = ICMPV6_DEST_UNREACH;
    icmp[1] = 4;  // port unreachable
  } else {
    const bool exceeded = rng.chance(200);
    icmp[0] = exceeded ? ICMP_TIME_EXCEEDED : ICMP_DEST_UNREACH;
    icmp[1] = exceeded ? 0 : static_cast<uint8_t>(rng.chance(700) ? 3 : 1);
  }
  put_be32(icmp + 4, 0);
  std::memcpy(icmp + ICMP_HEADER_SIZE, quoted + ETH_HEADER_SIZE, quote_len);
  put_icmp_checksum(f, off, icmp_len, v6);
  return off + icmp_len;
}

// The data length of a TCP/UDP packet whose frame should be `frame_len` long.
size_t data_for_frame(size_t frame_len, size_t headers) {
  return frame_len > headers ? frame_len - headers : 0;
}

// A frame to be written once the capture's clock reaches `due`.
struct delayed_frame {
  uint64_t due = 0;
  std::vector<uint8_t> bytes;
};

// Writes, in time order, every delayed frame due by `now`; they are stamped with their own due
// time, which lies after every record written before, so timestamps never go back.
void emit_due(pcap_writer& w, std::vector<delayed_frame>& delayed, uint64_t now) {
  std::sort(delayed.begin(), delayed.end(),
            [](const delayed_frame& a, const delayed_frame& b) { return a.due < b.due; });
  size_t n = 0;
  for (; n < delayed.size() && delayed[n].due <= now; ++n)
    w.record(delayed[n].due, delayed[n].bytes.data(),
             static_cast<uint32_t>(delayed[n].bytes.size()));
  delayed.erase(delayed.begin(), delayed.begin() + static_cast<std::ptrdiff_t>(n));
}

bool gen_mixed(const std::string& path) {
  prng rng(0x6e656c6f2d6d6978ULL);
  const network net = make_network(rng);
  std::vector<uint8_t> pool(RANDOM_POOL_SIZE);
  rng.fill(pool.data(), pool.size());
  std::vector<uint8_t> frame(MAX_FRAME);
  std::vector<uint8_t> big_payload(1400);
  pcap_writer w(path, 262144);
  uint64_t usec = START_USEC;
  uint16_t ip_id = 1;
  uint16_t ping_seq = 1;
  uint64_t icmp = 0;
  std::vector<delayed_frame> replies;

  while (w.bytes() < MIXED_TARGET_BYTES) {
    usec += rng.range(1, 24);  // about 80 000 packets a second, roughly 0.5 Gbit/s
    emit_due(w, replies, usec);
    ++ip_id;
    const endpoints e = pick_endpoints(rng, net);
    const bool outbound = e.src_mac != net.router_mac.data();
    const bool v6 = rng.chance(200);
    const uint8_t ttl = ttl_for(rng, outbound);
    uint8_t* f = frame.data();
    size_t len = 0;
    const uint32_t kind = rng.range(0, 999);
    if (kind < 6) {
      // About 1 %: ICMP and ICMPv6. Echoes come as request/reply pairs.
      const uint32_t sub = rng.range(0, 99);
      if (sub < 70) {
        const uint16_t id = static_cast<uint16_t>(rng.range(1, 65535));
        len =
            build_echo(f, e, v6, false, id, ping_seq, nullptr, ECHO_PAYLOAD_SIZE, ttl, ip_id, usec);
        // The reply comes back one round trip later, between the packets still to come.
        delayed_frame reply;
        reply.due = usec + rng.range(200, 40000);
        reply.bytes.resize(ETHERNET_MTU_FRAME);
        reply.bytes.resize(build_echo(reply.bytes.data(), reversed(e), v6, true, id, ping_seq,
                                      nullptr, ECHO_PAYLOAD_SIZE, ttl_for(rng, !outbound),
                                      static_cast<uint16_t>(ip_id + 31), usec));
        replies.push_back(std::move(reply));
        ++icmp;
        ++ping_seq;
      } else if (sub < 97) {
        len = build_unreachable(f, rng, e, v6, ip_id, ttl, pool.data());
      } else {
        rng.fill(big_payload.data(), big_payload.size());
        len = build_echo(f, e, v6, rng.chance(500), static_cast<uint16_t>(rng.range(1, 65535)),
                         ping_seq++, big_payload.data(), big_payload.size(), ttl, ip_id, usec);
      }
      ++icmp;
    } else {
      // Internet-like size mix: many bare ACKs, many full frames, the rest in between.
      const bool tcp = rng.chance(850);
      const size_t hdrs = ETH_HEADER_SIZE + (v6 ? IPV6_HEADER_SIZE : IPV4_HEADER_SIZE);
      const uint32_t size_class = rng.range(0, 99);
      size_t frame_len;
      if (size_class < 42)
        frame_len = 0;  // header only
      else if (size_class < 80)
        frame_len = ETHERNET_MTU_FRAME;
      else if (size_class < 92)
        frame_len = rng.range(100, 600);
      else
        frame_len = rng.range(600, 1500);
      if (tcp) {
        const bool ts = rng.chance(500);
        const size_t all = hdrs + TCP_HEADER_SIZE + (ts ? TCP_TIMESTAMP_OPTION_SIZE : 0);
        len = build_tcp(f, rng, e, v6, data_for_frame(frame_len, all), ts, pool.data(), ip_id, ttl);
      } else {
        const size_t all = hdrs + UDP_HEADER_SIZE;
        size_t data = data_for_frame(frame_len, all);
        if (frame_len == 0) data = rng.range(20, 80);  // DNS-sized
        len = build_udp(f, rng, e, v6, data, pool.data(), ip_id, ttl);
      }
    }
    w.record(usec, f, static_cast<uint32_t>(len));
  }
  emit_due(w, replies, UINT64_MAX);
  std::printf("mixed: %llu records, %llu ICMP/ICMPv6, %llu bytes\n",
              static_cast<unsigned long long>(w.records()), static_cast<unsigned long long>(icmp),
              static_cast<unsigned long long>(w.bytes()));
  return w.finish();
}

// --- flood --------------------------------------------------------------------------------------

constexpr uint64_t FLOOD_RECORDS = 2000000;

// Rewrites a whole frame into `out`, which has room for MAX_FRAME + TUNNEL_ROOM bytes, and
// returns the new length: how a tunnel workload turns the flood into its own capture.
using frame_wrapper = size_t (*)(const uint8_t* frame, size_t len, uint8_t* out);
constexpr size_t TUNNEL_ROOM = 128;

// A few dozen concurrent pingers, each with its own identifier.
struct pinger {
  endpoints e;
  uint16_t id;
  bool v6;
};

std::vector<pinger> make_pingers(prng& rng, const network& net) {
  std::vector<pinger> pingers;
  for (int i = 0; i < 48; ++i)
    pingers.push_back(
        {pick_endpoints(rng, net), static_cast<uint16_t>(rng.range(1, 65535)), rng.chance(150)});
  return pingers;
}

// The flood, each frame passed through `wrap` (when given) as it is written, so that a tunnel
// capture holds the very messages of the plain one and the two time the same inner work.
bool write_flood(const std::string& path, const char* name, frame_wrapper wrap) {
  prng rng(0x6e656c6f2d666c64ULL);
  const network net = make_network(rng);
  std::vector<uint8_t> frame(MAX_FRAME);
  std::vector<uint8_t> wrapped(MAX_FRAME + TUNNEL_ROOM);
  pcap_writer w(path, 65535);
  auto emit = [&](uint64_t usec, size_t len) {
    if (wrap == nullptr) {
      w.record(usec, frame.data(), static_cast<uint32_t>(len));
      return;
    }
    const size_t n = wrap(frame.data(), len, wrapped.data());
    w.record(usec, wrapped.data(), static_cast<uint32_t>(n));
  };
  uint64_t usec = START_USEC;
  uint16_t seq = 0;
  uint16_t ip_id = 1;
  const std::vector<pinger> pingers = make_pingers(rng, net);
  while (w.records() < FLOOD_RECORDS) {
    const pinger& p = pingers[rng.range(0, static_cast<uint32_t>(pingers.size() - 1))];
    ++seq;
    usec += rng.range(1, 20);
    size_t len = build_echo(frame.data(), p.e, p.v6, false, p.id, seq, nullptr, ECHO_PAYLOAD_SIZE,
                            64, ip_id++, usec);
    emit(usec, len);
    const uint64_t sent = usec;
    usec += rng.range(1, 20);
    len = build_echo(frame.data(), reversed(p.e), p.v6, true, p.id, seq, nullptr, ECHO_PAYLOAD_SIZE,
                     static_cast<uint8_t>(rng.range(40, 64)), ip_id++, sent);
    emit(usec, len);
  }
  std::printf("%s: %llu records, %llu bytes\n", name, static_cast<unsigned long long>(w.records()),
              static_cast<unsigned long long>(w.bytes()));
  return w.finish();
}

bool gen_flood(const std::string& path) {
  return write_flood(path, "flood", nullptr);
}

// --- tunnels ------------------------------------------------------------------------------------

constexpr size_t VXLAN_HEADER_SIZE = 8;
constexpr size_t GRE_HEADER_SIZE = 4;
constexpr uint32_t VXLAN_PORT = 4789;
constexpr uint32_t VXLAN_VNI = 42;
constexpr uint8_t VXLAN_FLAG_VNI = 0x08;
constexpr uint8_t PROTO_GRE = 47;
constexpr uint8_t TUNNEL_TTL = 64;

// The two tunnel endpoints: one fixed pair of routers carries every flow.
constexpr uint8_t TUNNEL_MAC_SRC[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
constexpr uint8_t TUNNEL_MAC_DST[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
constexpr uint8_t TUNNEL_V4_SRC[4] = {10, 0, 0, 1};
constexpr uint8_t TUNNEL_V4_DST[4] = {10, 0, 0, 2};
constexpr uint8_t TUNNEL_V6_SRC[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr uint8_t TUNNEL_V6_DST[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

void put_tunnel_ethernet(uint8_t* out, uint32_t ethertype) {
  std::memcpy(out, TUNNEL_MAC_DST, 6);
  std::memcpy(out + 6, TUNNEL_MAC_SRC, 6);
  put_be16(out + 12, ethertype);
}

// VXLAN as a switch sends it: the inner Ethernet frame whole behind outer Ethernet, IPv4, UDP to
// 4789 and the VXLAN header. The UDP source port is a hash of the inner MAC addresses, as RFC 7348
// advises so that routers spread the flows; the UDP checksum is left 0, which IPv4 allows.
size_t wrap_vxlan(const uint8_t* frame, size_t len, uint8_t* out) {
  const size_t udp_len = UDP_HEADER_SIZE + VXLAN_HEADER_SIZE + len;
  put_tunnel_ethernet(out, ETHERTYPE_IPV4);
  uint8_t* ip = out + ETH_HEADER_SIZE;
  std::memset(ip, 0, IPV4_HEADER_SIZE);
  ip[0] = 0x45;
  put_be16(ip + 2, static_cast<uint32_t>(IPV4_HEADER_SIZE + udp_len));
  put_be16(ip + 6, 0x4000);  // don't fragment
  ip[8] = TUNNEL_TTL;
  ip[9] = PROTO_UDP;
  std::memcpy(ip + 12, TUNNEL_V4_SRC, 4);
  std::memcpy(ip + 16, TUNNEL_V4_DST, 4);
  put_be16(ip + 10, fold(ones_sum(ip, IPV4_HEADER_SIZE)));
  uint8_t* udp = ip + IPV4_HEADER_SIZE;
  uint32_t hash = 2166136261u;  // FNV-1a over the inner MAC addresses
  for (size_t i = 0; i < 12 && i < len; ++i) hash = (hash ^ frame[i]) * 16777619u;
  put_be16(udp, 49152 + (hash & 0x3FFF));
  put_be16(udp + 2, VXLAN_PORT);
  put_be16(udp + 4, static_cast<uint32_t>(udp_len));
  put_be16(udp + 6, 0);
  uint8_t* vxlan = udp + UDP_HEADER_SIZE;
  put_be32(vxlan, static_cast<uint32_t>(VXLAN_FLAG_VNI) << 24);
  put_be32(vxlan + 4, VXLAN_VNI << 8);
  std::memcpy(vxlan + VXLAN_HEADER_SIZE, frame, len);
  return ETH_HEADER_SIZE + IPV4_HEADER_SIZE + udp_len;
}

// GRE over IPv6 as a router sends it: the inner IP packet without its Ethernet header, behind
// outer Ethernet, IPv6 and a bare 4-byte GRE header whose protocol is the inner EtherType.
size_t wrap_gre6(const uint8_t* frame, size_t len, uint8_t* out) {
  const uint8_t* packet = frame + ETH_HEADER_SIZE;
  const size_t packet_len = len - ETH_HEADER_SIZE;
  put_tunnel_ethernet(out, ETHERTYPE_IPV6);
  uint8_t* ip = out + ETH_HEADER_SIZE;
  put_be32(ip, 0x60000000u);
  put_be16(ip + 4, static_cast<uint32_t>(GRE_HEADER_SIZE + packet_len));
  ip[6] = PROTO_GRE;
  ip[7] = TUNNEL_TTL;
  std::memcpy(ip + 8, TUNNEL_V6_SRC, 16);
  std::memcpy(ip + 24, TUNNEL_V6_DST, 16);
  uint8_t* gre = ip + IPV6_HEADER_SIZE;
  put_be16(gre, 0);  // no checksum, key or sequence; version 0
  std::memcpy(gre + 2, frame + 12, 2);
  std::memcpy(gre + GRE_HEADER_SIZE, packet, packet_len);
  return ETH_HEADER_SIZE + IPV6_HEADER_SIZE + GRE_HEADER_SIZE + packet_len;
}

bool gen_vxlan(const std::string& path) {
  return write_flood(path, "vxlan", wrap_vxlan);
}

bool gen_gre6(const std::string& path) {
  return write_flood(path, "gre6", wrap_gre6);
}

// --- jumbo --------------------------------------------------------------------------------------

constexpr uint64_t JUMBO_TARGET_BYTES = 500ull << 20;
constexpr uint32_t JUMBO_SNAPLEN = 262144;
constexpr uint32_t JUMBO_MIN_PAYLOAD = 8000;
constexpr uint32_t JUMBO_MAX_PAYLOAD = 60000;

bool gen_jumbo(const std::string& path) {
  prng rng(0x6e656c6f2d6a6d62ULL);
  const network net = make_network(rng);
  std::vector<uint8_t> frame(MAX_FRAME);
  std::vector<uint8_t> payload(JUMBO_MAX_PAYLOAD);
  pcap_writer w(path, JUMBO_SNAPLEN);
  uint64_t usec = START_USEC;
  uint16_t seq = 0;
  uint16_t ip_id = 1;
  size_t largest = 0;
  while (w.bytes() < JUMBO_TARGET_BYTES) {
    const endpoints e = pick_endpoints(rng, net);
    const bool v6 = rng.chance(200);
    const size_t n = rng.range(JUMBO_MIN_PAYLOAD, JUMBO_MAX_PAYLOAD);
    rng.fill(payload.data(), n);
    const uint16_t id = static_cast<uint16_t>(rng.range(1, 65535));
    ++seq;
    usec += rng.range(100, 3000);  // large frames: a few hundred a second per link
    size_t len =
        build_echo(frame.data(), e, v6, false, id, seq, payload.data(), n, 64, ip_id++, usec);
    w.record(usec, frame.data(), static_cast<uint32_t>(len));
    largest = std::max(largest, len);
    usec += rng.range(100, 3000);
    len = build_echo(frame.data(), reversed(e), v6, true, id, seq, payload.data(), n,
                     static_cast<uint8_t>(rng.range(40, 64)), ip_id++, usec);
    w.record(usec, frame.data(), static_cast<uint32_t>(len));
  }
  std::printf("jumbo: %llu records, largest frame %zu, %llu bytes\n",
              static_cast<unsigned long long>(w.records()), largest,
              static_cast<unsigned long long>(w.bytes()));
  return w.finish();
}

// --- fragmented echoes --------------------------------------------------------------------------

constexpr uint64_t FRAGMENTS_TARGET_BYTES = 200ull << 20;
constexpr uint32_t FRAGMENTS_MIN_PAYLOAD = 3000;
constexpr uint32_t FRAGMENTS_MAX_PAYLOAD = 8000;
constexpr size_t LINK_MTU = 1500;
constexpr size_t IPV6_FRAGMENT_HEADER_SIZE = 8;
constexpr uint8_t PROTO_IPV6_FRAGMENT = 44;
constexpr uint32_t IPV4_MORE_FRAGMENTS = 0x2000;
// Offsets count 8-byte units, so every fragment but the last carries a multiple of 8 bytes.
constexpr size_t IPV4_FRAGMENT_DATA = (LINK_MTU - IPV4_HEADER_SIZE) / 8 * 8;  // 1480
constexpr size_t IPV6_FRAGMENT_DATA =
    (LINK_MTU - IPV6_HEADER_SIZE - IPV6_FRAGMENT_HEADER_SIZE) / 8 * 8;  // 1448

// put_ip marks every IPv4 datagram don't-fragment; these are sent by hosts that may split them.
void allow_fragmenting(uint8_t* frame) {
  uint8_t* ip = frame + ETH_HEADER_SIZE;
  put_be16(ip + 6, 0);
  put_be16(ip + 10, 0);
  put_be16(ip + 10, fold(ones_sum(ip, IPV4_HEADER_SIZE)));
}

// Ping's own payload at large sizes: the send time, then the bytes 0x10, 0x11, ... round and
// round. It compresses well, unlike the random payloads beside it.
void put_ping_pattern(uint8_t* p, size_t n, uint64_t usec) {
  put_le32(p, static_cast<uint32_t>(usec / 1000000));
  put_le32(p + 4, static_cast<uint32_t>(usec % 1000000));
  for (size_t i = ECHO_TIMESTAMP_SIZE; i < n; ++i) p[i] = static_cast<uint8_t>(i + 8);
}

// Writes into `out` one fragment of the datagram in `whole` (a frame from build_echo): its IP
// header with the fragment's length and place, then `len` bytes of the IP payload from `offset`.
// IPv4 keeps the datagram's identification; IPv6 gets a fragment header holding `ident`.
size_t build_fragment(const uint8_t* whole, bool v6, size_t offset, size_t len, bool more,
                      uint32_t ident, uint8_t* out) {
  const size_t ip_len = v6 ? IPV6_HEADER_SIZE : IPV4_HEADER_SIZE;
  const uint8_t* data = whole + ETH_HEADER_SIZE + ip_len + offset;
  std::memcpy(out, whole, ETH_HEADER_SIZE + ip_len);
  uint8_t* ip = out + ETH_HEADER_SIZE;
  if (v6) {
    put_be16(ip + 4, static_cast<uint32_t>(IPV6_FRAGMENT_HEADER_SIZE + len));
    ip[6] = PROTO_IPV6_FRAGMENT;
    uint8_t* fh = ip + IPV6_HEADER_SIZE;
    fh[0] = PROTO_ICMPV6;
    fh[1] = 0;
    // The offset in 8-byte units sits above three low bits, so a multiple of 8 goes in as it is.
    put_be16(fh + 2, static_cast<uint32_t>(offset | (more ? 1 : 0)));
    put_be32(fh + 4, ident);
    std::memcpy(fh + IPV6_FRAGMENT_HEADER_SIZE, data, len);
    return ETH_HEADER_SIZE + IPV6_HEADER_SIZE + IPV6_FRAGMENT_HEADER_SIZE + len;
  }
  put_be16(ip + 2, static_cast<uint32_t>(IPV4_HEADER_SIZE + len));
  put_be16(ip + 6, (more ? IPV4_MORE_FRAGMENTS : 0) | static_cast<uint32_t>(offset / 8));
  put_be16(ip + 10, 0);
  put_be16(ip + 10, fold(ones_sum(ip, IPV4_HEADER_SIZE)));
  std::memcpy(ip + IPV4_HEADER_SIZE, data, len);
  return ETH_HEADER_SIZE + IPV4_HEADER_SIZE + len;
}

// Echoes of 3000 to 8000 bytes, written split into fragments that fit a 1500-byte MTU (`split`)
// or each datagram whole in one frame. Both captures draw the same numbers from the same seed, so
// they carry the very same messages; a whole datagram is stamped with the time of the frame that
// completes it in the split capture, and both stop where the split one reaches its size.
bool write_fragmented(const std::string& path, const char* name, bool split) {
  prng rng(0x6e656c6f2d667267ULL);
  const network net = make_network(rng);
  std::vector<uint8_t> whole(MAX_FRAME);
  std::vector<uint8_t> piece(ETHERNET_MTU_FRAME);
  std::vector<uint8_t> payload(FRAGMENTS_MAX_PAYLOAD);
  std::vector<size_t> order;
  pcap_writer w(path, 65535);
  const std::vector<pinger> pingers = make_pingers(rng, net);
  uint64_t usec = START_USEC;
  uint64_t split_bytes = 0;
  uint64_t datagrams = 0;
  uint64_t reordered = 0;
  uint16_t seq = 0;
  uint16_t ip_id = 1;
  uint32_t ident6 = static_cast<uint32_t>(rng.next());

  auto send = [&](const endpoints& e, bool v6, bool reply, uint16_t id, size_t n, uint8_t ttl) {
    const size_t len =
        build_echo(whole.data(), e, v6, reply, id, seq, payload.data(), n, ttl, ip_id, 0);
    if (!v6) allow_fragmenting(whole.data());
    const uint32_t ident = v6 ? ident6++ : ip_id;
    ++ip_id;
    ++datagrams;
    const size_t headers = ETH_HEADER_SIZE + (v6 ? IPV6_HEADER_SIZE : IPV4_HEADER_SIZE);
    const size_t data_len = len - headers;
    const size_t step = v6 ? IPV6_FRAGMENT_DATA : IPV4_FRAGMENT_DATA;
    order.resize((data_len + step - 1) / step);
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    // One datagram in eight arrives out of order: its last fragment first, or two neighbours
    // swapped.
    if (rng.chance(125)) {
      ++reordered;
      if (rng.chance(500)) {
        std::rotate(order.begin(), order.end() - 1, order.end());
      } else {
        const size_t k = rng.range(0, static_cast<uint32_t>(order.size() - 2));
        std::swap(order[k], order[k + 1]);
      }
    }
    for (const size_t k : order) {
      usec += rng.range(1, 6);
      const size_t offset = k * step;
      const size_t part = std::min(step, data_len - offset);
      const size_t frame_len = headers + (v6 ? IPV6_FRAGMENT_HEADER_SIZE : 0) + part;
      split_bytes += PCAP_RECORD_HEADER_SIZE + frame_len;
      if (!split) continue;
      build_fragment(whole.data(), v6, offset, part, k + 1 < order.size(), ident, piece.data());
      w.record(usec, piece.data(), static_cast<uint32_t>(frame_len));
    }
    if (!split) w.record(usec, whole.data(), static_cast<uint32_t>(len));
  };

  while (split_bytes < FRAGMENTS_TARGET_BYTES) {
    const pinger& p = pingers[rng.range(0, static_cast<uint32_t>(pingers.size() - 1))];
    ++seq;
    const size_t n = rng.range(FRAGMENTS_MIN_PAYLOAD, FRAGMENTS_MAX_PAYLOAD);
    if (rng.chance(250))
      put_ping_pattern(payload.data(), n, usec);
    else
      rng.fill(payload.data(), n);
    send(p.e, p.v6, false, p.id, n, 64);
    usec += rng.range(20, 200);  // the round trip
    send(reversed(p.e), p.v6, true, p.id, n, static_cast<uint8_t>(rng.range(40, 64)));
    usec += rng.range(20, 200);
  }
  std::printf(
      "%s: %llu records, %llu datagrams (%llu out of order when split), %llu bytes\n", name,
      static_cast<unsigned long long>(w.records()), static_cast<unsigned long long>(datagrams),
      static_cast<unsigned long long>(reordered), static_cast<unsigned long long>(w.bytes()));
  return w.finish();
}

bool gen_fragments(const std::string& path) {
  return write_fragmented(path, "fragments", true);
}

bool gen_unfragmented(const std::string& path) {
  return write_fragmented(path, "unfragmented", false);
}

// --- adversarial fragments ----------------------------------------------------------------------

// The largest IPv6 datagrams cut into the smallest fragments, in one arrival order per capture:
// what putting them back together costs when the order is chosen against it.
constexpr int ORDERS_DATAGRAMS = 60;
constexpr size_t ORDERS_FRAGMENT_DATA = 8;
constexpr size_t ORDERS_FRAGMENTS = 8190;  // 65,520 bytes of payload, within IPv6's 65,535

enum class arrival { in_order, odd_first, reversed, shuffled };

bool write_ordered(const std::string& path, const char* name, arrival how) {
  prng rng(0x6e656c6f2d6f7264ULL);
  const network net = make_network(rng);
  std::vector<uint8_t> payload(ORDERS_FRAGMENTS * ORDERS_FRAGMENT_DATA - ICMP_HEADER_SIZE);
  // An IPv6 payload of 65,520 bytes makes a frame longer than an IPv4 datagram could.
  std::vector<uint8_t> whole(ETH_HEADER_SIZE + IPV6_HEADER_SIZE + ICMP_HEADER_SIZE +
                             payload.size());
  std::vector<uint8_t> piece(ETHERNET_MTU_FRAME);
  std::vector<size_t> order(ORDERS_FRAGMENTS);
  pcap_writer w(path, 65535);
  uint64_t usec = START_USEC;
  for (int d = 0; d < ORDERS_DATAGRAMS; ++d) {
    const endpoints e = pick_endpoints(rng, net);
    rng.fill(payload.data(), payload.size());
    const auto seq = static_cast<uint16_t>(d + 1);
    build_echo(whole.data(), e, true, false, 7, seq, payload.data(), payload.size(), 64, seq, 0);
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    switch (how) {
      case arrival::in_order:
        break;
      case arrival::odd_first:
        std::stable_partition(order.begin(), order.end(), [](size_t k) { return k % 2 == 1; });
        break;
      case arrival::reversed:
        std::reverse(order.begin(), order.end());
        break;
      case arrival::shuffled:
        for (size_t k = order.size() - 1; k > 0; --k) {
          std::swap(order[k], order[rng.range(0, static_cast<uint32_t>(k))]);
        }
        break;
    }
    for (const size_t k : order) {
      usec += 1;
      const size_t len =
          build_fragment(whole.data(), true, k * ORDERS_FRAGMENT_DATA, ORDERS_FRAGMENT_DATA,
                         k + 1 < order.size(), static_cast<uint32_t>(d + 1), piece.data());
      w.record(usec, piece.data(), static_cast<uint32_t>(len));
    }
  }
  std::printf("%s: %llu records\n", name, static_cast<unsigned long long>(w.records()));
  return w.finish();
}

bool gen_order_in(const std::string& path) {
  return write_ordered(path, "order_in", arrival::in_order);
}
bool gen_order_odd(const std::string& path) {
  return write_ordered(path, "order_odd", arrival::odd_first);
}
bool gen_order_reversed(const std::string& path) {
  return write_ordered(path, "order_reversed", arrival::reversed);
}
bool gen_order_shuffled(const std::string& path) {
  return write_ordered(path, "order_shuffled", arrival::shuffled);
}

// Echoes of 8,000 bytes whose last fragment never comes, 20,000 of them within a second: the
// reassembly fills its budget, and gives up what it holds when the capture ends.
constexpr int GIVEUP_DATAGRAMS = 20000;
constexpr size_t GIVEUP_PAYLOAD = 8000;

bool gen_giveup(const std::string& path) {
  prng rng(0x6e656c6f2d677570ULL);
  const network net = make_network(rng);
  std::vector<uint8_t> whole(MAX_FRAME);
  std::vector<uint8_t> piece(ETHERNET_MTU_FRAME);
  std::vector<uint8_t> payload(GIVEUP_PAYLOAD);
  pcap_writer w(path, 65535);
  uint64_t usec = START_USEC;
  for (int d = 0; d < GIVEUP_DATAGRAMS; ++d) {
    const endpoints e = pick_endpoints(rng, net);
    rng.fill(payload.data(), payload.size());
    const auto id = static_cast<uint16_t>(d + 1);
    const size_t len =
        build_echo(whole.data(), e, false, false, 7, id, payload.data(), payload.size(), 64, id, 0);
    allow_fragmenting(whole.data());
    const size_t data_len = len - ETH_HEADER_SIZE - IPV4_HEADER_SIZE;
    for (size_t offset = 0; offset + IPV4_FRAGMENT_DATA < data_len; offset += IPV4_FRAGMENT_DATA) {
      usec += 20;
      const size_t n =
          build_fragment(whole.data(), false, offset, IPV4_FRAGMENT_DATA, true, id, piece.data());
      w.record(usec, piece.data(), static_cast<uint32_t>(n));
    }
  }
  std::printf("giveup: %llu records\n", static_cast<unsigned long long>(w.records()));
  return w.finish();
}

// --- payloads of one size ------------------------------------------------------------------------

constexpr uint64_t SIZED_TARGET_BYTES = 200ull << 20;

// Echo requests and replies whose random payloads all have `size` bytes: where handing payloads
// to other threads starts to pay is found on these.
// --- sweep --------------------------------------------------------------------------------------

constexpr uint32_t SWEEP_ADDRESSES = 1u << 16;
constexpr uint32_t SWEEP_ANSWERING = 4;  // one address in this many replies

bool gen_sweep(const std::string& path) {
  prng rng(0x6e656c6f2d737770ULL);
  const network net = make_network(rng);
  const host& scanner = net.local.front();
  host target = net.remote.front();
  std::vector<uint8_t> frame(MAX_FRAME);
  pcap_writer w(path, 65535);
  uint64_t usec = START_USEC;
  const uint16_t id = static_cast<uint16_t>(rng.range(1, 65535));
  for (uint32_t i = 0; i < SWEEP_ADDRESSES; ++i) {
    target.v4 = {10, 200, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    const endpoints e{&scanner, &target, scanner.mac.data(), net.router_mac.data()};
    usec += rng.range(50, 150);
    size_t len = build_echo(frame.data(), e, false, false, id, static_cast<uint16_t>(i + 1),
                            nullptr, ECHO_PAYLOAD_SIZE, 64, static_cast<uint16_t>(i), usec);
    w.record(usec, frame.data(), static_cast<uint32_t>(len));
    if (rng.range(1, SWEEP_ANSWERING) != 1) continue;
    const uint64_t sent = usec;
    usec += rng.range(1, 40);
    len =
        build_echo(frame.data(), reversed(e), false, true, id, static_cast<uint16_t>(i + 1),
                   nullptr, ECHO_PAYLOAD_SIZE, ttl_for(rng, false), static_cast<uint16_t>(i), sent);
    w.record(usec, frame.data(), static_cast<uint32_t>(len));
  }
  std::printf("sweep: %llu records, %llu bytes\n", static_cast<unsigned long long>(w.records()),
              static_cast<unsigned long long>(w.bytes()));
  return w.finish();
}

bool gen_sized(const std::string& path, size_t size) {
  prng rng(0x6e656c6f2d73697aULL + size);
  const network net = make_network(rng);
  std::vector<uint8_t> frame(MAX_FRAME);
  std::vector<uint8_t> payload(size);
  pcap_writer w(path, JUMBO_SNAPLEN);
  uint64_t usec = START_USEC;
  uint16_t seq = 0;
  uint16_t ip_id = 1;
  while (w.bytes() < SIZED_TARGET_BYTES) {
    const endpoints e = pick_endpoints(rng, net);
    rng.fill(payload.data(), size);
    ++seq;
    usec += rng.range(10, 300);
    const size_t len = build_echo(frame.data(), e, false, seq % 2 == 0, 7, seq, payload.data(),
                                  size, 64, ip_id++, usec);
    w.record(usec, frame.data(), static_cast<uint32_t>(len));
  }
  return w.finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[2]) == "sized") {
    const size_t size = std::strtoul(argv[3], nullptr, 10);
    if (size < 1 || size > JUMBO_MAX_PAYLOAD) {
      std::fprintf(stderr, "payload size 1 to %u\n", JUMBO_MAX_PAYLOAD);
      return 2;
    }
    return gen_sized(std::string(argv[1]) + "/sized" + argv[3] + ".pcap", size) ? 0 : 1;
  }
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr,
                 "usage: %s OUTDIR "
                 "[mixed|flood|jumbo|vxlan|gre6|fragments|unfragmented|sweep|order_*|giveup|all] | "
                 "OUTDIR sized BYTES\n",
                 argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::string which = argc == 3 ? argv[2] : "all";
  struct workload {
    const char* name;
    bool (*generate)(const std::string&);
    bool in_all;
  };
  const workload workloads[] = {{"mixed", gen_mixed, true},
                                {"flood", gen_flood, true},
                                {"jumbo", gen_jumbo, true},
                                {"vxlan", gen_vxlan, false},
                                {"gre6", gen_gre6, false},
                                {"fragments", gen_fragments, false},
                                {"unfragmented", gen_unfragmented, false},
                                {"sweep", gen_sweep, false},
                                {"order_in", gen_order_in, false},
                                {"order_odd", gen_order_odd, false},
                                {"order_reversed", gen_order_reversed, false},
                                {"order_shuffled", gen_order_shuffled, false},
                                {"giveup", gen_giveup, false}};
  bool known = which == "all";
  bool ok = true;
  for (const workload& wl : workloads) {
    if (which == "all" ? !wl.in_all : which != wl.name) continue;
    known = true;
    const auto t0 = std::chrono::steady_clock::now();
    ok = wl.generate(dir + "/" + wl.name + ".pcap") && ok;
    const std::chrono::duration<double> dt = std::chrono::steady_clock::now() - t0;
    std::printf("%s: %.1f s\n", wl.name, dt.count());
  }
  if (!known) {
    std::fprintf(stderr, "unknown workload: %s\n", which.c_str());
    return 2;
  }
  return ok ? 0 : 1;
}
