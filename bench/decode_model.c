/* decode_model [--threads N] [--rounds R] FILE...: decodes every FILE into
 * the model through the C interface, R times over, in N threads at once
 * (each with a decoder of its own and the files in its own order), and
 * prints how many streams a second that was. What bench/compare.sh times
 * against wendrel -v, and one thread against two. */

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <wendrel.h>

typedef struct {
  wendrel_buffer *files;
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
      const wendrel_buffer *file = &work->files[(i + (size_t)work->offset) % work->count];
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

static int readWhole(const char *name, wendrel_buffer *buffer) {
  FILE *file = fopen(name, "rb");
  if (file == NULL) return 0;
  char block[1 << 16];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) != 0) {
    if (wendrel_buffer_write(buffer, block, got) != 0) break;
  }
  int good = !ferror(file);
  fclose(file);
  return good;
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
  wendrel_buffer *files = calloc(count, sizeof *files);
  if (files == NULL) return 1;
  for (size_t i = 0; i < count; ++i) {
    if (!readWhole(argv[first + (int)i], &files[i])) {
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
  for (size_t i = 0; i < count; ++i) wendrel_buffer_free(&files[i]);
  free(files);
  return failed;
}
