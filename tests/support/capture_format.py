"""The file format of smtp_capture.py: X-Envelope-From / X-Envelope-To lines in
front of the message as received."""


def split_envelope(raw):
    """Returns (envelope_from, [envelope_to], message bytes)."""
    envelope_from, envelope_to = None, []
    while raw.startswith(b"X-Envelope-"):
        line, raw = raw.split(b"\r\n", 1)
        name, value = line.decode().split(": ", 1)
        if name == "X-Envelope-From":
            envelope_from = value
        else:
            envelope_to.append(value)
    return envelope_from, envelope_to, raw
