#!/usr/bin/env python3
"""Writes the seed corpus in fuzz/corpus/<harness>/: valid exchanges and near misses.

The seeds are committed; run this again only after changing the input layout of a
harness (described at the top of each *_fuzz.cpp).
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def pattern(n, seed):
    """The harnesses' image bytes (fuzz_support.h Pattern)."""
    out = bytearray()
    x = seed
    for _ in range(n):
        x = (x * 1664525 + 1013904223) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


def write(harness, seeds):
    folder = os.path.join(HERE, "corpus", harness)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        assert len(data) < 4096, (harness, name)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes(data))


def u16(v):
    return struct.pack(">H", v)


# The control connection's frames.
PJ_OK = b"PJ_OK"
PJACK = b"PJACK"
UD_ACK = bytes([0x06, 0x89, 0x01, 0x55, 0x44, 0x0A])


def model_answer(letter):
    reply = bytearray(b"\x20" * 20)
    reply[18] = ord(letter)  # byte 24 of the whole answer
    return bytes([0x06, 0x89, 0x01, 0x4D, 0x44, 0x0A]) + bytes(reply)


SQ_REPLY = b"sq\x00\x00\xff\xff\xff\xff" + bytes(8)
SC_REPLY = b"sc\x00\x00\xff\xff\xff\xff" + bytes(8)

# The Sub stream's records.
CONTINUE = bytes([0x73, 0x61, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF] + [0] * 8)
BURN_HEAD = bytes([0x53, 0x41, 0x42, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x10, 0, 0, 0, 0])
CLOSE_REPLY = b"sd\x00\x00\xff\xff\xff\xff\x01\x02"

# The Main stage.
MAC = bytes([0x02, 0x00, 0x5E, 0x10, 0x20, 0x30])  # main_firmware_fuzz.cpp kMac


def bootp_request(mac, length=300, sname=b"stellaris"):
    p = bytearray(length)
    p[0:3] = b"\x01\x01\x06"
    p[4:8] = b"\x12\x34\x56\x78"
    p[28:34] = mac
    p[44:44 + len(sname)] = sname
    return bytes(p)


RRQ = b"\x00\x01firmware.bin\x00octet\x00"


def ack(block):
    return b"\x00\x04" + u16(block)


def address_text():
    write("address_text", {
        "ip": b"192.168.0.10",
        "ip_short": b"10.0.0",
        "ip_wraps": b"300.-1.+7.  42x",
        "ip_runs_of_separators": b"..10--0::0.2..",
        "mac_dashes": b"00-11-22-AA-bb-cc",
        "mac_colons_hex_prefix": b"0x1f:0X2:3:0x:ff:7",
        "mac_too_many": b"1:2:3:4:5:6:7:8",
        "not_a_number": b"a.b.c.d",
        "empty": b"",
    })


def control_frames():
    def cut(stream, *at):
        return bytes([len(at)] + list(at)) + stream
    write("control_frames", {
        "greeting": cut(PJ_OK),
        "greeting_nul_tail": cut(PJ_OK + b"\x00x"),
        "greeting_line_end": cut(PJ_OK + b"\r\n"),
        "session_ack": cut(PJACK),
        "ud_ack": cut(UD_ACK),
        "model_answer": cut(model_answer("A")),
        "sq_sc": cut(SQ_REPLY + SC_REPLY, 127),
        "greeting_ack_ud": cut(PJ_OK + PJACK + UD_ACK, 69, 138),
        "ud_ack_seven": cut(UD_ACK + b"\x0a"),
    })


def control_session():
    def piece(b):
        return b"\x02" + u16(len(b)) + b
    main = bytes([0, 1, 0, 0])  # stage 0, Main selected, reads on, image QMA
    sub = bytes([0, 2, 0, 0])   # stage 0, Sub selected
    write("control_session", {
        "main_road": main + piece(PJ_OK) + piece(PJACK) + piece(UD_ACK),
        "sub_road": sub + piece(PJ_OK) + piece(PJACK) + piece(model_answer("A")) + piece(UD_ACK)
        + piece(SQ_REPLY) + piece(SC_REPLY) + piece(b"after the Sub worker took over"),
        "sub_road_wrong_model": sub + piece(PJ_OK) + piece(PJACK) + piece(model_answer("B")),
        "both_roads": bytes([0, 3, 0, 1]) + piece(PJ_OK) + piece(PJACK) + piece(UD_ACK) + b"\x03\x02"
        + piece(model_answer("B")),
        "nothing_and_closed": main + b"\x00\x01" + piece(PJ_OK) + b"\x00",
        "greeting_and_ack_in_one": main + piece(PJ_OK + PJACK),
        "longer_than_one_read": main + piece(bytes(range(256)) * 5) + b"\x04",
        "suspended": bytes([2, 2, 1, 0]) + piece(SQ_REPLY),
    })


