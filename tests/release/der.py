"""DER, as far as the release checks read and write it: the tag-length-value
elements of an Authenticode signature (PKCS#7 SignedData), its certificates and
its time stamps. Only single-byte tags and definite lengths occur there."""

SEQUENCE = 0x30
SET = 0x31
INTEGER = 0x02
OCTET_STRING = 0x04
OID = 0x06
UTC_TIME = 0x17
GENERALIZED_TIME = 0x18


class Malformed(Exception):
    """The bytes are not the DER that was expected."""


class Element:
    """One element: its tag, and where its header and content lie in data."""

    def __init__(self, data, start, end):
        if end - start < 2:
            raise Malformed("an element cut short at byte %d" % start)
        self.data = data
        self.start = start
        self.tag = data[start]
        if self.tag & 0x1F == 0x1F:
            raise Malformed("a multi-byte tag at byte %d" % start)
        first = data[start + 1]
        at = start + 2
        if first < 0x80:
            length = first
        else:
            count = first & 0x7F
            if count == 0 or count > 4 or at + count > end:
                raise Malformed("a length that is not definite DER at byte %d" % start)
            length = int.from_bytes(data[at:at + count], "big")
            at += count
        self.content_start = at
        self.end = at + length
        if self.end > end:
            raise Malformed("an element longer than what holds it at byte %d" % start)

    @property
    def content(self):
        return self.data[self.content_start:self.end]

    @property
    def raw(self):
        return self.data[self.start:self.end]

    @property
    def constructed(self):
        return bool(self.tag & 0x20)

    def children(self):
        if not self.constructed:
            raise Malformed("byte %d: tag 0x%02x holds no elements" % (self.start, self.tag))
        found = []
        at = self.content_start
        while at < self.end:
            child = Element(self.data, at, self.end)
            found.append(child)
            at = child.end
        return found

    def expect(self, tag, what):
        if self.tag != tag:
            raise Malformed("%s: tag 0x%02x, not 0x%02x (byte %d)" % (what, self.tag, tag, self.start))
        return self


def read(data):
    """The one element that data holds, with nothing after it."""
    element = Element(data, 0, len(data))
    if element.end != len(data):
        raise Malformed("%d bytes after the element" % (len(data) - element.end))
    return element


def oid_text(element):
    """An OBJECT IDENTIFIER in dotted form."""
    element.expect(OID, "an object identifier")
    body = element.content
    if not body:
        raise Malformed("an empty object identifier")
    parts = []
    value = 0
    for byte in body:
        value = value * 128 + (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    first = min(parts[0] // 40, 2)
    return ".".join(str(part) for part in [first, parts[0] - 40 * first] + parts[1:])


def encode(tag, content):
    """One element: tag, DER length, content."""
    length = len(content)
    if length < 0x80:
        header = bytes([tag, length])
    else:
        size = length.to_bytes((length.bit_length() + 7) // 8, "big")
        header = bytes([tag, 0x80 | len(size)]) + size
    return header + content


def encode_oid(text):
    parts = [int(part) for part in text.split(".")]
    numbers = [40 * parts[0] + parts[1]] + parts[2:]
    body = b""
    for number in numbers:
        chunk = [number & 0x7F]
        number >>= 7
        while number:
            chunk.insert(0, 0x80 | (number & 0x7F))
            number >>= 7
        body += bytes(chunk)
    return encode(OID, body)
