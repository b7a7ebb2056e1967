// The maps' hidden folders: what a killed run left is removed, and the new
// maps/ takes the place of the old one whole, also where the file system
// cannot exchange two folders in one rename.
#include "maps/hidden_folder.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "base/descriptor.hpp"
#include "base/error.hpp"
#include "support/faults.hpp"
#include "support/fs.hpp"
#include "support/process.hpp"

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

  // What cannot be removed is put aside under a name of its own, so that
  // it stops no later run; what cannot be put aside either stops the step
  // before it starts, naming it, and leaves nothing registered.
  struct KeepsFolders : dx::FileOps {
    explicit KeepsFolders(bool renames) : renames_(renames) {}
    int remove_folder(int, const char*) const override {
      errno = EACCES;
      return -1;
    }
    int rename(int d, const char* from, const char* to) const override {
      if (renames_) return dx::FileOps::rename(d, from, to);
      errno = EACCES;
      return -1;
    }
    bool renames_;
  };
  const std::string aside = ".maps-left-" + std::to_string(::getpid()) + "-0.dx-tmp";
  std::filesystem::create_directories(dir / ".maps.dx-tmp/x");
  {
    const KeepsFolders keeps(true);
    dx::HiddenFolders h(keeps, cleanup, f, {".maps-old.dx-tmp", ".maps.dx-tmp"});
    EXPECT_EQ(dxtest::list_dir(dir.path()), std::vector<std::string>{aside});
    std::filesystem::create_directories(dir / ".maps.dx-tmp/y");
    EXPECT_EQ(h.remove(), "cannot remove .maps.dx-tmp: Permission denied; it is left as .maps-left-" +
                              std::to_string(::getpid()) + "-1.dx-tmp, to be removed by hand");
    EXPECT_EQ(dxtest::list_dir(dir.path()).size(), 2u);
  }
  std::filesystem::remove_all(dir / aside);
  std::filesystem::create_directories(dir / ".maps.dx-tmp/x");
  const std::string msg = dxtest::error_of([&] {
    dx::HiddenFolders h(KeepsFolders(false), cleanup, f, {".maps-old.dx-tmp", ".maps.dx-tmp"});
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

  // Ctrl-C between the two renames, whose cleanup removes both hidden
  // folders: the new maps are in place first.
  struct CtrlCBetween : NoExchange {
    int rename(int d, const char* from, const char* to) const override {
      const int r = NoExchange::rename(d, from, to);
      if (std::string(to) == ".old") ::raise(SIGINT);
      return r;
    }
  } ctrl_c;
  TempDir sig;
  folder_with(sig, "maps", "old");
  folder_with(sig, ".new", "new");
  const dxtest::InChild run = dxtest::in_child([&](std::string&) {
    const dx::Descriptor d(::open(sig.path().c_str(), O_RDONLY | O_DIRECTORY));
    dx::CleanupList cleanup;
    cleanup.add_folder(d.get(), ".new");
    cleanup.add_folder(d.get(), ".old");
    const dx::SignalCleanup on_signal(cleanup);
    dx::swap_in(ctrl_c, {d.get(), ""}, ".new", "maps", ".old");
    return 0;
  });
  EXPECT_EQ(run.status, 128 + SIGINT);
  EXPECT_EQ(dxtest::read_file(sig / "maps/index.html"), "new");
  EXPECT_EQ(dxtest::list_dir(sig.path()), std::vector<std::string>{"maps"});
}

}  // namespace
