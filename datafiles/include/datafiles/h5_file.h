#pragma once

// What the export needs of the HDF5 C library besides its high-level packet tables (H5PT) and
// attributes (H5LT): identifiers that close themselves, the attributes H5LT does not write
// (scalars and variable-length UTF-8 text), the frames x sensors tables, and the library's error
// stack as one line of text. Debian's libhdf5 is built thread-safe; its error stacks and their
// handling are per thread, so every thread that calls it holds an H5ErrorCatch meanwhile.

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include <hdf5.h>
#include <hdf5_hl.h>

// Owns one HDF5 identifier of any kind (file, group, dataset, dataspace, property list, type,
// attribute) and releases it when destroyed.
class H5Id {
 public:
  H5Id() = default;
  explicit H5Id(hid_t id) : id_(id) {}
  H5Id(H5Id&& other) noexcept : id_(other.id_) { other.id_ = H5I_INVALID_HID; }
  H5Id& operator=(H5Id&& other) noexcept;
  H5Id(const H5Id&) = delete;
  H5Id& operator=(const H5Id&) = delete;
  ~H5Id() { reset(); }

  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }
  // Releases the identifier now; false when the library reports a failure (for a file: the
  // last writes did not reach it).
  bool reset();

 private:
  hid_t id_ = H5I_INVALID_HID;
};

// The library's type for each element type the export writes; on this little-endian machine the
// native types are the files' little-endian ones.
template <class T>
hid_t h5Type() {
  if (std::is_same_v<T, std::uint8_t>) return H5T_NATIVE_UINT8;
  if (std::is_same_v<T, std::int32_t>) return H5T_NATIVE_INT32;
  if (std::is_same_v<T, std::int64_t>) return H5T_NATIVE_INT64;
  if (std::is_same_v<T, float>) return H5T_NATIVE_FLOAT;
  static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int32_t> ||
                    std::is_same_v<T, std::int64_t> || std::is_same_v<T, float> ||
                    std::is_same_v<T, double>,
                "an element type of the export");
  return H5T_NATIVE_DOUBLE;
}

// While it lives, replaces the library's printing of its error stack on this thread by keeping
// the first failure's cause in `sink`: the operating system's message when a system call failed
// ("No space left on device"), else the library's innermost description. The stack has to be
// read there and then: the next call clears it. Destroy it on the thread that created it.
class H5ErrorCatch {
 public:
  explicit H5ErrorCatch(std::string& sink);
  ~H5ErrorCatch();  // the thread's previous handling again
  H5ErrorCatch(const H5ErrorCatch&) = delete;
  H5ErrorCatch& operator=(const H5ErrorCatch&) = delete;

 private:
  H5E_auto2_t previous_ = nullptr;
  void* previousData_ = nullptr;
};

// The cause kept in `sink`, which is emptied for the next failure.
std::string takeH5Error(std::string& sink);

// The dataset creation properties of a column or table: deflated, and byte-shuffled unless its
// elements are single bytes or single-precision values (see h5_file.cpp).
H5Id compressedLayout(hid_t type);

// A column that grows without limit: a packet table in chunks of `chunkRows` values. It collects
// values and appends a whole chunk at a time, so that each chunk is compressed once and never
// read back; flush() appends the rest.
template <class T>
class H5Column {
 public:
  H5Column() = default;
  H5Column(const H5Column&) = delete;
  H5Column& operator=(const H5Column&) = delete;
  ~H5Column() { close(); }

  // Creates the column `name` in `parent`, and its `units` attribute unless `units` is empty.
  bool create(hid_t parent, const std::string& name, std::uint64_t chunkRows,
              const std::string& units = {});
  // Adds one value; appends the chunk once it is full. False when that failed.
  bool push(T value) {
    pending_.push_back(value);
    return pending_.size() < chunkRows_ || flush();
  }
  bool flush() {
    const bool ok = pending_.empty() || H5PTappend(table_, pending_.size(), pending_.data()) >= 0;
    pending_.clear();
    return ok;
  }
  bool close() {
    if (table_ < 0) return true;
    const hid_t table = table_;
    table_ = H5I_INVALID_HID;
    return H5PTclose(table) >= 0;
  }
  hid_t id() const { return H5PTget_dataset(table_); }  // the dataset, for its attributes

 private:
  hid_t table_ = H5I_INVALID_HID;
  std::vector<T> pending_;
  std::uint64_t chunkRows_ = 1;
};

bool writeH5Attribute(hid_t owner, const std::string& name, const std::string& value);
bool writeH5Attribute(hid_t owner, const std::string& name, const std::vector<std::string>& values);
bool writeH5Attribute(hid_t owner, const std::string& name,
                      const std::vector<std::int64_t>& values);

// A scalar attribute of one of h5Type's types. False on failure.
template <class T>
bool writeH5Attribute(hid_t owner, const std::string& name, T value) {
  const H5Id space(H5Screate(H5S_SCALAR));
  const H5Id attribute(space.valid() ? H5Acreate2(owner, name.c_str(), h5Type<T>(), space.get(),
                                                  H5P_DEFAULT, H5P_DEFAULT)
                                     : H5I_INVALID_HID);
  return attribute.valid() && H5Awrite(attribute.get(), h5Type<T>(), &value) >= 0;
}

template <class T>
bool H5Column<T>::create(hid_t parent, const std::string& name, std::uint64_t chunkRows,
                         const std::string& units) {
  chunkRows_ = chunkRows;
  pending_.reserve(chunkRows);
  const H5Id layout = compressedLayout(h5Type<T>());
  if (!layout.valid()) return false;
  table_ = H5PTcreate(parent, name.c_str(), h5Type<T>(), chunkRows, layout.get());
  return table_ >= 0 && (units.empty() || writeH5Attribute(id(), "units", units));
}

// Rows of `width` single-precision values (frames x sensors) without a limit in rows, in chunks
// of one row; H5DOappend adds a row.
H5Id createH5FloatRows(hid_t parent, const std::string& name, std::uint64_t width,
                       const std::string& units);
