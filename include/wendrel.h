/*
 * libwendrel: a decoder of TNEF streams (winmail.dat) for C and C++.
 *
 * A decoder turns one stream into a message: every attribute record, every
 * MAPI property of the message, of its recipient rows and of its attachments,
 * the attachments themselves (as wendrel saves them, with the messages
 * attached to them decoded in turn), the bodies, the calendar item or
 * contact it is, and every damage met on the way.
 *
 *     wendrel_decoder *decoder;
 *     wendrel_message *message;
 *     if (wendrel_decoder_new(&decoder) != WENDREL_OK) return 1;
 *     if (wendrel_decode(decoder, bytes, size, 0, &message) == WENDREL_OK) {
 *       for (size_t i = 0; i < wendrel_message_attachment_count(message); ++i)
 *         puts(wendrel_attachment_name(wendrel_message_attachment(message, i)));
 *       wendrel_message_free(message);
 *     }
 *     wendrel_decoder_free(decoder);
 *
 * Threads. Decoders share nothing: any number of them may decode at once in
 * any threads, one call at a time on each. A decoded message never changes:
 * any number of threads may read one message at once. A message does not
 * depend on the decoder that made it, which may be freed or reused first.
 *
 * Memory. Every pointer a function returns is owned by the library and
 * stays valid until the message it came from (for a nested message, the
 * message at the top) is freed with wendrel_message_free, unless its
 * function says otherwise. Nothing is ever handed to the caller to free but
 * a wendrel_buffer's data (wendrel_buffer_free) and the handles made by
 * wendrel_decoder_new and wendrel_decode.
 *
 * Texts are UTF-8. 8-bit texts of the stream are converted from the code
 * page it names (attOemCodepage), else read as windows-1252 unless they are
 * UTF-8 already; UTF-16 texts are converted with U+FFFD for what is not
 * UTF-16. Values longer than a buffer are never cut, unlike the 255 bytes
 * wendrel shows on the screen.
 *
 * Hostile input. A stream is read within its bounds whatever lengths and
 * counts it claims: a record, a list or a value that does not fit is left
 * out and named in the message's damage list, and decoding goes on with
 * what follows when it can. Memory stays a small multiple of the stream.
 */
#ifndef WENDREL_H
#define WENDREL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(WENDREL_BUILDING_LIBRARY) && defined(__GNUC__)
#define WENDREL_API __attribute__((visibility("default")))
#else
#define WENDREL_API
#endif

/* ---- Version ---- */

#define WENDREL_VERSION_MAJOR 1
#define WENDREL_VERSION_MINOR 4
#define WENDREL_VERSION_PATCH 0
#define WENDREL_VERSION_STRING "1.4.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH: 10400 for 1.4.0. */
#define WENDREL_VERSION_NUMBER (WENDREL_VERSION_MAJOR * 10000 + WENDREL_VERSION_MINOR * 100 + WENDREL_VERSION_PATCH)

/* The version of the library running, "1.4.0" (a static string), and its
 * number as WENDREL_VERSION_NUMBER gives it: a program may compare these with
 * the macros it was built with. */
WENDREL_API const char *wendrel_version(void);
WENDREL_API int wendrel_version_number(void);

/* ---- Status ---- */

typedef enum wendrel_status {
  WENDREL_OK = 0,
  WENDREL_ERROR_ARGUMENT = 1,  /* a null handle or pointer, an index out of range */
  WENDREL_ERROR_MEMORY = 2,    /* memory ran out */
  WENDREL_ERROR_NOT_TNEF = 3,  /* the input does not start with the TNEF signature */
  WENDREL_ERROR_TOO_LARGE = 4, /* an input of 4 GiB or more */
  WENDREL_ERROR_ABSENT = 5,    /* no such value: no HTML body, not a calendar item, ... */
  WENDREL_ERROR_TYPE = 6,      /* the value is of another type than the function reads */
  WENDREL_ERROR_WRITE = 7      /* a write function returned nonzero */
} wendrel_status;

