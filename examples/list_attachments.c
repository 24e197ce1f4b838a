/* Lists what a TNEF stream (winmail.dat) holds: each attachment's name, MIME
 * type and size, and those of the messages attached to it, indented.
 *
 *   list_attachments winmail.dat
 *
 * Build: cc list_attachments.c $(pkg-config --cflags --libs wendrel) */

#include <stdio.h>
#include <stdlib.h>
#include <wendrel.h>

static void list(const wendrel_message *message, int depth) {
  for (size_t i = 0; i < wendrel_message_attachment_count(message); ++i) {
    const wendrel_attachment *attachment = wendrel_message_attachment(message, i);
    const char *type = wendrel_attachment_mime_type(attachment);
    size_t size = 0;
    wendrel_attachment_data(attachment, &size);
    printf("%*s%s\t%s\t%zu bytes\n", 2 * depth, "", wendrel_attachment_name(attachment),
           type != NULL ? type : "-", size);
    const wendrel_message *attached = wendrel_attachment_message(attachment);
    if (attached != NULL) list(attached, depth + 1);
  }
}

/* The whole file, in memory of its own. */
static unsigned char *readFile(const char *name, size_t *size) {
  FILE *file = fopen(name, "rb");
  if (file == NULL) return NULL;
  unsigned char *bytes = NULL;
  size_t used = 0, capacity = 0;
  for (;;) {
    if (used == capacity) {
      capacity = capacity != 0 ? 2 * capacity : 65536;
      unsigned char *grown = realloc(bytes, capacity);
      if (grown == NULL) break;
      bytes = grown;
    }
    size_t got = fread(bytes + used, 1, capacity - used, file);
    used += got;
    if (got == 0) break;
  }
  int failed = ferror(file);
  fclose(file);
  if (failed) {
    free(bytes);
    return NULL;
  }
  *size = used;
  return bytes;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  size_t size = 0;
  unsigned char *bytes = readFile(argv[1], &size);
  if (bytes == NULL) {
    perror(argv[1]);
    return 1;
  }
  wendrel_decoder *decoder = NULL;
  wendrel_message *message = NULL;
  wendrel_status status = wendrel_decoder_new(&decoder);
  if (status == WENDREL_OK) status = wendrel_decode(decoder, bytes, size, WENDREL_DECODE_BORROW, &message);
  if (status != WENDREL_OK) {
    fprintf(stderr, "%s: %s\n", argv[1], wendrel_status_text(status));
  } else {
    list(message, 0);
    for (size_t i = 0; i < wendrel_message_damage_count(message); ++i) {
      wendrel_damage kind;
      uint64_t offset;
      wendrel_message_damage(message, i, &kind, &offset);
      fprintf(stderr, "%s: %s at offset %llu\n", argv[1], wendrel_damage_text(kind), (unsigned long long)offset);
    }
  }
  wendrel_message_free(message);
  wendrel_decoder_free(decoder);
  free(bytes);
  return status == WENDREL_OK ? 0 : 1;
}
