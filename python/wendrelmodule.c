/*
 * The Python module `wendrel`: libwendrel's C interface (wendrel.h) as
 * Python objects.
 *
 * decode() runs wendrel_decode with the GIL released, then turns the whole
 * message into plain, read-only Python objects at once (every attribute,
 * property, recipient row, attachment, attached message, body and damage)
 * and frees the C message before it returns: nothing a Python object holds
 * points into the library. The texts of a message that take work to make
 * (its bodies, calendar item and card) are written with the GIL released
 * too, so that threads decoding at once run side by side.
 *
 * The objects are records: a fixed row of read-only fields, all Python
 * objects, with one generic dealloc and traverse; each type adds its
 * fields' names and a repr.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <structmember.h>

#include <stddef.h>
#include <stdio.h>
#include <stdint.h>
#include <string.h>

#include "wendrel.h"

/* ---- Module state (the module is single-phase: one copy per process) ---- */

static PyObject *Error;            /* wendrel.Error */
static PyTypeObject *DateType;     /* wendrel.Date, a struct sequence */
static PyObject *UuidClass;        /* uuid.UUID */
static PyObject *BytesLeKeyword;   /* ("bytes_le",), UUID's keyword */

/* ---- Errors ---- */

/* Raises wendrel.Error(text) with its status, or MemoryError when memory ran
 * out (also when a wendrel_buffer could not grow: WENDREL_ERROR_WRITE). */
static void raise_status(wendrel_status status, const char *text) {
  if (status == WENDREL_ERROR_MEMORY || status == WENDREL_ERROR_WRITE) {
    PyErr_NoMemory();
    return;
  }
  PyObject *message = PyUnicode_FromString(text != NULL && *text != '\0' ? text : wendrel_status_text(status));
  PyObject *code = PyLong_FromLong((long)status);
  PyObject *error = message != NULL && code != NULL ? PyObject_CallOneArg(Error, message) : NULL;
  if (error != NULL && PyObject_SetAttrString(error, "status", code) == 0 &&
      PyObject_SetAttrString(error, "message", message) == 0) {
    PyErr_SetObject(Error, error);
  }
  Py_XDECREF(error);
  Py_XDECREF(code);
  Py_XDECREF(message);
}

/* ---- Records ---- */

typedef struct {
  PyObject_HEAD
  PyObject *fields[];
} Record;

static Py_ssize_t field_count(PyObject *self) {
  return (Py_TYPE(self)->tp_basicsize - (Py_ssize_t)offsetof(Record, fields)) / (Py_ssize_t)sizeof(PyObject *);
}

static int record_traverse(PyObject *self, visitproc visit, void *arg) {
  for (Py_ssize_t i = 0; i < field_count(self); ++i) Py_VISIT(((Record *)self)->fields[i]);
  return 0;
}

/* (No tp_clear: a record never changes, so a cycle through it runs through
 * one of its lists, which the collector clears. Its fields are never NULL.) */
static void record_dealloc(PyObject *self) {
  PyObject_GC_UnTrack(self);
  /* Attached messages nest (up to the library's limit): the trashcan keeps
   * a deep chain of deallocations off the C stack all the same. */
  Py_TRASHCAN_BEGIN(self, record_dealloc)
  for (Py_ssize_t i = 0; i < field_count(self); ++i) Py_CLEAR(((Record *)self)->fields[i]);
  Py_TYPE(self)->tp_free(self);
  Py_TRASHCAN_END
}

/* A new record of type whose fields are values, each a new reference that
 * the record takes over; NULL with an exception set if any is NULL (then
 * those that are not are released). */
static PyObject *record_new(PyTypeObject *type, PyObject **values, Py_ssize_t count) {
  Record *record = NULL;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (values[i] == NULL) goto failed;
  }
  record = PyObject_GC_New(Record, type);
  if (record == NULL) goto failed;
  for (Py_ssize_t i = 0; i < count; ++i) record->fields[i] = values[i];
  PyObject_GC_Track((PyObject *)record);
  return (PyObject *)record;
failed:
  for (Py_ssize_t i = 0; i < count; ++i) Py_XDECREF(values[i]);
  return NULL;
}

#define FIELD(index, name, doc) \
  { name, T_OBJECT_EX, (Py_ssize_t)(offsetof(Record, fields) + (index) * sizeof(PyObject *)), READONLY, doc }

#define FIELD_OF(self, index) (((Record *)(self))->fields[index])

#define RECORD_TYPE(cname, pyname, count, members, repr, docstring)                             \
  static PyTypeObject cname = {                                                                  \
      PyVarObject_HEAD_INIT(NULL, 0).tp_name = pyname,                                           \
      .tp_basicsize = (Py_ssize_t)(offsetof(Record, fields) + (count) * sizeof(PyObject *)),     \
      .tp_dealloc = record_dealloc,                                                              \
      .tp_repr = repr,                                                                           \
      .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,   \
      .tp_doc = docstring,                                                                       \
      .tp_traverse = record_traverse,                                                            \
      .tp_members = members,                                                                     \
  }

/* A repr of value cut to about 60 characters: bodies and blobs can be long. */
static PyObject *short_repr(PyObject *value) {
  PyObject *text = PyObject_Repr(value);
  if (text == NULL || PyUnicode_GET_LENGTH(text) <= 60) return text;
  PyObject *head = PyUnicode_Substring(text, 0, 56);
  Py_DECREF(text);
  if (head == NULL) return NULL;
  PyObject *shortened = PyUnicode_FromFormat("%U...", head);
  Py_DECREF(head);
  return shortened;
}

/* ---- Values ---- */

/* A text the library wrote into buffer, as str (bytes when as_bytes), or
 * None when status says it has none; the buffer is freed. The library's
 * texts are UTF-8: anything else would come out as U+FFFD. */
static PyObject *text_result(wendrel_status status, wendrel_buffer *buffer, int as_bytes) {
  PyObject *result = NULL;
  const char *data = buffer->data != NULL ? buffer->data : "";
  if (status == WENDREL_OK) {
    result = as_bytes ? PyBytes_FromStringAndSize(data, (Py_ssize_t)buffer->size)
                      : PyUnicode_DecodeUTF8(data, (Py_ssize_t)buffer->size, "replace");
  } else if (status == WENDREL_ERROR_ABSENT) {
    result = Py_NewRef(Py_None);
  } else {
    raise_status(status, NULL);
  }
  wendrel_buffer_free(buffer);
  return result;
}

/* A NUL-terminated UTF-8 text of the library's, or None for NULL. */
static PyObject *c_text(const char *text) {
  if (text == NULL) return Py_NewRef(Py_None);
  return PyUnicode_DecodeUTF8(text, (Py_ssize_t)strlen(text), "replace");
}

static PyObject *maybe_bytes(const uint8_t *data, size_t size) {
  if (data == NULL) return Py_NewRef(Py_None);
  return PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)size);
}

/* uuid.UUID(bytes_le=guid): the first three fields of a stored GUID are
 * little-endian. */
static PyObject *make_uuid(const uint8_t guid[16]) {
  PyObject *bytes = PyBytes_FromStringAndSize((const char *)guid, 16);
  if (bytes == NULL) return NULL;
  PyObject *arguments[1] = {bytes};
  PyObject *uuid = PyObject_Vectorcall(UuidClass, arguments, 0, BytesLeKeyword);
  Py_DECREF(bytes);
  return uuid;
}

