#pragma once
// The folders the maps step builds in the output folder, hidden (their
// names start with a dot) until the new maps/ is complete and swapped in
// whole: created, filled, swapped and removed through the output's file
// operations, so that the tests can make any of these steps fail.  Every
// name is reached through the descriptor of the output folder.
#include <string>
#include <vector>

#include "base/cleanup.hpp"
#include "output/file_ops.hpp"

namespace dx {

// The output folder: its descriptor, and how messages show a name in it
// ("" or "out/" before the name).
struct OutputFolder {
  int fd;
  std::string prefix;
  std::string shown(const std::string& name) const { return prefix + name; }
};

// Removes `name` in the folder `dir` with everything in it; 0 or the error
// number.  Nothing there is no error.
int remove_tree(const FileOps& ops, int dir, const std::string& name);

// Creates the folder `name`.  Throws Error naming it.
void make_folder(const FileOps& ops, const OutputFolder& f, const std::string& name);

// Writes `bytes` as the new file `name` (nothing may be there).  Throws
// Error naming it.
void write_new_file(const FileOps& ops, const OutputFolder& f, const std::string& name, const std::string& bytes);

// Reads the whole file `name` (no link followed) in the folder `dir`
// (AT_FDCWD: the working folder) into `bytes`, up to 256 MiB; 0 or the
// error number.
int read_file(int dir, const std::string& name, std::string& bytes);

// The folder `fresh` takes the place of `final`, whose old content, if any,
// ends up at `fresh` (or `old`) for removal: one exchange where the file
// system offers it, else two renames.  Throws Error naming `final`.
void swap_in(const FileOps& ops, const OutputFolder& f, const std::string& fresh, const std::string& final,
             const std::string& old);

// The step's hidden folders, removed however the step ends: what a killed
// run left at their names first, then whatever is there when the object
// goes (or at a signal, through the cleanup list).  A folder that cannot
// be removed (a subfolder of another user's, read-only) is put aside as
// ".maps-left-<pid>-<n>.dx-tmp", with a warning, so that it stops no
// later run; only one that cannot be put aside either stops the step.
class HiddenFolders {
 public:
  HiddenFolders(const FileOps& ops, CleanupList& cleanup, const OutputFolder& f, std::vector<std::string> names);
  ~HiddenFolders() { static_cast<void>(remove()); }  // after a failure: the failure is the one reported
  HiddenFolders(const HiddenFolders&) = delete;
  HiddenFolders& operator=(const HiddenFolders&) = delete;
  // Removes them now; returns the message of the first that cannot be
  // removed (and where it was put aside), or "".
  std::string remove() noexcept;

 private:
  const FileOps& ops_;
  CleanupList& cleanup_;
  const OutputFolder& f_;
  std::vector<std::string> names_;
  std::vector<int> slots_;
};

}  // namespace dx
