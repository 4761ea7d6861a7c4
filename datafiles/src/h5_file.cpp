#include "datafiles/h5_file.h"

namespace {

constexpr unsigned kDeflateLevel = 1;  // zlib's fastest: the columns are regular enough

H5Id utf8StringType() {
  H5Id type(H5Tcopy(H5T_C_S1));
  if (type.valid() &&
      (H5Tset_size(type.get(), H5T_VARIABLE) < 0 || H5Tset_cset(type.get(), H5T_CSET_UTF8) < 0)) {
    return H5Id();
  }
  return type;
}

bool writeTexts(hid_t owner, const std::string& name, hid_t space,
                const std::vector<const char*>& texts) {
  const H5Id type = utf8StringType();
  if (!type.valid() || space < 0) return false;
  const H5Id attribute(
      H5Acreate2(owner, name.c_str(), type.get(), space, H5P_DEFAULT, H5P_DEFAULT));
  return attribute.valid() && H5Awrite(attribute.get(), type.get(), texts.data()) >= 0;
}

// Called by the library at the end of any call that failed, with the error stack still whole
// (the next call clears it). The file drivers quote strerror: "..., errno = 28, error message =
// 'No space left on device'".
herr_t keepFirstError(hid_t stack, void* data) {
  auto& sink = *static_cast<std::string*>(data);
  if (!sink.empty()) return 0;
  struct Walk {
    std::string innermost, systemMessage;
  } walk;
  H5Ewalk2(
      stack, H5E_WALK_UPWARD,
      [](unsigned n, const H5E_error2_t* error, void* found) -> herr_t {
        auto& w = *static_cast<Walk*>(found);
        const std::string desc = error->desc != nullptr ? error->desc : "";
        if (n == 0) w.innermost = desc;
        const std::string key = "error message = '";
        const std::size_t at = desc.find(key);
        if (w.systemMessage.empty() && at != std::string::npos) {
          const std::size_t end = desc.find('\'', at + key.size());
          w.systemMessage = desc.substr(at + key.size(), end - (at + key.size()));
        }
        return 0;
      },
      &walk);
  if (!walk.systemMessage.empty()) {
    sink = walk.systemMessage;
  } else {
    sink = walk.innermost.empty() ? "the HDF5 library failed" : "HDF5: " + walk.innermost;
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
  // A file's close is the one that reports its last writes failing.
  return (H5Iget_type(id) == H5I_FILE ? H5Fclose(id) : H5Idec_ref(id)) >= 0;
}

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

H5Id compressedLayout(hid_t type) {
  // Shuffling puts the bytes of equal significance together: integers and times that change
  // little from row to row compress far better and faster. The single-precision columns
  // (weights, gains) repeat whole values instead, which the shuffle would tear apart: unshuffled
  // they compress better and faster (docs/performance.md, "What the export costs").
  const std::size_t size = H5Tget_size(type);
  const bool shuffle = size > 1 && !(H5Tget_class(type) == H5T_FLOAT && size == sizeof(float));
  H5Id properties(H5Pcreate(H5P_DATASET_CREATE));
  if (!properties.valid() || (shuffle && H5Pset_shuffle(properties.get()) < 0) ||
      H5Pset_deflate(properties.get(), kDeflateLevel) < 0) {
    return H5Id();
  }
  return properties;
}

H5Id createH5FloatRows(hid_t parent, const std::string& name, std::uint64_t width,
                       const std::string& units) {
  const hsize_t initial[2] = {0, width}, limit[2] = {H5S_UNLIMITED, width}, chunk[2] = {1, width};
  const H5Id space(H5Screate_simple(2, initial, limit));
  const H5Id properties = compressedLayout(H5T_NATIVE_FLOAT);
  if (!space.valid() || !properties.valid() || H5Pset_chunk(properties.get(), 2, chunk) < 0) {
    return H5Id();
  }
  H5Id dataset(H5Dcreate2(parent, name.c_str(), H5T_NATIVE_FLOAT, space.get(), H5P_DEFAULT,
                          properties.get(), H5P_DEFAULT));
  if (dataset.valid() && !writeH5Attribute(dataset.get(), "units", units)) return H5Id();
  return dataset;
}

bool writeH5Attribute(hid_t owner, const std::string& name, const std::string& value) {
  const H5Id space(H5Screate(H5S_SCALAR));
  return writeTexts(owner, name, space.get(), {value.c_str()});
}

bool writeH5Attribute(hid_t owner, const std::string& name,
                      const std::vector<std::string>& values) {
  const hsize_t count = values.size();
  const H5Id space(H5Screate_simple(1, &count, nullptr));
  std::vector<const char*> texts;
  for (const std::string& value : values)
    texts.push_back(value.c_str());
  return writeTexts(owner, name, space.get(), texts);
}

bool writeH5Attribute(hid_t owner, const std::string& name,
                      const std::vector<std::int64_t>& values) {
  static_assert(sizeof(long long) == sizeof(std::int64_t), "long long is 64 bits");
  return H5LTset_attribute_long_long(owner, ".", name.c_str(),
                                     reinterpret_cast<const long long*>(values.data()),
                                     values.size()) >= 0;
}
