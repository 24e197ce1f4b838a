"""Reads a vCard with python3-vobject, as an address book would, and prints
each of its properties on one line: NAME, TAB, its parameters (sorted,
NAME=value,value; joined by ';'), TAB, its value. Structured values (N, ADR)
print their components joined by U+001F; binary values their length and
SHA-256; line breaks inside a value print as \\n. Exit status 1 when the card
does not parse."""

import hashlib
import sys

import vobject


def text(value):
    if isinstance(value, bytes):
        return "bytes %d %s" % (len(value), hashlib.sha256(value).hexdigest())
    if isinstance(value, vobject.vcard.Name):
        parts = [value.family, value.given, value.additional, value.prefix, value.suffix]
    elif isinstance(value, vobject.vcard.Address):
        parts = [value.box, value.extended, value.street, value.city, value.region, value.code, value.country]
    elif isinstance(value, list):
        parts = value
    else:
        return str(value).replace("\n", "\\n")
    return "\x1f".join((",".join(p) if isinstance(p, list) else str(p)).replace("\n", "\\n") for p in parts)


def main():
    try:
        card = vobject.readOne(open(sys.argv[1], encoding="utf-8").read())
    except Exception as error:  # any failure to read is the test's failure
        print("error", error)
        return 1
    for child in card.getChildren():
        params = ";".join("%s=%s" % (key, ",".join(values)) for key, values in sorted(child.params.items()))
        print("%s\t%s\t%s" % (child.name, params, text(child.value)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
