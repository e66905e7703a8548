#!/usr/bin/env python3
"""Writes the generated seeds of the fuzz targets into fuzz/corpus/<name>/ (run from anywhere;
the files are committed). Each seed is small and reaches deep: a whole exchange the target's
harness understands, so that mutations start from inside the protocol, not at its door."""
import os
import struct
import sys

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
SEEDS = {}


def seed(target, name):
    def register(make):
        SEEDS.setdefault(target, []).append((name, make))
        return make
    return register


def frame(address, data):
    return bytes([address, len(data)]) + bytes(data)


# ---- link_reader: [flags][bytes the module sends] ---------------------------------------------

@seed("link_reader", "clean_frames")
def _():
    return b"\x00" + frame(4, [0x10, 1, 2]) + frame(4, []) + frame(6, list(range(28))) + frame(4, [0x5F, 0, 0, 0, 0, 1])


@seed("link_reader", "heartbeats")
def _():
    return b"\x00" + frame(4, [0, 0]) + frame(4, [0, 1]) + frame(4, [0x12, 3, 4]) + frame(4, [0, 5])


@seed("link_reader", "filter_and_quiet")
def _():
    return b"\x03" + frame(4, [0x7E]) + frame(4, [1, 2]) + frame(8, [0x7E, 0x7E]) + frame(4, [9])


@seed("link_reader", "lost_step_then_sync")
def _():
    return b"\x00" + frame(4, [1]) + b"\x05\x09" + b"\x04\x00\x04\x00" + frame(4, [0x10, 7]) + b"\x04\x1f"


@seed("link_reader", "sync_answers_wrong")
def _():
    return b"\x02" + b"\x03" + b"\x04\x01" + b"\x04\x00\x06" + b"\x04\x00\x04\x01" + b"\x06\x00\x06\x00" + frame(6, [2])


# ---- module_replies: operations and the module's reply records [control][count][bytes] ---------

def rec(control=0, tail=b""):
    return bytes([control, len(tail)]) + bytes(tail)


JUNK, ERROR, CHUNK, MORE, RIGHT = 1, 2, 4, 8, 16


@seed("module_replies", "scalars")
def _():
    return (bytes([0, 0x12, 1, 5]) + rec(0, b"\x01\x02\x03\x04") + bytes([0, 0x12, 1, 6]) + rec(0, b"\x07")
            + bytes([0, 0x12, 1, 7]) + rec(0, b"\x01\x02") + bytes([0, 0x12, 1, 8]) + rec(ERROR, b"\x05")
            + bytes([0, 3, 0, 9]) + rec(JUNK) + bytes([4, 3, 0x11, 0x22, 0x33]) + rec(0, b"\x01\x02\x03"))


@seed("module_replies", "sets")
def _():
    return (bytes([1, 0x12, 0, 3, 0, 9, 9, 9, 9]) + rec() + bytes([1, 0x12, 0, 3, 1, 1, 2, 3, 4]) + rec(ERROR, b"\x03")
            + bytes([1, 0x14, 2, 4, 2, 1, 2, 3, 4]) + rec(0, b"\x00"))


@seed("module_replies", "byte_values")
def _():
    return (bytes([2, 0x12, 0, 2, 60]) + rec(CHUNK | MORE, bytes(range(24))) + rec(CHUNK | MORE, bytes(range(24, 48)))
            + rec(CHUNK, b"end") + bytes([2, 0x12, 0, 3, 10]) + rec(CHUNK | MORE, bytes(range(24)))
            + rec(CHUNK, b"xy") + bytes([2, 0x12, 0, 4, 50]) + rec(CHUNK | MORE, b"ab") + rec(CHUNK | ERROR | MORE, b"\x04")
            + rec(CHUNK, b"z"))


