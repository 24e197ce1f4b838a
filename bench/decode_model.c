/* decode_model [--threads N] [--rounds R] FILE...: decodes every FILE (mapped,
 * as wendrel maps it, and borrowed) into the model through the C interface,
 * R times over, in N threads at once (each with a decoder of its own and the
 * files in its own order), and prints how many streams a second that was.
 * What bench/compare.sh times against wendrel -v, and one thread against
 * two. */

#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wendrel.h>

/* A file mapped as wendrel maps it, borrowed by every decode. */
typedef struct {
  const void *data;
  size_t size;
} Mapped;

typedef struct {
  Mapped *files;
  size_t count;
  int rounds;
  int offset;
  int failed;
} Work;

static void *decodeAll(void *argument) {
  Work *work = argument;
  wendrel_decoder *decoder = NULL;
  if (wendrel_decoder_new(&decoder) != WENDREL_OK) {
    work->failed = 1;
    return NULL;
  }
  for (int round = 0; round < work->rounds; ++round) {
    for (size_t i = 0; i < work->count; ++i) {
      const Mapped *file = &work->files[(i + (size_t)work->offset) % work->count];
      wendrel_message *message = NULL;
      if (wendrel_decode(decoder, file->data, file->size, WENDREL_DECODE_BORROW | WENDREL_DECODE_ANY_SIGNATURE,
                         &message) != WENDREL_OK) {
        work->failed = 1;
      }
      wendrel_message_free(message);
    }
  }
  wendrel_decoder_free(decoder);
  return NULL;
}

static int mapWhole(const char *name, Mapped *mapped) {
  int fd = open(name, O_RDONLY);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0) return 0;
  mapped->size = (size_t)status.st_size;
  mapped->data = mapped->size != 0 ? mmap(NULL, mapped->size, PROT_READ, MAP_PRIVATE, fd, 0) : "";
  close(fd);
  return mapped->data != MAP_FAILED;
}

int main(int argc, char **argv) {
  int threads = 1, rounds = 1, first = 1;
  while (first + 1 < argc && argv[first][0] == '-' && argv[first][1] == '-') {
    if (strcmp(argv[first], "--threads") == 0) threads = atoi(argv[first + 1]);
    else if (strcmp(argv[first], "--rounds") == 0) rounds = atoi(argv[first + 1]);
    else break;
    first += 2;
  }
  if (first >= argc || threads < 1 || threads > 64 || rounds < 1) {
    fputs("usage: decode_model [--threads N] [--rounds R] FILE...\n", stderr);
    return 2;
  }
  size_t count = (size_t)(argc - first);
  Mapped *files = calloc(count, sizeof *files);
  if (files == NULL) return 1;
  for (size_t i = 0; i < count; ++i) {
    if (!mapWhole(argv[first + (int)i], &files[i])) {
      perror(argv[first + (int)i]);
      return 1;
    }
  }
  pthread_t ids[64];
  Work work[64];
  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (int t = 0; t < threads; ++t) {
    work[t] = (Work){files, count, rounds, t, 0};
    if (pthread_create(&ids[t], NULL, decodeAll, &work[t]) != 0) return 1;
  }
  int failed = 0;
  for (int t = 0; t < threads; ++t) {
    pthread_join(ids[t], NULL);
    failed |= work[t].failed;
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9;
  printf("%.1f streams/s\n", (double)count * rounds * threads / seconds);
  free(files);
  return failed;
}
