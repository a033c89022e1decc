// The packet layers of fax media, without sockets: UDPTL datagrams as a
// peer might send them, the receiver's recovery and ordering, and RTP's
// play-out.
#include <gtest/gtest.h>

#include <map>

#include "faxservice/daemon/lines/sip/media/Rtp.h"
#include "faxservice/daemon/lines/sip/media/Udptl.h"

namespace brevant::faxmedia {
namespace {

// IFPs as SpanDSP's T.38 core (version 0) writes them: the CNG indicator,
// a V.21 flag octet, an HDLC frame's good end, and non-ECM image data.
const Bytes kCng{0x02}, kV21Flags{0xc0, 0x01, 0x80, 0x00, 0x00, 0x7e}, kFcsOk{0xc0, 0x01, 0x40};
Bytes ImageIfp(std::uint8_t fill, std::size_t n) {
  Bytes b{0xd0, 0x01, 0xe0, 0x00, std::uint8_t(n - 1)};
  for (std::size_t i = 0; i < n; ++i) b.push_back(std::uint8_t(fill + i * 7));
  b.back() = 0;  // image data may end in zeros: parity recovery must keep them
  return b;
}

TEST(Udptl, DecoderTakesPeersPacketsAndRefusesHostileOnes) {
  UdptlPacket red;
  red.seq = 0xfffe;
  red.primary = ImageIfp(1, 200);  // a two-octet length
  red.secondary = {kFcsOk, kCng};
  UdptlPacket fec;
  fec.seq = 9;
  fec.primary = kCng;
  fec.fec = true;
  fec.fecSpan = 3;
  fec.fecData = {kV21Flags, kFcsOk};
  for (const UdptlPacket& p : {red, fec}) {
    const Bytes wire = EncodeUdptl(p);
    UdptlPacket back;
    ASSERT_TRUE(DecodeUdptl(wire, &back));
    EXPECT_EQ(back.seq, p.seq);
    EXPECT_EQ(back.primary, p.primary);
    EXPECT_EQ(back.secondary, p.secondary);
    EXPECT_EQ(back.fec, p.fec);
    EXPECT_EQ(back.fecSpan, p.fecSpan);
    EXPECT_EQ(back.fecData, p.fecData);
    // Every datagram cut short is refused, whatever field it ends in.
    for (std::size_t n = 0; n < wire.size(); ++n)
      EXPECT_FALSE(DecodeUdptl({wire.data(), n}, &back)) << "cut at " << n;
  }
  // Hand-made datagrams a careless or hostile peer may send.
  const std::map<std::string, Bytes> hostile = {
      {"empty primary", {0, 1, 0x00, 0x00, 0x00}},
      {"fragmented length", {0, 1, 0xc1, 0x02, 0x00, 0x00}},
      {"primary over the IFP limit", {0, 1, 0x88, 0x01, 0x02}},
      {"secondary count over the limit", {0, 1, 0x01, 0x02, 0x00, 0x41}},
      {"secondary longer than the datagram", {0, 1, 0x01, 0x02, 0x00, 0x01, 0x7f, 0x02}},
      {"parity over no packets", {0, 1, 0x01, 0x02, 0x80, 0x01, 0x00, 0x00}},
      {"parity span without octets", {0, 1, 0x01, 0x02, 0x80, 0x00}},
  };
  for (const auto& [what, wire] : hostile) {
    UdptlPacket p;
    EXPECT_FALSE(DecodeUdptl(wire, &p)) << what;
  }
}

// What the receiver hands on, as (seq, ifp) in the order it did.
struct Handed {
  std::vector<std::pair<std::uint16_t, Bytes>> items;
  UdptlReceiver::Deliver Fn() {
    return [this](std::uint16_t seq, std::span<const std::uint8_t> ifp) {
      items.emplace_back(seq, Bytes(ifp.begin(), ifp.end()));
    };
  }
};

TEST(Udptl, ReceiverRecoversLostPacketsInOrderAndDropsRepeats) {
  // Redundancy: image IFPs ride along three more datagrams, control IFPs six.
  UdptlSender sender(UdptlSendOptions{3, 6, 1400, false, 3, 3});
  std::vector<Bytes> ifps, wire;
  for (int i = 0; i < 30; ++i) {
    const bool control = i == 12;
    ifps.push_back(control ? kFcsOk : ImageIfp(std::uint8_t(i), 20 + i));
    wire.push_back(sender.Next(ifps.back(), control));
  }
  UdptlReceiver rx;
  Handed got;
  // 3, 5, 7, 8 come back from the next datagram's redundancy; 10..17 are
  // lost, but 18 carries the control IFP 12 and all after it; 10 comes late.
  const std::vector<int> order = {0, 1, 2, 4, 4, 6, 9, 18, 10, 19, 20, 23, 24, 25, 26, 27, 28, 29};
  for (int i : order) rx.Receive(wire[std::size_t(i)], got.Fn());
  std::vector<int> seqs, want;
  for (const auto& [seq, ifp] : got.items) {
    seqs.push_back(seq);
    EXPECT_EQ(ifp, ifps[seq]) << "seq " << seq;
  }
  for (int i = 0; i < 30; ++i)
    if (i != 10 && i != 11) want.push_back(i);
  EXPECT_EQ(seqs, want);
  EXPECT_EQ(rx.Stats().duplicates, 1u);
  EXPECT_EQ(rx.Stats().stale, 1u);
  EXPECT_EQ(rx.Stats().lost, 2u);
  EXPECT_EQ(rx.Stats().recovered, 12u);

  // Parity: every fourth datagram lost, each rebuilt whole, zeros and all.
  UdptlSender fecSender(UdptlSendOptions{3, 6, 1400, true, 3, 3});
  UdptlReceiver fecRx;
  Handed fecGot;
  ifps.clear();
  for (int i = 0; i < 60; ++i) {
    ifps.push_back(i % 5 ? ImageIfp(std::uint8_t(i), 10 + i % 13) : kCng);
    const Bytes d = fecSender.Next(ifps.back(), false);
    if (i % 4 != 3 || i < 12) fecRx.Receive(d, fecGot.Fn());
  }
  // All but the last one, which no later datagram told of.
  EXPECT_EQ(fecRx.Stats().lost, 0u);
  EXPECT_EQ(fecRx.Stats().recovered, 11u);
  ASSERT_EQ(fecGot.items.size(), 59u);
  for (const auto& [seq, ifp] : fecGot.items) EXPECT_EQ(ifp, ifps[seq]) << "seq " << seq;
}

TEST(Udptl, SenderKeepsToTheFarEndsDatagramSize) {
  UdptlSender sender(UdptlSendOptions{8, 8, 120, false, 3, 3});
  for (int i = 0; i < 20; ++i) {
    const Bytes d = sender.Next(ImageIfp(std::uint8_t(i), 30), false);
    EXPECT_LE(d.size(), 120u);
    UdptlPacket p;
    ASSERT_TRUE(DecodeUdptl(d, &p));
    EXPECT_EQ(p.secondary.size(), std::size_t(std::min(i, 2)));  // 3 x 36 octets fill it
  }
}

TEST(Rtp, PlayoutKeepsTimeOrderAndFillsGapsWithSilence) {
  RtpHeader h{true, 8, 65535, 0xfffffff0u, 0x1234};
  std::vector<std::uint8_t> payload{1, 2, 3};
  const auto wire = BuildRtp(h, payload);
  EXPECT_EQ(wire, (std::vector<std::uint8_t>{0x80, 0x88, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0, 0, 0, 0x12, 0x34,
                                             1, 2, 3}));
  RtpHeader back;
  std::span<const std::uint8_t> got;
  ASSERT_TRUE(ParseRtp(wire, &back, &got));
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.end()), payload);
  auto padded = wire;
  padded[0] |= 0x20;
  padded.back() = 9;  // more padding than the packet has
  EXPECT_FALSE(ParseRtp(padded, &back, &got));

