#pragma once

// A thin layer over the HDF5 C library for the export: identifiers that close themselves,
// extendible compressed tables, attributes, and the library's error stack as one line of text.
// Debian's libhdf5 is built thread-safe; its error stacks and their handling are per thread, so
// every thread that calls it holds an H5ErrorCatch meanwhile.

#include <cstdint>
#include <string>
#include <vector>

#include <hdf5.h>

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

// The element types the export uses: the file's little-endian type and the matching native one.
template <class T>
struct H5Type;
template <>
struct H5Type<std::uint8_t> {
  static hid_t file() { return H5T_STD_U8LE; }
  static hid_t memory() { return H5T_NATIVE_UINT8; }
};
template <>
struct H5Type<std::int32_t> {
  static hid_t file() { return H5T_STD_I32LE; }
  static hid_t memory() { return H5T_NATIVE_INT32; }
};
template <>
struct H5Type<std::int64_t> {
  static hid_t file() { return H5T_STD_I64LE; }
  static hid_t memory() { return H5T_NATIVE_INT64; }
};
template <>
struct H5Type<float> {
  static hid_t file() { return H5T_IEEE_F32LE; }
  static hid_t memory() { return H5T_NATIVE_FLOAT; }
};
template <>
struct H5Type<double> {
  static hid_t file() { return H5T_IEEE_F64LE; }
  static hid_t memory() { return H5T_NATIVE_DOUBLE; }
};

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

// A dataset of rows, `width` elements each (1: a column, more: a two-dimensional table), that
// grows without a limit in rows: chunks of `chunkRows` rows, byte-shuffled and deflated.
class H5Table {
 public:
  // Creates the dataset `name` in `parent` with no rows, and its `units` attribute unless
  // `units` is empty. False on failure.
  bool create(hid_t parent, const std::string& name, hid_t fileType, hid_t memoryType,
              std::size_t elementSize, std::uint64_t width, std::uint64_t chunkRows,
              const std::string& units);

  // Appends `count` rows from `data` (count * width elements of the memory type).
  bool append(const void* data, std::uint64_t count);

  bool close() { return dataset_.reset(); }
  hid_t id() const { return dataset_.get(); }
  std::uint64_t rows() const { return rows_; }
  std::uint64_t chunkRows() const { return chunkRows_; }

 private:
  H5Id dataset_;
  hid_t memoryType_ = H5I_INVALID_HID;
  std::uint64_t width_ = 1;
  std::uint64_t rows_ = 0;
  std::uint64_t chunkRows_ = 1;
};

// A column that collects values and writes them a whole chunk at a time, so that each chunk is
// compressed once and never read back; flush() writes the rest.
template <class T>
class H5Column {
 public:
  bool create(hid_t parent, const std::string& name, std::uint64_t chunkRows,
              const std::string& units = {}) {
    pending_.reserve(chunkRows);
    return table_.create(parent, name, H5Type<T>::file(), H5Type<T>::memory(), sizeof(T), 1,
                         chunkRows, units);
  }
  // Adds one value; writes the chunk once it is full. False when that write failed.
  bool push(T value) {
    pending_.push_back(value);
    return pending_.size() < table_.chunkRows() || flush();
  }
  bool flush() {
    const bool ok = pending_.empty() || table_.append(pending_.data(), pending_.size());
    pending_.clear();
    return ok;
  }
  bool close() { return table_.close(); }
  hid_t id() const { return table_.id(); }

 private:
  H5Table table_;
  std::vector<T> pending_;
};

// Attributes on a file, group or dataset. False on failure.
bool writeH5Attribute(hid_t owner, const std::string& name, const std::string& value);
bool writeH5Attribute(hid_t owner, const std::string& name, const std::vector<std::string>& values);
bool writeH5Attribute(hid_t owner, const std::string& name, std::int64_t value);
bool writeH5Attribute(hid_t owner, const std::string& name, std::uint8_t value);
bool writeH5Attribute(hid_t owner, const std::string& name, float value);
bool writeH5Attribute(hid_t owner, const std::string& name, double value);
bool writeH5Attribute(hid_t owner, const std::string& name,
                      const std::vector<std::int64_t>& values);
