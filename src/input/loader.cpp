#include "input/loader.hpp"

#include <netcdf.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "base/error.hpp"
#include "base/format.hpp"
#include "input/memory.hpp"
#include "input/nc_reader.hpp"
#include "input/result_files.hpp"

namespace dx {
namespace {

// Classes of FRE and MAG filled in one pass over those arrays.
constexpr std::size_t kPeriodBatch = 3;

// The station count of the first file read; every later variable must
// describe the same stations.
struct StationCount {
  std::int32_t n = 0;
  std::string_view file;

  void check(std::string_view file_read, std::string_view var, std::int32_t got) const {
    if (got != n) {
      throw Error(variable_context(file_read, var) + " describes " + std::to_string(got) + " stations, but " +
                  std::string(file) + " describes " + std::to_string(n));
    }
  }
};

// Allocates one of the loader's own arrays, sized by the station count
// of `ref`, refusing what cannot fit the machine's memory or the memory
// this run can still obtain.
template <std::size_t R>
void allocate_for(const StationCount& ref, std::string_view what, ColArray<R>& a,
                  const typename ColArray<R>::Extents& ext) {
  std::uint64_t n = 1;
  for (std::size_t e : ext) n *= e;  // at most 18 x 12 x 2^31: no overflow
  const std::uint64_t bytes = n * sizeof(float);
  const std::optional<Shortfall> s = reserve_memory(bytes, bytes, [&] { a.allocate(ext); });
  if (!s) return;
  throw Error(std::string(ref.file) + ": " + std::to_string(ref.n) + " stations: the " + std::string(what) + " need " +
              std::to_string(bytes) + " bytes" + (s->kind == Shortfall::Kind::Allocation ? ": " : ", ") + s->text());
}

// The text tables print a fixed number of columns of each statistic; a
// per-period variable has exactly one column per period.
void check_columns(std::string_view file, const InputVar& v, std::int32_t got) {
  if (std::holds_alternative<ClassOf>(v.into)) {
    if (got != v.min_columns) {
      throw Error(variable_context(file, v.var) + " has " + std::to_string(got) + " periods, expected " +
                  std::to_string(v.min_columns));
    }
  } else if (got < v.min_columns) {
    throw Error(variable_context(file, v.var) + " has " + std::to_string(got) + " columns, expected at least " +
                std::to_string(v.min_columns));
  }
}

// Copies the work matrices of classes k0, k0 + 1, ... into the per-period
// array (class, station, period).  The classes of one station and period are
// adjacent there, so copying several classes in one pass writes each cache
// line of the large array once per batch instead of once per class.
void copy_period_classes(std::span<const Array2> work, std::size_t k0, Array3& dst) {
  const std::size_t ncls = dst.extent(0), nstn = dst.extent(1), nper = dst.extent(2);
  const std::size_t nb = work.size();
  const float* src[kPeriodBatch] = {};
  for (std::size_t b = 0; b < nb; ++b) src[b] = work[b].data();
  float* out = dst.data() + k0;
  const std::size_t n = nper * nstn;
  if (nb == kPeriodBatch) {
    for (std::size_t i = 0; i < n; ++i, out += ncls)
      for (std::size_t b = 0; b < kPeriodBatch; ++b) out[b] = src[b][i];
  } else {
    for (std::size_t i = 0; i < n; ++i, out += ncls)
      for (std::size_t b = 0; b < nb; ++b) out[b] = src[b][i];
  }
}

// The unit of an array that several variables fill, after the variable
// that brings `units`: the unit they all share, none where they differ or
// none has one.
void share_units(std::string& shared, const std::string& units, bool first) {
  if (first) {
    shared = units;
  } else if (shared != units) {
    shared.clear();
  }
}

// How many reads of `run` go into the array `values`.
template <typename Into>
std::size_t reads_into(std::span<const InputVar> run, decltype(Into::values) values) {
  return static_cast<std::size_t>(std::count_if(run.begin(), run.end(), [values](const InputVar& v) {
    const Into* d = std::get_if<Into>(&v.into);
    return d != nullptr && d->values == values;
  }));
}

// One load: the reads of the catalogue, taken in their order, into `st`.
class Load {
 public:
  Load(Store& st, std::string_view station_file, std::string_view folder) : st_(st), station_file_(station_file) {
    for (int f = 0; f < kInputFiles; ++f) {
      const std::string_view p = f == kStationInput ? station_file : kInputFileNames[static_cast<std::size_t>(f)];
      names_[static_cast<std::size_t>(f)] = p.starts_with('/') ? std::string(p) : std::string(folder) + std::string(p);
      if (!folder.empty()) files_.name_in_messages(p, names_[static_cast<std::size_t>(f)]);
    }
  }