/* A PT_SYSTIME value (100-nanosecond ticks since 1601-01-01 UTC) as an aware
 * datetime in UTC, to the microsecond (rounded down); the ticks themselves
 * as int when the date lies outside datetime's years 1 to 9999. */
static PyObject *make_time(int64_t ticks) {
  const int64_t ticks_per_day = 864000000000LL;
  int64_t days = ticks / ticks_per_day, rest = ticks % ticks_per_day;
  if (rest < 0) {
    rest += ticks_per_day;
    days -= 1;
  }
  /* Proleptic Gregorian ordinals, 0001-01-01 being 1, as datetime counts. */
  const int64_t ordinal_1601 = 584389, ordinal_1970 = 719163, ordinal_max = 3652059;
  int64_t ordinal = days + ordinal_1601;
  if (ordinal < 1 || ordinal > ordinal_max) return PyLong_FromLongLong(ticks);
  /* The civil date of a day count from 1970 (in 400-year eras of 146097 days,
   * years starting on 1 March). */
  int64_t z = ordinal - ordinal_1970 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t day_of_era = z - era * 146097;
  int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  int64_t month_from_march = (5 * day_of_year + 2) / 153;
  int day = (int)(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  int month = (int)(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  int year = (int)(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
  int64_t microseconds = rest / 10;
  int hour = (int)(microseconds / 3600000000LL);
  int minute = (int)(microseconds / 60000000LL % 60);
  int second = (int)(microseconds / 1000000LL % 60);
  return PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, hour, minute, second,
                                                 (int)(microseconds % 1000000), PyDateTime_TimeZone_UTC,
                                                 PyDateTimeAPI->DateTimeType);
}

/* ---- Damage ---- */

enum { DAMAGE_KIND, DAMAGE_DESCRIPTION, DAMAGE_OFFSET, DAMAGE_FIELDS };

static PyMemberDef damage_members[] = {
    FIELD(DAMAGE_KIND, "kind", "The kind of damage (int): one of the DAMAGE_* constants."),
    FIELD(DAMAGE_DESCRIPTION, "description", "What the damage is, as a sentence (str)."),
    FIELD(DAMAGE_OFFSET, "offset", "Where in the input the record, list or value concerned lies (int)."),
    {NULL, 0, 0, 0, NULL},
};

static PyObject *damage_repr(PyObject *self) {
  return PyUnicode_FromFormat("wendrel.Damage(kind=%R, description=%R, offset=%R)", FIELD_OF(self, DAMAGE_KIND),
                              FIELD_OF(self, DAMAGE_DESCRIPTION), FIELD_OF(self, DAMAGE_OFFSET));
}

RECORD_TYPE(DamageType, "wendrel.Damage", DAMAGE_FIELDS, damage_members, damage_repr,
            "Damage met in a message's own stream, in the order it was met: its kind, a sentence saying\n"
            "what it is, and the offset in the input of what it concerns.");

/* ---- Attributes ---- */

enum {
  ATTRIBUTE_LEVEL, ATTRIBUTE_ID, ATTRIBUTE_NAME, ATTRIBUTE_DATA, ATTRIBUTE_CHECKSUM, ATTRIBUTE_CHECKSUM_OK,
  ATTRIBUTE_OFFSET, ATTRIBUTE_ATTACHMENT, ATTRIBUTE_VALUE, ATTRIBUTE_FIELDS
};

static PyMemberDef attribute_members[] = {
    FIELD(ATTRIBUTE_LEVEL, "level", "1 for a record of the message's, 2 for an attachment's (int)."),
    FIELD(ATTRIBUTE_ID, "id", "The attribute ID, its type code in the upper 16 bits (int; 0x00018004 attSubject)."),
    FIELD(ATTRIBUTE_NAME, "name", "The attribute's name: 'attSubject' ('Unknown' for an ID not catalogued)."),
    FIELD(ATTRIBUTE_DATA, "data", "The value's bytes as they stand in the input (bytes)."),
    FIELD(ATTRIBUTE_CHECKSUM, "checksum", "The checksum stored after the value (int)."),
    FIELD(ATTRIBUTE_CHECKSUM_OK, "checksum_ok", "Whether the checksum is the sum of the value's bytes modulo 65536."),
    FIELD(ATTRIBUTE_OFFSET, "offset", "Where the record starts in the input, at its level byte (int)."),
    FIELD(ATTRIBUTE_ATTACHMENT, "attachment",
          "The index in the message's attachments of the attachment the record belongs to,\n"
          "or None for a record of the message's own."),
    FIELD(ATTRIBUTE_VALUE, "value",
          "The value read by its type: str for text (atpString, atpText, and the message class,\n"
          "up to the first NUL), a wendrel.Date for atpDate, int for a number (atpShort, atpLong,\n"
          "atpWord, atpDword; atpByte when it is a single byte), None for anything else."),
    {NULL, 0, 0, 0, NULL},
};

static PyObject *attribute_repr(PyObject *self) {
  PyObject *value = short_repr(FIELD_OF(self, ATTRIBUTE_VALUE));
  if (value == NULL) return NULL;
  char id[16];
  snprintf(id, sizeof id, "0x%08lx", PyLong_AsUnsignedLongMask(FIELD_OF(self, ATTRIBUTE_ID)));
  PyObject *repr = PyUnicode_FromFormat("<wendrel.Attribute %U (%s) level %R at %R, %zd bytes, value %U>",
                                        FIELD_OF(self, ATTRIBUTE_NAME), id, FIELD_OF(self, ATTRIBUTE_LEVEL),
                                        FIELD_OF(self, ATTRIBUTE_OFFSET),
                                        PyBytes_GET_SIZE(FIELD_OF(self, ATTRIBUTE_DATA)), value);
  Py_DECREF(value);
  return repr;
}

RECORD_TYPE(AttributeType, "wendrel.Attribute", ATTRIBUTE_FIELDS, attribute_members, attribute_repr,
            "An attribute record of the stream: its level, ID and name, its value's bytes and checksum,\n"
            "where it starts, the attachment it belongs to, and its value read by its type.");

/* The value of an attribute read by its type: text, date, number or None. */
static PyObject *attribute_value(const wendrel_attribute *attribute) {
  wendrel_buffer buffer = {0};
  wendrel_status status = wendrel_attribute_string(attribute, wendrel_buffer_write, &buffer);
  if (status != WENDREL_ERROR_TYPE) return text_result(status, &buffer, 0);
  wendrel_buffer_free(&buffer);
  wendrel_date date;
  if (wendrel_attribute_date(attribute, &date) == WENDREL_OK) {
    PyObject *value = PyStructSequence_New(DateType);
    if (value == NULL) return NULL;
    const uint16_t fields[7] = {date.year, date.month, date.day, date.hour, date.minute, date.second, date.day_of_week};
    for (Py_ssize_t i = 0; i < 7; ++i) {
      PyObject *field = PyLong_FromLong(fields[i]);
      if (field == NULL) {
        Py_DECREF(value);
        return NULL;
      }
      PyStructSequence_SetItem(value, i, field);
    }
    return value;
  }
  int64_t number = 0;
  if (wendrel_attribute_integer(attribute, &number) == WENDREL_OK) return PyLong_FromLongLong(number);
  return Py_NewRef(Py_None);
}

static PyObject *build_attribute(const wendrel_attribute *attribute) {
  size_t size = 0;
  const uint8_t *data = wendrel_attribute_data(attribute, &size);
  size_t attachment = wendrel_attribute_attachment(attribute);
  PyObject *v[ATTRIBUTE_FIELDS] = {NULL};
  (void)((v[ATTRIBUTE_LEVEL] = PyLong_FromLong(wendrel_attribute_level(attribute))) == NULL ||
         (v[ATTRIBUTE_ID] = PyLong_FromUnsignedLong(wendrel_attribute_id(attribute))) == NULL ||
         (v[ATTRIBUTE_NAME] = PyUnicode_FromString(wendrel_attribute_name(attribute))) == NULL ||
         (v[ATTRIBUTE_DATA] = PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)size)) == NULL ||
         (v[ATTRIBUTE_CHECKSUM] = PyLong_FromLong(wendrel_attribute_checksum(attribute))) == NULL ||
         (v[ATTRIBUTE_CHECKSUM_OK] = PyBool_FromLong(wendrel_attribute_checksum_ok(attribute))) == NULL ||
         (v[ATTRIBUTE_OFFSET] = PyLong_FromUnsignedLongLong(wendrel_attribute_offset(attribute))) == NULL ||
         (v[ATTRIBUTE_ATTACHMENT] = attachment == (size_t)-1 ? Py_NewRef(Py_None) : PyLong_FromSize_t(attachment)) ==
             NULL ||
         (v[ATTRIBUTE_VALUE] = attribute_value(attribute)) == NULL);
  return record_new(&AttributeType, v, ATTRIBUTE_FIELDS);
}