/* A sentence that says what a status means (a static string). */
WENDREL_API const char *wendrel_status_text(wendrel_status status);

/* ---- Output of texts and bodies ----
 *
 * Functions that give a text or a body of any length hand it to a write
 * function in blocks, in order; a block is valid only during the call. The
 * write function returns 0 to go on, anything else to stop (the function
 * then returns WENDREL_ERROR_WRITE). */
typedef int (*wendrel_write_fn)(void *context, const void *bytes, size_t size);

/* A growing block of memory that wendrel_buffer_write appends to: start it
 * zeroed ({0}); data is NUL-terminated after size bytes (the NUL is not
 * counted), and the caller frees it with wendrel_buffer_free. */
typedef struct wendrel_buffer {
  char *data;
  size_t size;
  size_t capacity;
} wendrel_buffer;

/* A wendrel_write_fn whose context is a wendrel_buffer. */
WENDREL_API int wendrel_buffer_write(void *buffer, const void *bytes, size_t size);
/* Frees the buffer's data and zeroes it; a null buffer is ignored. */
WENDREL_API void wendrel_buffer_free(wendrel_buffer *buffer);

/* ---- Handles ---- */

typedef struct wendrel_decoder wendrel_decoder;
typedef struct wendrel_message wendrel_message;
typedef struct wendrel_attribute wendrel_attribute;
typedef struct wendrel_property_list wendrel_property_list;
typedef struct wendrel_property wendrel_property;
typedef struct wendrel_attachment wendrel_attachment;

/* ---- Decoders ---- */

/* A new decoder in *decoder (NULL on failure). */
WENDREL_API wendrel_status wendrel_decoder_new(wendrel_decoder **decoder);
/* Frees a decoder; messages it made stay valid. A null decoder is ignored. */
WENDREL_API void wendrel_decoder_free(wendrel_decoder *decoder);
/* What went wrong in the decoder's latest call that failed, as a sentence
 * (valid until its next call); "" when none failed. */
WENDREL_API const char *wendrel_decoder_error(const wendrel_decoder *decoder);

/* Flags of wendrel_decode. */
enum {
  /* The message reads the caller's bytes in place instead of a copy of its
   * own: they must stay as they are until the message is freed. */
  WENDREL_DECODE_BORROW = 1,
  /* Decode an input whose signature is wrong as if it were right (as the
   * wendrel program does) instead of failing with WENDREL_ERROR_NOT_TNEF;
   * the damage list then starts with WENDREL_DAMAGE_BAD_SIGNATURE. */
  WENDREL_DECODE_ANY_SIGNATURE = 2
};

/* Decodes the size bytes at data (a whole stream: the signature, the attach
 * key, then the records) into a new message in *message (NULL on failure),
 * which the caller frees with wendrel_message_free. A stream that is damaged
 * after its signature still gives WENDREL_OK: what could be read is in the
 * message, and the damage in its damage list. */
WENDREL_API wendrel_status wendrel_decode(wendrel_decoder *decoder, const void *data, size_t size, unsigned flags,
                                          wendrel_message **message);

/* ---- Messages ---- */

/* Frees a message made by wendrel_decode and everything it holds (its
 * attachments' messages too). A null message, or one attached to another
 * (from wendrel_attachment_message), is ignored. */
WENDREL_API void wendrel_message_free(wendrel_message *message);

/* The stream's first bytes: whether they are the TNEF signature, and the
 * attach key that follows it. */
WENDREL_API int wendrel_message_signature_ok(const wendrel_message *message);
WENDREL_API uint16_t wendrel_message_attach_key(const wendrel_message *message);
/* Where the message's stream starts in the input: 0 for the decoded one, the
 * place of its bytes for an attached message. */
WENDREL_API uint64_t wendrel_message_offset(const wendrel_message *message);

/* The message's class (attMessageClass, else PR_MESSAGE_CLASS) and subject
 * (attSubject, else PR_SUBJECT, else PR_CONVERSATION_TOPIC), whole, in UTF-8;
 * WENDREL_ERROR_ABSENT when it has none. */
