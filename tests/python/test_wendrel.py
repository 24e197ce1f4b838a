"""The wendrel module: that it gives all the C interface gives (its dump of
every corpus stream, made again from the Python objects), how it fails, the
Python value of each kind of property, and many threads decoding at once."""

import array
import datetime
import math
import random
import struct
import subprocess
import threading
import types
import uuid

import pytest

import wendrel

UTC = datetime.timezone.utc
ABSENT = "<there is no such value>"  # how the dump shows a text the message has not
KINDS = {"none": 0, "data": 1, "ole-picture": 2, "ole-file": 3, "message": 4}


# ---- The C interface's dump (tests/support/model_dump.cpp), from the Python objects ----

def fnv(data):
    value = 0xCBF29CE484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{len(data)}:{value:016x}"


def raw(text):
    """The text as the bytes the C interface wrote (the dump keeps them as they are)."""
    return text if isinstance(text, bytes) else text.encode()


def shown(text):
    if text is None:
        return ABSENT
    data = raw(text)
    return '"' + data.decode("utf-8", "surrogateescape") + '"' if len(data) <= 80 else fnv(data)


def value_text(prop, value, ticks):
    if prop.type & ~wendrel.PT_MV_FLAG == wendrel.PT_SYSTIME:
        return f"ticks {ticks}"
    if isinstance(value, bool):
        return str(int(value))
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "-nan" if math.copysign(1, value) < 0 else "nan"
        return "%.17g" % value
    if isinstance(value, uuid.UUID):
        return value.bytes_le.hex()
    if isinstance(value, str):
        return shown(value)
    if isinstance(value, bytes):
        return "bytes " + fnv(value)
    assert value is None
    return "-"


def dump_list(out, props, indent):
    out.append(f"{indent}properties {len(props)}{'' if props.complete else ' cut short'}")
    for p in props:
        line = f"{indent}  {p.tag:x} {p.type_name}"
        if p.named:
            name = f"{p.name:x}" if isinstance(p.name, int) else shown(p.name)
            line += f" {{{p.guid.bytes_le.hex()}}} {name}"
        multi = p.type & wendrel.PT_MV_FLAG
        values, ticks = (p.value, p.ticks) if multi else ([p.value], [p.ticks])
        line += " =" + "".join(" " + value_text(p, v, t) for v, t in zip(values, ticks or [None] * len(values)))
        out.append(line)


def dump_message(out, m, indent=""):
    out.append(f"{indent}message at {m.offset} signature {int(m.signature_ok)} key {m.attach_key:x}")
    out.append(f"{indent}class {shown(m.message_class)} subject {shown(m.subject)}")
    for a in m.attributes:
        line = (f"{indent}attribute {a.offset} level {a.level} {a.id:x} {a.name} {fnv(a.data)} "
                f"checksum {int(a.checksum_ok)} attachment {-1 if a.attachment is None else a.attachment}")
        if isinstance(a.value, str):
            line += " text " + shown(a.value)
        if isinstance(a.value, wendrel.Date):
            line += f" date {a.value.year}-{a.value.month}-{a.value.day}"
        if isinstance(a.value, int):
            line += f" number {a.value}"
        out.append(line)
    dump_list(out, m.properties, indent)
    for i, row in enumerate(m.recipients):
        out.append(f"{indent}recipient {i}")
        dump_list(out, row, indent + "  ")
    for i, a in enumerate(m.attachments):
        records = "".join(f" {r.offset}" for r in a.attributes)
        out.append(f'{indent}attachment {i} kind {KINDS[a.kind]} "{a.name}" type {a.mime_type or "-"} '
                   f'id {a.content_id or "-"} {fnv(a.data or b"")} records{records}')
        dump_list(out, a.properties, indent + "  ")
        if a.message is not None:
            dump_message(out, a.message, indent + "  ")
    bodies = [("text", m.text), ("html", m.html_bytes), ("html-utf8", m.html), ("rtf", m.rtf),
              ("rtf-html", m.rtf_html), ("rtf-text", m.rtf_text)]
    out.extend(f"{indent}body {name} {shown(body)}" for name, body in bodies)
    out.append(f"{indent}charset {m.html_charset or '-'}")
    out.append(f"{indent}calendar {shown(m.calendar)}")
    out.append(f"{indent}vcard {shown(m.vcard)}")
    if m.item_file_name is not None:
        out.append(f"{indent}item {m.item_file_name}")
    out.extend(f"{indent}damage {d.description} at {d.offset}" for d in m.damage)