  // Reads the catalogue's entry `i` of `all`.
  void read(std::span<const InputVar> all, std::size_t i) {
    const InputVar& v = all[i];
    // The first of a run of reads into columns or classes allocates the
    // arrays of the run.
    if (i == 0 || all[i - 1].into.index() != v.into.index()) allocate_run(all.subspan(i));
    st_.XSTN.release();
    st_.XIDX.release();
    std::visit([&](const auto& into) { read_into(v, into); }, v.into);
    first_of_file_ = i + 1 < all.size() && all[i + 1].file != v.file;
    if (!ref_) ref_ = StationCount{st_.NSTN, name(v)};
  }

  void finish() { files_.close_kept(); }

 private:
  // The path of the file of a read, and its name in messages.
  std::string_view path(const InputVar& v) const {
    return v.file == kStationInput ? station_file_ : kInputFileNames[static_cast<std::size_t>(v.file)];
  }
  std::string_view name(const InputVar& v) const { return names_[static_cast<std::size_t>(v.file)]; }

  // Checks the shape of `v` before it is read: the station count of the
  // first read, and the columns.
  ShapeCheck shape_check(const InputVar& v) const {
    return [this, &v](std::int32_t nstn, std::int32_t ncol) {
      if (ref_) ref_->check(name(v), v.var, nstn);
      if (v.rank == 2) check_columns(name(v), v, ncol);
    };
  }

  void read_into(const InputVar& v, const WholeStatistic& into) {
    std::int32_t& ncol = st_.*into.ncol;
    rd_ncdf_2d(files_, path(v), st_.XSTN, st_.XIDX, st_.NSTN, ncol, st_.*into.values, v.var, st_.STATUS,
               shape_check(v));
    if (into.within_previous && ncol > previous_ncol_) {
      throw Error(variable_context(name(v), v.var) + " has " + std::to_string(ncol) + " columns, but " + previous_var_ +
                  " has only " + std::to_string(previous_ncol_));
    }
    previous_ncol_ = ncol;
    previous_var_ = v.var;
  }

  // Per-period variables are read one by one into work matrices; their
  // copies into the per-period array are made a batch of classes at a
  // time.  The work matrices keep their memory from one batch to the next.
  void read_into(const InputVar& v, const ClassOf& into) {
    Array3& dst = st_.*into.values;
    std::array<Array2, kPeriodBatch>& work = work_for(into.values);
    const std::size_t b = into.column % kPeriodBatch;
    const CoordinatesRead coords = rd_ncdf_2d(files_, path(v), st_.XSTN, st_.XIDX, st_.NSTN, st_.NPERIOD, work[b],
                                              v.var, st_.STATUS, shape_check(v));
    share_units(dst.units, work[b].units, into.column == 0);
    if (!periods_taken_) take_periods(coords.second);
    const bool last = into.column + 1 == dst.extent(0);
    if (b + 1 == kPeriodBatch || last)
      copy_period_classes(std::span<const Array2>(work.data(), b + 1), into.column - b, dst);
    if (last)
      for (Array2& w : work) w.release();
  }

  // The values of the period coordinate, from the first per-period variable
  // read (its second dimension); none where it had no usable one.
  void take_periods(bool read) {
    periods_taken_ = true;
    if (!read) {
      st_.PERIODS.release();
      return;
    }
    st_.PERIODS.allocate({st_.XIDX.size()});
    std::copy_n(st_.XIDX.data(), st_.XIDX.size(), st_.PERIODS.data());
  }

