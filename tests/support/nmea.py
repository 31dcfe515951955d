"""NMEA 0183 text for the Python tests and benchmarks: one checksum, both ways."""

import re

SENTENCE = re.compile(rb"\$([^$*\r\n]{1,80})\*([0-9A-F]{2})\r\n")


def checksum(body):
    """The XOR of the bytes between '$' and '*'."""
    check = 0
    for b in body:
        check ^= b
    return check


def sentence(body):
    """The sentence for `body` (the text between '$' and '*'), as text."""
    return "$%s*%02X\r\n" % (body, checksum(body.encode()))


def nmea(body):
    """The sentence for `body`, as bytes."""
    return sentence(body).encode()


def valid_sentences(data):
    """The NMEA sentences in `data` whose checksum is right."""
    return [m.group(0) for m in SENTENCE.finditer(data)
            if checksum(m.group(1)) == int(m.group(2), 16)]
