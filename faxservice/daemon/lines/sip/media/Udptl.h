#pragma once
// UDPTL: the packet layer that carries T.38 fax over UDP. Each datagram
// holds a sequence number, one new IFP packet (the "primary") and error
// recovery: either copies of the IFPs sent just before it (secondary IFPs,
// most recent first) or parity over older IFPs (FEC). Everything is ASN.1
// aligned PER as T.38 defines UDPTLPacket.
//
// The codec is pure and bounded: DecodeUdptl accepts any byte string and
// either refuses it or yields a packet within the limits below. The sender
// keeps the history that redundancy needs; the receiver hands IFPs on in
// sequence order, recovering lost ones, dropping duplicates and stale
// packets, and never reordering.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace brevant::faxmedia {

using Bytes = std::vector<std::uint8_t>;

// Limits a datagram must keep to: larger IFPs or more recovery entries
// than any fax peer sends are refused rather than allocated.
constexpr std::size_t kMaxIfpBytes = 2048;
constexpr std::size_t kMaxRecoveryEntries = 64;

struct UdptlPacket {
  std::uint16_t seq = 0;
  Bytes primary;
  bool fec = false;              // parity (fec-info) instead of secondary IFPs
  std::vector<Bytes> secondary;  // IFPs of seq-1, seq-2, ...
  int fecSpan = 0;               // fec-npackets: IFPs each parity entry covers
  std::vector<Bytes> fecData;    // parity entries
};

namespace detail {
// A decoded datagram that points into it: what the receiver reads each
// datagram into, without copying.
struct UdptlView {
  std::uint16_t seq = 0;
  std::span<const std::uint8_t> primary;
  bool fec = false;
  int fecSpan = 0;
  std::size_t count = 0;  // secondary IFPs, or parity entries when fec
  std::span<const std::uint8_t> entries[kMaxRecoveryEntries];
};
bool DecodeUdptlView(std::span<const std::uint8_t> datagram, UdptlView* out);
}  // namespace detail

// False when the datagram is no UDPTL packet within the limits.
bool DecodeUdptl(std::span<const std::uint8_t> datagram, UdptlPacket* out);
Bytes EncodeUdptl(const UdptlPacket& packet);

// The length of the IFP packet at the start of `bytes` as its own encoding
// in T.38 version `version` says (0 when it is no IFP): parity recovery pads
// IFPs with zeros, and this finds where a recovered one ends.
std::size_t IfpLength(std::span<const std::uint8_t> bytes, int version);

// Which earlier packets parity entry `entry` of packet `seq` covers: the
// IFPs of seq-1-entry, seq-1-entry-entries, ... (`span` of them). Entries
// interleave, so a burst of up to `entries` losses is still recoverable.
std::uint16_t FecCovered(std::uint16_t seq, int entry, int entries, int k);

struct UdptlSendOptions {
  int imageDepth = 3;      // earlier IFPs each image-data IFP is repeated in
  int controlDepth = 6;    // the same for indicators and V.21 control frames
  int maxDatagram = 1400;  // the far end's T38FaxMaxDatagram
  bool fec = false;        // send parity instead of secondary IFPs
  int fecEntries = 3;
  int fecSpan = 3;
};

class UdptlSender {
 public:
  explicit UdptlSender(UdptlSendOptions options);
  // The next datagram, carrying `ifp` as its primary (valid until the next
  // call). Control IFPs (indicators, V.21 frames) are carried further by
  // later datagrams.
  const Bytes& Next(std::span<const std::uint8_t> ifp, bool control);
  std::uint16_t NextSeq() const { return seq_; }

 private:
  struct Sent {
    Bytes ifp;
    int depth;
  };
  // The i-th IFP sent before (1: the last one).
  const Sent& Held(std::size_t i) const { return history_[(next_ + history_.size() - i) % history_.size()]; }
  UdptlSendOptions options_;
  std::uint16_t seq_ = 0;
  std::vector<Sent> history_;  // a ring of the IFPs redundancy may repeat
  std::size_t next_ = 0;       // where the next one goes
  std::size_t held_ = 0;       // how many it holds
  Bytes out_, parity_;
};

struct UdptlStats {
  std::uint64_t datagrams = 0;   // received
  std::uint64_t malformed = 0;   // refused by the decoder
  std::uint64_t duplicates = 0;  // a sequence number already handed on
  std::uint64_t stale = 0;       // older than what was handed on: too late
  std::uint64_t recovered = 0;   // lost primaries rebuilt from redundancy or parity
  std::uint64_t lost = 0;        // sequence numbers never seen nor rebuilt
};

class UdptlReceiver {
 public:
  explicit UdptlReceiver(int t38Version = 0) : version_(t38Version) {}
  using Deliver = std::function<void(std::uint16_t seq, std::span<const std::uint8_t> ifp)>;
  // Hands on, in sequence order, the IFPs this datagram brings: recovered
  // ones first, then its primary.
  void Receive(std::span<const std::uint8_t> datagram, const Deliver& deliver);
  const UdptlStats& Stats() const { return stats_; }

 private:
  // Recently handed-on IFPs, by sequence number modulo the ring's size:
  // what duplicates are told by and parity is solved with.
  static constexpr int kRing = 128;
  struct Slot {
    bool valid = false;
    std::uint16_t seq = 0;
    Bytes ifp;
  };
  const Slot* Find(std::uint16_t seq) const;
  void Keep(std::uint16_t seq, std::span<const std::uint8_t> ifp);
  bool RecoverFromParity(const detail::UdptlView& p, std::uint16_t missing, Bytes* out) const;

  int version_;
  bool started_ = false;
  std::uint16_t next_ = 0;
  Slot ring_[kRing];
  UdptlStats stats_;
  detail::UdptlView view_;
};

}  // namespace brevant::faxmedia
