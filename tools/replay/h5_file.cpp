#include "tools/replay/h5_file.h"

#include <array>

namespace {

constexpr unsigned kDeflateLevel = 1;  // zlib's fastest: the columns are regular enough

H5Id scalarSpace() {
  return H5Id(H5Screate(H5S_SCALAR));
}

H5Id utf8StringType() {
  H5Id type(H5Tcopy(H5T_C_S1));
  if (type.valid() &&
      (H5Tset_size(type.get(), H5T_VARIABLE) < 0 || H5Tset_cset(type.get(), H5T_CSET_UTF8) < 0)) {
    return H5Id();
  }
  return type;
}

bool writeAttribute(hid_t owner, const std::string& name, hid_t fileType, hid_t memoryType,
                    hid_t space, const void* value) {
  if (space < 0 || fileType < 0) return false;
  const H5Id attribute(H5Acreate2(owner, name.c_str(), fileType, space, H5P_DEFAULT, H5P_DEFAULT));
  return attribute.valid() && H5Awrite(attribute.get(), memoryType, value) >= 0;
}

template <class T>
bool writeNumber(hid_t owner, const std::string& name, T value) {
  const H5Id space = scalarSpace();
  return writeAttribute(owner, name, H5Type<T>::file(), H5Type<T>::memory(), space.get(), &value);
}

struct ErrorWalk {
  std::string innermost;
  std::string systemMessage;
};

herr_t collectError(unsigned n, const H5E_error2_t* error, void* data) {
  auto& walk = *static_cast<ErrorWalk*>(data);
  const std::string desc = error->desc != nullptr ? error->desc : "";
  if (n == 0) walk.innermost = desc;
  // The file drivers quote strerror: "..., errno = 28, error message = 'No space left on device'".
  const std::string key = "error message = '";
  const std::size_t at = desc.find(key);
  if (walk.systemMessage.empty() && at != std::string::npos) {
    const std::size_t end = desc.find('\'', at + key.size());
    walk.systemMessage = desc.substr(at + key.size(), end - (at + key.size()));
  }
  return 0;
}

}  // namespace

H5Id& H5Id::operator=(H5Id&& other) noexcept {
  if (this != &other) {
    reset();
    id_ = other.id_;
    other.id_ = H5I_INVALID_HID;
  }
  return *this;
}

bool H5Id::reset() {
  if (id_ < 0) return true;
  const hid_t id = id_;
  id_ = H5I_INVALID_HID;
  switch (H5Iget_type(id)) {
    case H5I_FILE:
      return H5Fclose(id) >= 0;
    case H5I_GROUP:
      return H5Gclose(id) >= 0;
    case H5I_DATASET:
      return H5Dclose(id) >= 0;
    case H5I_DATASPACE:
      return H5Sclose(id) >= 0;
    case H5I_DATATYPE:
      return H5Tclose(id) >= 0;
    case H5I_ATTR:
      return H5Aclose(id) >= 0;
    case H5I_GENPROP_LST:
      return H5Pclose(id) >= 0;
    default:
      return H5Idec_ref(id) >= 0;
  }
}

namespace {

// Called by the library at the end of any call that failed, with the error stack still whole
// (the next call clears it).
herr_t keepFirstError(hid_t stack, void* data) {
  auto& sink = *static_cast<std::string*>(data);
  if (!sink.empty()) return 0;
  ErrorWalk walk;
  H5Ewalk2(stack, H5E_WALK_UPWARD, collectError, &walk);
  if (!walk.systemMessage.empty()) {
    sink = walk.systemMessage;
  } else {
    sink = walk.innermost.empty() ? "the HDF5 library failed" : "HDF5: " + walk.innermost;
  }
  return 0;
}

}  // namespace

H5ErrorCatch::H5ErrorCatch(std::string& sink) {
  H5Eget_auto2(H5E_DEFAULT, &previous_, &previousData_);
  H5Eset_auto2(H5E_DEFAULT, keepFirstError, &sink);
}

H5ErrorCatch::~H5ErrorCatch() {
  H5Eset_auto2(H5E_DEFAULT, previous_, previousData_);
}

std::string takeH5Error(std::string& sink) {
  std::string text = sink.empty() ? "the HDF5 library failed" : sink;
  sink.clear();
  return text;
}

