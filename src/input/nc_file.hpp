#pragma once
// A netCDF file opened read-only to read one variable, and the openings
// that consecutive reads of one file share.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/col_array.hpp"

namespace dx {

// Width of the dimension-name fields of the progress lines.
inline constexpr std::size_t kDimNameLen = 15;

// "<file>: variable <var>", how every message about one variable begins.
std::string variable_context(std::string_view file, std::string_view var);

// The messages of a read of variable `var` that cannot open `file`: it is
// not a regular file, or opening it failed for `reason`.
std::string not_regular_file(std::string_view file, std::string_view var);
std::string cannot_open(std::string_view file, std::string_view var, std::string_view reason);

// Every call that the requested data depends on is checked and turned into
// an Error naming the file, the variable and the library's reason; the
// status of each call goes to the status variable passed to it.  The file id
// never leaks: it is closed (with its status checked) by close(), or on
// unwind by the destructor.
class NcFile {
 public:
  // Opens `path` to read `var`; refuses a netCDF-3 file cut short.
  // Messages name the file `name` (`path` when empty).
  NcFile(std::string_view path, std::string_view var, int& status, std::string_view name = {});
  ~NcFile();
  NcFile(const NcFile&) = delete;
  NcFile& operator=(const NcFile&) = delete;

  const std::string& path() const { return path_; }
  // Takes the file, kept open from a read of another variable, for
  // reading `var`.
  void reuse_for(std::string_view var) { var_ = var; }

  // "<file>: variable <var>" followed by `what` (": cannot ...", or " has
  // ..." for what the variable itself is or has).
  [[noreturn]] void fail(std::string_view what) const;

  // Looks up the requested variable and checks that it is numeric and of
  // the reader's rank; returns its id and its dimension ids in declared
  // order (slowest first).
  int requested_variable(int rank, int* dimids, int& status);

  // Name (cut or padded to kDimNameLen) and length of one dimension.
  struct Dim {
    int id;
    std::string name;
    std::int32_t len;
  };
  Dim dimension(int dimid, int& status);

  // Refuses a variable of `elements` values that cannot fit the machine's
  // memory, or, with `coord_elements` coordinate values, the memory this
  // run can still obtain (a container's limit, other programs), before
  // `allocate` is called: memory promised beyond that ends the process with
  // the out-of-memory killer when it is filled, not with a failed
  // allocation.  A std::bad_alloc from `allocate` is refused too.
  void reserve(std::uint64_t elements, std::uint64_t coord_elements, const std::function<void()>& allocate) const;

  // Fills `coord` (already allocated to the dimension's length and
  // zero-filled) from the coordinate variable named like the dimension, and
  // tells whether it did.  Coordinates are never published, so a missing or
  // unsuitable one is skipped silently and leaves zeros.
  bool read_coordinate(const Dim& dim, Array1& coord, int& status);

  // The unit of variable `varid` as its `units` attribute gives it, without
  // trailing blanks or NULs.  The attribute is optional: a variable without
  // one, or with one that is not text, has none (an empty text).  A call
  // that fails for another reason fails the read.
  std::string units(int varid, int& status);

  // Reads the whole requested variable into `dst` (sized by the caller to
  // the variable's lengths).  Values are published as the library returns
  // them; a warning on standard error tells of values that a float cannot
  // represent (transferred as the library converts them), of packing
  // attributes (scale_factor, add_offset: the values are not unpacked), and
  // of values that equal the variable's _FillValue or missing_value, or
  // the default fill of data never written, with their number.
  void read_values(int varid, float* dst, std::size_t n, int& status);

  // Closes the file, checking the close.
  void close(int& status);

 private:
  // Keeps the status of a call in `status`, and fails with `what` and
  // the library's reason if the call failed.
  void check(int call_status, const char* what, int& status) const;
  std::string context() const { return variable_context(name_, var_); }
  // Refuses a netCDF-3 file whose header or data part is cut short.
  void check_complete() const;
  // Throws the Error of a failed opening.
  [[noreturn]] void refuse_opening(int status) const;
  void warn_of_flags(int varid, const float* values, std::size_t n);
  bool has_unlimited_dimension(int varid) const;

  std::string path_;
  std::string name_;  // of the file in messages
  std::string var_;
  int id_ = -1;
  bool open_ = false;
};

// The openings of the reads of one load.  With `keep_open`, consecutive
// reads of the same file share one opening of it: the file stays open
// after a read and is closed (the close checked) by the next read of
// another file or by close(); opening a netCDF-4 file costs far more than
// reading a small variable from it.  Without, every read opens and closes
// its file.  Progress lines and messages are those of separate reads
// either way.  The destructor closes without checking (on unwind the
// failure being reported is the one that matters).
class NcOpenings {
 public:
  explicit NcOpenings(bool keep_open = true) : keep_open_(keep_open) {}
  NcOpenings(const NcOpenings&) = delete;
  NcOpenings& operator=(const NcOpenings&) = delete;

  // Messages about the file `path` name it `name` (a path that the user
  // gave relative to another folder than the one it is opened from); one
  // call for each file so named.
  void name_in_messages(std::string_view path, std::string_view name) { names_.emplace_back(path, name); }
  // The file kept open from earlier reads if it is `file`, taken for a
  // read of `var`; otherwise closes a kept file (checking the close) and
  // returns null.
  std::unique_ptr<NcFile> take_kept(std::string_view file, std::string_view var);
  // A new opening of `file` for a read of `var` (after take_kept).
  // `status` receives the code of the opening.
  std::unique_ptr<NcFile> open(std::string_view file, std::string_view var, int& status) const;
  // Closes a file kept open from earlier reads, if any, checking the close.
  void close_kept();
  // After a complete read: keeps the file open for the next read, or closes it.
  // `status` receives the code of the close.
  void done_with(std::unique_ptr<NcFile> f, int& status);

 private:
  bool keep_open_;
  std::unique_ptr<NcFile> kept_;
  int status_ = 0;  // of the closes of kept files
  // Each file named in messages otherwise than by its path: path, name.
  std::vector<std::pair<std::string, std::string>> names_;
};

}  // namespace dx
