#!/usr/bin/env python3
"""Writes the seed corpus of the fuzzers into fuzz/corpus/<fuzzer>/.

Each seed is a well-behaved (or typically misbehaving) peer in the script format of
fuzz_peer.h, so that fuzzing starts from whole dialogues instead of having to discover the
boot loader's texts byte by byte.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CHAIN, LONG, FAIL = 13, 14, 15
# Indexes into kDelayMs of fuzz_peer.h.
NOW, MS5, MS100, MS1001, MS1999, MS2100, MS6001 = 0, 2, 5, 7, 8, 10, 12

SIGNATURES = [b"\t\t\t\r", b"\n\n\n\r", b"\n\n\r\r"]
BASE = [b"00010000", b"00010000", b"00000000"]
BLOCKS = [range(1, 16), range(1, 8), range(0, 7)]


def answer(data, delay=NOW):
    if len(data) <= 12:
        return bytes([delay << 4 | len(data)]) + data
    return bytes([delay << 4 | LONG]) + struct.pack(">H", len(data)) + data


def chain(delay):
    return bytes([delay << 4 | CHAIN])


def fail(delay=NOW):
    return bytes([delay << 4 | FAIL])


def talkative(count, text="Boot loader busy"):
    """Lines that keep coming just inside every read's time-out: only an overall bound ends the
    wait."""
    out = answer(line(text))
    for _ in range(count - 1):
        out += chain(MS1999) + answer(line(text))
    return out


def line(text):
    return text.encode() + b"\r\n"


def protection(model, ok=True):
    text = line("") + line("Sector Protection Verification...")
    text += line("User Area Sectors Bank1 NOT protected" if ok else "User Area Sectors Bank1 protected")
    if model == 0:
        text += line("User Area Sectors Bank2 NOT protected")
    return answer(text + b">")


def blank_check(blank):
    result = "User area is blank" if blank else "User area is NOT blank"
    return answer(line("") + line("Blank checking user area...") + line(result) + b">")


def erase(model, fail_at=None):
    out = answer(line("") + line("Really erase ALL user blocks (Y/N)?"))
    text = line("Y")
    for n in BLOCKS[model]:
        text += line("Erasing block %02d... %s" % (n, "FAILED" if n == fail_at else "PASSED"))
    out += answer(text + line("Erase complete") + b">")
    return out


def download_dialogue(model, fault=None):
    if fault:
        return answer(line("") + line(fault) + b">")
    out = answer(line("") + line("Enter Flash memory base address as a 32-bit hex value e.g. AABBCCDD"))
    out += answer(line("") + line("Program Flash (Y/N)?"))
    # The receiver's start signal comes a little after the line, as a real one does.
    out += answer(line("Y") + line("Start 1k XModem download...")) + chain(MS100) + answer(b"C")
    return out


def transfer(blocks, naks=(), crc=True):
    out = b""
    for i in range(blocks):
        if i in naks:
            out += answer(b"\x15")
        out += answer(b"\x06")
    return out + answer(b"\x06")  # EOT


def bootloader_seed(op, model, size, missing=False):
    return bytes([op, model]) + struct.pack(">H", size) + bytes([7 if missing else 0, 0])


def blocks_of(size):
    return (size + 1023) // 1024


def write(fuzzer, name, data):
    folder = os.path.join(HERE, "corpus", fuzzer)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    # Boot-loader operations: 0 blank check, 1 protection, 2 erase, 3 download, 4 restart, 5 auto.
    for model in range(3):
        size = 2500
        write("fuzz_bootloader", "blank-%d" % model, bootloader_seed(0, model, size) + blank_check(True))
        write("fuzz_bootloader", "protection-%d" % model, bootloader_seed(1, model, size) + protection(model))
        write("fuzz_bootloader", "erase-%d" % model, bootloader_seed(2, model, size) + erase(model))
        write("fuzz_bootloader", "erase-fails-%d" % model,
              bootloader_seed(2, model, size) + erase(model, fail_at=BLOCKS[model][2]))
        write("fuzz_bootloader", "download-%d" % model,
              bootloader_seed(3, model, size) + download_dialogue(model) + transfer(blocks_of(size), naks=(1,)))
        write("fuzz_bootloader", "download-fault-%d" % model,
              bootloader_seed(3, model, size)
              + download_dialogue(model, "User Area Fault Check For User Area Memory NOT blank"))
        write("fuzz_bootloader", "download-missing-%d" % model,
              bootloader_seed(3, model, size, missing=True) + download_dialogue(model))
        write("fuzz_bootloader", "restart-%d" % model,
              bootloader_seed(4, model, size) + answer(line("") + line("Run user program (Y/N)?")) + answer(line("Y")))
        write("fuzz_bootloader", "restart-refused-%d" % model,
              bootloader_seed(4, model, size) + answer(line("") + line("Run user program (Y/N)?"))
              + answer(line("Y") + line("Invalid user reset address.  Staying put.") + b">"))
        write("fuzz_bootloader", "talkative-menu-%d" % model,
              bootloader_seed(1, model, size) + talkative(40 if model != 2 else 12))
        write("fuzz_bootloader", "talkative-restart-%d" % model,
              bootloader_seed(4, model, size) + answer(line("") + line("Run user program (Y/N)?"))
              + talkative(12))
        write("fuzz_bootloader", "auto-%d" % model,
              bootloader_seed(5, model, size) + protection(model) + blank_check(False) + erase(model)
              + download_dialogue(model) + transfer(blocks_of(size)))
        write("fuzz_bootloader", "auto-pulled-%d" % model,
              bootloader_seed(5, model, size) + protection(model) + blank_check(True)
              + download_dialogue(model) + answer(b"\x06") + fail(MS100))

    # Identification: first byte: answers played at once, minus one.
    for model in range(3):
        write("fuzz_identify", "model-%d" % model, bytes([0]) + answer(SIGNATURES[model]) + answer(b">"))
        write("fuzz_identify", "model-%d-banner" % model,
              bytes([0]) + answer(SIGNATURES[model]) + answer(line("Boot loader") + line("menu") + b">"))
    write("fuzz_identify", "talkative-prompt",
          bytes([0]) + answer(SIGNATURES[1]) + talkative(20, "menu"))
    write("fuzz_identify", "stray-lf", bytes([0]) + answer(b"\n" + SIGNATURES[2]) + answer(b">"))
    write("fuzz_identify", "slow-signature",
          bytes([1]) + answer(b"\n\n") + chain(MS100) + answer(b"\r\r") + answer(b">"))
    write("fuzz_identify", "no-prompt", bytes([0]) + answer(SIGNATURES[0]) + answer(line("?")))

    # XModem: size word, flags (bit 0 slow model, bit 1 failing read + offset word), then answers.
    for size in (0, 1023, 1024, 1025, 4100):
        write("fuzz_xmodem", "crc-%d" % size,
              struct.pack(">H", size) + bytes([0]) + answer(b"C", MS100) + transfer(blocks_of(size)))
        write("fuzz_xmodem", "sum-%d" % size,
              struct.pack(">H", size) + bytes([0]) + answer(b"\x15", MS100) + transfer(blocks_of(size), naks=(0,)))
    write("fuzz_xmodem", "cancel", struct.pack(">H", 3000) + bytes([0]) + answer(b"C", MS100) + answer(b"\x18\x18"))
    write("fuzz_xmodem", "read-fails", struct.pack(">H", 3000) + bytes([2]) + struct.pack(">H", 1500)
          + answer(b"C", MS100) + transfer(3))
    write("fuzz_xmodem", "late-start", struct.pack(">H", 2048) + bytes([1]) + answer(b"C", MS6001) + transfer(2))

    # Serial channel: op bytes (0 ReadLine, 1 ReadByte, 2 Drain, 3 TakeInput, 4 ClearInput,
    # 5 Delay, 6 factor, 7 one more answer).
    def op_read_line(ms):
        return bytes([0]) + struct.pack(">H", ms)
    write("fuzz_serial_channel", "lines",
          bytes([7]) + answer(b"hello\r\nworld\r\n\r\n>") + op_read_line(2000) + op_read_line(2000)
          + op_read_line(2000) + bytes([2]))
    write("fuzz_serial_channel", "slow-model",
          bytes([6 | 8]) + bytes([7]) + answer(b"\x00a\x1ab\n", MS2100) + op_read_line(2000) + bytes([1, 0x03, 0xE8]))
    write("fuzz_serial_channel", "pulled",
          bytes([7]) + answer(b"abc") + bytes([7]) + fail(MS100) + op_read_line(5000) + bytes([5, 20]))

    # Port memory: first byte how many choice bytes follow, then the file.
    write("fuzz_port_memory", "com3", bytes([8, 1, 0, 1, 0, 1, 0, 0, 0]) + b"COM3\n")
    write("fuzz_port_memory", "two-tokens", bytes([8, 1, 1, 1, 1, 1, 0, 0, 0]) + b"COM3 com5\r\n")
    write("fuzz_port_memory", "prefix", bytes([12] + [1] * 12) + b"COM1\n")


if __name__ == "__main__":
    main()