  void read_into(const InputVar& v, const ColumnOf& into) {
    Array2& dst = st_.*into.values;
    const std::size_t nstn = dst.extent(0);
    // Straight into the column: the values pass through no other array.
    rd_ncdf_1d_into(files_, path(v), st_.XSTN, st_.NSTN, std::span<float>(dst.data() + into.column * nstn, nstn),
                    units_, v.var, st_.STATUS, shape_check(v));
    share_units(dst.units, units_, into.column == 0);
  }

  void read_into(const InputVar& v, Array1 Store::*into) {
    try {
      rd_ncdf_1d(files_, path(v), st_.XSTN, st_.NSTN, st_.*into, v.var, st_.STATUS, shape_check(v));
    } catch (const Error& e) {
      // A file without the first station variable is most likely another
      // file given in place of the station file (a result file, say).
      if (v.file != kStationInput || !first_of_file_ || st_.STATUS != NC_ENOTVAR) throw;
      throw Error(std::string(e.what()) + " (is this the station-coordinate file, with lon, lat and reg?)");
    }
  }

  // Allocates the arrays filled column by column (or class by class) by the
  // reads of `run` up to the first read of another kind: as many columns
  // (classes) as there are reads into them.
  void allocate_run(std::span<const InputVar> run) {
    const std::size_t kind = run.front().into.index();
    const std::size_t nstn = count_to_size(ref_ ? ref_->n : 0);
    for (const InputVar& v : run) {
      if (v.into.index() != kind) break;
      if (const ClassOf* d = std::get_if<ClassOf>(&v.into); d != nullptr && d->column == 0) {
        st_.NCLASS = static_cast<std::int32_t>(reads_into<ClassOf>(run, d->values));
        st_.NPERIOD = v.min_columns;
        allocate_for(*ref_, d->what, st_.*d->values, {count_to_size(st_.NCLASS), nstn, count_to_size(st_.NPERIOD)});
      } else if (const ColumnOf* c = std::get_if<ColumnOf>(&v.into); c != nullptr && c->column == 0) {
        st_.NPAIR = static_cast<std::int32_t>(reads_into<ColumnOf>(run, c->values));
        allocate_for(*ref_, c->what, st_.*c->values, {nstn, count_to_size(st_.NPAIR)});
      }
    }
  }

  std::array<Array2, kPeriodBatch>& work_for(Array3 Store::*values) {
    for (auto& [a, w] : work_)
      if (a == values) return w;
    return work_.emplace_back(values, std::array<Array2, kPeriodBatch>{}).second;
  }

  Store& st_;
  std::string_view station_file_;
  std::array<std::string, kInputFiles> names_;  // of the input files in messages
  // Consecutive reads of one file (36 variables of the per-period file, 12
  // of each correlation file) open it once.
  NcOpenings files_;
  std::optional<StationCount> ref_;  // from the first read
  bool first_of_file_ = true;        // the next read is the first of its file
  std::int32_t previous_ncol_ = 0;   // of the last whole statistic read
  std::string previous_var_;
  std::string units_;           // of the last read into a column
  bool periods_taken_ = false;  // PERIODS is set
  std::vector<std::pair<Array3 Store::*, std::array<Array2, kPeriodBatch>>> work_;
};

// Station names "Station_001", ...; from 1000 on the number does not fit
// its field and is written as asterisks.
void name_stations(Store& st) {
  static const Format kStationFormat = Format::parse("(A,I3.3)");
  st.STATION.clear();
  st.STATION.reserve(count_to_size(st.NSTN));
  for (std::int32_t i = 1; i <= st.NSTN; ++i) {
    const std::array<Value, 2> items{Value::text("Station_"), Value::integer(i)};
    st.STATION.push_back(write_field(kStationFormat, items, kStationLen));
  }
}

}  // namespace

void read_data_nc(Store& st, std::string_view station_file, std::string_view folder) {
  const std::vector<InputVar>& all = input_reads();
  Load load(st, station_file, folder);
  for (std::size_t i = 0; i < all.size(); ++i) load.read(all, i);
  load.finish();
  name_stations(st);
}

}  // namespace dx
