// Fuzzes the reading of a far end's session descriptions: as an offer to
// answer and as the answer to each of our two offers. Whatever is agreed
// must be a usable stream, and our answer must read back as the offer's
// lines with exactly the agreed one taken.
#include <strings.h>

#include "faxservice/daemon/lines/sip/signalling/Sdp.h"
#include "faxservice/daemon/lines/sip/signalling/SdpReader.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant::sip;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string sdp = brevant::fuzz::Text(data, size);
  auto usable = [](const Media& m) {
    return m.remotePort > 0 && m.remotePort <= 65535 && !m.remoteAddress.empty() &&
           (m.kind == MediaKind::kT38 ||
            (m.kind == MediaKind::kAudio && m.payloadType >= 0 && m.payloadType < 128));
  };
  std::string why, answer;
  if (auto m = SdpSession("127.0.0.1", 1).Answer(sdp, 40000, MediaPolicy{}, &answer, &why)) {
    FUZZ_CHECK(usable(*m));
    auto offered = ReadSdp(sdp, &why), back = ReadSdp(answer, &why);
    FUZZ_CHECK(offered && back && back->size() == offered->size());
    int taken = 0;
    for (size_t i = 0; i < back->size(); ++i) {
      const SdpStream& s = (*back)[i];
      FUZZ_CHECK(s.media == (*offered)[i].media &&
                 strcasecmp(s.proto.c_str(), (*offered)[i].proto.c_str()) == 0);
      taken += s.port != 0;
      FUZZ_CHECK(!s.port || (s.kind == m->kind && s.port == 40000 && s.address == "127.0.0.1"));
    }
    FUZZ_CHECK(taken == 1);
  } else {
    FUZZ_CHECK(!why.empty());
  }
  for (MediaKind kind : {MediaKind::kAudio, MediaKind::kT38}) {
    SdpSession offerer("127.0.0.1", 3);
    offerer.Offer(kind, 40002, MediaPolicy{});
    auto m = offerer.ReadAnswer(sdp, &why);
    FUZZ_CHECK(m ? m->kind == kind && usable(*m) : !why.empty());
  }
  return 0;
}
