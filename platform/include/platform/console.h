#pragma once

// A command-line program's standard streams, as the process finds them.

// Before the program opens any file: a closed standard stream (0, 1 or 2) is taken by /dev/null
// opened read-only, so that the next file opened does not get its number and with it the
// console's lines (writes fail with EBADF instead, as they would have); and standard output is
// line-buffered, so that a pipe or a log file gets each line when it is written.
void prepareStandardStreams();

// Writes `text` to standard error at once, unbuffered. Async-signal-safe: for signal handlers.
void writeToStandardErrorNow(const char* text);
