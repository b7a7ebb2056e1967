#pragma once
// Whether a picture file is a whole PNG image: what GrADS says of its own
// printing cannot be trusted (it reports no error when it cannot write the
// file), so each picture is judged by its bytes.
#include <string>
#include <string_view>

namespace dx {

// What is wrong with `bytes` as a PNG image of `width` x `height` pixels:
// "" for a whole one (the signature, the header first with that size,
// image data, and the end chunk as the last bytes), else the defect in
// words ("cut short after 102400 bytes").  Chunk checksums are not
// verified: the defects looked for are files cut or never written.
std::string png_defect(std::string_view bytes, unsigned width, unsigned height);

}  // namespace dx
