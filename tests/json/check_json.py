#!/usr/bin/python3
"""wendrel-json end to end: check_json.py CASE --json PROGRAM --wendrel PROGRAM
--streams GENERATOR --schema FILE --corpus DIR [--skip-log FILE]

Each CASE is one ctest test. Run with Debian's python3 (/usr/bin/python3),
which has python3-jsonschema. Exit status 77 means skipped (the reason is
printed)."""

import argparse
import base64
import hashlib
import json
import os
import subprocess
import sys
import tempfile

SKIPPED = 77
ARGS = None
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


def skip(reason):
    print("SKIPPED:", reason)
    if ARGS.skip_log and "corpus" in reason:
        with open(ARGS.skip_log, "a") as log:
            log.write("Json.%s\t%s\n" % (ARGS.case.capitalize(), reason))
    sys.exit(SKIPPED)


def run(arguments, stdin=None, stdout=subprocess.PIPE):
    return subprocess.run([ARGS.json] + arguments, input=stdin, stdout=stdout, stderr=subprocess.PIPE)


def account(source, *options):
    """The document for a file (a path) or for bytes given on standard input."""
    if isinstance(source, bytes):
        result = run(list(options) + ["-"], stdin=source)
    else:
        result = run(list(options) + [source])
    what = source if isinstance(source, str) else "standard input"
    check(result.returncode == 0 and result.stderr == b"", "%s: status %d, %r" % (what, result.returncode, result.stderr))
    raw = result.stdout
    # Valid UTF-8, and no control character but the layout's line ends.
    text = raw.decode("utf-8")
    check(all(c == "\n" or (" " <= c and c != "\x7f" and not "\x80" <= c <= "\x9f") for c in text), what + ": raw control")
    check(raw.endswith(b"}\n"), "document ends in a newline")
    return raw, json.loads(text)


def validate(document, what):
    import jsonschema
    try:
        validator().validate(document)
    except jsonschema.ValidationError as error:
        check(False, "%s does not match the schema: %s at %s" % (what, error.message, list(error.absolute_path)))


_validator = None


def validator():
    global _validator
    if _validator is None:
        import jsonschema
        with open(ARGS.schema) as file:
            schema = json.load(file)
        jsonschema.Draft202012Validator.check_schema(schema)
        _validator = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.FormatChecker())
    return _validator


def messages(document):
    """Every decoded message, attached ones too."""
    pending = [s["message"] for s in document["streams"] if s["message"]]
    while pending:
        message = pending.pop(0)
        yield message
        pending += [a["message"] for a in message["attachments"] if a["message"]]


def blocks(value):
    """Every block of bytes: objects with size and sha256."""
    if isinstance(value, dict):
        if "sha256" in value and value["sha256"] is not None:
            yield value
        for member in value.values():
            yield from blocks(member)
    elif isinstance(value, list):
        for item in value:
            yield from blocks(item)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def wrapped(stream, kind="application/ms-tnef"):
    """stream as the base64 TNEF part of a mail message."""
    encoded = base64.encodebytes(stream).replace(b"\n", b"\r\n")
    return (b"From: a@example.org\r\nSubject: TNEF\r\nMIME-Version: 1.0\r\n"
            b"Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nSee.\r\n"
            b"--b\r\nContent-Type: " + kind.encode() + b"; name=winmail.dat\r\nContent-Transfer-Encoding: base64\r\n\r\n"
            + encoded + b"--b--\r\n")


_scratch = []


def generated():
    """The streams make_json_streams writes, by name (removed at exit)."""
    _scratch.append(tempfile.TemporaryDirectory(prefix="wendrel-json-"))
    directory = _scratch[-1].name
    subprocess.run([ARGS.streams, directory], check=True)
    return {name: os.path.join(directory, name) for name in sorted(os.listdir(directory))}


def corpus(required=True):
    directory = os.environ.get("WENDREL_CORPUS") or ARGS.corpus
    if not os.path.isdir(directory):
        if not required:
            return []
        skip("no corpus at %s" % os.path.normpath(directory))
    return [os.path.join(directory, name) for name in sorted(os.listdir(directory)) if name.endswith(".tnef")]