def bootp_tftp():
    head = MAC + u16(1)
    write("bootp_tftp", {
        "boot_request": head + bootp_request(MAC),
        "boot_request_short": head + bootp_request(MAC, 240),
        "boot_request_upper_case": head + bootp_request(MAC, sname=b"STELLARIS"),
        "boot_request_other_mac": head + bootp_request(b"\x00\x01\x02\x03\x04\x05"),
        "boot_request_longer_name": head + bootp_request(MAC, sname=b"stellarisx"),
        "read_request": head + RRQ,
        "ack_1": head + ack(1),
        "ack_short": head + b"\x00\x04\x00",
        "image_block_2": MAC + u16(2) + pattern(1000, 3),
        "image_exact_blocks": MAC + u16(3) + pattern(1024, 5),
    })


def main_firmware():
    # Senders (main_firmware_fuzz.cpp): 0 projector TID, 1 projector other port,
    # 2 another host, 3 + address + port.
    boot_loader = b"\x03\x0a\x00\x00\x02\x00\x44"  # 10.0.0.2:68
    request = b"\x02" + boot_loader + bytes([64, 0])  # 300 bytes, unchanged
    rrq = b"\x04\x00"
    ack_last = b"\x06\x00\x00"  # ACK of the block just sent, from the TID
    served_1000 = bytes([4]) + request + rrq + ack_last + ack_last
    write("main_firmware", {
        "served_1000": served_1000,
        "served_512_empty_last": bytes([3]) + request + rrq + ack_last + ack_last,
        "served_1536_with_drops": bytes([5]) + request + rrq + b"\x00\x00\x00" + ack_last + ack_last
        + b"\x00" + ack_last + ack_last,
        "rrq_without_bootp_then_silence": bytes([1]) + rrq,
        "stranger_acks": bytes([4]) + request + rrq + b"\x06\x02\x00" + b"\x06\x02\x01" + ack_last + ack_last,
        "second_rrq_restarts": bytes([5]) + request + rrq + ack_last + b"\x04\x01" + ack_last + ack_last
        + ack_last,
        "wrong_request_on_server_port": bytes([0]) + b"\x03\x00" + u16(6) + b"\x00\x02x\x00o\x00" + request,
        "request_other_mac_then_right": bytes([1]) + b"\x01" + boot_loader + u16(300)
        + bootp_request(b"\x00\x01\x02\x03\x04\x05") + request + rrq + ack_last,
        "request_too_long": bytes([1]) + b"\x01" + boot_loader + u16(800) + bootp_request(MAC, 800),
        "data_to_data_port_garbage": bytes([2]) + request + rrq + b"\x05\x00\x03abc" + ack_last,
        "stop": bytes([4]) + request + rrq + b"\x07",
    })


def sub_image():
    def image(code, payload):
        head = bytearray(32)
        head[9] = code
        return bytes(head) + payload
    write("sub_image", {
        "qma_100": image(0x0A, pattern(100, 1)),
        "qmb_empty_payload": image(0x0B, b""),
        "unknown_model": image(0x0C, b"\xff" * 40),
        "header_short": bytes(31),
        "empty": b"",
    })


def sub_transfer():
    payload_sizes = [0, 700, 2 * 682, 16368, 16368 + 700]  # sub_transfer_fuzz.cpp

    def checksum(pick):
        return sum(pattern(payload_sizes[pick], 11)) & 0xFFFFFFFF

    def piece(b):
        assert 0 < len(b) < 255
        return bytes([len(b) + 1]) + b

    def burn(pick, delta=0):
        return BURN_HEAD + bytes(12) + struct.pack(">I", (checksum(pick) + delta) & 0xFFFFFFFF)

    block_ack = CONTINUE + b"\x5a" * 32

    def right(pick):
        blocks = payload_sizes[pick] // 16368
        return bytes([pick]) + piece(block_ack) * blocks + piece(CONTINUE) + piece(burn(pick)) + piece(CLOSE_REPLY)

    write("sub_transfer", {
        "no_payload": right(0),
        "short_payload": right(1),
        "two_packets": right(2),
        "one_block": right(3),
        "block_and_rest": right(4),
        "ack_in_two_pieces_with_waits": bytes([3]) + piece(block_ack[:16]) + b"\x00" + piece(block_ack[16:])
        + b"\x00\x00" + piece(CONTINUE) + piece(burn(3)) + b"\x00" + piece(CLOSE_REPLY),
        "burn_report_in_two_pieces": bytes([1]) + piece(CONTINUE) + piece(burn(1)[:16]) + piece(burn(1)[16:])
        + piece(CLOSE_REPLY),
        "burn_report_and_close_together": bytes([1]) + piece(CONTINUE) + piece(burn(1) + CLOSE_REPLY),
        "wrong_checksum": bytes([1]) + piece(CONTINUE) + piece(burn(1, 1)) + piece(CLOSE_REPLY),
        "close_reply_upper_case": bytes([1]) + piece(CONTINUE) + piece(burn(1)) + piece(b"SD\x00\x00"),
        "close_reply_one_byte": bytes([1]) + piece(CONTINUE) + piece(burn(1)) + piece(b"s"),
        "closed_during_ack": bytes([3]) + piece(block_ack[:20]) + b"\x01",
        "silent": bytes([2]),
    })


if __name__ == "__main__":
    address_text()
    control_frames()
    control_session()
    bootp_tftp()
    main_firmware()
    sub_image()
    sub_transfer()
