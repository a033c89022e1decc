// Fuzzes the reading of a far end's session descriptions: as an offer to
// answer and as the answer to each of our two offers. Whatever is agreed
// must be a usable stream, and our answer must read back as that stream.

#include "faxservice/daemon/lines/sip/signalling/Sdp.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant::sip;
namespace fuzz = brevant::fuzz;

namespace {

void CheckUsable(const Media& m, MediaKind kind) {
  FUZZ_CHECK(m.kind == kind);
  FUZZ_CHECK(m.remotePort > 0 && m.remotePort <= 65535 && !m.remoteAddress.empty());
  if (kind == MediaKind::kAudio) FUZZ_CHECK(m.payloadType >= 0 && m.payloadType < 128);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string sdp = fuzz::Text(data, size);
  MediaPolicy policy;
  std::string why, answer;
  SdpSession ours("127.0.0.1", 1);
  if (auto m = ours.Answer(sdp, 40000, policy, &answer, &why)) {
    CheckUsable(*m, m->kind);
    SdpSession far("127.0.0.1", 2);
    far.Offer(m->kind, m->remotePort, policy);
    auto back = far.ReadAnswer(answer, &why);
    FUZZ_CHECK(back && back->kind == m->kind && back->remotePort == 40000);
  } else {
    FUZZ_CHECK(!why.empty());
  }
  for (MediaKind kind : {MediaKind::kAudio, MediaKind::kT38}) {
    SdpSession offerer("127.0.0.1", 3);
    offerer.Offer(kind, 40002, policy);
    if (auto m = offerer.ReadAnswer(sdp, &why)) CheckUsable(*m, kind);
  }
  return 0;
}
