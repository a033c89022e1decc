// Fuzzes the UDPTL decoder and receiver: any datagram either is refused or
// decodes into a packet within the limits that encodes back to the same
// packet; a stream of datagrams cut from the input never hands on an IFP
// out of order or twice.
#include "faxservice/daemon/lines/sip/media/Udptl.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant::faxmedia;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  UdptlPacket p;
  if (DecodeUdptl({data, size}, &p)) {
    FUZZ_CHECK(!p.primary.empty() && p.primary.size() <= kMaxIfpBytes);
    FUZZ_CHECK(p.secondary.size() <= kMaxRecoveryEntries && p.fecData.size() <= kMaxRecoveryEntries);
    UdptlPacket back;
    FUZZ_CHECK(DecodeUdptl(EncodeUdptl(p), &back));
    FUZZ_CHECK(back.seq == p.seq && back.primary == p.primary && back.fec == p.fec);
    FUZZ_CHECK(back.secondary == p.secondary && back.fecData == p.fecData && back.fecSpan == p.fecSpan);
  }
  for (int v : {0, 2}) IfpLength({data, size}, v);

  // The input as a stream: each datagram prefixed by its length byte. IFPs
  // come out in sequence order, each once, unless the far end started a
  // new stream (a jump back of 256 or more).
  UdptlReceiver rx;
  bool started = false;
  std::uint16_t last = 0;
  for (std::size_t at = 0; at < size;) {
    const std::size_t n = std::min<std::size_t>(data[at], size - at - 1);
    rx.Receive({data + at + 1, n}, [&](std::uint16_t seq, std::span<const std::uint8_t> ifp) {
      const int step = std::int16_t(std::uint16_t(seq - last));
      FUZZ_CHECK(!started || step > 0 || step <= -256);
      FUZZ_CHECK(!ifp.empty() && ifp.size() <= kMaxIfpBytes);
      started = true;
      last = seq;
    });
    at += n + 1;
  }
  const UdptlStats& st = rx.Stats();
  FUZZ_CHECK(st.malformed + st.duplicates + st.stale <= st.datagrams);
  return 0;
}
