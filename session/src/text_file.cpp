#include "session/text_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include <sys/stat.h>

#include "safe_output/target_checks.h"

std::string readTextFile(const std::string& path, std::size_t maxBytes, std::string& text) {
  text.clear();
  std::error_code ignored;
  // Opening a directory for reading succeeds; reading it then fails with a vaguer message.
  if (std::filesystem::is_directory(path, ignored)) return "is a directory";
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                             std::fclose);
  if (!file) return std::strerror(errno);
  struct stat info {};
  if (fstat(fileno(file.get()), &info) == 0) {
    std::string problem = standardStreamInputProblem(info);
    if (!problem.empty()) return problem;
  }
  // In blocks, so that a small file costs what it holds, not the limit.
  char block[1 << 16];
  std::size_t read = 0;
  while ((read = std::fread(block, 1, sizeof block, file.get())) > 0) {
    if (text.size() + read > maxBytes) {
      text.clear();
      return "is over " + std::to_string(maxBytes >> 20) + " MiB";
    }
    text.append(block, read);
  }
  if (std::ferror(file.get())) {
    text.clear();
    return std::strerror(errno);
  }
  return {};
}