/* ---- Properties ---- */

enum {
  PROPERTY_TAG, PROPERTY_ID, PROPERTY_TYPE, PROPERTY_TYPE_NAME, PROPERTY_NAMED, PROPERTY_GUID, PROPERTY_NAME,
  PROPERTY_VALUE, PROPERTY_TICKS, PROPERTY_FIELDS
};

static PyMemberDef property_members[] = {
    FIELD(PROPERTY_TAG, "tag", "The tag as stored: the ID in the upper 16 bits, the type in the lower (int)."),
    FIELD(PROPERTY_ID, "id", "The property ID (int; for a named property the one this stream gave it, 0x8000 up)."),
    FIELD(PROPERTY_TYPE, "type", "The property type (int; PT_MV_FLAG set for a multi-valued one)."),
    FIELD(PROPERTY_TYPE_NAME, "type_name", "The type's name: 'PT_UNICODE', 'PT_MV_LONG' ('unknown')."),
    FIELD(PROPERTY_NAMED, "named", "Whether it is a named property (bool)."),
    FIELD(PROPERTY_GUID, "guid", "A named property's property set, as uuid.UUID; None for another."),
    FIELD(PROPERTY_NAME, "name", "A named property's name: an int number or a str; None for another."),
    FIELD(PROPERTY_VALUE, "value",
          "The value: int (PT_I2, PT_LONG, PT_I8, PT_ERROR, PT_CURRENCY in ten-thousandths), bool\n"
          "(PT_BOOLEAN), float (PT_R4, PT_DOUBLE, PT_APPTIME in days since 1899-12-30), an aware\n"
          "datetime in UTC (PT_SYSTIME, to the microsecond; the int ticks outside datetime's years),\n"
          "uuid.UUID (PT_CLSID), str (PT_STRING8 in its code page, PT_UNICODE; up to the first NUL),\n"
          "bytes (PT_BINARY, PT_OBJECT), None for a type that carries no value; a list of such\n"
          "values for a multi-valued property."),
    FIELD(PROPERTY_TICKS, "ticks",
          "For PT_SYSTIME the value exactly, in 100-nanosecond ticks since 1601-01-01 UTC (int; a list\n"
          "of them for PT_MV_SYSTIME); None for another type."),
    {NULL, 0, 0, 0, NULL},
};

static PyObject *property_repr(PyObject *self) {
  PyObject *value = short_repr(FIELD_OF(self, PROPERTY_VALUE));
  if (value == NULL) return NULL;
  PyObject *repr;
  char tag[16];
  snprintf(tag, sizeof tag, "0x%08lx", PyLong_AsUnsignedLongMask(FIELD_OF(self, PROPERTY_TAG)));
  if (FIELD_OF(self, PROPERTY_NAMED) == Py_True) {
    repr = PyUnicode_FromFormat("<wendrel.Property %s %U named {%S} %R = %U>", tag, FIELD_OF(self, PROPERTY_TYPE_NAME),
                                FIELD_OF(self, PROPERTY_GUID), FIELD_OF(self, PROPERTY_NAME), value);
  } else {
    repr = PyUnicode_FromFormat("<wendrel.Property %s %U = %U>", tag, FIELD_OF(self, PROPERTY_TYPE_NAME), value);
  }
  Py_DECREF(value);
  return repr;
}

RECORD_TYPE(PropertyType, "wendrel.Property", PROPERTY_FIELDS, property_members, property_repr,
            "A MAPI property: its tag, ID, type and type name, for a named property its set and name,\n"
            "and its value (see value).");

/* Value index of a property as a Python object; for PT_SYSTIME *ticks is
 * set to the ticks as well. */
static PyObject *property_value(const wendrel_property *property, size_t index, PyObject **ticks) {
  int64_t integer = 0;
  double real = 0;
  uint8_t guid[16];
  const uint8_t *data = NULL;
  size_t size = 0;
  if (wendrel_property_integer(property, index, &integer) == WENDREL_OK) {
    if ((wendrel_property_type(property) & ~WENDREL_MV_FLAG) == WENDREL_PT_BOOLEAN) return PyBool_FromLong(integer != 0);
    return PyLong_FromLongLong(integer);
  }
  if (wendrel_property_double(property, index, &real) == WENDREL_OK) return PyFloat_FromDouble(real);
  if (wendrel_property_time(property, index, &integer) == WENDREL_OK) {
    *ticks = PyLong_FromLongLong(integer);
    return *ticks != NULL ? make_time(integer) : NULL;
  }
  if (wendrel_property_clsid(property, index, guid) == WENDREL_OK) return make_uuid(guid);
  wendrel_buffer buffer = {0};
  wendrel_status status = wendrel_property_string(property, index, wendrel_buffer_write, &buffer);
  if (status == WENDREL_OK || status == WENDREL_ERROR_MEMORY || status == WENDREL_ERROR_WRITE) {
    return text_result(status, &buffer, 0);
  }
  wendrel_buffer_free(&buffer);
  if (wendrel_property_binary(property, index, &data, &size) == WENDREL_OK) {
    return PyBytes_FromStringAndSize((const char *)data, (Py_ssize_t)size);
  }
  return Py_NewRef(Py_None);
}

