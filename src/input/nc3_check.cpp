#include "input/nc3_check.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/descriptor.hpp"
#include "base/error.hpp"

// Layout of a classic-format header (all integers big-endian):
//
//   header    = magic numrecs dim_list gatt_list var_list
//   magic     = 'C' 'D' 'F' version          version 1, 2 or 5
//   numrecs   = count | STREAMING            (all bits set: length unknown)
//   dim_list  = tag count dim*               tag 0x0A (or 0 when count is 0)
//   dim       = name count                   length 0 marks the record dimension
//   gatt_list = tag count attr*              tag 0x0C
//   attr      = name type count values       values padded to 4 bytes
//   var_list  = tag count var*               tag 0x0B
//   var       = name count dimid* vatt_list type vsize begin
//   name      = count bytes                  padded to 4 bytes
//
// `count`, `dimid` and `vsize` are 32-bit, 64-bit in version 5; `type` and
// `tag` are always 32-bit; `begin` is 32-bit in version 1, 64-bit otherwise.
//
// Data layout: each fixed-size variable occupies [begin, begin + size).  The
// record variables are interleaved record by record: record r of a variable
// starts at begin + r * recsize, recsize being the sum of the record
// variables' sizes per record, each padded to 4 bytes, except when there is
// exactly one record variable, whose records are then packed unpadded.
// A file is complete when it reaches the last byte of every variable's data;
// padding after the last value is not required (it holds no data).
//
// A variable's size is computed from its dimensions and type: the stored
// vsize is redundant and cannot express sizes of 4 GiB and more.

namespace dx {
namespace {

constexpr std::uint32_t kTagDimension = 0x0A;
constexpr std::uint32_t kTagVariable = 0x0B;
constexpr std::uint32_t kTagAttribute = 0x0C;
constexpr std::uint64_t kMaxName = 256;      // longest name the library writes
constexpr std::size_t kWindow = 16 * 1024;   // header bytes fetched per read
constexpr std::uint64_t kHuge = UINT64_MAX;  // saturated size: beyond any file

const char* const kDamagedHint = " (a damaged or incompletely copied netCDF file)";

[[noreturn]] void damaged(const std::string& path, const std::string& what) {
  throw Error(path + ": damaged netCDF header: " + what + kDamagedHint);
}

std::uint64_t add_sat(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? kHuge : r;
}

std::uint64_t mul_sat(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kHuge : r;
}

std::uint64_t pad4(std::uint64_t n) { return n > kHuge - 3 ? kHuge : (n + 3) & ~std::uint64_t{3}; }

// External size of one value of a netCDF type, 0 for a type unknown to the
// format version (the unsigned and 64-bit integer types exist in CDF-5 only).
std::uint64_t type_size(std::uint32_t type, bool cdf5) {
  switch (type) {
    case 1:
    case 2: return 1;  // byte, char
    case 3: return 2;  // short
    case 4:
    case 5: return 4;             // int, float
    case 6: return 8;             // double
    case 7: return cdf5 ? 1 : 0;  // ubyte
    case 8: return cdf5 ? 2 : 0;  // ushort
    case 9: return cdf5 ? 4 : 0;  // uint
    case 10:
    case 11: return cdf5 ? 8 : 0;  // int64, uint64
    default: return 0;
  }
}

std::string quoted(std::string_view name) {
  std::string q(1, '\'');
  q.append(name);
  q.push_back('\'');
  return q;
}

// Sequential big-endian reader over the header of an open file.  It keeps a
// window of at most kWindow bytes, fetched with pread, so memory does not
// grow with the header and skipped attribute values are never read.  Every
// access is checked against the file size before anything is fetched.
class HeaderStream {
 public:
  HeaderStream(int fd, const std::string& path, std::uint64_t size) : fd_(fd), path_(path), size_(size) {}

  std::uint64_t pos() const { return pos_; }
  std::uint64_t left() const { return size_ - pos_; }

  std::uint32_t u32() {
    const unsigned char* p = need(4);
    pos_ += 4;
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
  }

  std::uint64_t u64() {
    const std::uint64_t hi = u32();
    return (hi << 32) | u32();
  }

