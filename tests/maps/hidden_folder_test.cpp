// The maps' hidden folders: what a killed run left is removed, and the new
// maps/ takes the place of the old one whole, also where the file system
// cannot exchange two folders in one rename.
#include "maps/hidden_folder.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "base/descriptor.hpp"
#include "base/error.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"

namespace {

using dxtest::TempDir;

// A file system without RENAME_EXCHANGE (ext2, NFS, CIFS); with
// `fail_second`, the rename that puts the new folder in place fails too.
class NoExchange : public dx::FileOps {
 public:
  explicit NoExchange(bool fail_second = false) : fail_second_(fail_second) {}
  int exchange(int, const char*, const char*) const override {
    errno = EINVAL;
    return -1;
  }
  int rename(int dir, const char* from, const char* to) const override {
    if (fail_second_ && std::string(to) == "maps" && std::string(from) == ".new") {
      errno = EXDEV;
      return -1;
    }
    return dx::FileOps::rename(dir, from, to);
  }

 private:
  bool fail_second_;
};

// A folder of `name` holding `file` with `text`.
void folder_with(const TempDir& dir, const std::string& name, const std::string& text) {
  std::filesystem::create_directories(dir / name);
  dxtest::write_file(dir / (name + "/index.html"), text);
}

TEST(HiddenFolder, WhatAKilledRunLeftIsRemovedAtTheStart) {
  TempDir dir;
  folder_with(dir, ".maps.dx-tmp/deeper/still", "left");
  dxtest::write_file(dir / ".maps-old.dx-tmp", "a file at a folder's name");
  const dx::Descriptor fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  const dx::OutputFolder f{fd.get(), ""};
  dx::CleanupList cleanup;
  {
    dx::HiddenFolders hidden(dx::system_file_ops(), cleanup, f, {".maps.dx-tmp", ".maps-old.dx-tmp"});
    EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{});
    dx::make_folder(dx::system_file_ops(), f, ".maps.dx-tmp");
    dx::write_new_file(dx::system_file_ops(), f, ".maps.dx-tmp/a", "new");
  }
  EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{});  // and what this run made

  // What cannot be removed stops the step before it starts, naming it, and
  // leaves nothing registered.
  struct KeepsFolders : dx::FileOps {
    int remove_folder(int, const char*) const override {
      errno = EACCES;
      return -1;
    }
  } keeps;
  std::filesystem::create_directories(dir / ".maps.dx-tmp/x");
  const std::string msg = dxtest::error_of([&] {
    dx::HiddenFolders h(keeps, cleanup, f, {".maps-old.dx-tmp", ".maps.dx-tmp"});
  });
  EXPECT_EQ(msg, "cannot remove .maps.dx-tmp (left by an earlier run): Permission denied");
  for (std::size_t i = 0; i < dx::CleanupList::kPathSlots; ++i) cleanup.add_file(AT_FDCWD, "free");
}

TEST(HiddenFolder, TheNewMapsTakeThePlaceOfTheOldOnesWhole) {
  struct Case {
    const char* name;
    bool old_there;
    NoExchange ops;
    bool fails;
  };
  const dx::FileOps plain;
  Case cases[] = {
      {"no old maps", false, NoExchange(), false},
      {"two renames", true, NoExchange(), false},
      {"the second rename fails", true, NoExchange(true), true},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.old_there) folder_with(dir, "maps", "old");
    folder_with(dir, ".new", "new");
    const dx::Descriptor fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    const dx::OutputFolder f{fd.get(), "out/"};
    if (c.fails) {
      const std::string msg = dxtest::error_of([&] { dx::swap_in(c.ops, f, ".new", "maps", ".old"); });
      EXPECT_EQ(msg, "cannot replace out/maps: Invalid cross-device link");
      EXPECT_EQ(dxtest::read_file(dir / "maps/index.html"), "old");  // the old one back
    } else {
      dx::swap_in(c.ops, f, ".new", "maps", ".old");
      EXPECT_EQ(dxtest::read_file(dir / "maps/index.html"), "new");
      // The old maps are where the caller removes them from.
      EXPECT_EQ(dxtest::file_exists(dir / ".old/index.html"), c.old_there);
    }
  }
  // Where the file system exchanges, in one step.
  TempDir dir;
  folder_with(dir, "maps", "old");
  folder_with(dir, ".new", "new");
  const dx::Descriptor fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  dx::swap_in(plain, {fd.get(), ""}, ".new", "maps", ".old");
  EXPECT_EQ(dxtest::read_file(dir / "maps/index.html"), "new");
  EXPECT_EQ(dxtest::read_file(dir / ".new/index.html"), "old");
}

}  // namespace
