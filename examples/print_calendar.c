/* Prints the calendar item a TNEF stream holds (a meeting request, an
 * appointment, a task) as iCalendar, the file a calendar program imports;
 * when the message itself is none, the first one attached to it.
 *
 *   print_calendar winmail.dat > meeting.ics
 *
 * Build: cc print_calendar.c $(pkg-config --cflags --libs wendrel) */

#include <stdio.h>
#include <stdlib.h>
#include <wendrel.h>

static int writeOut(void *file, const void *bytes, size_t size) {
  return fwrite(bytes, 1, size, file) == size ? 0 : 1;
}

/* The message, or the first message attached to it (at any depth), that is
 * a calendar item; NULL when there is none. */
static const wendrel_message *calendarItem(const wendrel_message *message) {
  wendrel_buffer discard = {0};
  wendrel_status status = wendrel_message_calendar(message, wendrel_buffer_write, &discard);
  wendrel_buffer_free(&discard);
  if (status == WENDREL_OK) return message;
  for (size_t i = 0; i < wendrel_message_attachment_count(message); ++i) {
    const wendrel_message *attached = wendrel_attachment_message(wendrel_message_attachment(message, i));
    const wendrel_message *found = attached != NULL ? calendarItem(attached) : NULL;
    if (found != NULL) return found;
  }
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  FILE *file = fopen(argv[1], "rb");
  if (file == NULL) {
    perror(argv[1]);
    return 1;
  }
  wendrel_buffer input = {0};
  char block[65536];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) != 0) {
    if (wendrel_buffer_write(&input, block, got) != 0) break;
  }
  fclose(file);

  wendrel_decoder *decoder = NULL;
  wendrel_message *message = NULL;
  int result = 1;
  if (wendrel_decoder_new(&decoder) == WENDREL_OK &&
      wendrel_decode(decoder, input.data, input.size, 0, &message) == WENDREL_OK) {
    const wendrel_message *item = calendarItem(message);
    if (item == NULL) {
      fprintf(stderr, "%s: no calendar item\n", argv[1]);
    } else {
      char name[WENDREL_NAME_MAX];
      wendrel_message_item_file_name(item, name);
      fprintf(stderr, "%s\n", name);
      result = wendrel_message_calendar(item, writeOut, stdout) == WENDREL_OK && fflush(stdout) == 0 ? 0 : 1;
    }
  } else {
    fprintf(stderr, "%s: %s\n", argv[1], decoder != NULL ? wendrel_decoder_error(decoder) : "out of memory");
  }
  wendrel_message_free(message);
  wendrel_decoder_free(decoder);
  wendrel_buffer_free(&input);
  return result;
}
