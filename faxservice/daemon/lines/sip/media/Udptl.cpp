#include "faxservice/daemon/lines/sip/media/Udptl.h"

#include <algorithm>

namespace brevant::faxmedia {

namespace {

// Reads aligned PER from a byte string; every read is bounds-checked and a
// failed one leaves the reader failed.
class PerReader {
 public:
  explicit PerReader(std::span<const std::uint8_t> in) : in_(in) {}
  bool ok() const { return ok_; }
  std::size_t pos() const { return pos_; }

  int Byte() {
    if (pos_ >= in_.size()) return Fail();
    return in_[pos_++];
  }
  // A length determinant; fragmented lengths (16K and up) are refused: no
  // UDPTL field is that long.
  std::size_t Length() {
    const int b = Byte();
    if (b < 0) return 0;
    if ((b & 0x80) == 0) return std::size_t(b);
    if ((b & 0xC0) == 0x80) {
      const int lo = Byte();
      return lo < 0 ? 0 : (std::size_t(b & 0x3F) << 8) | std::size_t(lo);
    }
    return Fail();
  }
  bool Octets(std::size_t n, std::span<const std::uint8_t>* out) {
    if (!ok_ || n > in_.size() - pos_) {
      Fail();
      return false;
    }
    *out = in_.subspan(pos_, n);
    pos_ += n;
    return true;
  }
  int Fail() {
    ok_ = false;
    return -1;
  }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

void PutLength(Bytes& out, std::size_t n) {
  if (n < 0x80) {
    out.push_back(std::uint8_t(n));
  } else {
    out.push_back(std::uint8_t(0x80 | (n >> 8)));
    out.push_back(std::uint8_t(n & 0xFF));
  }
}

void PutOctets(Bytes& out, std::span<const std::uint8_t> b) {
  PutLength(out, b.size());
  out.insert(out.end(), b.begin(), b.end());
}

std::size_t EncodedSize(std::size_t n) {
  return (n < 0x80 ? 1 : 2) + n;
}

// A bounded list of length-prefixed octet strings.
bool ReadList(PerReader& r, detail::UdptlView* out) {
  const std::size_t count = r.Length();
  if (!r.ok() || count > kMaxRecoveryEntries) return false;
  out->count = count;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t n = r.Length();
    if (!r.ok() || n > kMaxIfpBytes || !r.Octets(n, &out->entries[i])) return false;
  }
  return true;
}

// Bits of an IFP, most significant first, for IfpLength.
class BitReader {
 public:
  explicit BitReader(std::span<const std::uint8_t> in) : in_(in) {}
  bool ok() const { return ok_; }
  unsigned Bits(int n) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
      if (bit_ / 8 >= in_.size()) {
        ok_ = false;
        return 0;
      }
      v = (v << 1) | ((in_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
      ++bit_;
    }
    return v;
  }
  void Align() { bit_ = (bit_ + 7) / 8 * 8; }
  void Skip(std::size_t octets) {
    if (octets > in_.size() - std::min(in_.size(), bit_ / 8)) ok_ = false;
    bit_ += octets * 8;
  }
  std::size_t Octets() const { return (bit_ + 7) / 8; }

