// The cleanup list: what it holds, and a registration that finds no room.
#include "base/cleanup.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>

#include <string>

#include "base/error.hpp"

namespace {

TEST(CleanupList, ARegistrationBeyondItsRoomFailsLoudly) {
  dx::CleanupList list;
  // A name longer than a slot holds takes none.
  const std::string long_name(dx::CleanupList::kMaxPath, 'n');
  EXPECT_THROW(list.add_file(AT_FDCWD, long_name), dx::Error);
  for (std::size_t i = 0; i < dx::CleanupList::kPathSlots; ++i)
    EXPECT_EQ(list.add_file(AT_FDCWD, std::string(1, 'f').append(std::to_string(i))), static_cast<int>(i));
  try {
    list.add_folder(AT_FDCWD, "one too many");
    ADD_FAILURE() << "a fifth name was taken";
  } catch (const dx::Error& e) {
    EXPECT_STREQ(e.what(),
                 "cannot register one too many for removal at a signal: the cleanup list already holds 4 files and "
                 "folders");
  }
  // A slot given back is taken again.
  list.remove(2);
  EXPECT_EQ(list.add_folder(AT_FDCWD, "again"), 2);
  for (std::size_t i = 0; i < dx::CleanupList::kProcessSlots; ++i) list.add_process(100000 + static_cast<int>(i));
  EXPECT_THROW(list.add_process(1), dx::Error);
  for (std::size_t i = 0; i < dx::CleanupList::kProcessSlots; ++i) list.remove_process(static_cast<int>(i));
}

}  // namespace
