#include "support/sink_writes.hpp"

#include <algorithm>

#include "output/out_file.hpp"
#include "support/fs.hpp"

namespace dxtest {

std::string write_every_way(dx::OutputSink& sink, const std::string& path, std::size_t seed) {
  std::string expect;
  dx::OutFile out(sink, path);
  for (std::size_t i = 0; i < 40; ++i) {
    const std::string s = varied_text(40000 + i, seed + i);
    out.buffer().append(s);
    out.flush_if_full();
    expect += s;
  }
  out.flush();
  // Larger than the buffer, in the two reusable buffers in turn: each is
  // refilled only once the sink is done with its previous bytes.
  const std::size_t n = dx::OutFile::kBufferSize + 5;
  for (std::size_t k = 0; k < 6; ++k) {
    const std::string s = varied_text(n, seed * 31 + k);
    std::copy(s.begin(), s.end(), sink.reusable(k % 2, n));
    out.write_reusable(k % 2, n);
    expect += s;
  }
  out.buffer().append("end\n");
  expect += "end\n";
  out.commit();
  return expect;
}

}  // namespace dxtest