 private:
  std::span<const std::uint8_t> in_;
  std::size_t bit_ = 0;
  bool ok_ = true;
};

// An ENUMERATED with an extension marker: the root values in `rootBits`
// bits, extensions as a normally small number.
bool ReadEnum(BitReader& b, int rootBits) {
  if (b.Bits(1) == 0) {
    b.Bits(rootBits);
  } else if (b.Bits(1) == 0) {
    b.Bits(6);
  } else {
    return false;  // an extension number above 63: none is defined
  }
  return b.ok();
}

}  // namespace

namespace detail {

bool DecodeUdptlView(std::span<const std::uint8_t> datagram, UdptlView* out) {
  PerReader r(datagram);
  UdptlView& p = *out;
  p.fec = false;
  p.fecSpan = 0;
  p.count = 0;
  const int hi = r.Byte(), lo = r.Byte();
  if (!r.ok()) return false;
  p.seq = std::uint16_t((hi << 8) | lo);
  const std::size_t n = r.Length();
  if (!r.ok() || n == 0 || n > kMaxIfpBytes || !r.Octets(n, &p.primary)) return false;
  const int choice = r.Byte();
  if (choice < 0) return false;
  p.fec = (choice & 0x80) != 0;
  if (!p.fec) {
    if (!ReadList(r, &p)) return false;
  } else {
    // fec-npackets: an unconstrained INTEGER, its length then its octets.
    const std::size_t len = r.Length();
    if (!r.ok() || len == 0 || len > 2) return false;
    int span = 0;
    for (std::size_t i = 0; i < len; ++i) span = (span << 8) | r.Byte();
    if (!r.ok() || span < 1 || span > int(kMaxRecoveryEntries)) return false;
    p.fecSpan = span;
    if (!ReadList(r, &p)) return false;
  }
  return true;
}

}  // namespace detail

bool DecodeUdptl(std::span<const std::uint8_t> datagram, UdptlPacket* out) {
  detail::UdptlView v;
  if (!detail::DecodeUdptlView(datagram, &v)) return false;
  UdptlPacket p;
  p.seq = v.seq;
  p.primary.assign(v.primary.begin(), v.primary.end());
  p.fec = v.fec;
  p.fecSpan = v.fecSpan;
  std::vector<Bytes>& list = v.fec ? p.fecData : p.secondary;
  for (std::size_t i = 0; i < v.count; ++i) list.emplace_back(v.entries[i].begin(), v.entries[i].end());
  *out = std::move(p);
  return true;
}

Bytes EncodeUdptl(const UdptlPacket& p) {
  Bytes out;
  out.push_back(std::uint8_t(p.seq >> 8));
  out.push_back(std::uint8_t(p.seq & 0xFF));
  PutOctets(out, p.primary);
  if (!p.fec) {
    out.push_back(0x00);
    PutLength(out, p.secondary.size());
    for (const auto& s : p.secondary) PutOctets(out, s);
  } else {
    out.push_back(0x80);
    out.push_back(1);
    out.push_back(std::uint8_t(p.fecSpan));
    PutLength(out, p.fecData.size());
    for (const auto& f : p.fecData) PutOctets(out, f);
  }
  return out;
}

std::size_t IfpLength(std::span<const std::uint8_t> bytes, int version) {
  // IFPPacket: data-field present?, type-of-msg (indicator or data, both
  // extensible ENUMERATEDs of 4 root bits), then the fields, each a
  // field-data present bit, a field-type of 3 bits (extensible from
  // version 1 on) and its data as a 16-bit length (minus one) and octets.
  BitReader b(bytes);
  const bool hasData = b.Bits(1);
  b.Bits(1);
  if (!ReadEnum(b, 4)) return 0;
  if (hasData) {
    b.Align();
    std::size_t count = b.Bits(8);
    if (count & 0x80) {
      if (count & 0x40) return 0;
      count = ((count & 0x3F) << 8) | b.Bits(8);
    }
    if (count == 0) return 0;
    for (std::size_t i = 0; i < count && b.ok(); ++i) {
      const bool hasField = b.Bits(1);
      if (version == 0) {
        if (b.Bits(3) > 7) return 0;
      } else if (!ReadEnum(b, 3)) {
        return 0;
      }
      if (hasField) {
        b.Align();
        b.Skip(std::size_t(b.Bits(16)) + 1);
      }
    }
  }
  if (!b.ok() || b.Octets() > bytes.size()) return 0;
  return b.Octets();
}

std::uint16_t FecCovered(std::uint16_t seq, int entry, int entries, int k) {
  return std::uint16_t(seq - 1 - entry - k * entries);
}

UdptlSender::UdptlSender(UdptlSendOptions options) : options_(options) {
  const int keep = std::max({options_.controlDepth, options_.imageDepth,
                             options_.fec ? options_.fecEntries * options_.fecSpan : 0, 0});
  history_.resize(std::size_t(keep));
}

const Bytes& UdptlSender::Next(std::span<const std::uint8_t> ifp, bool control) {
  // Written straight into one buffer, the history's IFPs kept in place: no
  // allocation per datagram once the buffers have grown.
  out_.clear();
  out_.push_back(std::uint8_t(seq_ >> 8));
  out_.push_back(std::uint8_t(seq_ & 0xFF));
  ++seq_;
  PutOctets(out_, ifp);
  const int entries = options_.fecEntries, span = options_.fecSpan;
  if (options_.fec && held_ >= std::size_t(entries * span)) {
    out_.push_back(0x80);
    out_.push_back(1);
    out_.push_back(std::uint8_t(span));
    PutLength(out_, std::size_t(entries));
    for (int m = 0; m < entries; ++m) {
      parity_.clear();
      for (int k = 0; k < span; ++k) {
        const Bytes& b = Held(1 + std::size_t(m + k * entries)).ifp;
        if (parity_.size() < b.size()) parity_.resize(b.size(), 0);
        for (std::size_t i = 0; i < b.size(); ++i) parity_[i] ^= b[i];
      }
      PutOctets(out_, parity_);
    }
  } else {
    // As many earlier IFPs as the deepest one still owed needs: secondary
    // IFPs must run back without gaps.
    std::size_t count = 0;
    for (std::size_t i = 1; i <= held_; ++i)
      if (Held(i).depth >= int(i)) count = i;
    std::size_t size = out_.size() + 2, fit = 0;
    for (; fit < count; ++fit) {
      const std::size_t n = EncodedSize(Held(fit + 1).ifp.size());
      if (size + n + 1 > std::size_t(options_.maxDatagram)) break;
      size += n;
    }
    out_.push_back(0x00);
    PutLength(out_, fit);
    for (std::size_t i = 1; i <= fit; ++i) PutOctets(out_, Held(i).ifp);
  }
  if (!history_.empty()) {
    Sent& slot = history_[next_];
    slot.ifp.assign(ifp.begin(), ifp.end());
    slot.depth = control ? options_.controlDepth : options_.imageDepth;
    next_ = (next_ + 1) % history_.size();
    held_ = std::min(held_ + 1, history_.size());
  }
  return out_;
}

const UdptlReceiver::Slot* UdptlReceiver::Find(std::uint16_t seq) const {
  const Slot& s = ring_[seq % kRing];
  return s.valid && s.seq == seq ? &s : nullptr;
}

void UdptlReceiver::Keep(std::uint16_t seq, std::span<const std::uint8_t> ifp) {
  Slot& s = ring_[seq % kRing];
  s.valid = true;
  s.seq = seq;
  s.ifp.assign(ifp.begin(), ifp.end());
}

bool UdptlReceiver::RecoverFromParity(const detail::UdptlView& p, std::uint16_t missing, Bytes* out) const {
  const int entries = int(p.count);
  for (int m = 0; m < entries; ++m) {
    bool covers = false, solvable = true;
    Bytes x(p.entries[std::size_t(m)].begin(), p.entries[std::size_t(m)].end());
    for (int k = 0; k < p.fecSpan && solvable; ++k) {
      const std::uint16_t s = FecCovered(p.seq, m, entries, k);
      if (s == missing) {
        covers = true;
      } else if (const Slot* have = Find(s)) {
        if (have->ifp.size() > x.size()) x.resize(have->ifp.size(), 0);
        for (std::size_t i = 0; i < have->ifp.size(); ++i) x[i] ^= have->ifp[i];
      } else {
        solvable = false;  // two of its packets are missing
      }
    }
    if (!covers || !solvable) continue;
    const std::size_t n = IfpLength(x, version_);
    if (n == 0) return false;
    x.resize(n);
    *out = std::move(x);
    return true;
  }
  return false;
}

void UdptlReceiver::Receive(std::span<const std::uint8_t> datagram, const Deliver& deliver) {
  ++stats_.datagrams;
  detail::UdptlView& p = view_;
  if (!detail::DecodeUdptlView(datagram, &p)) {
    ++stats_.malformed;
    return;
  }
  // A far end whose numbering jumped back a long way started a new stream
  // (a new T.38 session on the same port): follow it.
  constexpr int kWindow = 256;
  int ahead = std::int16_t(std::uint16_t(p.seq - next_));
  if (!started_ || ahead < -kWindow) {
    started_ = true;
    next_ = p.seq;
    ahead = 0;
    for (auto& s : ring_) s.valid = false;
  }
  if (ahead < 0) {
    ++(Find(p.seq) ? stats_.duplicates : stats_.stale);
    return;
  }
  // Only the last kRing missing packets can be rebuilt: older ones are
  // beyond any redundancy and any parity the ring can solve.
  if (ahead > kRing) {
    stats_.lost += std::uint64_t(ahead - kRing);
    next_ = std::uint16_t(p.seq - kRing);
  }
  for (std::uint16_t s = next_; s != p.seq; ++s) {
    const int back = std::uint16_t(p.seq - s);  // 1 for the packet just before
    std::span<const std::uint8_t> ifp;
    Bytes rebuilt;
    if (!p.fec && back <= int(p.count) && !p.entries[std::size_t(back - 1)].empty()) {
      ifp = p.entries[std::size_t(back - 1)];
    } else if (p.fec && RecoverFromParity(p, s, &rebuilt)) {
      ifp = rebuilt;
    } else {
      ++stats_.lost;
      continue;
    }
    ++stats_.recovered;
    Keep(s, ifp);
    deliver(s, ifp);
  }
  Keep(p.seq, p.primary);
  next_ = std::uint16_t(p.seq + 1);
  deliver(p.seq, p.primary);
}

}  // namespace brevant::faxmedia
