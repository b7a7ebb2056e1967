#pragma once
// Write-behind for output files.  While a WriteBehind object is alive, the
// output files of the thread that created it hand their writes, closes and
// renames to one background thread, which carries them out one after the
// other, in the order they were handed over.  The creating thread meanwhile
// formats the next block of a table or the next time group of a data set.
//
// What the files hold, and the order in which finished files replace the
// previous ones, stay exactly as with direct writes.  The first failure
// stops the rest: the failed file and every file handed over after it are
// discarded (temporary file removed, previous file of that name kept), and
// the failure is raised in the creating thread as a dx::Error at its next
// hand-over or wait.  Files handed over before it are completed.
//
// The previous file that a rename replaces is let go (its blocks freed, and
// discarded where the file system discards online) by two further threads,
// so that the writer does not wait for the device there.
//
// Without a WriteBehind object, output files write directly; nothing here
// is used.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace dx {

// Identifies a write handed over; waiting for it means its bytes have been
// written and the memory they came from may change again.
using Ticket = std::uint64_t;

class WriteBehind {
 public:
  WriteBehind();
  // Waits for every hand-over to be carried out; a failure not yet raised
  // is dropped (the exception being handled, if any, is the one reported).
  ~WriteBehind();
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // Waits until everything handed over so far is carried out, and raises
  // the first failure.  Call it before anything that reports files as done.
  void settle();
};

namespace behind {

// An open temporary output file, as the background thread sees it.
struct FileState {
  int fd = -1;
  std::string path;  // the final name, used in messages
  std::string temp;  // the temporary file that is renamed over it
  bool closed = false;
  bool removed = false;  // the temporary file was removed after a failure
};
using File = std::shared_ptr<FileState>;

// True while a WriteBehind object of this thread is alive.
bool active();

// Hands over bytes owned by the background thread from now on.
void write_owned(const File& f, std::string&& bytes);
// Hands over bytes that the caller keeps unchanged until wait() for the
// returned ticket returns.
Ticket write_view(const File& f, const char* data, std::size_t n);
// Hands over the close and rename of a file after its last write.
void commit(const File& f);
// Removes the temporary file (closing it first) and waits until that is
// done; never raises.
void discard(const File& f) noexcept;
// Waits until the write of `ticket` is carried out; raises a failure.
void wait(Ticket ticket);
// Waits for everything handed over; raises a failure.
void settle();
// Waits until a further output file may be opened (see kMaxOpenFiles) and
// counts it as open; raises a failure.  The commit or discard of the file
// ends it; release_file() ends one whose temporary file could not be created.
void reserve_file();
void release_file() noexcept;
// A buffer to fill with output, recycled from writes carried out.
std::string take_buffer();

}  // namespace behind
}  // namespace dx
