#!/usr/bin/env python3
"""Writes the seed inputs of the engine and registry fuzz targets into this folder, and
copies the INI reader's test fixtures as the INI seeds. The byte layouts are described at
the top of each target's source. Run from anywhere; the output is deterministic."""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def crc16(frame):
    crc = 0xFFFF
    for b in frame:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes(frame) + struct.pack('<H', crc)


def registers(start, count):
    # A fresh scripted meter of the link tests answers register a with a * 7 + 3.
    return b''.join(struct.pack('>H', (a * 7 + 3) & 0xFFFF) for a in range(start, start + count))


def write(target, name, data):
    d = os.path.join(HERE, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


READ50 = crc16(b'\x01\x03\x64' + registers(1024, 50))
EXCEPTION = crc16(b'\x01\x83\x02')
WRITE8 = crc16(b'\x01\x10\x10\x00\x00\x08')
FN1 = crc16(b'\x01\x01\x01\x55')
REQ50 = b'\x01\x03\x04\x00\x00\x32'


def serial(kind, param, line, expected=100, answer=0, wr=0, r0=0xFF, r1=0xFF, port=3, raw=b''):
    head = bytes([kind, param, answer]) + struct.pack('>h', expected) + bytes([wr, r0, r1, port])
    return head + raw + line


def corrupt(frame, at):
    b = bytearray(frame)
    b[at] ^= 0x01
    return bytes(b)


def seeds_serial():
    t = 'engine_serial'
    write(t, 'read50', serial(0, 50, READ50))
    write(t, 'read50_corrupt_byte', serial(0, 50, corrupt(READ50, 40)))
    write(t, 'read50_corrupt_crc', serial(0, 50, corrupt(READ50, 104)))
    write(t, 'read50_trailing_garbage', serial(0, 50, READ50 + b'\x99' * 20))
    write(t, 'read50_echo_first', serial(0, 50, crc16(REQ50) + READ50))
    write(t, 'exception', serial(0, 50, EXCEPTION))
    write(t, 'write8', serial(1, 8, WRITE8, expected=8))
    write(t, 'fn1', serial(2, 8, FN1, expected=16))
    write(t, 'fn1_head_of_two', serial(2, 8, b'\x01\x01'))
    write(t, 'silent', serial(0, 1, b''))
    write(t, 'count255', serial(0, 50, crc16(b'\x01\x03\xff' + b'\x42' * 255)))
    write(t, 'count200_small_buffer', serial(0, 50, crc16(b'\x01\x03\xc8' + b'\x42' * 200), answer=0xD8))
    write(t, 'timeout_in_answer', serial(0, 50, READ50, r1=40))
    write(t, 'hang_up_after_head', serial(0, 50, READ50, r1=0xF0))
    write(t, 'short_write', serial(0, 50, READ50, wr=0xF1))
    fn14 = b'\x01\x0e\x01\x02\x03\x04'
    write(t, 'fn14', serial(3, 6, crc16(b'\x01\x0e' + b'\x33' * 6), expected=10, raw=fn14))
    fn20 = b'\x01\x14\x01\x02\x03\x04'
    write(t, 'fn20', serial(3, 6, crc16(b'\x01\x14\x05' + b'\x33' * 6), expected=2, raw=fn20))
    write(t, 'raw_too_long', serial(3, 254, b'', raw=b'\x01\x03' + b'\x00' * 252))


def mbap(tid, pdu):
    return struct.pack('>HHH', tid, 0, len(pdu)) + pdu


def seg(data):
    # One data-ready record: 00..DF carry 1..224 bytes, E0 b carries 225 + b.
    if len(data) <= 224:
        return bytes([len(data) - 1]) + data
    return bytes([0xE0, len(data) - 225]) + data


def tcp(link, kind, param, events, expected=100, answer=0, wr=0, raw=b''):
    return bytes([link, kind, param, answer]) + struct.pack('>h', expected) + bytes([wr]) + raw + events


def seeds_tcp():
    t = 'engine_tcp'
    pdu50 = b'\x01\x03\x64' + registers(1024, 50)
    write(t, 'mtcp_read50', tcp(0, 0, 50, seg(mbap(1, pdu50))))
    write(t, 'mtcp502_read50', tcp(1, 0, 50, seg(mbap(1, pdu50))))
    a = mbap(1, pdu50)
    write(t, 'mtcp_split', tcp(0, 0, 50, seg(a[:40]) + seg(a[40:])))
    write(t, 'mtcp_exception', tcp(0, 0, 50, seg(mbap(1, b'\x01\x83\x02'))))
    write(t, 'mtcp_header_only', tcp(0, 0, 50, seg(b'\x00\x01\x00\x00\x00\x00')))
    write(t, 'mtcp_server_closes', tcp(0, 0, 50, b'\xf0'))
    write(t, 'mtcp_silent', tcp(0, 0, 50, b'\xef'))
    write(t, 'mtcp_read_error', tcp(0, 0, 50, b'\xf4'))
    write(t, 'mtcp_write16', tcp(0, 1, 8, seg(mbap(1, b'\x01\x10\x10\x00\x00\x08')), expected=8))
    write(t, 'mtcp_two_exchanges', tcp(0x20, 0, 50, seg(mbap(1, pdu50)) + seg(mbap(2, pdu50))))
    write(t, 'mtcp_stale_then_answer',
          tcp(0x20, 0, 50, seg(mbap(1, pdu50)) + seg(b'\x99' * 30) + b'\xe1' + seg(mbap(2, pdu50))))
    write(t, 'mtcp_beyond_small_buffer', tcp(0, 0, 50, seg(mbap(1, pdu50)), answer=0xD0))
    write(t, 'rtcp_read50', tcp(2, 0, 50, seg(READ50)))
    write(t, 'rtcp_port99_read50', tcp(3, 0, 50, seg(READ50)))
    write(t, 'rtcp_exception', tcp(2, 0, 50, seg(EXCEPTION)))
    write(t, 'rtcp_count255', tcp(2, 0, 50, seg(crc16(b'\x01\x03\xff' + b'\x42' * 255))))
    write(t, 'rtcp_burst_data_then_close', tcp(2, 0, 50, b'\xfb' + seg(READ50) + b'\xf0'))
    write(t, 'rtcp_empty_host', tcp(0x1e, 0, 50, seg(READ50)))
    write(t, 'rtcp_fn1', tcp(2, 2, 8, seg(FN1), expected=16))
    write(t, 'rtcp_short_write', tcp(2, 0, 50, seg(READ50), wr=0xF2))


STORE = (b'; veldixmid registry store 1\n'
         b'[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n'
         b'Language=sz:2\n'
         b'Other=sz:keep\n'
         b'Flags=dword:00000001\n'
         b'; end\n')


def seeds_registry():
    t = 'registry'
    write(t, 'sound', STORE)
    write(t, 'hand_written', b'; veldixmid registry store 1\n'
          b'[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\nLanguage=sz:2\n; end\n')
    write(t, 'escapes', b'; veldixmid registry store 1\n'
          b'[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELDIX-MID v1.0\\Language]\n'
          b'Value=sz:line\\x0Abreak \\x5Cx41 back\\slash\n'
          b'\\x5Bodd\\x5D\\x3Dname=sz:x\n'
          b'[HKEY_CURRENT_USER\\SOFTWARE\\VELDIX-MID v1.0\\Language]\nLanguage=sz:1\n; end\n')
    write(t, 'cut_in_end_line', STORE[:-4])
    write(t, 'cut_in_value', STORE[:STORE.find(b'Language=sz:2') + 12])
    write(t, 'binary_junk', b'\x00\x01\x02garbage')
    write(t, 'after_end_line', STORE + b'Extra=sz:1\n')
    write(t, 'unknown_type', STORE.replace(b'sz:2', b'qq:2'))
    write(t, 'no_separator', STORE.replace(b'Language=', b'no separator\nLanguage='))
    write(t, 'empty', b'')
    write(t, 'named_write', STORE + b'\x00Language\x00Espa\xf1ol\x00SOFTWARE\\VELDIX-MID v1.0\\Language')
    write(t, 'named_write_default_key', STORE + b'\x00Other\x00new text')


def seeds_ini():
    src = os.path.join(ROOT, 'tests', 'lang', 'fixtures', 'ini')
    dst = os.path.join(HERE, 'ini')
    os.makedirs(dst, exist_ok=True)
    for name in sorted(os.listdir(src)):
        if name.endswith('.ini'):
            shutil.copyfile(os.path.join(src, name), os.path.join(dst, name))
    shutil.copyfile(os.path.join(ROOT, 'resources', 'language.ini'), os.path.join(dst, 'shipped_language.ini'))


if __name__ == '__main__':
    seeds_serial()
    seeds_tcp()
    seeds_registry()
    seeds_ini()
