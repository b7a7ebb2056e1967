// The cost of the explorer page of --maps, apart from GrADS: in a folder
// holding a run's inputs, loads the results as the tool does, plans the
// maps and writes the explorer into a fresh folder "explorer-bench" there,
// timing each part, then removes it.  The data sets are those a run writes
// (their sizes are not needed).  Prints one line:
//
//   load_s L plan_s P explorer_s E explorer_bytes B files F
//
//   dx-explorer-bench [station file]
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <vector>

#include "base/descriptor.hpp"
#include "input/loader.hpp"
#include "maps/explorer.hpp"
#include "maps/plan.hpp"
#include "output/catalogue.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The data sets of a run over the loaded store, in the order it writes them.
std::vector<dx::WrittenDataSet> data_sets(const dx::Store& st) {
  std::vector<dx::WrittenDataSet> w;
  const auto n = static_cast<std::size_t>(st.NSTN);
  for (const dx::Statistic& s : dx::kStatistics)
    w.push_back({std::string(s.base), std::string(s.var), n, static_cast<std::size_t>(st.*s.ncol), 0});
  for (std::int32_t p = 1; p <= st.NPERIOD; ++p)
    for (const dx::PeriodStatistic& s : dx::kPeriodStatistics)
      w.push_back({dx::period_base(s.prefix, p), std::string(s.var), n, static_cast<std::size_t>(st.NCLASS), 0});
  return w;
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    auto t = std::chrono::steady_clock::now();
    dx::Store st;
    dx::read_data_nc(st, argc > 1 ? argv[1] : dx::kStationFile);
    const double load = seconds_since(t);

    t = std::chrono::steady_clock::now();
    const std::vector<dx::WrittenDataSet> written = data_sets(st);
    const dx::MapFrame frame = dx::map_frame(st, static_cast<std::size_t>(st.NSTN), dx::MapStyle::Auto);
    const std::vector<dx::Picture> pictures = dx::plan_pictures(st, written, frame);
    const double plan = seconds_since(t);

    const std::string dir = "explorer-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directory(dir);
    const dx::Descriptor here(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (here.get() < 0) throw std::runtime_error("cannot open the working folder");
    t = std::chrono::steady_clock::now();
    dx::write_explorer(st, written, frame, pictures, dx::system_file_ops(), {here.get(), ""}, dir);
    const double explorer = seconds_since(t);

    std::uintmax_t bytes = 0, files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
      if (e.is_regular_file()) bytes += e.file_size(), ++files;
    std::filesystem::remove_all(dir);
    std::printf("load_s %.2f plan_s %.2f explorer_s %.2f explorer_bytes %ju files %ju\n", load, plan, explorer, bytes,
                files);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dx-explorer-bench: %s\n", e.what());
    return 1;
  }
}