def check_consistent(m):
    """What the dump does not show: objects shared, fields that say the same, reprs."""
    assert m.properties_complete is m.properties.complete
    by_offset = {a.offset: a for a in m.attributes}
    for i, attachment in enumerate(m.attachments):
        assert attachment.properties_complete is attachment.properties.complete
        assert all(by_offset[r.offset] is r and r.attachment == i for r in attachment.attributes)
        assert (attachment.kind == "message") is (attachment.message is not None)
        if attachment.message is not None:
            check_consistent(attachment.message)
    for item in [m, *m.attributes, *m.properties, *m.attachments, *m.damage]:
        repr(item)


def test_gives_all_the_c_interface_gives(corpus_file, dump_model):
    expected = subprocess.run([dump_model, str(corpus_file)], capture_output=True, check=True).stdout
    message = wendrel.decode(corpus_file.read_bytes(), any_signature=True)
    out = []
    dump_message(out, message)
    assert "\n".join(out).encode("utf-8", "surrogateescape") + b"\n" == expected
    check_consistent(message)


# ---- Errors ----

def record(att_id, value, level=1, checksum=None):
    checksum = sum(value) % 65536 if checksum is None else checksum
    return struct.pack("<BII", level, att_id, len(value)) + value + struct.pack("<H", checksum)


def stream(*records, key=0x1234, signature=0x223E9F78):
    return struct.pack("<IH", signature, key) + b"".join(records)


SUBJECT = record(0x00018004, b"Hi\0")


@pytest.mark.parametrize("data", ["text", 42, None, [0x78, 0x9F], object()])
def test_refuses_what_is_not_bytes(data):
    with pytest.raises(TypeError):
        wendrel.decode(data)


@pytest.mark.parametrize("data", [b"", b"\x78\x9f\x3e", stream(SUBJECT, signature=0x12345678)],
                         ids=["empty", "three bytes", "wrong signature"])
def test_refuses_what_is_not_tnef(data):
    with pytest.raises(wendrel.Error) as caught:
        wendrel.decode(data)
    assert caught.value.status == wendrel.ERROR_NOT_TNEF == 3
    assert str(caught.value) == caught.value.message == "the input does not start with the TNEF signature"
    assert isinstance(caught.value, Exception)


@pytest.mark.parametrize("data, damage, subject", [
    (b"", [(wendrel.DAMAGE_SHORT_STREAM, 0)], None),
    (stream(SUBJECT, signature=0x12345678), [(wendrel.DAMAGE_BAD_SIGNATURE, 0)], "Hi"),
    (stream(SUBJECT, record(0x00018004, b"cut")[:-3]), [(wendrel.DAMAGE_TRUNCATED_RECORD, 20)], "Hi"),
], ids=["empty", "wrong signature", "record cut short"])
def test_decodes_any_signature_and_reports_damage(data, damage, subject):
    message = wendrel.decode(data, any_signature=True)
    assert [(d.kind, d.offset) for d in message.damage] == damage
    assert message.signature_ok is (data[:4] == b"\x78\x9f\x3e\x22")
    assert message.subject == subject
    assert all(d.description for d in message.damage)


def test_takes_any_bytes_like_object_and_copies_what_may_change():
    data = stream(SUBJECT)
    mutable = bytearray(data)
    strided = memoryview(bytes(b for pair in zip(data, data) for b in pair))[::2]  # not contiguous
    messages = [wendrel.decode(form) for form in (data, mutable, memoryview(data), array.array("B", data), strided)]
    mutable[:] = bytes(len(mutable))
    assert [m.subject for m in messages] == ["Hi"] * len(messages)
    assert messages[1].attributes[0].data == b"Hi\0"
    with pytest.raises(TypeError):
        wendrel.decode(data, True)  # any_signature is keyword-only
    assert wendrel.__version__ == "%d.%d.%d" % (wendrel.version_number // 10000, wendrel.version_number // 100 % 100,
                                                wendrel.version_number % 100)


# ---- The value of each kind of property ----

def pad(data):
    return data + bytes(-len(data) % 4)


def counted(*values):
    return struct.pack("<I", len(values)) + b"".join(struct.pack("<I", len(v)) + pad(v) for v in values)


def utf16(text):
    return text.encode("utf-16-le") + b"\0\0"


def ticks_of(moment):
    return (moment - datetime.datetime(1601, 1, 1, tzinfo=UTC)) // datetime.timedelta(microseconds=1) * 10


