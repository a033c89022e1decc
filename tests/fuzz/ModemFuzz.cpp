// Fuzzes what a fax modem sends, as the modem driver reads it: the bytes
// arrive in pieces of any size, and the driver takes lines (result codes,
// information text) or DLE-stuffed data in turns, as a call does. Whatever
// a device sends, the driver holds no more than its buffer, takes lines of
// bounded length without their ends, and finds only known modulation codes
// in a modem's lists.

#include <algorithm>
#include <string>
#include <vector>

#include "faxservice/daemon/lines/class1/Class1Modem.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant::faxd;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ModemInput in;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < size;) {
    // Each piece's first byte says how long it is and what the driver
    // takes after it.
    const std::uint8_t control = data[at++];
    const std::size_t n = std::min<std::size_t>(size - at, (control & 0x3f) * 97u + 1);
    const std::size_t room = in.Room();
    in.Append(data + at, n);
    at += n;
    FUZZ_CHECK(in.Room() == room - std::min(n, room));
    if (control & 0x40) {
      std::vector<std::uint8_t> out;
      bool end = false;
      in.TakeData(&out, &end);
      FUZZ_CHECK(out.size() <= ModemInput::kCapacity);
      continue;
    }
    std::string line;
    for (ModemInput::Take t; (t = in.TakeLine(&line)) != ModemInput::Take::kNone;) {
      if (t == ModemInput::Take::kTooLong) continue;
      FUZZ_CHECK(!line.empty() && line.size() <= ModemInput::kMaxLine);
      FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
      FUZZ_CHECK(line.front() != ' ' && line.back() != ' ');
      Reply reply;
      if (!FinalCode(line, &reply)) lines.push_back(line);
    }
  }
  for (int code : ParseModulations(lines)) FUZZ_CHECK(ModulationBitRate(code) > 0);
  return 0;
}
