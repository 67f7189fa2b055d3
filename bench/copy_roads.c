// Copies a file's bytes from offset 48 to a new file at a chosen offset, by
// copy_file_range(2) or by read(2)/write(2) through a buffer, so the two roads
// a join can take are timed on their own. Linux only; built by copy_roads.sh.
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s kernel|buffered CHUNK_KIB INPUT OUTPUT OUTPUT_OFFSET\n", argv[0]);
    return 2;
  }
  const int kernel = argv[1][0] == 'k';
  const size_t chunk = strtoull(argv[2], NULL, 10) << 10;
  const int in = open(argv[3], O_RDONLY);
  const int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (in < 0 || out < 0 || lseek(in, 48, SEEK_SET) < 0 || lseek(out, atoll(argv[5]), SEEK_SET) < 0) {
    perror("open");
    return 1;
  }
  ssize_t n;
  if (kernel) {
    while ((n = copy_file_range(in, NULL, out, NULL, chunk, 0)) > 0) {}
  } else {
    char* buffer = malloc(chunk);
    while ((n = read(in, buffer, chunk)) > 0) {
      if (write(out, buffer, (size_t)n) != n) return 1;
    }
  }
  if (n < 0) {
    perror("copy");
    return 1;
  }
  return 0;
}