  // Frames of 4 samples whose value is their frame number; the play-out
  // holds 8 samples. Frame 2 never comes, 4 comes before 3 and frame 0
  // after its time.
  Playout p(8);
  auto frame = [](int n) { return std::vector<std::int16_t>(4, std::int16_t(n)); };
  std::uint32_t base = 0xfffffff8u;  // across the timestamp wrap
  EXPECT_TRUE(p.Put(base + 4, frame(1)));
  std::vector<std::int16_t> out(4);
  p.Take(out);
  EXPECT_EQ(out, std::vector<std::int16_t>(4, 0));  // the delay, played as silence
  p.Take(out);
  EXPECT_EQ(out, std::vector<std::int16_t>(4, 0));
  EXPECT_FALSE(p.Put(base, frame(0)));
  EXPECT_TRUE(p.Put(base + 16, frame(4)));
  EXPECT_TRUE(p.Put(base + 12, frame(3)));
  std::vector<std::int16_t> heard;
  for (int i = 0; i < 4; ++i) {
    p.Take(out);
    heard.insert(heard.end(), out.begin(), out.end());
  }
  std::vector<std::int16_t> want;
  for (int n : {1, 0, 3, 4}) want.insert(want.end(), 4, std::int16_t(n));
  EXPECT_EQ(heard, want);
}

}  // namespace
}  // namespace brevant::faxmedia