@seed("module_replies", "information")
def _():
    return (bytes([3, 0, 0, 0]) + rec(0, b"\x00\x00\x12\x34") + bytes([3, 1, 0x12, 0x03, 0x00]) + rec(0, b"\x00")
            + bytes([3, 2, 5, 6]) + rec(0, b"\x03") + bytes([3, 3, 4, 0]) + b"echo" + rec()
            + bytes([3, 0, 0, 0]) + rec(0, b"\x01"))


@seed("module_replies", "i2c_raw_queries")
def _():
    return (bytes([4, 0, 0x51, 4, 0]) + rec(0, b"\x04\x00abcd") + bytes([4, 1, 0x50, 2, 1]) + b"hi" + rec(0, b"\x00")
            + bytes([4, 0, 0x51, 3, 0]) + rec(0, b"\x03\x81") + bytes([5, 3, 2, 9, 9]) + rec(JUNK, b"\x01") + b"\x08\x01\x33"
            + bytes([6, 0]) + rec() + b"\x08" + bytes([6, 1]) + rec() + b"\x04" + bytes([6, 2]) + rec(0, b"\x2a")
            + bytes([7]) + rec(0, b"\x2f\x02\x10\x05") + bytes([7]) + rec(0, b"\x12\x00\x00\x07"))


@seed("module_replies", "storage")
def _():
    return (bytes([8, 0, 1, 2, 10]) + rec(0, b"\x00\x40") + bytes([8, 1, 1, 2, 50]) + rec(0, b"\x00\x05")
            + rec(0, b"\x07") + rec(0, b"hello") + rec(0, b"\x00") + bytes([8, 2, 0, 3, 60]) + rec(0, bytes(26))
            + rec(0, b"tail") + rec() + bytes([8, 1, 1, 2, 3]) + rec(0, b"\x00\x09") + rec(0, b"\x02") + rec(0, b"abc")
            + rec(ERROR, b"\x01"))


# ---- upgrade_replies: [flags][payload length], then the module's reply records --------------

def right(count):
    return rec(RIGHT) * count


@seed("upgrade_replies", "firmware_verified")
def _():
    return bytes([1, 100]) + right(24)


@seed("upgrade_replies", "firmware_byte_values")
def _():
    return bytes([3, 90]) + rec(0, b"\x00") + right(24)


@seed("upgrade_replies", "loader_block")
def _():
    return bytes([9, 60]) + right(8)


@seed("upgrade_replies", "wrong_echo_and_sum")
def _():
    return (bytes([1, 30]) + rec(0, b"\x00\x00\x00\x00") + rec(0, b"\x00\x00\x1e") + rec(0, b"\x19") + right(2)
            + rec(0, b"\x00\x00\x00\x00\x01") + right(2))


@seed("upgrade_replies", "pooled_unverified")
def _():
    return bytes([4, 80]) + rec(0, b"\x80\x00\x00\x01") + right(3) + rec(JUNK, b"") + b"\x04\x02\x00\x05" + right(20)


# ---- update_server: [flags][ping] FF [query] FF [list] FF [file] ------------------------------

def update_bodies(flags, ping=b"ok\n", query=b"ok\n1234\nFW-7\n", listing=b"ok\n1234;2.1.0\n1000;1.0.0\n",
                  bird="valid_small.bird", wrap=76):
    import base64
    with open(os.path.join(CORPUS, "birdfile", bird), "rb") as source:
        text = base64.b64encode(source.read())
    lines = b"\r\n".join(text[i:i + wrap] for i in range(0, len(text), wrap))
    return bytes([flags]) + ping + b"\xff" + query + b"\xff" + listing + b"\xff" + b"ok\n" + lines + b"\n"


@seed("update_server", "download_validated")
def _():
    return update_bodies(0)


@seed("update_server", "override_in_pieces")
def _():
    return update_bodies(1 | 2 | 8 | (5 << 4), bird="valid_recovery.bird", wrap=1000)


@seed("update_server", "length_says_more")
def _():
    return update_bodies(4 | (2 << 4))


@seed("update_server", "not_in_list_and_broken_file")
def _():
    return update_bodies(0, listing=b"ok\n999;1.0\n", bird="broken_block_past_body.bird")