/* The value field and the ticks field of a property. */
static int property_values(const wendrel_property *property, PyObject **value, PyObject **ticks) {
  *value = *ticks = NULL;
  if ((wendrel_property_type(property) & WENDREL_MV_FLAG) == 0) {
    *value = property_value(property, 0, ticks);
    if (*value != NULL && *ticks == NULL) *ticks = Py_NewRef(Py_None);
    return *value != NULL && *ticks != NULL ? 0 : -1;
  }
  size_t count = wendrel_property_value_count(property);
  int is_time = (wendrel_property_type(property) & ~WENDREL_MV_FLAG) == WENDREL_PT_SYSTIME;
  *value = PyList_New((Py_ssize_t)count);
  *ticks = is_time ? PyList_New((Py_ssize_t)count) : Py_NewRef(Py_None);
  if (*value == NULL || *ticks == NULL) return -1;
  for (size_t i = 0; i < count; ++i) {
    PyObject *tick = NULL;
    PyObject *item = property_value(property, i, &tick);
    if (item == NULL) {
      Py_XDECREF(tick);
      return -1;
    }
    PyList_SET_ITEM(*value, (Py_ssize_t)i, item);
    if (is_time) PyList_SET_ITEM(*ticks, (Py_ssize_t)i, tick != NULL ? tick : Py_NewRef(Py_None));
    else Py_XDECREF(tick);
  }
  return 0;
}

static PyObject *property_name(const wendrel_property *property) {
  uint32_t number = 0;
  if (!wendrel_property_is_named(property)) return Py_NewRef(Py_None);
  if (wendrel_property_name_number(property, &number) == WENDREL_OK) return PyLong_FromUnsignedLong(number);
  wendrel_buffer buffer = {0};
  return text_result(wendrel_property_name_string(property, wendrel_buffer_write, &buffer), &buffer, 0);
}

static PyObject *property_guid(const wendrel_property *property) {
  uint8_t guid[16];
  if (wendrel_property_guid(property, guid) != WENDREL_OK) return Py_NewRef(Py_None);
  return make_uuid(guid);
}

static PyObject *build_property(const wendrel_property *property) {
  PyObject *v[PROPERTY_FIELDS] = {NULL};
  if ((v[PROPERTY_TAG] = PyLong_FromUnsignedLong(wendrel_property_tag(property))) == NULL ||
      (v[PROPERTY_ID] = PyLong_FromLong(wendrel_property_id(property))) == NULL ||
      (v[PROPERTY_TYPE] = PyLong_FromLong(wendrel_property_type(property))) == NULL ||
      (v[PROPERTY_TYPE_NAME] = PyUnicode_FromString(wendrel_property_type_name(property))) == NULL ||
      (v[PROPERTY_NAMED] = PyBool_FromLong(wendrel_property_is_named(property))) == NULL ||
      (v[PROPERTY_GUID] = property_guid(property)) == NULL ||
      (v[PROPERTY_NAME] = property_name(property)) == NULL) {
    return record_new(&PropertyType, v, PROPERTY_FIELDS);
  }
  if (property_values(property, &v[PROPERTY_VALUE], &v[PROPERTY_TICKS]) != 0) {
    /* (A list half filled holds NULLs, which its deallocation skips.) */
    Py_CLEAR(v[PROPERTY_VALUE]);
    Py_CLEAR(v[PROPERTY_TICKS]);
  }
  return record_new(&PropertyType, v, PROPERTY_FIELDS);
}

/* ---- Property lists ---- */

typedef struct {
  PyListObject list;
  char complete;
} PropertyList;

static PyMemberDef property_list_members[] = {
    {"complete", T_BOOL, offsetof(PropertyList, complete), READONLY,
     "False when a property that the list's count promised did not fit: the list holds those\n"
     "before it."},
    {NULL, 0, 0, 0, NULL},
};

static PyObject *property_list_find(PyObject *self, PyObject *argument) {
  unsigned long tag = PyLong_AsUnsignedLong(argument);
  if (tag == (unsigned long)-1 && PyErr_Occurred()) return NULL;
  /* (Comparing C numbers runs no Python code that could change the list.) */
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self); ++i) {
    PyObject *item = PyList_GET_ITEM(self, i);
    if (Py_IS_TYPE(item, &PropertyType) && PyLong_AsUnsignedLongMask(FIELD_OF(item, PROPERTY_TAG)) == tag) {
      return Py_NewRef(item);
    }
  }
  Py_RETURN_NONE;
}

static PyMethodDef property_list_methods[] = {
    {"find", property_list_find, METH_O, "find($self, tag, /)\n--\n\nThe first wendrel.Property with this tag, or None."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject PropertyListType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "wendrel.PropertyList",
    .tp_basicsize = sizeof(PropertyList),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_LIST_SUBCLASS,
    .tp_doc = "A list of wendrel.Property in stream order, with complete: whether it holds all the\n"
              "properties its count promised. find(tag) gives the first with a tag.",
    .tp_methods = property_list_methods,
    .tp_members = property_list_members,
};

static PyObject *build_property_list(const wendrel_property_list *list) {
  PyObject *built = PyObject_CallNoArgs((PyObject *)&PropertyListType);
  if (built == NULL) return NULL;
  ((PropertyList *)built)->complete = (char)(wendrel_property_list_complete(list) != 0);
  for (size_t i = 0; i < wendrel_property_list_count(list); ++i) {
    PyObject *property = build_property(wendrel_property_list_get(list, i));
    if (property == NULL || PyList_Append(built, property) != 0) {
      Py_XDECREF(property);
      Py_DECREF(built);
      return NULL;
    }
    Py_DECREF(property);
  }
  return built;
}

static PyObject *list_complete(PyObject *list) {
  return PyBool_FromLong(((PropertyList *)list)->complete);
}

/* ---- Attachments ---- */

enum {
  ATTACHMENT_NAME, ATTACHMENT_KIND, ATTACHMENT_MIME_TYPE, ATTACHMENT_CONTENT_ID, ATTACHMENT_DATA,
  ATTACHMENT_MESSAGE, ATTACHMENT_PROPERTIES, ATTACHMENT_PROPERTIES_COMPLETE, ATTACHMENT_ATTRIBUTES,
  ATTACHMENT_FIELDS
};

static PyMemberDef attachment_members[] = {
    FIELD(ATTACHMENT_NAME, "name",
          "The name wendrel saves it under, before any -N suffix (its long file name, else its\n"
          "title; '' when it has none): without '/', '\\' or control characters."),
    FIELD(ATTACHMENT_KIND, "kind",
          "What it is: 'none' (nothing to save), 'data' (attAttachData as it stands),\n"
          "'ole-picture' (the picture an OLE object holds), 'ole-file' (an OLE object's whole\n"
          "compound file) or 'message' (an attached message, decoded)."),
    FIELD(ATTACHMENT_MIME_TYPE, "mime_type", "Its MIME type (PR_ATTACH_MIME_TAG), or None."),
    FIELD(ATTACHMENT_CONTENT_ID, "content_id", "Its Content-ID (PR_ATTACH_CONTENT_ID), or None."),
    FIELD(ATTACHMENT_DATA, "data",
          "What wendrel saves of it (bytes): the data, the OLE picture, or an attached message's\n"
          "stream; None when there is nothing."),
    FIELD(ATTACHMENT_MESSAGE, "message", "The attached message, decoded (wendrel.Message), or None."),
    FIELD(ATTACHMENT_PROPERTIES, "properties", "Its own MAPI properties (attAttachment), a wendrel.PropertyList."),
    FIELD(ATTACHMENT_PROPERTIES_COMPLETE, "properties_complete", "properties.complete."),
    FIELD(ATTACHMENT_ATTRIBUTES, "attributes",
          "Its attribute records in stream order (the same wendrel.Attribute objects as in the\n"
          "message's attributes)."),
    {NULL, 0, 0, 0, NULL},
};

static PyObject *attachment_repr(PyObject *self) {
  PyObject *data = FIELD_OF(self, ATTACHMENT_DATA);
  return PyUnicode_FromFormat("<wendrel.Attachment %R %U type %R, %zd bytes>", FIELD_OF(self, ATTACHMENT_NAME),
                              FIELD_OF(self, ATTACHMENT_KIND), FIELD_OF(self, ATTACHMENT_MIME_TYPE),
                              PyBytes_Check(data) ? PyBytes_GET_SIZE(data) : (Py_ssize_t)0);
}

RECORD_TYPE(AttachmentType, "wendrel.Attachment", ATTACHMENT_FIELDS, attachment_members, attachment_repr,
            "An attachment: its name, kind, MIME type and Content-ID, what wendrel saves of it, the\n"
            "attached message when it is one, its properties and its attribute records.");

static const char *kind_name(wendrel_attachment_kind kind) {
  switch (kind) {
    case WENDREL_ATTACHMENT_NONE: return "none";
    case WENDREL_ATTACHMENT_DATA: return "data";
    case WENDREL_ATTACHMENT_OLE_PICTURE: return "ole-picture";
    case WENDREL_ATTACHMENT_OLE_FILE: return "ole-file";
    case WENDREL_ATTACHMENT_MESSAGE: return "message";
  }
  return "none";
}

/* The Attribute built for the message's record that handle is, found by its
 * offset among attributes (in stream order, so in order of offset); a new
 * one should it not be there. */
static PyObject *shared_attribute(const wendrel_message *message, PyObject *attributes,
                                  const wendrel_attribute *handle) {
  uint64_t offset = wendrel_attribute_offset(handle);
  size_t low = 0, high = wendrel_message_attribute_count(message);
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (wendrel_attribute_offset(wendrel_message_attribute(message, middle)) < offset) low = middle + 1;
    else high = middle;
  }
  if (low < (size_t)PyList_GET_SIZE(attributes) && wendrel_message_attribute(message, low) == handle) {
    return Py_NewRef(PyList_GET_ITEM(attributes, (Py_ssize_t)low));
  }
  return build_attribute(handle);
}

