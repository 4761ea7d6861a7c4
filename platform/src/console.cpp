#include "platform/console.h"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

void prepareStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != fd) {
      dup2(null, fd);
      close(null);
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

void writeToStandardErrorNow(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0')
    ++length;
  if (write(STDERR_FILENO, text, length) < 0) return;
}