WENDREL_API wendrel_status wendrel_message_class(const wendrel_message *message, wendrel_write_fn write,
                                                 void *context);
WENDREL_API wendrel_status wendrel_message_subject(const wendrel_message *message, wendrel_write_fn write,
                                                   void *context);

/* Every attribute record, in stream order, those of its attachments among
 * them. The handle at index (NULL past the last) lives as long as the
 * message. */
WENDREL_API size_t wendrel_message_attribute_count(const wendrel_message *message);
WENDREL_API const wendrel_attribute *wendrel_message_attribute(const wendrel_message *message, size_t index);

/* The MAPI properties of the message (attMAPIProps; all of them in order,
 * when it has more than one such record). Never NULL for a message. */
WENDREL_API const wendrel_property_list *wendrel_message_properties(const wendrel_message *message);

/* The rows of its recipient table (attRecipTable), each a property list. */
WENDREL_API size_t wendrel_message_recipient_count(const wendrel_message *message);
WENDREL_API const wendrel_property_list *wendrel_message_recipient(const wendrel_message *message, size_t index);

/* Its attachments, in stream order (each begins with attAttachRenddata). */
WENDREL_API size_t wendrel_message_attachment_count(const wendrel_message *message);
WENDREL_API const wendrel_attachment *wendrel_message_attachment(const wendrel_message *message, size_t index);

/* ---- Bodies ---- */

typedef enum wendrel_body {
  /* The text body (PR_BODY, else attBody), else the text of the RTF body:
   * what a reader of the message sees, in UTF-8. */
  WENDREL_BODY_TEXT = 0,
  /* The HTML body as it is stored: 8-bit HTML in its own bytes (see
   * wendrel_message_html_charset), UTF-16 HTML as UTF-8. */
  WENDREL_BODY_HTML = 1,
  /* The HTML body in UTF-8, else the HTML the RTF body encapsulates. */
  WENDREL_BODY_HTML_UTF8 = 2,
  /* The RTF body (PR_RTF_COMPRESSED), decompressed. */
  WENDREL_BODY_RTF = 3,
  /* The HTML the RTF body encapsulates, in UTF-8. */
  WENDREL_BODY_RTF_HTML = 4,
  /* The text of the RTF body, in UTF-8: the text it encapsulates, or the
   * text a reader of it sees. */
  WENDREL_BODY_RTF_TEXT = 5
} wendrel_body;

/* The body, handed to write; WENDREL_ERROR_ABSENT when the message has none
 * of that kind (an RTF body that does not decompress, or that encapsulates
 * the other kind, is none). */
WENDREL_API wendrel_status wendrel_message_body(const wendrel_message *message, wendrel_body body,
                                                wendrel_write_fn write, void *context);
/* The charset 8-bit HTML is in (an IANA name: its Internet code page, else
 * the charset it declares, else "utf-8" when it is UTF-8, else
 * "windows-1252"); "utf-8" for UTF-16 HTML; NULL when it has no HTML body. */
WENDREL_API const char *wendrel_message_html_charset(const wendrel_message *message);

/* A meeting, appointment or task as iCalendar (RFC 5545), the object wendrel
 * saves with -s; a contact or distribution list as vCard (3.0, or 4.0 for a
 * list). WENDREL_ERROR_ABSENT when the message is none. A value that cannot
 * be read whole is left out of the text, as wendrel leaves it out. */
WENDREL_API wendrel_status wendrel_message_calendar(const wendrel_message *message, wendrel_write_fn write,
                                                    void *context);
WENDREL_API wendrel_status wendrel_message_vcard(const wendrel_message *message, wendrel_write_fn write,
                                                 void *context);
/* The name wendrel saves that text under ("Weekly review.ics",
 * "Ada Lovelace.vcf"), before any -N suffix, NUL-terminated in name (names
 * are at most 255 bytes); WENDREL_ERROR_ABSENT when the message is neither. */