static PyObject *build_message(const wendrel_message *message);

static PyObject *build_attachment(const wendrel_message *message, size_t index, PyObject *message_attributes) {
  const wendrel_attachment *attachment = wendrel_message_attachment(message, index);
  PyObject *v[ATTACHMENT_FIELDS] = {NULL};
  size_t count = wendrel_attachment_attribute_count(attachment);
  v[ATTACHMENT_ATTRIBUTES] = PyList_New((Py_ssize_t)count);
  if (v[ATTACHMENT_ATTRIBUTES] == NULL) return NULL;
  for (size_t i = 0; i < count; ++i) {
    PyObject *attribute = shared_attribute(message, message_attributes, wendrel_attachment_attribute(attachment, i));
    if (attribute == NULL) return record_new(&AttachmentType, v, ATTACHMENT_FIELDS);
    PyList_SET_ITEM(v[ATTACHMENT_ATTRIBUTES], (Py_ssize_t)i, attribute);
  }
  /* What is saved is most often a record's value as it stands (attAttachData):
   * then the attribute's bytes object serves for both. */
  size_t size = 0;
  const uint8_t *data = wendrel_attachment_data(attachment, &size);
  for (size_t i = 0; data != NULL && i < count && v[ATTACHMENT_DATA] == NULL; ++i) {
    size_t record_size = 0;
    if (wendrel_attribute_data(wendrel_attachment_attribute(attachment, i), &record_size) == data &&
        record_size == size) {
      v[ATTACHMENT_DATA] = Py_NewRef(FIELD_OF(PyList_GET_ITEM(v[ATTACHMENT_ATTRIBUTES], (Py_ssize_t)i), ATTRIBUTE_DATA));
    }
  }
  const wendrel_message *attached = wendrel_attachment_message(attachment);
  if ((v[ATTACHMENT_DATA] == NULL && (v[ATTACHMENT_DATA] = maybe_bytes(data, size)) == NULL) ||
      (v[ATTACHMENT_NAME] = c_text(wendrel_attachment_name(attachment))) == NULL ||
      (v[ATTACHMENT_KIND] = PyUnicode_FromString(kind_name(wendrel_attachment_kind_of(attachment)))) == NULL ||
      (v[ATTACHMENT_MIME_TYPE] = c_text(wendrel_attachment_mime_type(attachment))) == NULL ||
      (v[ATTACHMENT_CONTENT_ID] = c_text(wendrel_attachment_content_id(attachment))) == NULL ||
      (v[ATTACHMENT_PROPERTIES] = build_property_list(wendrel_attachment_properties(attachment))) == NULL ||
      (v[ATTACHMENT_PROPERTIES_COMPLETE] = list_complete(v[ATTACHMENT_PROPERTIES])) == NULL) {
    return record_new(&AttachmentType, v, ATTACHMENT_FIELDS);
  }
  v[ATTACHMENT_MESSAGE] = attached != NULL ? build_message(attached) : Py_NewRef(Py_None);
  return record_new(&AttachmentType, v, ATTACHMENT_FIELDS);
}

/* ---- Messages ---- */

enum {
  MESSAGE_CLASS, MESSAGE_SUBJECT, MESSAGE_SIGNATURE_OK, MESSAGE_ATTACH_KEY, MESSAGE_OFFSET, MESSAGE_ATTRIBUTES,
  MESSAGE_PROPERTIES, MESSAGE_PROPERTIES_COMPLETE, MESSAGE_RECIPIENTS, MESSAGE_ATTACHMENTS, MESSAGE_TEXT,
  MESSAGE_HTML, MESSAGE_HTML_BYTES, MESSAGE_HTML_CHARSET, MESSAGE_RTF, MESSAGE_RTF_HTML, MESSAGE_RTF_TEXT,
  MESSAGE_CALENDAR, MESSAGE_VCARD, MESSAGE_ITEM_FILE_NAME, MESSAGE_DAMAGE, MESSAGE_FIELDS
};

