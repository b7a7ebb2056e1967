#pragma once
// One output file replaced atomically, on the thread that uses it: created
// as a fresh temporary file beside its final name ("<name>.dx-tmp"),
// written, then closed and renamed over the final name by commit(), or
// removed by discard().  Every failing step removes the temporary file and
// raises an Error that names the output and the system's reason; the
// previous file of that name stays untouched.  A file neither committed
// nor discarded is discarded when it is destroyed.
#include <fcntl.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "output/file_ops.hpp"
#include "output/releaser.hpp"
#include "base/cleanup.hpp"

namespace dx {

inline constexpr std::string_view kTempSuffix = ".dx-tmp";

// What a step that finds the disk full may do to make room before it is
// tried once more (empty: nothing, the step fails).
using MakeRoom = std::function<void()>;

class AtomicFile {
 public:
  // Creates the temporary file of `path`, a fresh one: a temporary file
  // left by a killed run is removed first.  With `folder`, a descriptor of
  // the output folder, the file is the one of that folder named by the
  // last component of `path` (the path is what messages show); with
  // AT_FDCWD the path is taken as it stands.  The temporary file is
  // registered in `cleanup` while it exists.  A message names the output,
  // and the temporary file only where something at its name cannot be
  // removed.
  AtomicFile(const FileOps& ops, int folder, const std::string& path, CleanupList& cleanup, const MakeRoom& room = {});
  ~AtomicFile() { discard(); }
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Writes all `n` bytes.  A write cut short by a full disk goes on after
  // `room` with the bytes not yet written.
  void write(const char* data, std::size_t n, const MakeRoom& room = {});
  // Closes the file and renames it over its final name.  With a releaser,
  // the file replaced is kept referenced across the rename and let go on
  // the releaser's threads.
  void commit(Releaser* releaser = nullptr);
  // Removes the temporary file (closing it first), unless committed.
  void discard() noexcept;

  const std::string& path() const { return path_; }

 private:
  void create(const MakeRoom& room);
  int open_temp();
  [[noreturn]] void fail(const char* what, const std::string& shown, int err);

  const FileOps& ops_;
  const int folder_;
  const std::string path_;  // the final name, as messages show it
  std::string name_;        // the final name in the folder
  std::string temp_name_;   // the temporary file's name in the folder
  CleanupList& cleanup_;
  int slot_ = -1;  // in cleanup_ while the temporary file exists
  int fd_ = -1;
  bool done_ = false;  // committed or removed
};

}  // namespace dx