GUID = bytes(range(0x20, 0x90, 7))
MOMENT = datetime.datetime(2024, 3, 5, 9, 0, 0, 123456, tzinfo=UTC)
# tag, what follows it, type name, value, ticks
VALUES = [
    (0x60010002, struct.pack("<hxx", -2), "PT_I2", -2, None),
    (0x60020003, struct.pack("<i", -7), "PT_LONG", -7, None),
    (0x60030004, struct.pack("<f", 1.5), "PT_R4", 1.5, None),
    (0x60040005, struct.pack("<d", 2.5), "PT_DOUBLE", 2.5, None),
    (0x60050006, struct.pack("<q", 123456), "PT_CURRENCY", 123456, None),
    (0x60060007, struct.pack("<d", 45000.25), "PT_APPTIME", 45000.25, None),
    (0x6007000A, struct.pack("<I", 0x8004010F), "PT_ERROR", 0x8004010F, None),
    (0x6008000B, struct.pack("<I", 2), "PT_BOOLEAN", True, None),
    (0x6009000B, struct.pack("<I", 0), "PT_BOOLEAN", False, None),
    (0x600A0014, struct.pack("<q", -(1 << 40)), "PT_I8", -(1 << 40), None),
    (0x600B0040, struct.pack("<q", ticks_of(MOMENT) + 7), "PT_SYSTIME", MOMENT, ticks_of(MOMENT) + 7),
    (0x600C0040, struct.pack("<q", -1), "PT_SYSTIME",
     datetime.datetime(1600, 12, 31, 23, 59, 59, 999999, tzinfo=UTC), -1),
    (0x600D0040, struct.pack("<q", (1 << 63) - 1), "PT_SYSTIME", (1 << 63) - 1, (1 << 63) - 1),
    (0x600E0048, bytes(range(16)), "PT_CLSID", uuid.UUID(bytes_le=bytes(range(16))), None),
    (0x600F001E, counted(b"caf\xe9\0"), "PT_STRING8", "café", None),
    (0x6010001F, counted(utf16("Zoë")), "PT_UNICODE", "Zoë", None),
    (0x60110102, counted(b"\x09\x08\x07"), "PT_BINARY", b"\x09\x08\x07", None),
    (0x60121003, struct.pack("<I3i", 3, 10, 20, -30), "PT_MV_LONG", [10, 20, -30], None),
    (0x6013101F, counted(utf16("a"), utf16("ß")), "PT_MV_UNICODE", ["a", "ß"], None),
    (0x60141040, struct.pack("<Iqq", 2, 0, ticks_of(MOMENT)), "PT_MV_SYSTIME",
     [datetime.datetime(1601, 1, 1, tzinfo=UTC), MOMENT], [0, ticks_of(MOMENT)]),
    (0x60150001, b"", "unknown", None, None),
    (0x60161001, b"", "unknown", [], None),
]
NAMED = [  # tag, name as stored, value as stored, name, value
    (0x80000003, struct.pack("<II", 0, 0x8022), struct.pack("<i", 2), 0x8022, 2),
    (0x8001001F, struct.pack("<II", 1, len(utf16("Hint"))) + pad(utf16("Hint")), counted(utf16("inline")),
     "Hint", "inline"),
]


def test_each_kind_of_value():
    items = [struct.pack("<I", tag) + body for tag, body, *_ in VALUES]
    items += [struct.pack("<I", tag) + GUID + name + body for tag, name, body, *_ in NAMED]
    props = struct.pack("<I", len(items)) + b"".join(items)
    message = wendrel.decode(stream(record(0x00069003, props)))
    assert message.properties_complete and len(message.properties) == len(VALUES) + len(NAMED)
    for p, (tag, _, type_name, value, ticks) in zip(message.properties, VALUES):
        assert (p.tag, p.id, p.type, p.type_name) == (tag, tag >> 16, tag & 0xFFFF, type_name)
        assert p.value == value and type(p.value) is type(value), type_name
        assert p.ticks == ticks and not p.named and p.guid is None and p.name is None
    for p, (tag, _, _, name, value) in zip(message.properties[len(VALUES):], NAMED):
        assert (p.tag, p.named, p.guid, p.name, p.value) == (tag, True, uuid.UUID(bytes_le=GUID), name, value)
    assert message.properties.find(0x6010001F).value == "Zoë" and message.properties.find(0x6017001F) is None
    # A list whose count promises more than it holds keeps what it holds.
    cut = wendrel.decode(stream(record(0x00069003, struct.pack("<I", 3) + items[1])))
    assert [p.value for p in cut.properties] == [-7] and not cut.properties.complete
    assert [d.kind for d in cut.damage] == [wendrel.DAMAGE_TRUNCATED_PROPERTIES]