static PyMemberDef message_members[] = {
    FIELD(MESSAGE_CLASS, "message_class", "The message class (attMessageClass, else PR_MESSAGE_CLASS), or None."),
    FIELD(MESSAGE_SUBJECT, "subject", "The subject (attSubject, else PR_SUBJECT, else PR_CONVERSATION_TOPIC), or None."),
    FIELD(MESSAGE_SIGNATURE_OK, "signature_ok", "Whether the stream starts with the TNEF signature (bool)."),
    FIELD(MESSAGE_ATTACH_KEY, "attach_key", "The attach key that follows the signature (int)."),
    FIELD(MESSAGE_OFFSET, "offset", "Where the message's stream starts in the input: 0, or an attached message's place."),
    FIELD(MESSAGE_ATTRIBUTES, "attributes", "Every attribute record in stream order, its attachments' among them (list)."),
    FIELD(MESSAGE_PROPERTIES, "properties", "The message's MAPI properties (attMAPIProps) in order, a wendrel.PropertyList."),
    FIELD(MESSAGE_PROPERTIES_COMPLETE, "properties_complete", "properties.complete."),
    FIELD(MESSAGE_RECIPIENTS, "recipients", "The rows of its recipient table (attRecipTable): a list of wendrel.PropertyList."),
    FIELD(MESSAGE_ATTACHMENTS, "attachments", "Its attachments in stream order (list of wendrel.Attachment)."),
    FIELD(MESSAGE_TEXT, "text", "The text body (PR_BODY, else attBody), else the text of the RTF body (str), or None."),
    FIELD(MESSAGE_HTML, "html", "The HTML body in UTF-8, else the HTML the RTF body encapsulates (str), or None."),
    FIELD(MESSAGE_HTML_BYTES, "html_bytes",
          "The HTML body as stored: 8-bit HTML in its own bytes (see html_charset), UTF-16 HTML as\n"
          "UTF-8 (bytes), or None."),
    FIELD(MESSAGE_HTML_CHARSET, "html_charset", "The charset html_bytes is in (an IANA name), or None."),
    FIELD(MESSAGE_RTF, "rtf", "The RTF body (PR_RTF_COMPRESSED) decompressed (bytes), or None."),
    FIELD(MESSAGE_RTF_HTML, "rtf_html", "The HTML the RTF body encapsulates (str), or None."),
    FIELD(MESSAGE_RTF_TEXT, "rtf_text", "The text of the RTF body (str), or None."),
    FIELD(MESSAGE_CALENDAR, "calendar", "A meeting, appointment or task as iCalendar text (str), or None."),
    FIELD(MESSAGE_VCARD, "vcard", "A contact or distribution list as vCard text (str), or None."),
    FIELD(MESSAGE_ITEM_FILE_NAME, "item_file_name",
          "The name wendrel saves the calendar item or card under ('Weekly review.ics'), or None."),
    FIELD(MESSAGE_DAMAGE, "damage", "The damage met in the message's own stream, in order (list of wendrel.Damage)."),
    {NULL, 0, 0, 0, NULL},
};

static PyObject *message_repr(PyObject *self) {
  return PyUnicode_FromFormat("<wendrel.Message %R subject %R, %zd attributes, %zd properties, %zd attachments, "
                              "%zd damage>",
                              FIELD_OF(self, MESSAGE_CLASS), FIELD_OF(self, MESSAGE_SUBJECT),
                              PyList_GET_SIZE(FIELD_OF(self, MESSAGE_ATTRIBUTES)),
                              PyList_GET_SIZE(FIELD_OF(self, MESSAGE_PROPERTIES)),
                              PyList_GET_SIZE(FIELD_OF(self, MESSAGE_ATTACHMENTS)),
                              PyList_GET_SIZE(FIELD_OF(self, MESSAGE_DAMAGE)));
}

RECORD_TYPE(MessageType, "wendrel.Message", MESSAGE_FIELDS, message_members, message_repr,
            "A decoded TNEF message: everything its stream holds, read-only, made by wendrel.decode.\n"
            "Texts are str (UTF-8 from the stream's code pages); absent values are None.");

/* The texts of a message that take work to make, collected in one go with
 * the GIL released. */
enum { TEXT_CLASS, TEXT_SUBJECT, TEXT_CALENDAR, TEXT_VCARD, TEXT_BODY, TEXTS = TEXT_BODY + 6 };

typedef struct {
  wendrel_status status[TEXTS];
  wendrel_buffer buffer[TEXTS];
  wendrel_status item_status;
  char item[WENDREL_NAME_MAX];
} Texts;

static void collect_texts(const wendrel_message *message, Texts *texts) {
  memset(texts, 0, sizeof *texts);
  texts->status[TEXT_CLASS] = wendrel_message_class(message, wendrel_buffer_write, &texts->buffer[TEXT_CLASS]);
  texts->status[TEXT_SUBJECT] = wendrel_message_subject(message, wendrel_buffer_write, &texts->buffer[TEXT_SUBJECT]);
  texts->status[TEXT_CALENDAR] =
      wendrel_message_calendar(message, wendrel_buffer_write, &texts->buffer[TEXT_CALENDAR]);
  texts->status[TEXT_VCARD] = wendrel_message_vcard(message, wendrel_buffer_write, &texts->buffer[TEXT_VCARD]);
  for (int body = WENDREL_BODY_TEXT; body <= WENDREL_BODY_RTF_TEXT; ++body) {
    texts->status[TEXT_BODY + body] =
        wendrel_message_body(message, (wendrel_body)body, wendrel_buffer_write, &texts->buffer[TEXT_BODY + body]);
  }
  texts->item_status = wendrel_message_item_file_name(message, texts->item);
}

static PyObject *build_list(size_t count, PyObject *(*build)(const wendrel_message *, size_t),
                            const wendrel_message *message) {
  PyObject *list = PyList_New((Py_ssize_t)count);
  for (size_t i = 0; list != NULL && i < count; ++i) {
    PyObject *item = build(message, i);
    if (item == NULL) Py_CLEAR(list);
    else PyList_SET_ITEM(list, (Py_ssize_t)i, item);
  }
  return list;
}

static PyObject *attribute_at(const wendrel_message *message, size_t index) {
  return build_attribute(wendrel_message_attribute(message, index));
}

static PyObject *recipient_at(const wendrel_message *message, size_t index) {
  return build_property_list(wendrel_message_recipient(message, index));
}

static PyObject *damage_at(const wendrel_message *message, size_t index) {
  wendrel_damage kind = WENDREL_DAMAGE_SHORT_STREAM;
  uint64_t offset = 0;
  wendrel_message_damage(message, index, &kind, &offset);
  PyObject *v[DAMAGE_FIELDS] = {PyLong_FromLong((long)kind), PyUnicode_FromString(wendrel_damage_text(kind)),
                                PyLong_FromUnsignedLongLong(offset)};
  return record_new(&DamageType, v, DAMAGE_FIELDS);
}