#define WENDREL_NAME_MAX 256
WENDREL_API wendrel_status wendrel_message_item_file_name(const wendrel_message *message,
                                                          char name[WENDREL_NAME_MAX]);

/* ---- Damage ---- */

typedef enum wendrel_damage {
  WENDREL_DAMAGE_SHORT_STREAM = 0,       /* too short for a TNEF header */
  WENDREL_DAMAGE_BAD_SIGNATURE = 1,      /* the first four bytes are not the TNEF signature */
  WENDREL_DAMAGE_TRUNCATED_RECORD = 2,   /* a record cut short, or one whose length runs past the end */
  WENDREL_DAMAGE_TRUNCATED_PROPERTIES = 3, /* a MAPI property list cut short */
  WENDREL_DAMAGE_TRUNCATED_RECIPIENTS = 4, /* a recipient table cut short */
  WENDREL_DAMAGE_RTF = 5,                /* a compressed-RTF body that does not decompress */
  WENDREL_DAMAGE_OLE_OBJECT = 6,         /* an OLE object whose compound file cannot be read */
  WENDREL_DAMAGE_NESTED_TOO_DEEP = 7,    /* an attached message below the deepest level decoded */
  WENDREL_DAMAGE_MEMORY = 8              /* memory ran out: the message is not whole */
} wendrel_damage;

/* The damage met in the message's own stream (an attached message has its
 * own list), in the order it was met: its kind and the offset in the input of
 * the record, list or value concerned. */
WENDREL_API size_t wendrel_message_damage_count(const wendrel_message *message);
WENDREL_API wendrel_status wendrel_message_damage(const wendrel_message *message, size_t index,
                                                  wendrel_damage *kind, uint64_t *offset);
/* A sentence for a kind of damage (a static string). */
WENDREL_API const char *wendrel_damage_text(wendrel_damage kind);

/* ---- Attribute records ---- */

/* 1 for the message's, 2 for an attachment's. */
WENDREL_API int wendrel_attribute_level(const wendrel_attribute *attribute);
/* The attribute ID, its type in the upper 16 bits (0x00018004 attSubject). */
WENDREL_API uint32_t wendrel_attribute_id(const wendrel_attribute *attribute);
/* Its name ("attSubject"; "Unknown" for an ID the catalogue has not), a
 * static string. */
WENDREL_API const char *wendrel_attribute_name(const wendrel_attribute *attribute);
/* The value's bytes as they stand in the input, and their number. */
WENDREL_API const uint8_t *wendrel_attribute_data(const wendrel_attribute *attribute, size_t *size);
/* The checksum stored after the value, and whether it is the sum of the
 * value's bytes (modulo 65536). */
WENDREL_API uint16_t wendrel_attribute_checksum(const wendrel_attribute *attribute);
WENDREL_API int wendrel_attribute_checksum_ok(const wendrel_attribute *attribute);
/* Where the record starts in the input (its level byte). */
WENDREL_API uint64_t wendrel_attribute_offset(const wendrel_attribute *attribute);
/* The attachment the record belongs to, as its index in the message's
 * attachments, or (size_t)-1 for the message's own. */
WENDREL_API size_t wendrel_attribute_attachment(const wendrel_attribute *attribute);
/* An atpString or atpText value as text (up to its first NUL; the message
 * class too, whose ID says atpWord); a date (atpDate) as its seven fields; a
 * number (atpShort, atpLong, atpWord, atpDword: the first 2 or 4 bytes,
 * little-endian; atpByte when it is a single byte). */
WENDREL_API wendrel_status wendrel_attribute_string(const wendrel_attribute *attribute, wendrel_write_fn write,
                                                    void *context);
typedef struct wendrel_date {
  uint16_t year, month, day, hour, minute, second, day_of_week; /* day_of_week: 0 Sunday .. 6 Saturday */
} wendrel_date;
WENDREL_API wendrel_status wendrel_attribute_date(const wendrel_attribute *attribute, wendrel_date *date);
WENDREL_API wendrel_status wendrel_attribute_integer(const wendrel_attribute *attribute, int64_t *value);