def saved_by_wendrel(stream):
    """File name to digest of what wendrel -s saves of stream."""
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run([ARGS.wendrel, "-s", os.path.abspath(stream)], cwd=directory, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        return {name: sha256(open(os.path.join(directory, name), "rb").read()) for name in os.listdir(directory)}


def property_values(message):
    return {p["id"]: p.get("value", "absent") for p in message["properties"]["items"] if p["named"] is None}


# ---- Cases ----

def case_corpus():
    """Every real stream: valid, the same twice, the same inside a mail message,
    and the digests of what wendrel -s saves."""
    for stream in corpus():
        name = os.path.basename(stream)
        raw, document = account(stream)
        validate(document, name)
        check(account(stream)[0] == raw, name + ": the same bytes each run")
        with open(stream, "rb") as file:
            bytes_ = file.read()
        mail = account(wrapped(bytes_))[1]
        validate(mail, name + " in a message")
        part = {"path": "2", "content_type": "application/ms-tnef", "filename": "winmail.dat"}
        check([s["part"] for s in mail["streams"]] == [part], name + ": part")
        check(mail["streams"][0]["message"] == document["streams"][0]["message"], name + ": same message in a mail")
        check_saved_digests(name, stream, document)


def check_saved_digests(name, stream, document):
    saved = saved_by_wendrel(stream)
    ours = set()
    for message in messages(document):
        for attachment in message["attachments"]:
            if attachment["kind"] in ("data", "ole_picture", "ole_file"):
                check(attachment["sha256"] in saved.values(), "%s: %s saved with that digest" % (name, attachment["name"]))
                ours.add(attachment["sha256"])
        for text in (message["calendar"], message["vcard"]):
            if text is not None:
                check(sha256(text.encode()) in saved.values(), "%s: %s" % (name, message["item_file_name"]))
                ours.add(sha256(text.encode()))
        bodies = message["bodies"]
        for block in (bodies["rtf"], bodies["html"] and bodies["html"]["stored"]):
            if block:
                check(block["sha256"] in saved.values(), "%s: body saved with digest %s" % (name, block["sha256"]))
    # And each file it saves but bodies is one of those.
    for file, digest in saved.items():
        if not file.startswith("tnef_"):
            check(digest in ours, "%s: %s saved by wendrel -s is in the account" % (name, file))


def case_generated():
    """The generated streams: every kind of value, as the schema types it."""
    streams = generated()
    documents = {}
    for name, path in streams.items():
        documents[name] = account(path)[1]
        validate(documents[name], name)
        check_saved_digests(name, path, documents[name])
    values = documents["values.tnef"]["streams"][0]["message"]
    got = property_values(values)
    expected = {
        "0x6600": -2, "0x6601": -5, "0x6602": 1.5, "0x6603": 0.1, "0x6604": None, "0x6605": None, "0x6606": 123456,
        "0x6607": 45356.375, "0x6608": 0x80004005, "0x6609": True, "0x660a": (1 << 60) + 1,
        "0x0039": {"utc": "2024-03-05T09:00:00Z", "ticks": (1709629200 + 11644473600) * 10000000},
        "0x660b": {"utc": None, "ticks": 0x7FFFFFFFFFFFFFFF}, "0x660c": "00112233-4455-6677-8899-aabbccddeeff",
        "0x660d": "caf\u00e9", "0x0037": 'Values "quoted" \\ back', "0x660e": {"size": 7, "sha256": sha256(b"bin\0ary")},
        "0x660f": "absent", "0x6610": [1, 2, -1], "0x6613": ["one", "two"],
        "0x6612": ["00112233-4455-6677-8899-aabbccddeeff"],
    }
    for key, value in expected.items():
        check(got.get(key) == value, "value of %s: %r, not %r" % (key, got.get(key), value))
    check([t["utc"] for t in got["0x6611"]] == ["1970-01-01T00:00:00Z", "2024-03-05T09:00:00Z"], "PT_MV_SYSTIME")
    named = {(p["named"]["guid"], p["named"].get("number"), p["named"].get("name")): p["value"]
             for p in values["properties"]["items"] if p["named"]}
    check(named.get(("00062008-0000-0000-c000-000000000046", 0x8501, None)) == 15, "named by number")
    check(named.get(("00020329-0000-0000-c000-000000000046", None, "Keywords")) == "tag", "named by name")
    check([b["size"] for b in named[("00062008-0000-0000-c000-000000000046", 0x8580, None)]] == [5, 0], "PT_MV_BINARY")
    html = values["bodies"]["html"]
    check(html["text"] == "<p>caf\u00e9</p>" and html["charset"] == "windows-1252" and not html["from_rtf"]
          and html["stored"]["sha256"] == sha256(b"<p>caf\xe9</p>"), "HTML body: %r" % html)
    rtf = b"{\\rtf1\\ansi Values.\\par}"
    check(values["bodies"]["rtf"] == {"size": len(rtf), "sha256": sha256(rtf), "encapsulates_html": False}, "RTF body")
    [attachment] = values["attachments"]
    check((attachment["name"], attachment["mime_type"], attachment["content_id"], attachment["sha256"])
          == ("figures.csv", "text/csv", "figures@example.org", sha256(b"quarter,revenue\nQ1,1200\n")), "attachment")
    offsets = {a["offset"]: a for a in values["attributes"]}
    check(all(offsets[o]["attachment"] == 0 for o in attachment["attribute_offsets"]), "attachment's records")
    check(any(a["name"] == "attDateSent" and a["date"]["year"] == 2024 for a in values["attributes"]), "attribute date")
    check(len(values["recipients"]) == 1 and values["class"] == "IPM.Note", "recipients, class")
    meeting = documents["meeting.tnef"]["streams"][0]["message"]
    check(meeting["calendar"].startswith("BEGIN:VCALENDAR\r\n") and meeting["item_file_name"] == "Weekly review.ics", "meeting")
    contact = documents["contact.tnef"]["streams"][0]["message"]
    check(contact["vcard"].startswith("BEGIN:VCARD\r\n") and contact["item_file_name"].endswith(".vcf"), "contact")
    [embedded] = documents["embedding.tnef"]["streams"][0]["message"]["attachments"]
    check(embedded["kind"] == "message" and embedded["message"]["offset"] > 0
          and property_values(embedded["message"]) == got, "attached message")
    damage = documents["damaged.tnef"]["streams"][0]["message"]["damage"]
    check([d["kind"] for d in damage] == ["truncated_record"], "damage: %r" % damage)
    hostile = documents["hostile.tnef"]["streams"][0]["message"]
    check("\x1b[31m" in hostile["subject"] and "\x07" in hostile["subject"], "control characters kept, escaped")
    check(all(c >= " " and c not in "/\\" for c in hostile["attachments"][0]["name"]), "attachment name")


def case_contents():
    """--contents: base64 of every block decodes to its bytes; without it
    the document is the same but for base64."""
    def strip(value):
        if isinstance(value, dict):
            return {k: strip(v) for k, v in value.items() if k != "base64"}
        return [strip(v) for v in value] if isinstance(value, list) else value
    streams = list(generated().values()) + corpus(required=False)
    for stream in streams:
        plain, full = account(stream)[1], account(stream, "--contents")[1]
        validate(full, stream + " with --contents")
        check(strip(full) == plain and not any("base64" in b for b in blocks(plain)), stream + ": only base64 added")
        for block in blocks(full):
            data = base64.b64decode(block["base64"], validate=True)
            check(len(data) == block["size"] and sha256(data) == block["sha256"], stream + ": base64 of a block")


def case_messages():
    """TNEF found in mail as wendrel-mime finds it, with IMAP section numbers."""
    streams = generated()
    tnef = open(streams["values.tnef"], "rb").read()
    b64 = base64.encodebytes(tnef)
    quoted = "".join("=%02X" % b if b < 33 or b > 126 or b == 61 else chr(b) for b in tnef).encode()
    mail = (b"From sender@example.org Mon Jan  1 00:00:00 2024\n"
            b"Subject: nest\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=a\n\n"
            b"--a\nContent-Type: text/plain\n\nhi\n"
            b"--a\nContent-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n\nx\n"
            b"--b\nContent-Type: Application/VND.MS-TNEF\nContent-Transfer-Encoding: quoted-printable\n"
            b"Content-Disposition: attachment; filename*=utf-8''%1B%5B31m%FFbad%0A.dat\n\n" + quoted + b"\n--b--\n"
            b"--a\nContent-Type: message/rfc822\n\nSubject: inner\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=c\n\n--c\nContent-Type: text/plain\n\ny\n"
            b"--c\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n\n" + b64 + b"--c--\n"
            b"--a\nContent-Type: application/ms-tnef\n\nnot TNEF\n"
            b"--a\nContent-Type: multipart/signed; boundary=d; protocol=\"application/pkcs7-signature\"\n\n"
            b"--d\nContent-Type: application/ms-tnef\nContent-Transfer-Encoding: base64\n\n" + b64 +
            b"--d\nContent-Type: application/pkcs7-signature\n\nsig\n--d--\n--a--\n")
    document = account(mail)[1]
    validate(document, "nested message")
    found = [(s["part"]["path"], s["part"]["content_type"], s["status"]) for s in document["streams"]]
    check(found == [("2.2", "application/vnd.ms-tnef", "decoded"), ("3.2", "application/octet-stream", "decoded"),
                    ("4", "application/ms-tnef", "not_tnef"), ("5.1", "application/ms-tnef", "decoded")], "found %r" % found)
    check(all(s["message"] == document["streams"][0]["message"] for s in document["streams"] if s["message"]), "same streams")
    check(document["input"] == {"kind": "message", "size": len(mail), "deeper_parts_skipped": False}, "input")
    check("\x1b[31m\ufffdbad\n" in document["streams"][0]["part"]["filename"], "file name: escaped, U+FFFD for %FF")
    single = b"Subject: one\r\nContent-Type: application/ms-tnef\r\nContent-Transfer-Encoding: base64\r\n\r\n" + b64
    check([s["part"]["path"] for s in account(single)[1]["streams"]] == ["1"], "a message that is its TNEF part")
    for text in (b"", b"Subject: none\n\nplain text\n", b"\x00\xff garbage"):
        check(account(text)[1]["streams"] == [], "no TNEF in %r" % text[:20])
    deep = b"Content-Type: multipart/mixed; boundary=0\n\n"
    for level in range(1, 70):
        deep += b"--%d\nContent-Type: multipart/mixed; boundary=%d\n\n" % (level - 1, level)
    deep += b"--69\nContent-Type: application/ms-tnef\nContent-Transfer-Encoding: base64\n\n" + b64
    nested = account(deep)[1]
    check(nested["input"]["deeper_parts_skipped"] and nested["streams"] == [], "parts nested too deep")


def case_statuses():
    """Exit statuses of sysexits.h, and diagnostics that carry no raw bytes."""
    version = run(["--version"])
    check((version.returncode, version.stdout) == (0, b"wendrel-json (wendrel/1.4)\n"), "--version")
    check(run(["--help"]).returncode == 0 and run(["--help"]).stdout.startswith(b"Usage: wendrel-json"), "--help")
    bad = run(["--no\x1bsuch"])
    check(bad.returncode == 64 and b"\\x1b" in bad.stderr and b"\x1b" not in bad.stderr and bad.stdout == b"", "unknown option")
    check(run(["a", "b"]).returncode == 64, "two inputs")
    missing = run(["/nonexistent/\x07winmail.dat"])
    check(missing.returncode == 66 and b"\\x07" in missing.stderr and missing.stdout == b"", "missing input")
    check(run(["/"]).returncode == 66, "a directory")
    stream = generated()["values.tnef"]
    check(run([stream]).stdout == run([], stdin=open(stream, "rb").read()).stdout, "standard input")
    check(run(["--", stream]).returncode == 0, "--")
    reader, writer = os.pipe()
    os.close(reader)
    gone = run([stream], stdout=writer)
    os.close(writer)
    check(gone.returncode == 75 and b"cannot write standard output: Broken pipe" in gone.stderr, "a reader that went away")
    if os.path.exists("/dev/full"):
        with open("/dev/full", "wb") as full:
            result = run([stream], stdout=full)
        check(result.returncode == 75 and b"cannot write standard output: No space left on device" in result.stderr, "/dev/full")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["corpus", "generated", "contents", "messages", "statuses"])
    for option in ("--json", "--wendrel", "--streams", "--schema", "--corpus"):
        parser.add_argument(option, required=True)
    parser.add_argument("--skip-log")
    ARGS = parser.parse_args()
    ARGS.json, ARGS.wendrel, ARGS.streams = (os.path.abspath(p) for p in (ARGS.json, ARGS.wendrel, ARGS.streams))
    try:
        import jsonschema  # noqa: F401
    except ImportError:
        skip("Debian's python3-jsonschema is not installed (run with /usr/bin/python3)")
    globals()["case_" + ARGS.case]()
    print("%s: %d failures" % (ARGS.case, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