@seed("update_server", "ping_over_the_cap")
def _():
    return update_bodies(0, ping=b"ok\n" + b"x" * 16400)


# ---- rom_serial: records [report length][report][reply length][reply] -------------------------

def report_reply(report, reply):
    return bytes([len(report)]) + bytes(report) + bytes([len(reply)]) + bytes(reply)


@seed("rom_serial", "status_check")
def _():
    return report_reply([1, 5, 5] + [0] * 13, [0x56, 0x78, 0x78, 0x56, 0xF0, 0xF0, 0xF0, 0xF0])


@seed("rom_serial", "write_and_jump")
def _():
    return (report_reply([1, 4, 4, 0x20, 0, 0, 0] + [0] * 9, [0x12, 0x34, 0x34, 0x12, 0x12, 0x8A, 0x8A, 0x12])
            + report_reply([2] + list(range(64)), []) + report_reply([1, 0x0B, 0x0B], [0x12, 0x34, 0x34, 0x12]))


@seed("rom_serial", "control_bytes")
def _():
    return report_reply([0, 0x11, 0x13, 0x0D, 0x0A, 0x7F, 0x03, 0x1A, 0x1C, 0xFF],
                        [0x11, 0x13, 0x0D, 0x0A, 0x00, 0x7F, 0x03, 0x04, 0x1A, 0x1C, 0xFF, 0x0D, 0x0D])


# ---- cmdline: an argument vector, words separated by 0 bytes -------------------------------

@seed("cmdline", "plain_values")
def _():
    words = ["bin/updater", "-G", "-d", "0x40F5849A", "-t", "TCP", "-i", "/tmp/store", "-u", "http://127.0.0.1:8/",
             "-e", "-o", "9600", "-k", "log.txt", "build.bird", "-s", "/dev/ttyS1", "-f", "a.bird", "-l", "hello",
             "-OVERRIDE", "-i", "/tmp/other", "-r", "D272031D", "-n"]
    return b"\0".join(w.encode() for w in words)


# ---- client_stream: [run length], then frames [size high][size low][bytes] ------------------

def served_frame(data):
    return bytes([len(data) >> 8, len(data) & 0xFF]) + bytes(data)


@seed("client_stream", "queued_runs")
def _():
    return bytes([5]) + b"".join(served_frame(bytes([i] * (i * 7 % 40))) for i in range(14))


@seed("client_stream", "large_frames_queued")
def _():
    return bytes([3]) + served_frame(bytes(range(256)) * 16) + served_frame(b"") + served_frame(b"\x04\x02\x00\x01" * 300)


# ---- server_frames: records [control][frame length][frame]; control bit 0 client B, bit 1 the
# stream filter, bit 2 a module packet --------------------------------------------------------

def server_record(control, frame_bytes):
    return bytes([control, len(frame_bytes)]) + bytes(frame_bytes)


@seed("server_frames", "stream_fan_out")
def _():
    enable = frame(4, [0x5D, 0x81, 0, 0, 0, 0, 1])
    sample = frame(4, [0x12, 0x01, 0x40, 0x01, 0, 0, 0, 0, 0, 0, 0, 9, 7, 0])
    heartbeat = frame(4, [0, 0])
    return (server_record(0, enable) + server_record(6, sample) + server_record(6, sample) + server_record(6, heartbeat)
            + server_record(1, enable) + server_record(6, sample) + server_record(6, heartbeat)
            + server_record(0, frame(4, [0x12, 0x41, 0x20])) + server_record(4, frame(4, [0x12, 0x01, 0x00, 5])))


# ---- discovery_receive: datagrams [length][bytes] ----------------------------------------------

def datagram(data):
    return bytes([len(data)]) + bytes(data)


def server_spec(kind, serial, ip, port):
    return struct.pack("<IIIIII", kind, serial, 4, 4, serial, 9) + bytes(ip) + struct.pack("<I", port) + bytes(96)


