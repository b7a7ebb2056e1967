#include "run/run.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <tuple>

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#define DX_HAVE_MXCSR 1
#endif

#include "output/console.hpp"
#include "output/format.hpp"
#include "output/grads.hpp"
#include "output/text_table.hpp"
#include "output/write_behind.hpp"

namespace dx {
namespace {

struct TextTable {
  Array2 Store::*values;
  int ncol;
  std::span<const std::string_view> names;
  std::string_view title;
  std::string_view file;
};

// The eleven text tables, in their order.  Column counts are the sizes of
// the label tables, not the counts found in the files.
const std::array<TextTable, 11> kTextTables{{
    {&Store::NUM_DR_MON, NVARN, VARN, "So thang han trong toan chuoi SL theo cac chi so cua cac tram", "Num_Dr_Mon.txt"},
    {&Store::FRE_ALL, NVARN, VARN, "Tan suat han theo cac chi so cua cac tram cua toan chuoi", "Fre_all.txt"},
    {&Store::MAG_ALL, NVARN, VARN, "Cuong do han theo cac chi so cua cac tram cua toan chuoi", "Mag_all.txt"},
    {&Store::SENSL, NIDX_NAME, IDX_NAME, "Sen's slopes theo cac chi so cua cac tram", "Sensl.txt"},
    {&Store::PROB, NIDX_NAME, IDX_NAME, "P-values cua Sen's slopes theo cac chi so cua cac tram", "Prob_Sensl.txt"},
    {&Store::SPELL_AVE, NVARN, VARN, "Do dai Trung binh cac dot han", "Spell_Ave.txt"},
    {&Store::SPELL_MAX, NVARN, VARN, "Do dai Cuc dai cac dot han", "Spell_Max.txt"},
    {&Store::TIME_ARR_AVE, NVARN, VARN, "Khoang thoi gian Trung binh giua hai dot han lien tiep", "Time_Interval_Ave.txt"},
    {&Store::TIME_ARR_MAX, NVARN, VARN, "Khoang thoi gian Cuc dai giua hai dot han lien tiep", "Time_Interval_Max.txt"},
    {&Store::TQ, NCOR_NAME, COR_NAME,
     "He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)", "Corre_IDX.txt"},
    {&Store::PROB1, NCOR_NAME, COR_NAME,
     "P-values cua cac He so tuong quan giua cac chi so han (pdsi, scpdsi, spei06, spei12, spi06, spi12)",
     "Prob_Corre_IDX.txt"},
}};

struct DataSet {
  Array2 Store::*values;
  std::int32_t Store::*ncol;
  std::string_view base;
  std::string_view var;
};

// The eleven GrADS data sets, in their order; column counts are the run
// counts found in the files.
const std::array<DataSet, 11> kDataSets{{
    {&Store::NUM_DR_MON, &Store::NCOL_DRM, "Num_Dr_Mon", "Dr_Mon"},
    {&Store::SENSL, &Store::NCOL_IDX, "Sensl", "Sensl"},
    {&Store::PROB, &Store::NCOL_IDX, "Prob", "Prob"},
    {&Store::SPELL_AVE, &Store::NCLASS, "Spell_Ave", "Spell_Ave"},
    {&Store::SPELL_MAX, &Store::NCLASS, "Spell_Max", "Spell_Max"},
    {&Store::TIME_ARR_AVE, &Store::NCLASS, "Time_Arr_Ave", "Time_Arr_Ave"},
    {&Store::TIME_ARR_MAX, &Store::NCLASS, "Time_Arr_Max", "Time_Arr_Max"},
    {&Store::FRE_ALL, &Store::NCLASS, "Fre_all", "Fre_all"},
    {&Store::MAG_ALL, &Store::NCLASS, "Mag_all", "Mag_all"},
    {&Store::TQ, &Store::NPAIR, "Corre", "Corre"},
    {&Store::PROB1, &Store::NPAIR, "Prob1", "Prob1"},
}};

constexpr std::string_view kDir = "./";

// X(s, k) = per-period array (k, s, p) for every station s and class k.
void take_slice(const Array3& src, std::size_t p, Array2& x) {
  const std::size_t nstn = std::min(x.extent(0), src.extent(1));
  const std::size_t ncls = std::min(x.extent(1), src.extent(0));
  if (nstn == 0 || ncls == 0) return;
  // Station by station: the classes of a station are adjacent in the
  // source, and each class column of X is written front to back.
  const std::size_t src_ncls = src.extent(0), x_nstn = x.extent(0);
  const float* in = src.data() + p * src.extent(1) * src_ncls;
  float* const out = x.data();
  for (std::size_t s = 0; s < nstn; ++s, in += src_ncls)
    for (std::size_t k = 0; k < ncls; ++k) out[k * x_nstn + s] = in[k];
}

}  // namespace

void set_numeric_mode() {
#ifdef DX_HAVE_MXCSR
  _mm_setcsr(_mm_getcsr() | 0x8040u);
#endif
}

void run(Store& st, std::string_view station_file) {
  read_data_nc(st, station_file);

  // The writes, closes and renames run on a second thread while this one
  // formats; the files and their order stay the same.
  WriteBehind behind;
  for (const TextTable& t : kTextTables) {
    st.TITLE = pad_to(t.title, TITLE_LEN);
    write_to_text(st.*t.values, st.NSTN, t.ncol, st.LON, st.LAT, st.REG, t.names, st.TITLE, t.file);
  }

  bool first = true;
  for (const DataSet& d : kDataSets) {
    write_grads_stn(st, st.*d.values, st.LON, st.LAT, st.NSTN, st.*d.ncol, d.base, kDir, d.var);
    if (first) {
      behind.settle();  // the data set is on disk before it is reported done
      console_line({Value::text("Write to Grads Num_Dr_Mon Done")});
    }
    first = false;
  }

  st.X.allocate({static_cast<std::size_t>(std::max(st.NSTN, 0)),
                 static_cast<std::size_t>(std::max(st.NCLASS, 0))});
  static const Format kNameFormat = Format::parse("(A,I2.2)");
  // Never beyond the periods that FRE and MAG hold.
  const std::int32_t nperiod = std::min<std::int64_t>(st.NPERIOD, st.FRE.extent(2));
  const std::int32_t ncls = std::min<std::int64_t>(st.NCLASS, st.X.extent(1));
  for (std::int32_t p = 1; p <= nperiod; ++p) {
    for (const auto& [src, prefix, var] : {std::tuple{&st.FRE, "Fre_", "Fre"}, std::tuple{&st.MAG, "Mag_", "Mag"}}) {
      take_slice(*src, static_cast<std::size_t>(p - 1), st.X);
      const std::array<Value, 2> items{Value::text(prefix), Value::integer(p)};
      st.FNAME = write_field(kNameFormat, items, FNAME_LEN);
      write_grads_stn(st, st.X, st.LON, st.LAT, st.NSTN, ncls, trim_right(st.FNAME), kDir, var);
    }
  }
  behind.settle();
}

int run_program(std::string_view station_file) {
  set_numeric_mode();
  try {
    Store st;
    run(st, station_file);
    console_flush();
    return 0;
  } catch (const Error& e) {
    std::fflush(stdout);  // progress lines printed before the failure stay
    std::fprintf(stderr, "drought-export: error: %s\n", e.what());
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "drought-export: error: out of memory\n");
  }
  return 1;
}

}  // namespace dx