/* ---- MAPI property lists ---- */

WENDREL_API size_t wendrel_property_list_count(const wendrel_property_list *list);
WENDREL_API const wendrel_property *wendrel_property_list_get(const wendrel_property_list *list, size_t index);
/* 0 when a property that the list's count promised did not fit: the list
 * holds those before it. */
WENDREL_API int wendrel_property_list_complete(const wendrel_property_list *list);
/* The first property with this tag (ID in the upper 16 bits, type in the
 * lower), or NULL. */
WENDREL_API const wendrel_property *wendrel_property_list_find(const wendrel_property_list *list, uint32_t tag);
/* The first named property of the set guid (16 bytes, as stored: the first
 * three fields little-endian) with this number, or named by this string
 * (UTF-8, compared without regard to ASCII case); NULL when there is none. */
WENDREL_API const wendrel_property *wendrel_property_list_find_number(const wendrel_property_list *list,
                                                                      const uint8_t guid[16], uint32_t number);
WENDREL_API const wendrel_property *wendrel_property_list_find_name(const wendrel_property_list *list,
                                                                    const uint8_t guid[16], const char *name);

/* ---- MAPI properties ---- */

/* Property types, and the flag of multi-valued ones. */
enum {
  WENDREL_PT_I2 = 0x0002, WENDREL_PT_LONG = 0x0003, WENDREL_PT_R4 = 0x0004, WENDREL_PT_DOUBLE = 0x0005,
  WENDREL_PT_CURRENCY = 0x0006, WENDREL_PT_APPTIME = 0x0007, WENDREL_PT_ERROR = 0x000A,
  WENDREL_PT_BOOLEAN = 0x000B, WENDREL_PT_OBJECT = 0x000D, WENDREL_PT_I8 = 0x0014, WENDREL_PT_STRING8 = 0x001E,
  WENDREL_PT_UNICODE = 0x001F, WENDREL_PT_SYSTIME = 0x0040, WENDREL_PT_CLSID = 0x0048,
  WENDREL_PT_BINARY = 0x0102, WENDREL_MV_FLAG = 0x1000
};

/* The tag as stored: the ID in the upper 16 bits (for a named property, the
 * ID this stream gave it, 0x8000 or above), the type in the lower. */
WENDREL_API uint32_t wendrel_property_tag(const wendrel_property *property);
WENDREL_API uint16_t wendrel_property_id(const wendrel_property *property);
WENDREL_API uint16_t wendrel_property_type(const wendrel_property *property);
/* The type's name ("PT_UNICODE", "PT_MV_LONG"; "unknown"), a static string. */
WENDREL_API const char *wendrel_property_type_name(const wendrel_property *property);

/* A named property's name: the set's GUID (16 bytes as stored), and a
 * number, or a string (UTF-8). */
WENDREL_API int wendrel_property_is_named(const wendrel_property *property);
WENDREL_API wendrel_status wendrel_property_guid(const wendrel_property *property, uint8_t guid[16]);
WENDREL_API int wendrel_property_name_is_string(const wendrel_property *property);
WENDREL_API wendrel_status wendrel_property_name_number(const wendrel_property *property, uint32_t *number);
WENDREL_API wendrel_status wendrel_property_name_string(const wendrel_property *property, wendrel_write_fn write,
                                                        void *context);

/* How many values it has: 1 for a single-valued property (also for a type
 * that carries no value), the count of a multi-valued one. Each function
 * below reads value index (0 for a single-valued property) and fails with
 * WENDREL_ERROR_TYPE for a value of another type. */
WENDREL_API size_t wendrel_property_value_count(const wendrel_property *property);
/* PT_I2, PT_LONG, PT_ERROR, PT_I8, PT_CURRENCY (in ten-thousandths),
 * PT_BOOLEAN (0 or 1). */