bool H5Table::create(hid_t parent, const std::string& name, hid_t fileType, hid_t memoryType,
                     std::size_t elementSize, std::uint64_t width, std::uint64_t chunkRows,
                     const std::string& units) {
  memoryType_ = memoryType;
  width_ = width;
  chunkRows_ = chunkRows;
  rows_ = 0;
  const int rank = width == 1 ? 1 : 2;
  const std::array<hsize_t, 2> initial{0, width};
  const std::array<hsize_t, 2> limit{H5S_UNLIMITED, width};
  const std::array<hsize_t, 2> chunk{chunkRows, width};
  // Shuffling puts the bytes of equal significance together: integers and times that change
  // little from row to row compress far better and faster. The single-precision columns
  // (weights, gains) repeat whole values instead, which the shuffle would tear apart: unshuffled
  // they compress a third better and half again as fast.
  const bool shuffle =
      elementSize > 1 && !(H5Tget_class(fileType) == H5T_FLOAT && elementSize == sizeof(float));
  const H5Id space(H5Screate_simple(rank, initial.data(), limit.data()));
  const H5Id properties(H5Pcreate(H5P_DATASET_CREATE));
  if (!space.valid() || !properties.valid() ||
      H5Pset_chunk(properties.get(), rank, chunk.data()) < 0 ||
      (shuffle && H5Pset_shuffle(properties.get()) < 0) ||
      H5Pset_deflate(properties.get(), kDeflateLevel) < 0) {
    return false;
  }
  dataset_ = H5Id(H5Dcreate2(parent, name.c_str(), fileType, space.get(), H5P_DEFAULT,
                             properties.get(), H5P_DEFAULT));
  if (!dataset_.valid()) return false;
  return units.empty() || writeH5Attribute(dataset_.get(), "units", units);
}

bool H5Table::append(const void* data, std::uint64_t count) {
  if (count == 0) return true;
  const std::array<hsize_t, 2> size{rows_ + count, width_};
  if (H5Dset_extent(dataset_.get(), size.data()) < 0) return false;
  const H5Id fileSpace(H5Dget_space(dataset_.get()));
  const std::array<hsize_t, 2> start{rows_, 0};
  const std::array<hsize_t, 2> extent{count, width_};
  const int rank = width_ == 1 ? 1 : 2;
  const H5Id memorySpace(H5Screate_simple(rank, extent.data(), nullptr));
  if (!fileSpace.valid() || !memorySpace.valid() ||
      H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start.data(), nullptr, extent.data(),
                          nullptr) < 0 ||
      H5Dwrite(dataset_.get(), memoryType_, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, data) <
          0) {
    return false;
  }
  rows_ += count;
  return true;
}

bool writeH5Attribute(hid_t owner, const std::string& name, const std::string& value) {
  const H5Id type = utf8StringType();
  const H5Id space = scalarSpace();
  const char* text = value.c_str();
  return writeAttribute(owner, name, type.get(), type.get(), space.get(), &text);
}

bool writeH5Attribute(hid_t owner, const std::string& name,
                      const std::vector<std::string>& values) {
  const H5Id type = utf8StringType();
  const hsize_t count = values.size();
  const H5Id space(H5Screate_simple(1, &count, nullptr));
  std::vector<const char*> texts;
  for (const std::string& value : values)
    texts.push_back(value.c_str());
  return writeAttribute(owner, name, type.get(), type.get(), space.get(), texts.data());
}

bool writeH5Attribute(hid_t owner, const std::string& name, std::int64_t value) {
  return writeNumber(owner, name, value);
}

bool writeH5Attribute(hid_t owner, const std::string& name, std::uint8_t value) {
  return writeNumber(owner, name, value);
}

bool writeH5Attribute(hid_t owner, const std::string& name, float value) {
  return writeNumber(owner, name, value);
}

bool writeH5Attribute(hid_t owner, const std::string& name, double value) {
  return writeNumber(owner, name, value);
}

bool writeH5Attribute(hid_t owner, const std::string& name,
                      const std::vector<std::int64_t>& values) {
  const hsize_t count = values.size();
  const H5Id space(H5Screate_simple(1, &count, nullptr));
  return writeAttribute(owner, name, H5Type<std::int64_t>::file(), H5Type<std::int64_t>::memory(),
                        space.get(), values.data());
}
