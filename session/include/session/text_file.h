#pragma once

#include <cstddef>
#include <string>

// Reads the whole file at `path` into `text`. Returns an empty string, or why it cannot:
// the system's message ("No such file or directory", "Permission denied"), "is a directory",
// "is over N MiB" when it holds more than `maxBytes`, which no file of the kind asked for does, or
// that it is the file behind standard output or standard error (standardStreamInputProblem).
std::string readTextFile(const std::string& path, std::size_t maxBytes, std::string& text);