WENDREL_API wendrel_status wendrel_property_integer(const wendrel_property *property, size_t index, int64_t *value);
/* PT_BOOLEAN (any number: nonzero is 1). */
WENDREL_API wendrel_status wendrel_property_boolean(const wendrel_property *property, size_t index, int *value);
/* PT_R4, PT_DOUBLE, PT_APPTIME (days since 1899-12-30). */
WENDREL_API wendrel_status wendrel_property_double(const wendrel_property *property, size_t index, double *value);
/* PT_SYSTIME: 100-nanosecond ticks since 1601-01-01 UTC, as stored. */
WENDREL_API wendrel_status wendrel_property_time(const wendrel_property *property, size_t index, int64_t *ticks);
/* PT_CLSID: 16 bytes as stored. */
WENDREL_API wendrel_status wendrel_property_clsid(const wendrel_property *property, size_t index, uint8_t guid[16]);
/* PT_STRING8 (in its code page) and PT_UNICODE, whole, in UTF-8, up to the
 * first NUL. */
WENDREL_API wendrel_status wendrel_property_string(const wendrel_property *property, size_t index,
                                                   wendrel_write_fn write, void *context);
/* PT_BINARY and PT_OBJECT (and the bytes of any counted value): a view of
 * the input's bytes. */
WENDREL_API wendrel_status wendrel_property_binary(const wendrel_property *property, size_t index,
                                                   const uint8_t **data, size_t *size);

/* 100-nanosecond ticks since 1601 as seconds since 1970-01-01 UTC (rounded
 * down). */
WENDREL_API int64_t wendrel_ticks_to_unix(int64_t ticks);

/* ---- Attachments ---- */

typedef enum wendrel_attachment_kind {
  WENDREL_ATTACHMENT_NONE = 0,        /* nothing wendrel saves (no data) */
  WENDREL_ATTACHMENT_DATA = 1,        /* attAttachData as it stands */
  WENDREL_ATTACHMENT_OLE_PICTURE = 2, /* the picture an OLE object holds (its CONTENTS stream) */
  WENDREL_ATTACHMENT_OLE_FILE = 3,    /* an OLE object's whole compound file (also when damaged) */
  WENDREL_ATTACHMENT_MESSAGE = 4      /* an attached message, decoded */
} wendrel_attachment_kind;

/* Its own properties (attAttachment). Never NULL for an attachment. */
WENDREL_API const wendrel_property_list *wendrel_attachment_properties(const wendrel_attachment *attachment);
/* Its attribute records (attAttachRenddata, attAttachTitle, attAttachData,
 * ...), in stream order. */
WENDREL_API size_t wendrel_attachment_attribute_count(const wendrel_attachment *attachment);
WENDREL_API const wendrel_attribute *wendrel_attachment_attribute(const wendrel_attachment *attachment,
                                                                  size_t index);
WENDREL_API wendrel_attachment_kind wendrel_attachment_kind_of(const wendrel_attachment *attachment);
/* The name wendrel saves it under, before any -N suffix (its long file
 * name, else its title; "" when it has none): UTF-8 without '/', '\' or
 * control characters. */
WENDREL_API const char *wendrel_attachment_name(const wendrel_attachment *attachment);
/* Its MIME type (PR_ATTACH_MIME_TAG) and Content-ID (PR_ATTACH_CONTENT_ID),
 * or NULL. */
WENDREL_API const char *wendrel_attachment_mime_type(const wendrel_attachment *attachment);
WENDREL_API const char *wendrel_attachment_content_id(const wendrel_attachment *attachment);
/* What wendrel saves of it: the data as it stands in the input, the OLE
 * picture read out of its compound file, or an attached message's stream;
 * NULL with *size 0 for none. */
WENDREL_API const uint8_t *wendrel_attachment_data(const wendrel_attachment *attachment, size_t *size);
/* The attached message, decoded; NULL for another kind. It belongs to the
 * message at the top. */
WENDREL_API const wendrel_message *wendrel_attachment_message(const wendrel_attachment *attachment);

#ifdef __cplusplus
}
#endif

#endif /* WENDREL_H */
