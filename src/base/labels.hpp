#pragma once
// The fixed texts every run shares: the widths of label entries, of the
// title and of generated names, and the label tables of the drought
// classes, indices and index pairs (the column names of the text tables).
#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace dx {

// Width of every label entry, of the title and of generated base names.
inline constexpr std::size_t kLabelLen = 15;
inline constexpr std::size_t kTitleLen = 100;
inline constexpr std::size_t kFnameLen = 30;
inline constexpr std::size_t kStationLen = 21;

// Sizes of the label tables; the text tables use them as column counts.
inline constexpr int kVarnSize = 18;
inline constexpr int kIdxNameSize = 6;
inline constexpr int kCorNameSize = 12;

// Drought-class labels, class-major (mod, sev, ext of the six indices).
inline constexpr std::array<std::string_view, kVarnSize> VARN = {
    "pdsi_mod", "scpdsi_mod", "spei06_mod", "spei12_mod", "spi06_mod", "spi12_mod",
    "pdsi_sev", "scpdsi_sev", "spei06_sev", "spei12_sev", "spi06_sev", "spi12_sev",
    "pdsi_ext", "scpdsi_ext", "spei06_ext", "spei12_ext", "spi06_ext", "spi12_ext"};
// Drought-index labels.
inline constexpr std::array<std::string_view, kIdxNameSize> IDX_NAME = {"pdsi",   "scpdsi", "spei06",
                                                                        "spei12", "spi06",  "spi12"};
// Index-pair labels.  Entries 11 and 12 repeat 9 and 10; published tables
// carry these headers, so they stay as they are.
inline constexpr std::array<std::string_view, kCorNameSize> COR_NAME = {
    "pdsi-spei06",  "pdsi-spei12",  "pdsi-spi06",   "pdsi-spi12",   "scpdsi-spei06", "scpdsi-spei12",
    "scpdsi-spi06", "scpdsi-spi12", "spei06-spi06", "spei12-spi12", "spei06-spi06",  "spei12-spi12"};

// What the per-period and correlation files name their variables by (the
// labels above are the text tables' own): the class suffixes and index
// names of the per-period variables, in reading order (class column
// k = 6 (c - 1) + i), and the variable names of the index pairs, in the
// column order of TQ and PROB1.
inline constexpr int kPairs = 12;
inline constexpr std::array<std::string_view, 3> kClassSuffix = {"mod", "sev", "ext"};
inline constexpr std::array<std::string_view, 6> kPeriodIndex = {"pdsi", "scpdsi", "spi01", "spi03", "spi06", "spi12"};
inline constexpr std::array<std::string_view, kPairs> kPairName = {
    "pdsi_spi01",   "pdsi_spi03",   "pdsi_spi06",   "pdsi_spi12",   "scpdsi_spi01", "scpdsi_spi03",
    "scpdsi_spi06", "scpdsi_spi12", "spei06_spi06", "spei06_spi12", "spei12_spi06", "spei12_spi12"};

// The index and class of per-period class column k (0 to 17) as the
// variables name them: "pdsi_mod", ..., "spi12_ext".
inline std::string period_class(std::size_t k) {
  std::string name(kPeriodIndex[k % kPeriodIndex.size()]);
  name.append("_").append(kClassSuffix[k / kPeriodIndex.size() % kClassSuffix.size()]);
  return name;
}

// Missing-data value written into every GrADS descriptor (fits F8.1).
inline constexpr float kMissingValue = -9999.0f;

}  // namespace dx