def test_times_across_the_whole_range():
    start = datetime.datetime(1601, 1, 1, tzinfo=UTC)
    edges = [ticks_of(datetime.datetime(1, 1, 1, tzinfo=UTC)), ticks_of(datetime.datetime.max.replace(tzinfo=UTC))]
    ticks = [t + d for t in edges for d in (-10, -1, 0, 9, 10)] + [-(1 << 63), (1 << 63) - 1]
    rng = random.Random(5)
    ticks += [rng.randrange(-(1 << 63), 1 << 63) >> rng.randrange(64) for _ in range(500)]
    body = struct.pack(f"<I{len(ticks)}q", len(ticks), *ticks)
    (times,) = wendrel.decode(stream(record(0x00069003, struct.pack("<II", 1, 0x60011040) + body))).properties
    for tick, value in zip(ticks, times.value, strict=True):
        try:
            assert value == start + datetime.timedelta(microseconds=tick // 10), tick
        except OverflowError:  # beyond datetime's years: the ticks as they are
            assert value == tick and type(value) is int
    assert times.ticks == ticks


def test_attributes_recipients_and_attachments():
    inner = stream(record(0x00018004, b"Inner\0"))
    embedded = bytes.fromhex("0703020000000000c000000000000046") + inner
    row = struct.pack("<I", 1) + struct.pack("<I", 0x3003001F) + counted(utf16("ada@example.org"))
    data = stream(
        record(0x00078008, b"IPM.Note\0"), SUBJECT, record(0x00038005, struct.pack("<7H", 2024, 3, 5, 9, 0, 0, 2)),
        record(0x0004800D, struct.pack("<H", 3), checksum=0xBEEF), record(0x00069004, struct.pack("<I", 1) + row),
        record(0x00069002, bytes(14), 2), record(0x00018010, b"a.txt\0", 2), record(0x0006800F, b"hello", 2),
        record(0x00069002, bytes(14), 2),
        record(0x00069005, struct.pack("<I", 1) + struct.pack("<I", 0x3701000D) + counted(embedded), 2))
    message = wendrel.decode(data)
    assert (message.message_class, message.subject) == ("IPM.Note", "Hi")
    values = [a.value for a in message.attributes[:4]]
    assert values == ["IPM.Note", "Hi", wendrel.Date((2024, 3, 5, 9, 0, 0, 2)), 3]
    assert values[2].day_of_week == 2 and message.attributes[3].checksum == 0xBEEF
    assert [a.checksum_ok for a in message.attributes[:4]] == [True, True, True, False]
    assert [(a.level, a.attachment) for a in message.attributes[5:]] == [(2, 0)] * 3 + [(2, 1)] * 2
    assert message.recipients[0].find(0x3003001F).value == "ada@example.org"
    saved, attached = message.attachments
    assert (saved.name, saved.kind, saved.data, saved.message) == ("a.txt", "data", b"hello", None)
    assert saved.data is saved.attributes[2].data  # one bytes object for both
    assert (attached.kind, attached.data, attached.message.subject) == ("message", inner, "Inner")
    assert attached.message.offset == data.index(inner) and attached.message.damage == []
    # Read-only objects that only decode makes.
    for item, field in [(message, "subject"), (message.attributes[0], "value"), (message.properties, "complete"),
                        (saved, "data"), (message.recipients[0][0], "value")]:
        with pytest.raises(AttributeError):
            setattr(item, field, None)
    for cls in (wendrel.Message, wendrel.Attribute, wendrel.Property, wendrel.Attachment, wendrel.Damage):
        with pytest.raises(TypeError):
            cls()


# ---- Threads ----

def snapshot(value):
    """The whole of a value, as plain values that compare equal when they are the same."""
    if isinstance(value, list):
        return getattr(value, "complete", None), tuple(snapshot(item) for item in value)
    fields = [name for name, slot in vars(type(value)).items() if isinstance(slot, types.MemberDescriptorType)]
    if type(value).__module__ == "wendrel" and fields:
        return (type(value).__name__,) + tuple(snapshot(getattr(value, name)) for name in fields)
    return value


def test_many_threads_decoding_at_once(corpus):
    alone = [snapshot(wendrel.decode(data, any_signature=True)) for data in corpus]
    failures, threads = [], []

    def decode_all(seed):
        order = list(range(len(corpus))) * 2
        random.Random(seed).shuffle(order)
        for i in order:
            if snapshot(wendrel.decode(corpus[i], any_signature=True)) != alone[i]:
                failures.append(i)

    for seed in range(8):
        threads.append(threading.Thread(target=decode_all, args=(seed,)))
        threads[-1].start()
    for thread in threads:
        thread.join()
    assert failures == []
