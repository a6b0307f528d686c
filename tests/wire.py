"""The report datagram as the suites build and read it, written from the format alone and
independently of the program's code: a 12-byte header and up to 18 records of 56 bytes, every
multi-byte field big-endian. EXAMPLE_RECORD is spelled out byte by byte as a cross-check, so
that an encoder and these builders cannot agree with each other and both be wrong."""

HEADER_SIZE = 12
RECORD_SIZE = 56
MAX_RECORDS = 18
REPORT_TAG = bytes.fromhex("7C830001D800")
RECORD_TAG = bytes.fromhex("7C830001D600")

# Header offsets; the length counts the bytes after its own field.
HEADER_LENGTH = 6
HEADER_COUNT = 8
HEADER_RESERVED = 10

# Record offsets; every byte not named here is zero.
RECORD_LENGTH = 6
AP_MAC = 8
AP_MAC_AGAIN = 18
CHANNEL = 25
ASSOC = 26
TIMESTAMP = 28
RSSI = 36
MU_MAC = 44
CONST_02 = 34
CONST_80 = 38
CONST_0B = 42
CONSTANTS = {CONST_02: 0x02, CONST_80: 0x80, CONST_0B: 0x0B}

# The 56 bytes the example observation A0B1C2D3E4F5,0a1b2c3d4e5f,258,-60,6,54,1 encodes to.
EXAMPLE_RECORD = bytes.fromhex(
    "7C830001D6000030A0B1C2D3E4F500000000A0B1C2D3E4F50006010000000102000002"
    "00C400800000000B000A1B2C3D4E5F000000000000")


def header(count):
    return REPORT_TAG + (count * RECORD_SIZE + 4).to_bytes(2, "big") + \
        count.to_bytes(2, "big") + b"\0\0"


def record(apmac="A0B1C2D3E4F5", mumac="0A1B2C3D4E5F", timestamp=258, rssi=-60, channel=6,
           assoc=1):
    """The record of these values; one-byte fields take the low 8 bits."""
    b = bytearray(RECORD_SIZE)
    b[:len(RECORD_TAG)] = RECORD_TAG
    b[RECORD_LENGTH:RECORD_LENGTH + 2] = (RECORD_SIZE - RECORD_LENGTH - 2).to_bytes(2, "big")
    for at in (AP_MAC, AP_MAC_AGAIN):
        b[at:at + 6] = bytes.fromhex(apmac)
    b[MU_MAC:MU_MAC + 6] = bytes.fromhex(mumac)
    b[TIMESTAMP:TIMESTAMP + 4] = (timestamp % 2**32).to_bytes(4, "big")
    b[CHANNEL], b[ASSOC], b[RSSI] = channel % 256, assoc % 256, rssi % 256
    for at, value in CONSTANTS.items():
        b[at] = value
    return bytes(b)


assert record() == EXAMPLE_RECORD, "the builder disagrees with the example record"


def report(records):
    return header(len(records)) + b"".join(records)


def record_at(index):
    """Where the record numbered index (from 1) starts in a report."""
    return HEADER_SIZE + (index - 1) * RECORD_SIZE


def count_of(datagram):
    return int.from_bytes(datagram[HEADER_COUNT:HEADER_COUNT + 2], "big")


def timestamps_of(datagram):
    """The timestamps of the records a report's header counts."""
    return [int.from_bytes(datagram[record_at(i) + TIMESTAMP:record_at(i) + TIMESTAMP + 4], "big")
            for i in range(1, count_of(datagram) + 1)]


def patched(data, at, value):
    return data[:at] + bytes([value]) + data[at + 1:]