static PyObject *build_message(const wendrel_message *message) {
  /* Attached messages nest no deeper than the library decodes them. */
  if (Py_EnterRecursiveCall(" while building a wendrel.Message")) return NULL;
  Texts texts;
  Py_BEGIN_ALLOW_THREADS
  collect_texts(message, &texts);
  Py_END_ALLOW_THREADS
  PyObject *v[MESSAGE_FIELDS] = {NULL};
  if ((v[MESSAGE_ATTRIBUTES] = build_list(wendrel_message_attribute_count(message), attribute_at, message)) != NULL &&
      (v[MESSAGE_PROPERTIES] = build_property_list(wendrel_message_properties(message))) != NULL &&
      (v[MESSAGE_PROPERTIES_COMPLETE] = list_complete(v[MESSAGE_PROPERTIES])) != NULL &&
      (v[MESSAGE_RECIPIENTS] = build_list(wendrel_message_recipient_count(message), recipient_at, message)) != NULL &&
      (v[MESSAGE_ATTACHMENTS] = PyList_New((Py_ssize_t)wendrel_message_attachment_count(message))) != NULL) {
    for (size_t i = 0; i < wendrel_message_attachment_count(message); ++i) {
      PyObject *attachment = build_attachment(message, i, v[MESSAGE_ATTRIBUTES]);
      if (attachment == NULL) {
        Py_CLEAR(v[MESSAGE_ATTACHMENTS]);
        break;
      }
      PyList_SET_ITEM(v[MESSAGE_ATTACHMENTS], (Py_ssize_t)i, attachment);
    }
  }
  /* Each text is taken (and its buffer freed) whatever happened before. */
  static const struct {
    int field, text, as_bytes;
  } kTexts[] = {
      {MESSAGE_CLASS, TEXT_CLASS, 0},
      {MESSAGE_SUBJECT, TEXT_SUBJECT, 0},
      {MESSAGE_TEXT, TEXT_BODY + WENDREL_BODY_TEXT, 0},
      {MESSAGE_HTML, TEXT_BODY + WENDREL_BODY_HTML_UTF8, 0},
      {MESSAGE_HTML_BYTES, TEXT_BODY + WENDREL_BODY_HTML, 1},
      {MESSAGE_RTF, TEXT_BODY + WENDREL_BODY_RTF, 1},
      {MESSAGE_RTF_HTML, TEXT_BODY + WENDREL_BODY_RTF_HTML, 0},
      {MESSAGE_RTF_TEXT, TEXT_BODY + WENDREL_BODY_RTF_TEXT, 0},
      {MESSAGE_CALENDAR, TEXT_CALENDAR, 0},
      {MESSAGE_VCARD, TEXT_VCARD, 0},
  };
  int failed = PyErr_Occurred() != NULL;
  for (size_t i = 0; i < sizeof kTexts / sizeof kTexts[0]; ++i) {
    if (failed) {
      wendrel_buffer_free(&texts.buffer[kTexts[i].text]);
      continue;
    }
    v[kTexts[i].field] = text_result(texts.status[kTexts[i].text], &texts.buffer[kTexts[i].text], kTexts[i].as_bytes);
    failed = v[kTexts[i].field] == NULL;
  }
  if (!failed) {
    (void)((v[MESSAGE_SIGNATURE_OK] = PyBool_FromLong(wendrel_message_signature_ok(message))) == NULL ||
           (v[MESSAGE_ATTACH_KEY] = PyLong_FromLong(wendrel_message_attach_key(message))) == NULL ||
           (v[MESSAGE_OFFSET] = PyLong_FromUnsignedLongLong(wendrel_message_offset(message))) == NULL ||
           (v[MESSAGE_HTML_CHARSET] = c_text(wendrel_message_html_charset(message))) == NULL ||
           (v[MESSAGE_ITEM_FILE_NAME] = texts.item_status == WENDREL_OK ? c_text(texts.item) : Py_NewRef(Py_None)) ==
               NULL ||
           (v[MESSAGE_DAMAGE] = build_list(wendrel_message_damage_count(message), damage_at, message)) == NULL);
  }
  Py_LeaveRecursiveCall();
  return record_new(&MessageType, v, MESSAGE_FIELDS);
}

/* ---- decode ---- */

PyDoc_STRVAR(decode_doc,
             "decode($module, /, data, *, any_signature=False)\n"
             "--\n"
             "\n"
             "Decodes a whole TNEF stream (winmail.dat): the signature, the attach key, then the\n"
             "records. data is any bytes-like object; it is read with the GIL released (bytes in\n"
             "place, anything else from a copy taken first). A stream damaged after its signature\n"
             "still decodes: what could be read is in the message, the damage in its damage list.\n"
             "\n"
             "Raises wendrel.Error when data does not start with the TNEF signature (unless\n"
             "any_signature is true: then it is decoded as if it did, and its damage starts with\n"
             "DAMAGE_BAD_SIGNATURE) or is 4 GiB or more; MemoryError when memory runs out;\n"
             "TypeError when data is not bytes-like.");

static PyObject *decode(PyObject *module, PyObject *args, PyObject *kwargs) {
  static char *keywords[] = {"data", "any_signature", NULL};
  PyObject *data;
  int any_signature = 0;
  (void)module;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p:decode", keywords, &data, &any_signature)) return NULL;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_RECORDS_RO) != 0) return NULL;
  /* The message borrows the bytes it decodes, which outlive it here: the
   * caller's when they are immutable (bytes), else a copy taken now (also
   * of a buffer that is not contiguous), so that no other thread changes
   * them while the GIL is released. (An input of 4 GiB or more is refused
   * before it is read.) */
  const void *bytes = view.buf;
  void *copy = NULL;
  if (!PyBytes_Check(data) && (uint64_t)view.len < ((uint64_t)1 << 32)) {
    copy = PyMem_RawMalloc(view.len != 0 ? (size_t)view.len : 1);
    if (copy == NULL || PyBuffer_ToContiguous(copy, &view, view.len, 'C') != 0) {
      if (copy == NULL) PyErr_NoMemory();
      PyMem_RawFree(copy);
      PyBuffer_Release(&view);
      return NULL;
    }
    bytes = copy;
  }
  unsigned flags = WENDREL_DECODE_BORROW | (any_signature ? WENDREL_DECODE_ANY_SIGNATURE : 0);
  wendrel_decoder *decoder = NULL;
  wendrel_message *message = NULL;
  wendrel_status status;
  char error[256] = "";
  Py_BEGIN_ALLOW_THREADS
  status = wendrel_decoder_new(&decoder);
  if (status == WENDREL_OK) {
    status = wendrel_decode(decoder, bytes, (size_t)view.len, flags, &message);
    if (status != WENDREL_OK) {
      snprintf(error, sizeof error, "%s", wendrel_decoder_error(decoder));
    }
    wendrel_decoder_free(decoder);
  }
  Py_END_ALLOW_THREADS
  PyObject *result = NULL;
  if (status == WENDREL_OK) {
    result = build_message(message);
    wendrel_message_free(message);
  } else {
    raise_status(status, error);
  }
  PyMem_RawFree(copy);
  PyBuffer_Release(&view);
  return result;
}

/* ---- The module ---- */

static PyMethodDef module_methods[] = {
    {"decode", (PyCFunction)(void (*)(void))decode, METH_VARARGS | METH_KEYWORDS, decode_doc},
    {NULL, NULL, 0, NULL},
};

PyDoc_STRVAR(module_doc,
             "Decoder of TNEF streams (winmail.dat), on libwendrel.\n"
             "\n"
             "    import wendrel\n"
             "    message = wendrel.decode(open('winmail.dat', 'rb').read())\n"
             "    for attachment in message.attachments:\n"
             "        print(attachment.name, attachment.mime_type, len(attachment.data or b''))\n"
             "\n"
             "decode(data, *, any_signature=False) turns a stream into a wendrel.Message: plain,\n"
             "read-only objects made at once, that need nothing more of the library.\n"
             "\n"
             "Message: message_class, subject, signature_ok, attach_key, offset, attributes,\n"
             "  properties, properties_complete, recipients, attachments, text, html, html_bytes,\n"
             "  html_charset, rtf, rtf_html, rtf_text, calendar, vcard, item_file_name, damage.\n"
             "Attribute: level, id, name, data, checksum, checksum_ok, offset, attachment, value.\n"
             "Property: tag, id, type, type_name, named, guid, name, value, ticks.\n"
             "PropertyList: a list of Property with complete, and find(tag).\n"
             "Attachment: name, kind, mime_type, content_id, data, message, properties,\n"
             "  properties_complete, attributes.\n"
             "Damage: kind, description, offset.\n"
             "Date: (year, month, day, hour, minute, second, day_of_week), an atpDate attribute's value.\n"
             "\n"
             "Texts are str, from the stream's code pages; what a message does not have is None.\n"
             "Errors raise wendrel.Error, whose status is the library's (an ERROR_* constant).\n"
             "decode may run in many threads at once: the GIL is released while it decodes.\n"
             "\n"
             "Constants: the statuses (OK, ERROR_*), the kinds of damage (DAMAGE_*) and the\n"
             "property types (PT_*, PT_MV_FLAG).");

