// The control read classifier on any bytes, cut into reads at any points.
//
// Input: one byte n (cuts = n % 8), then that many cut bytes, then the stream. Each cut
// byte places a cut in proportion within the stream.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "control/frames.h"
#include "control_reference.h"
#include "fuzz_support.h"

namespace tessaly::fuzz {
namespace {

void ClassifyAlone(const std::uint8_t* data, std::size_t length) {
  // A copy of exactly the read's size: a look past its end is caught.
  const Bytes copy(data, data + length);
  const std::uint8_t* at = copy.empty() ? nullptr : copy.data();
  const ControlRead kind = ClassifyControlRead(at, copy.size());
  FUZZ_CHECK(kind == ReferenceClassify(at, copy.size()));
}

}  // namespace
}  // namespace tessaly::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessaly;
  fuzz::ByteReader in(data, size);
  const std::size_t cutCount = in.Byte() % 8;
  const fuzz::Bytes cutBytes = in.Take(cutCount);
  const fuzz::Bytes stream = in.Rest();

  std::vector<std::size_t> cuts{0, stream.size()};
  for (std::uint8_t c : cutBytes) cuts.push_back(stream.size() * c / 255);
  std::sort(cuts.begin(), cuts.end());
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    fuzz::ClassifyAlone(stream.data() + cuts[i], cuts[i + 1] - cuts[i]);
  }
  fuzz::ClassifyAlone(stream.data(), stream.size());
  // No data at all, whatever the length says.
  FUZZ_CHECK(ClassifyControlRead(nullptr, stream.size()) == ControlRead::Other);
  return 0;
}
