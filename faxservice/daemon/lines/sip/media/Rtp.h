#pragma once
// RTP for audio fax: the fixed RFC 3550 header of our G.711 packets and a
// play-out that puts received audio back on the line's time axis. The
// play-out places every packet by its timestamp, plays a fixed delay behind
// the newest audio, fills what never came with silence and throws away what
// comes too late: time is never reordered, stretched or squeezed.
#include <cstdint>
#include <span>
#include <vector>

namespace brevant::faxmedia {

struct RtpHeader {
  bool marker = false;
  int payloadType = 0;
  std::uint16_t seq = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
};

// Writes the 12-byte header and the payload.
std::vector<std::uint8_t> BuildRtp(const RtpHeader& h, std::span<const std::uint8_t> payload);
// False when the datagram is no RTP version 2 packet; *payload is what
// follows the header, its CSRCs and extension, without padding.
bool ParseRtp(std::span<const std::uint8_t> datagram, RtpHeader* h, std::span<const std::uint8_t>* payload);

class Playout {
 public:
  // delay: samples of audio kept in hand before playing (a few packets).
  explicit Playout(int delay);
  // Puts samples at the place their timestamp says. False when they came
  // too late to be played (their time has been played already).
  bool Put(std::uint32_t timestamp, std::span<const std::int16_t> samples);
  // The next `out.size()` samples of line time; silence where none came.
  void Take(std::span<std::int16_t> out);

 private:
  static constexpr std::uint32_t kSize = 16384;  // two seconds of audio
  int delay_;
  bool started_ = false;
  std::uint32_t playAt_ = 0;  // timestamp of the next sample played
  int lateRun_ = 0;           // packets in a row that came too late
  std::vector<std::int16_t> ring_;
  std::vector<std::uint8_t> filled_;
};

}  // namespace brevant::faxmedia