static struct PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    .m_name = "wendrel",
    .m_doc = module_doc,
    .m_size = -1,
    .m_methods = module_methods,
};

static PyStructSequence_Field date_fields[] = {
    {"year", NULL}, {"month", NULL}, {"day", NULL}, {"hour", NULL}, {"minute", NULL}, {"second", NULL},
    {"day_of_week", "0 Sunday .. 6 Saturday"}, {NULL, NULL},
};

static PyStructSequence_Desc date_description = {
    "wendrel.Date", "The seven fields of an atpDate attribute, as stored.", date_fields, 7,
};

static int add_constants(PyObject *module) {
  static const struct {
    const char *name;
    long value;
  } kConstants[] = {
      {"OK", WENDREL_OK},
      {"ERROR_ARGUMENT", WENDREL_ERROR_ARGUMENT},
      {"ERROR_MEMORY", WENDREL_ERROR_MEMORY},
      {"ERROR_NOT_TNEF", WENDREL_ERROR_NOT_TNEF},
      {"ERROR_TOO_LARGE", WENDREL_ERROR_TOO_LARGE},
      {"ERROR_ABSENT", WENDREL_ERROR_ABSENT},
      {"ERROR_TYPE", WENDREL_ERROR_TYPE},
      {"ERROR_WRITE", WENDREL_ERROR_WRITE},
      {"DAMAGE_SHORT_STREAM", WENDREL_DAMAGE_SHORT_STREAM},
      {"DAMAGE_BAD_SIGNATURE", WENDREL_DAMAGE_BAD_SIGNATURE},
      {"DAMAGE_TRUNCATED_RECORD", WENDREL_DAMAGE_TRUNCATED_RECORD},
      {"DAMAGE_TRUNCATED_PROPERTIES", WENDREL_DAMAGE_TRUNCATED_PROPERTIES},
      {"DAMAGE_TRUNCATED_RECIPIENTS", WENDREL_DAMAGE_TRUNCATED_RECIPIENTS},
      {"DAMAGE_RTF", WENDREL_DAMAGE_RTF},
      {"DAMAGE_OLE_OBJECT", WENDREL_DAMAGE_OLE_OBJECT},
      {"DAMAGE_NESTED_TOO_DEEP", WENDREL_DAMAGE_NESTED_TOO_DEEP},
      {"DAMAGE_MEMORY", WENDREL_DAMAGE_MEMORY},
      {"PT_I2", WENDREL_PT_I2},
      {"PT_LONG", WENDREL_PT_LONG},
      {"PT_R4", WENDREL_PT_R4},
      {"PT_DOUBLE", WENDREL_PT_DOUBLE},
      {"PT_CURRENCY", WENDREL_PT_CURRENCY},
      {"PT_APPTIME", WENDREL_PT_APPTIME},
      {"PT_ERROR", WENDREL_PT_ERROR},
      {"PT_BOOLEAN", WENDREL_PT_BOOLEAN},
      {"PT_OBJECT", WENDREL_PT_OBJECT},
      {"PT_I8", WENDREL_PT_I8},
      {"PT_STRING8", WENDREL_PT_STRING8},
      {"PT_UNICODE", WENDREL_PT_UNICODE},
      {"PT_SYSTIME", WENDREL_PT_SYSTIME},
      {"PT_CLSID", WENDREL_PT_CLSID},
      {"PT_BINARY", WENDREL_PT_BINARY},
      {"PT_MV_FLAG", WENDREL_MV_FLAG},
  };
  for (size_t i = 0; i < sizeof kConstants / sizeof kConstants[0]; ++i) {
    if (PyModule_AddIntConstant(module, kConstants[i].name, kConstants[i].value) != 0) return -1;
  }
  return 0;
}

/* Adds an object to the module under name; the reference is taken over
 * (also on failure). */
static int add_object(PyObject *module, const char *name, PyObject *object) {
  int result = PyModule_AddObjectRef(module, name, object);
  Py_XDECREF(object);
  return result;
}

PyMODINIT_FUNC PyInit_wendrel(void) {
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == NULL) return NULL;
  PyTypeObject *types[] = {&MessageType, &AttributeType, &PropertyType, &AttachmentType, &DamageType};
  for (size_t i = 0; i < sizeof types / sizeof types[0]; ++i) {
    if (PyType_Ready(types[i]) != 0) return NULL;
  }
  PropertyListType.tp_base = &PyList_Type;
  PropertyListType.tp_traverse = PyList_Type.tp_traverse;
  PropertyListType.tp_clear = PyList_Type.tp_clear;
  if (PyType_Ready(&PropertyListType) != 0) return NULL;
  if (DateType == NULL && (DateType = PyStructSequence_NewType(&date_description)) == NULL) return NULL;
  if (UuidClass == NULL) {
    PyObject *uuid = PyImport_ImportModule("uuid");
    if (uuid == NULL) return NULL;
    UuidClass = PyObject_GetAttrString(uuid, "UUID");
    Py_DECREF(uuid);
    if (UuidClass == NULL) return NULL;
  }
  if (BytesLeKeyword == NULL && (BytesLeKeyword = Py_BuildValue("(s)", "bytes_le")) == NULL) return NULL;
  if (Error == NULL) {
    PyObject *defaults = Py_BuildValue("{sOsO}", "status", Py_None, "message", Py_None);
    if (defaults == NULL) return NULL;
    Error = PyErr_NewExceptionWithDoc("wendrel.Error",
                                      "A stream wendrel cannot decode. status is the library's status (an ERROR_*\n"
                                      "constant), message the sentence that says what went wrong (also str(error)).",
                                      NULL, defaults);
    Py_DECREF(defaults);
    if (Error == NULL) return NULL;
  }

  PyObject *module = PyModule_Create(&module_definition);
  if (module == NULL) return NULL;
  if (add_object(module, "__version__", PyUnicode_FromString(wendrel_version())) != 0 ||
      add_object(module, "version_number", PyLong_FromLong(wendrel_version_number())) != 0 ||
      PyModule_AddObjectRef(module, "Error", Error) != 0 ||
      PyModule_AddObjectRef(module, "Date", (PyObject *)DateType) != 0 ||
      PyModule_AddObjectRef(module, "PropertyList", (PyObject *)&PropertyListType) != 0 || add_constants(module) != 0) {
    Py_DECREF(module);
    return NULL;
  }
  static const char *const kNames[] = {"Message", "Attribute", "Property", "Attachment", "Damage"};
  for (size_t i = 0; i < sizeof types / sizeof types[0]; ++i) {
    if (PyModule_AddObjectRef(module, kNames[i], (PyObject *)types[i]) != 0) {
      Py_DECREF(module);
      return NULL;
    }
  }
  return module;
}
