// The benchmark's mzfextract with the recording read in line, in the converting thread itself, so
// that reading ahead on a second thread can be measured against it in the same run.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "app/driver.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  const int status = mzfextract::convert_recording_along(mzfextract::ReadMode::IN_LINE, fd, stdout);
  ::close(fd);
  return std::fflush(stdout) == 0 ? status : 1;
}
