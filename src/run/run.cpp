#include "run/run.hpp"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#define DX_HAVE_MXCSR 1
#endif

#include "base/console.hpp"
#include "base/error.hpp"
#include "base/format.hpp"
#include "base/text.hpp"
#include "input/loader.hpp"
#include "output/folder_lock.hpp"
#include "output/grads.hpp"
#include "output/temp_files.hpp"
#include "output/text_table.hpp"
#include "run/outputs.hpp"

namespace dx {
namespace {

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

void write_outputs(Store& st, OutputSink& sink) {
  for (const TextTable& t : kTextTables) {
    st.TITLE = pad_to(t.title, TITLE_LEN);
    write_to_text(sink, st.*t.values, st.NSTN, t.ncol, st.LON, st.LAT, st.REG, t.names, st.TITLE, t.file);
  }

  bool first = true;
  for (const DataSet& d : kDataSets) {
    write_grads_stn(sink, st, st.*d.values, st.LON, st.LAT, st.NSTN, st.*d.ncol, d.base, kDir, d.var);
    if (first) {
      sink.settle();  // the data set is on disk before it is reported done
      console_line({Value::text("Write to Grads Num_Dr_Mon Done")});
    }
    first = false;
  }

  st.X.allocate({static_cast<std::size_t>(std::max(st.NSTN, 0)),
                 static_cast<std::size_t>(std::max(st.NCLASS, 0))});
  // Never beyond the periods that FRE and MAG hold.
  const std::int32_t nperiod = std::min<std::int64_t>(st.NPERIOD, st.FRE.extent(2));
  const std::int32_t ncls = std::min<std::int64_t>(st.NCLASS, st.X.extent(1));
  for (std::int32_t p = 1; p <= nperiod; ++p) {
    for (const PeriodSet& s : kPeriodSets) {
      take_slice(st.*s.values, static_cast<std::size_t>(p - 1), st.X);
      st.FNAME = pad_to(period_base(s.prefix, p), FNAME_LEN);
      write_grads_stn(sink, st, st.X, st.LON, st.LAT, st.NSTN, ncls, trim_right(st.FNAME), kDir, s.var);
    }
  }
  sink.settle();
}

int run_program(std::string_view station_file) {
  set_numeric_mode();
  // An output beyond the file-size limit of the process (ulimit -f) is a
  // failed write, reported as such, not a silent end by SIGXFSZ.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    // Before anything is read: a second run into the same folder stops here.
    const FolderLock lock(".");
    Store st;
    read_data_nc(st, station_file);
    // The writes, closes and renames run on a second thread while this one
    // formats; the files and their order stay the same.  (Started only now:
    // the loading has the whole memory of the run to itself.)
    OutputSink sink(OutputSink::Mode::Behind);
    // Ctrl-C and the like remove the temporary files being written.
    const SignalCleanup cleanup(sink.temp_files());
    write_outputs(st, sink);
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