@seed("discovery_receive", "replies_and_records")
def _():
    local = server_spec(6, 0x12345678, [127, 0, 0, 1], 9000)
    return (datagram([0x7E, 4, 0x22, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8]) + datagram(range(16)) + datagram(range(20))
            + datagram(local) + datagram(local) + datagram(server_spec(6, 0x1234, [10, 7, 0, 2], 9000))
            + datagram(local + b"\x00") + datagram([]))


# ---- recovery_loader: [transport and fault][parameter][cut report] then [type][length][bytes] --

def bird_block(kind, data):
    return bytes([kind]) + struct.pack(">H", len(data)) + bytes(data)


def loader_blocks():
    return (bird_block(0, struct.pack(">I", 0x20000400) + bytes(range(100)))
            + bird_block(0, struct.pack(">I", 0x20001000) + bytes(i * 7 & 0xFF for i in range(1500)))
            + bird_block(5, struct.pack(">I", 0x20000400)))


@seed("recovery_loader", "hid_two_blocks")
def _():
    return b"\x01\x00\x00" + loader_blocks()


@seed("recovery_loader", "uart_two_blocks")
def _():
    return b"\x00\x00\x00" + loader_blocks()


@seed("recovery_loader", "hid_aborted_after_50")
def _():
    return bytes([6 << 1 | 1, 50, 0]) + loader_blocks()


@seed("recovery_loader", "uart_jump_not_sent")
def _():
    return b"\x0a\x0a\x01\x01"


# ---- usb_descriptors: [interfaces][settings...][serial length][serial][wanted] -----------------

def usb_setting(number, kind, endpoints):
    return bytes([number, kind, len(endpoints)]) + b"".join(bytes([a, t]) + struct.pack(">H", n) for a, t, n in endpoints)


def usb_interface(*settings):
    return bytes([len(settings)]) + b"".join(settings)


def usb_serial(text, wanted):
    return bytes([len(text)]) + text + struct.pack(">I", wanted)


@seed("usb_descriptors", "module")
def _():
    return b"\x01" + usb_interface(usb_setting(0, 1, [(0x81, 2, 64), (0x01, 2, 64)])) + usb_serial(b"12345678", 0x12345678)


@seed("usb_descriptors", "settings_and_interfaces")
def _():
    return (b"\x03" + usb_interface(usb_setting(0, 0, [(0x81, 2, 512)]), usb_setting(0, 1, [(0x82, 3, 0), (0x82, 2, 64)]))
            + usb_interface(usb_setting(1, 1, [(0x02, 2, 512), (0x83, 1, 64)]))
            + usb_interface(usb_setting(2, 2, [(0x03, 2, 64)])) + usb_serial(b"0a1b2c3d", 0x0A1B2C3D))


@seed("usb_descriptors", "serial_with_nul")
def _():
    return b"\x00" + usb_serial(b"12345678\x00", 0x12345678)


# ---- recovery_flash: [echo and fault][parameter] then [type][length][bytes] --------------------

def firmware_blocks():
    return (bird_block(1, struct.pack(">I", 0) + bytes(i * 13 & 0xFF for i in range(600)))
            + bird_block(1, struct.pack(">I", 0x1000) + bytes(range(100))))


@seed("recovery_flash", "two_blocks")
def _():
    return b"\x00\x00" + firmware_blocks()


@seed("recovery_flash", "two_blocks_echo_on")
def _():
    return b"\x01\x00" + firmware_blocks()


@seed("recovery_flash", "copy_fails")
def _():
    return bytes([2 << 1, 4]) + firmware_blocks()


def main():
    only = set(sys.argv[1:])
    for target, seeds in SEEDS.items():
        if only and target not in only:
            continue
        folder = os.path.join(CORPUS, target)
        os.makedirs(folder, exist_ok=True)
        for name, make in seeds:
            with open(os.path.join(folder, "gen_" + name), "wb") as out:
                out.write(make())


if __name__ == "__main__":
    main()