  // `n` bytes, n <= kWindow; valid until the next call.
  std::string_view bytes(std::size_t n) {
    const unsigned char* p = need(n);
    pos_ += n;
    return {reinterpret_cast<const char*>(p), n};
  }

  void skip(std::uint64_t n) {
    if (n > left()) ends_inside();
    pos_ += n;
  }

  [[noreturn]] void ends_inside() const {
    damaged(path_, "the file has " + std::to_string(size_) + " bytes and ends inside its header");
  }

 private:
  const unsigned char* need(std::size_t n) {
    if (n > left()) ends_inside();
    if (pos_ < start_ || pos_ + n > start_ + len_) fill();
    if (pos_ + n > start_ + len_) ends_inside();  // the file shrank while being read
    return buf_.data() + (pos_ - start_);
  }

  void fill() {
    if (buf_.empty()) buf_.resize(static_cast<std::size_t>(left() < kWindow ? left() : kWindow));
    start_ = pos_;
    len_ = 0;
    const std::size_t want = static_cast<std::size_t>(left() < buf_.size() ? left() : buf_.size());
    while (len_ < want) {
      const ssize_t k = ::pread(fd_, buf_.data() + len_, want - len_, static_cast<off_t>(pos_ + len_));
      if (k < 0) {
        if (errno == EINTR) continue;
        throw Error("cannot read " + path_ + ": " + system_reason(errno));
      }
      if (k == 0) break;
      len_ += static_cast<std::size_t>(k);
    }
  }

  int fd_;
  const std::string& path_;
  std::uint64_t size_;
  std::vector<unsigned char> buf_;
  std::uint64_t start_ = 0;  // file offset of buf_[0]
  std::size_t len_ = 0;      // valid bytes in buf_
  std::uint64_t pos_ = 0;    // file offset of the next byte to parse
};

struct RecordVar {
  std::string name;
  std::uint64_t begin;
  std::uint64_t size;  // bytes of one record, unpadded
};

class HeaderParser {
 public:
  HeaderParser(HeaderStream& in, const std::string& path, unsigned version)
      : in_(in), path_(path), cdf5_(version == 5), offset64_(version != 1) {}

  // Parses the header after the magic and returns the minimal file size
  // that holds all of the data it describes.
  std::uint64_t required_size() {
    const std::uint64_t numrecs = count();
    const bool streaming = numrecs == (cdf5_ ? kHuge : std::uint64_t{0xFFFFFFFF});

    const std::uint64_t ndims = list_length(kTagDimension, "dimension", cdf5_ ? 16 : 8);
    for (std::uint64_t i = 0; i < ndims; ++i) {
      name("dimension");
      dims_.push_back(count());
    }
    attributes(nullptr);

    const std::uint64_t nvars = list_length(kTagVariable, "variable", cdf5_ ? 48 : 28);
    std::uint64_t required = 0;  // the header itself is present: it has been read
    std::uint64_t recsize = 0;
    for (std::uint64_t i = 0; i < nvars; ++i) {
      const std::string var = name("variable");
      const std::uint64_t rank = count();
      if (rank > in_.left() / (cdf5_ ? 8 : 4))
        damaged(path_, "variable " + quoted(var) + " lists " + std::to_string(rank) +
                           " dimensions, more than the remaining " + std::to_string(in_.left()) +
                           " bytes of the file can hold");
      bool record = false;
      std::uint64_t values = 1;
      for (std::uint64_t d = 0; d < rank; ++d) {
        const std::uint64_t id = count();
        if (id >= dims_.size())
          damaged(path_, "variable " + quoted(var) + " uses dimension id " + std::to_string(id) + " of " +
                             std::to_string(dims_.size()));
        if (d == 0 && dims_[id] == 0) record = true;
        else values = mul_sat(values, dims_[id]);
      }
      attributes(&var);
      const std::uint32_t type = in_.u32();
      const std::uint64_t size = type_size(type, cdf5_);
      if (size == 0) damaged(path_, "variable " + quoted(var) + " has the unknown type " + std::to_string(type));
      count();  // vsize: redundant, see above
      const std::uint64_t begin = offset64_ ? in_.u64() : in_.u32();
      const std::uint64_t bytes = mul_sat(values, size);
      if (record) {
        recsize = add_sat(recsize, pad4(bytes));
        records_.push_back({var, begin, bytes});
      } else if (bytes > 0) {
        required = max_end(required, add_sat(begin, bytes), var);
      }
    }

    if (records_.size() == 1) recsize = records_.front().size;
    if (!streaming && numrecs > 0) {
      const std::uint64_t last = mul_sat(numrecs - 1, recsize);
      for (const RecordVar& v : records_)
        if (v.size > 0) required = max_end(required, add_sat(add_sat(v.begin, last), v.size), v.name);
    }
    return required;
  }

