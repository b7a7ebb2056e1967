#include "run/store.hpp"

namespace dx {

const std::array<std::string_view, NVARN> VARN = {
    "pdsi_mod",   "scpdsi_mod", "spei06_mod", "spei12_mod", "spi06_mod",
    "spi12_mod",  "pdsi_sev",   "scpdsi_sev", "spei06_sev", "spei12_sev",
    "spi06_sev",  "spi12_sev",  "pdsi_ext",   "scpdsi_ext", "spei06_ext",
    "spei12_ext", "spi06_ext",  "spi12_ext"};

const std::array<std::string_view, NIDX_NAME> IDX_NAME = {
    "pdsi", "scpdsi", "spei06", "spei12", "spi06", "spi12"};

const std::array<std::string_view, NCOR_NAME> COR_NAME = {
    "pdsi-spei06",   "pdsi-spei12",   "pdsi-spi06",   "pdsi-spi12",
    "scpdsi-spei06", "scpdsi-spei12", "scpdsi-spi06", "scpdsi-spi12",
    "spei06-spi06",  "spei12-spi12",  "spei06-spi06", "spei12-spi12"};

std::string pad_to(std::string_view text, std::size_t len) {
  std::string s(text.substr(0, len));
  s.resize(len, ' ');
  return s;
}

std::string_view trim_right(std::string_view text) {
  const auto end = text.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string_view{} : text.substr(0, end + 1);
}

}  // namespace dx
