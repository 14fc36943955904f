#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (tests/fuzz/corpus/). The seeds
are committed; rerun this only to change them. Input layouts are described at
the top of each fuzz_*.cpp."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def le16(v):
    return struct.pack('<H', v)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(bytes(data))


# --- frame exchange: flags, timeout, frame, then (op, delay, args) steps ---
SKIP, ECHO = 1, 2


def grammar_frame(key, command, body_len):
    return bytes([0x80 if body_len >= 300 else 0]) + le16(body_len) + bytes([key]) + bytes(body_len) + bytes([command])


def raw_frame(data, long=False):
    return bytes([0x81 if long else 1]) + le16(len(data)) + bytes(data)


def pause(units20us):
    return bytes([6, 0]) + le16(units20us)


def reply(digit, delay=0):
    return bytes([1, delay, digit])


def ex(flags, timeout, frame, *steps):
    return bytes([flags]) + le16(timeout) + frame + b''.join(steps)


F = grammar_frame(0x41, 0x10, 33)
write('frame_exchange', 'echo_then_reply', ex(ECHO, 200, F, pause(1000), reply(8)))
write('frame_exchange', 'no_echo_line_skip', ex(SKIP, 200, F, reply(8, 40)))
write('frame_exchange', 'echo_no_reply', ex(ECHO, 200, F))
write('frame_exchange', 'silent_line_waits_echo', ex(0, 200, F, pause(2000), reply(8)))
write('frame_exchange', 'skip_on_echoing_line', ex(SKIP | ECHO, 200, F, pause(1500), reply(8)))
write('frame_exchange', 'garbage_then_reply',
      ex(ECHO, 200, F, pause(1000), bytes([5, 0, 30, 7]), reply(8)))
write('frame_exchange', 'damaged_then_valid',
      ex(ECHO, 200, F, pause(1000), bytes([3, 0, 0x11, 4, 0x20]), reply(8, 5)))
write('frame_exchange', 'foreign_key', ex(ECHO, 200, F, pause(1000),
                                           bytes([2, 0, 8, 2, ord('R'), ord('8'), 1, 0x42])))
write('frame_exchange', 'probe_answer_lead',
      ex(ECHO, 200, F, pause(1000), bytes([0, 0, 0xAC, 0, 0, 0x3A]), reply(8)))
write('frame_exchange', 'stray_before_echo',
      ex(ECHO, 200, F, bytes([0, 0, 0x35]), bytes([4, 0, 3]), pause(500), reply(8)))
write('frame_exchange', 'slow_long_reply', ex(ECHO, 800, grammar_frame(0x63, 0x11, 170),
                                              pause(30000), reply(8)))
write('frame_exchange', 'long_frame', ex(ECHO, 200, grammar_frame(0x45, 0x10, 2071),
                                         pause(30000), reply(8)))
write('frame_exchange', 'raw_frame', ex(SKIP, 200, raw_frame([0xAD, 0x41, 0x00, 0x12, 0x34]),
                                        reply(5, 20)))
write('frame_exchange', 'empty_frame', ex(0, 50, raw_frame([])))
write('frame_exchange', 'reads_refused', ex(ECHO, 200, F, bytes([7, 0, 0, 30]), pause(1000), reply(8)))
write('frame_exchange', 'status_refused', ex(SKIP, 200, F, bytes([7, 0, 1, 250]), reply(8, 10)))
write('frame_exchange', 'unplugged', ex(ECHO, 200, F, pause(1000), bytes([8, 0]), reply(8)))
write('frame_exchange', 'reply_in_pieces',
      ex(SKIP, 200, F, bytes([2, 4, 8, 20]) + bytes(range(20)) + bytes([0])))
write('frame_exchange', 'long_payload',
      ex(SKIP, 300, F, bytes([2, 4, 8, 255]) + bytes(255) + bytes([0])))

# --- release check: mode byte, then an image, an entry, or manifest %% files ---


def entry(etype, frame):
    n = len(frame)
    return bytes([((n >> 8) << 4) | etype, n & 0xFF]) + bytes(frame)


def cmd(key, command, body):
    return bytes([0x35, key, command]) + le16(len(body) + 7) + bytes(body) + b'\0\0'


def image(marker=1, h=0x0A21, b=0x0235, s=0x013F, entries=None):
    head = bytes([marker, 0, 0, 0, 0, 0]) + le16(h) + le16(b) + le16(s) + b'\xff' * 4
    if entries is None:
        entries = [entry(1, cmd(0x40, 0x10, bytes(20))), entry(2, cmd(0x41, 0x11, bytes(30))),
                   entry(3, cmd(0x42, 0x1F, bytes(12)))]
    return head + b''.join(entries) + b'\0'


GET = entry(1, cmd(0x21, 0x01, bytes(33)))
BRIDGE = entry(1, cmd(0x22, 0x02, bytes(33)))
write('release_check', 'image_sound', b'\0' + image())
write('release_check', 'image_all_types', b'\0' + image(entries=[
    entry(5, cmd(0x40, 0x12, bytes(8))), entry(6, b''), bytes([0xF9, 0xFF]), entry(4, b'\x00\x01'),
    entry(1, cmd(0x41, 0x10, bytes(4)))]))
write('release_check', 'image_disabled', b'\0' + image(marker=0xFE))
write('release_check', 'image_no_end', b'\0' + image()[:-1])
write('release_check', 'image_frame_outside', b'\0' + image()[:40])
write('release_check', 'image_bad_lead', b'\0' + image(entries=[entry(1, b'\x34\x00')]))
write('release_check', 'image_empty_stream', b'\0' + image(entries=[]))
write('release_check', 'image_long_length', b'\0' + image(entries=[bytes([0xF1, 0xFF])]))
write('release_check', 'entry_sound', b'\1' + GET)
write('release_check', 'entry_high_bits', b'\1' + bytes([0x11, 0x02, 0x35, 0]))
write('release_check', 'entry_trailing', b'\1' + GET + b'\0')
manifest = (b'# seed release\nget-info f1\nbridge f2\n'
            b'slot 0 TQ410_EN 20 01 f3\nslot 1 - - - -\nslot 2 TQ410_FR 0x20 0x01 f4\n')
files = [GET, BRIDGE, image(), image(h=0x0A23)]
write('release_check', 'release_sound', b'\2' + manifest + b''.join(b'\n%%\n' + f for f in files))
write('release_check', 'release_incomplete_slot',
      b'\2' + b'get-info f1\nbridge f2\nslot 3 X 01 - f3\n' + b''.join(b'\n%%\n' + f for f in files))
write('release_check', 'release_missing_file', b'\2' + b'get-info f1\nbridge f9\n' + b'\n%%\n' + GET)
write('release_check', 'release_bad_names',
      b'\2' + b'get-info ../x\r\nbridge f2\nslot 0 T\x01 20 01 f3\n' + b''.join(b'\n%%\n' + f for f in files))
# The entry limit: 4100 entries before the end entry pass, 4101 do not.
write('release_check', 'image_4100_entries', b'\0' + image(entries=[entry(6, b'')] * 4100))
write('release_check', 'image_4101_entries', b'\0' + image(entries=[entry(6, b'')] * 4101))