 private:
  std::uint64_t count() { return cdf5_ ? in_.u64() : in_.u32(); }

  std::uint64_t max_end(std::uint64_t required, std::uint64_t end, const std::string& var) {
    if (end == kHuge) damaged(path_, "variable " + quoted(var) + " would end beyond any possible file size");
    return end > required ? end : required;
  }

  // Reads a list's tag and element count; `min_bytes` is the smallest
  // encoding of one element, so that no count beyond the file is believed.
  std::uint64_t list_length(std::uint32_t tag, const char* what, std::uint64_t min_bytes) {
    const std::uint32_t found = in_.u32();
    const std::uint64_t n = count();
    if (n == 0) return 0;
    if (found != tag)
      damaged(path_, std::string("the ") + what + " list has the tag " + std::to_string(found) + " instead of " +
                         std::to_string(tag));
    if (n > in_.left() / min_bytes)
      damaged(path_, "it lists " + std::to_string(n) + " " + what + "s, more than the remaining " +
                         std::to_string(in_.left()) + " bytes of the file can hold");
    return n;
  }

  // A name; `what` and `owner` describe its place for error messages.
  std::string name(const char* what, const std::string* owner = nullptr) {
    const std::uint64_t len = count();
    if (len > kMaxName)
      damaged(path_, std::string("the name of a ") + what + (owner ? " of variable " + quoted(*owner) : std::string()) +
                         " is " + std::to_string(len) + " bytes long (at most " + std::to_string(kMaxName) +
                         " are possible)");
    std::string text(in_.bytes(static_cast<std::size_t>(len)));
    in_.skip(pad4(len) - len);
    return text;
  }

  void attributes(const std::string* owner) {
    const std::uint64_t n = list_length(kTagAttribute, "attribute", cdf5_ ? 20 : 12);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::string att = name("attribute", owner);
      const std::uint32_t type = in_.u32();
      const std::uint64_t size = type_size(type, cdf5_);
      if (size == 0)
        damaged(path_, "attribute " + quoted(att) + (owner ? " of variable " + quoted(*owner) : std::string()) +
                           " has the unknown type " + std::to_string(type));
      in_.skip(pad4(mul_sat(count(), size)));
    }
  }

  HeaderStream& in_;
  const std::string& path_;
  bool cdf5_;
  bool offset64_;
  std::vector<std::uint64_t> dims_;
  std::vector<RecordVar> records_;
};

}  // namespace

void check_nc3_complete(const std::string& path, const std::string& name) {
  const std::string& shown = name.empty() ? path : name;
  // Closed unchecked when a failure is thrown; the normal path closes it
  // itself and checks the close.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.valid()) throw Error("cannot open " + shown + ": " + system_reason(errno));
  struct stat st;
  if (::fstat(file.get(), &st) != 0) throw Error("cannot read " + shown + ": " + system_reason(errno));

  // Only regular files of a classic-format version are checked here;
  // everything else is left to the netCDF library.
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (S_ISREG(st.st_mode) && size >= 4) {
    HeaderStream in(file.get(), shown, size);
    const std::string_view magic = in.bytes(4);
    const auto version = static_cast<unsigned char>(magic[3]);
    if (magic.substr(0, 3) == "CDF" && (version == 1 || version == 2 || version == 5)) {
      HeaderParser header(in, shown, version);
      const std::uint64_t required = header.required_size();
      if (size < required)
        throw Error(shown + ": file is truncated: its header describes " + std::to_string(required) +
                    " bytes of data but the file has " + std::to_string(size) + " bytes" + kDamagedHint);
    }
  }

  if (::close(file.release()) != 0) throw Error("cannot close " + shown + ": " + system_reason(errno));
}

}  // namespace dx
