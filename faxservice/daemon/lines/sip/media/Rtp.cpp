#include "faxservice/daemon/lines/sip/media/Rtp.h"

#include <algorithm>

namespace brevant::faxmedia {

std::vector<std::uint8_t> BuildRtp(const RtpHeader& h, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out(12);
  out[0] = 0x80;  // version 2, no padding, no extension, no CSRC
  out[1] = std::uint8_t((h.marker ? 0x80 : 0) | (h.payloadType & 0x7F));
  out[2] = std::uint8_t(h.seq >> 8);
  out[3] = std::uint8_t(h.seq);
  for (int i = 0; i < 4; ++i) {
    out[std::size_t(4 + i)] = std::uint8_t(h.timestamp >> (24 - 8 * i));
    out[std::size_t(8 + i)] = std::uint8_t(h.ssrc >> (24 - 8 * i));
  }
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

bool ParseRtp(std::span<const std::uint8_t> d, RtpHeader* h, std::span<const std::uint8_t>* payload) {
  if (d.size() < 12 || (d[0] >> 6) != 2) return false;
  auto word = [&](std::size_t at) {
    return std::uint32_t(d[at]) << 24 | std::uint32_t(d[at + 1]) << 16 | std::uint32_t(d[at + 2]) << 8 |
           d[at + 3];
  };
  h->marker = (d[1] & 0x80) != 0;
  h->payloadType = d[1] & 0x7F;
  h->seq = std::uint16_t(d[2] << 8 | d[3]);
  h->timestamp = word(4);
  h->ssrc = word(8);
  std::size_t begin = 12 + std::size_t(d[0] & 0x0F) * 4, end = d.size();
  if (begin > end) return false;
  if (d[0] & 0x10) {  // header extension: 4 bytes, then its length in words
    if (end - begin < 4) return false;
    const std::size_t words = std::size_t(d[begin + 2]) << 8 | d[begin + 3];
    begin += 4;
    if (words * 4 > end - begin) return false;
    begin += words * 4;
  }
  if (d[0] & 0x20) {  // padding: its count is the last byte
    const std::size_t pad = d[end - 1];
    if (pad == 0 || pad > end - begin) return false;
    end -= pad;
  }
  *payload = d.subspan(begin, end - begin);
  return true;
}

Playout::Playout(int delay) : delay_(std::clamp(delay, 1, int(kSize) / 2)), ring_(kSize), filled_(kSize) {}

bool Playout::Put(std::uint32_t timestamp, std::span<const std::int16_t> samples) {
  if (samples.size() > kSize / 2) samples = samples.first(kSize / 2);
  const auto n = std::uint32_t(samples.size());
  if (!started_) {
    started_ = true;
    playAt_ = timestamp - std::uint32_t(delay_);
  }
  auto ahead = std::int32_t(timestamp - playAt_);
  if (ahead + std::int32_t(n) <= 0) {
    // Late. A far end whose clock runs slower than ours makes every packet
    // late after a while: start again behind its audio.
    if (++lateRun_ < 5) return false;
    playAt_ = timestamp - std::uint32_t(delay_);
    ahead = delay_;
  } else if (ahead + std::int32_t(n) > std::int32_t(kSize)) {
    // Far ahead (a faster clock, or a jump in the far end's timestamps):
    // what was held is dropped and play-out follows the new audio.
    std::fill(filled_.begin(), filled_.end(), 0);
    playAt_ = timestamp - std::uint32_t(delay_);
    ahead = delay_;
  }
  lateRun_ = 0;
  // What is left after the part already played, in at most two runs of
  // the ring.
  const std::uint32_t skip = ahead < 0 ? std::uint32_t(-ahead) : 0;
  std::uint32_t at = (playAt_ + std::uint32_t(ahead) + skip) % kSize;
  for (std::uint32_t i = skip; i < n;) {
    const std::uint32_t run = std::min(n - i, kSize - at);
    std::copy_n(samples.begin() + i, run, ring_.begin() + at);
    std::fill_n(filled_.begin() + at, run, 1);
    i += run;
    at = (at + run) % kSize;
  }
  return true;
}

void Playout::Take(std::span<std::int16_t> out) {
  for (std::size_t i = 0; i < out.size();) {
    const std::uint32_t at = playAt_ % kSize;
    const std::uint32_t run = std::min<std::uint32_t>(std::uint32_t(out.size() - i), kSize - at);
    for (std::uint32_t k = 0; k < run; ++k) out[i + k] = filled_[at + k] ? ring_[at + k] : 0;
    std::fill_n(filled_.begin() + at, run, 0);
    playAt_ += run;
    i += run;
  }
}

}  // namespace brevant::faxmedia
