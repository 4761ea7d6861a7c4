#pragma once

// An HDF5 file read back in tests: datasets, attributes and every dataset's stored bytes.

#include <gtest/gtest.h>

#include <hdf5.h>

#include <map>
#include <string>
#include <vector>

// A file opened read-only; every read converts to the native type asked for.
class H5Reader {
 public:
  explicit H5Reader(const std::string& path)
      : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT)) {}
  ~H5Reader() {
    if (file_ >= 0) H5Fclose(file_);
  }
  bool ok() const { return file_ >= 0; }

  template <class T>
  std::vector<T> read(const std::string& name, hid_t memoryType) const {
    std::vector<T> values;
    const hid_t dataset = H5Dopen2(file_, name.c_str(), H5P_DEFAULT);
    if (dataset < 0) {
      ADD_FAILURE() << "no dataset " << name;
      return values;
    }
    const hid_t space = H5Dget_space(dataset);
    values.resize(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    if (!values.empty()) {
      EXPECT_GE(H5Dread(dataset, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
    }
    H5Sclose(space);
    H5Dclose(dataset);
    return values;
  }
  std::vector<double> numbers(const std::string& name) const {
    return read<double>(name, H5T_NATIVE_DOUBLE);
  }
  std::vector<float> floats(const std::string& name) const {
    return read<float>(name, H5T_NATIVE_FLOAT);
  }

  // Rows and columns of a dataset.
  std::vector<hsize_t> shape(const std::string& name) const {
    const hid_t dataset = H5Dopen2(file_, name.c_str(), H5P_DEFAULT);
    const hid_t space = H5Dget_space(dataset);
    std::vector<hsize_t> dims(static_cast<std::size_t>(H5Sget_simple_extent_ndims(space)));
    H5Sget_simple_extent_dims(space, dims.data(), nullptr);
    H5Sclose(space);
    H5Dclose(dataset);
    return dims;
  }

  double numberAttribute(const std::string& object, const std::string& name) const {
    const std::vector<double> values = numberArrayAttribute(object, name);
    return values.size() == 1 ? values[0] : -1.0;
  }

  std::vector<double> numberArrayAttribute(const std::string& object,
                                           const std::string& name) const {
    std::vector<double> values;
    withAttribute(object, name, [&](hid_t attribute, std::size_t count) {
      values.resize(count);
      H5Aread(attribute, H5T_NATIVE_DOUBLE, values.data());
    });
    return values;
  }

  bool hasAttribute(const std::string& object, const std::string& name) const {
    return H5Aexists_by_name(file_, object.c_str(), name.c_str(), H5P_DEFAULT) > 0;
  }

  std::vector<std::string> textAttribute(const std::string& object, const std::string& name) const {
    std::vector<std::string> texts;
    withAttribute(object, name, [&](hid_t attribute, std::size_t count) {
      std::vector<char*> raw(count);
      const hid_t type = H5Tcopy(H5T_C_S1);
      H5Tset_size(type, H5T_VARIABLE);
      H5Tset_cset(type, H5T_CSET_UTF8);
      if (H5Aread(attribute, type, raw.data()) >= 0) {
        for (char* text : raw) {
          texts.emplace_back(text != nullptr ? text : "");
          H5free_memory(text);
        }
      }
      H5Tclose(type);
    });
    return texts;
  }

  // Every dataset's path and its bytes as stored (file type), for comparing runs.
  std::map<std::string, std::vector<char>> allDatasets() const {
    std::vector<std::string> names;
    H5Ovisit(
        file_, H5_INDEX_NAME, H5_ITER_INC,
        [](hid_t, const char* name, const H5O_info_t* info, void* data) -> herr_t {
          if (info->type == H5O_TYPE_DATASET)
            static_cast<std::vector<std::string>*>(data)->push_back(name);
          return 0;
        },
        &names);
    std::map<std::string, std::vector<char>> datasets;
    for (const std::string& name : names) {
      const hid_t dataset = H5Dopen2(file_, name.c_str(), H5P_DEFAULT);
      const hid_t type = H5Dget_type(dataset);
      const hid_t space = H5Dget_space(dataset);
      std::vector<char> bytes(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)) *
                              H5Tget_size(type));
      if (!bytes.empty()) H5Dread(dataset, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data());
      datasets[name] = std::move(bytes);
      H5Sclose(space);
      H5Tclose(type);
      H5Dclose(dataset);
    }
    return datasets;
  }

 private:
  // Opens attribute `name` of `object` and hands it with its number of elements to `read`.
  template <class Read>
  void withAttribute(const std::string& object, const std::string& name, Read&& read) const {
    const hid_t attribute =
        H5Aopen_by_name(file_, object.c_str(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT);
    if (attribute < 0) {
      ADD_FAILURE() << object << " has no attribute " << name;
      return;
    }
    const hid_t space = H5Aget_space(attribute);
    read(attribute, static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    H5Sclose(space);
    H5Aclose(attribute);
  }

  hid_t file_;
};
