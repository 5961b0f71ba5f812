#!/usr/bin/python3
"""roceplot against captures this test writes byte by byte: a bench capture with its comments
across the 24-bit PSN wrap, and a plain pcap with VLAN tags, IPv6 and several queue pairs."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

ROCEPLOT = os.environ.get('ROCEPLOT', os.path.join(
    os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools', 'roceplot', 'roceplot'))

T0 = 1700000000 * 10 ** 9
MS = 10 ** 6
CLIENT, SERVER = '10.0.0.1', '10.0.0.2'
CLIENT_QP, SERVER_QP = 0x11, 0x22
SEND_ONLY, READ_REQUEST, READ_FIRST, READ_MIDDLE, READ_LAST = 0x04, 0x0C, 0x0D, 0x0E, 0x0F
ACK, CNP = 0x11, 0x81
NAK_SEQUENCE_ERROR, ACKED, RNR_NAK = 0x60, 0x1F, 0x2E


def bth(opcode, qp, psn):
    return bytes([opcode, 0, 0xFF, 0xFF, 0]) + qp.to_bytes(3, 'big') + b'\x80' + \
        psn.to_bytes(3, 'big')


def roce(opcode, qp, psn, syndrome=None, data=b''):
    aeth = b'' if syndrome is None else bytes([syndrome, 0, 0, 1])
    return bth(opcode, qp, psn) + aeth + data + b'\0\0\0\0'  # ICRC


def udp(payload, port=4791):
    return struct.pack('!HHHH', 49152, port, 8 + len(payload), 0) + payload


def ipv4(source, destination, datagram, fragment=0x4000):
    header = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(datagram), 0, fragment, 64, 17, 0,
                         socket.inet_aton(source), socket.inet_aton(destination))
    return 0x0800, header + datagram


def ipv6(source, destination, datagram):
    header = struct.pack('!IHBB16s16s', 0x60000000, len(datagram), 17, 64,
                         socket.inet_pton(socket.AF_INET6, source),
                         socket.inet_pton(socket.AF_INET6, destination))
    return 0x86DD, header + datagram


def ethernet(network, vlan=None):
    ethertype, body = network
    tag = b'' if vlan is None else struct.pack('!HH', 0x8100, vlan)
    frame = b'\x02\0\0\0\0\x02' + b'\x02\0\0\0\0\x01' + tag + struct.pack('!H', ethertype) + body
    return frame + b'\0' * max(0, 60 - len(frame))


def rocev4(source, destination, payload):
    return ethernet(ipv4(source, destination, udp(payload)))


ARP = ethernet((0x0806, bytes(28)))


def option(code, value, endian):
    return struct.pack(endian + 'HH', code, len(value)) + value + b'\0' * (-len(value) % 4)


def block(block_type, body, endian):
    length = 12 + len(body)
    return struct.pack(endian + 'II', block_type, length) + body + struct.pack(endian + 'I', length)


def pcapng(interfaces, packets, endian='<'):
    """interfaces: names; packets: (interface index, time in ns, frame, comment)."""
    out = [block(0x0A0D0D0A, struct.pack(endian + 'IHHq', 0x1A2B3C4D, 1, 0, -1), endian)]
    for name in interfaces:
        options = option(2, name.encode(), endian) + option(9, b'\x09', endian) + bytes(4)
        out.append(block(1, struct.pack(endian + 'HHI', 1, 0, 9000) + options, endian))
    for interface, time_ns, frame, comment in packets:
        body = struct.pack(endian + 'IIIII', interface, time_ns >> 32, time_ns & 0xFFFFFFFF,
                           len(frame), len(frame)) + frame + b'\0' * (-len(frame) % 4)
        if comment:
            body += option(1, comment.encode(), endian) + bytes(4)
        out.append(block(6, body, endian))
    return b''.join(out)


def pcap(packets):
    """packets: (time in ns, frame), written with microseconds."""
    out = [struct.pack('<IHHiIII', 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)]
    for time_ns, frame in packets:
        seconds, nanoseconds = divmod(time_ns, 10 ** 9)
        out.append(struct.pack('<IIII', seconds, nanoseconds // 1000, len(frame), len(frame)))
        out.append(frame)
    return b''.join(out)


CLIENT_IN, SERVER_OUT, SERVER_IN, CLIENT_OUT = range(4)
BENCH_INTERFACES = ['enp1s0f1 in', 'enp1s0f0 out', 'enp1s0f0 in', 'enp1s0f1 out']


def bench_capture():
    """A requester's sends across the PSN wrap through the bench: one dropped, so the responder
    NAKs and the requester goes back; one delayed, one marked for congestion and answered by a
    CNP; the verifier refusing the gap as it leaves towards the server. Each packet arrives at
    one port and, unless dropped, leaves by the other."""
    packets = []

    def request(ms, psn, comment='', leaving_ms=None, leaving_comment=''):
        frame = rocev4(CLIENT, SERVER, roce(SEND_ONLY, SERVER_QP, psn, data=b'x' * 16))
        packets.append((CLIENT_IN, T0 + ms * MS, frame, comment))
        if comment != 'drop':
            leaving = ms + 0.1 if leaving_ms is None else leaving_ms
            packets.append((SERVER_OUT, T0 + int(leaving * MS), frame, leaving_comment))

    def answer(ms, opcode, psn, syndrome=None):
        frame = rocev4(SERVER, CLIENT, roce(opcode, CLIENT_QP, psn, syndrome,
                                            bytes(16) if opcode == CNP else b''))
        packets.append((SERVER_IN, T0 + ms * MS, frame, ''))
        packets.append((CLIENT_OUT, T0 + int((ms + 0.1) * MS), frame, ''))

    request(0, 0xFFFFFC)
    request(1, 0xFFFFFD)
    request(2, 0xFFFFFE, 'drop')
    request(3, 0xFFFFFF, leaving_comment='bad PSN, expected 0xfffffe')
    answer(4, ACK, 0xFFFFFE, NAK_SEQUENCE_ERROR)
    request(5, 0xFFFFFE)
    request(6, 0xFFFFFF)
    request(7, 0x000000)
    request(8, 0x000001, 'delay 12 ms', leaving_ms=20)
    request(9, 0x000002, 'rule 2: ecn')
    request(10, 0x000003)
    answer(11, CNP, 0)
    answer(21, ACK, 0x000003, ACKED)
    packets.append((CLIENT_IN, T0 + 22 * MS, ARP, ''))
    packets.sort(key=lambda packet: packet[1])
    return packets


def plain_capture():
    """Without the bench: a READ over IPv6 behind a VLAN tag, then an RNR NAK; a send on IPv4 no
    answer comes for; an acknowledgement and a CNP whose requests are not in the capture; and
    what is not RoCE: a too short datagram to the RoCE port, and a fragment."""
    a, b = '2001:db8::1', '2001:db8::2'
    tagged = lambda source, destination, payload: ethernet(ipv6(source, destination, udp(payload)),
                                                           vlan=5)
    frames = [
        tagged(a, b, roce(READ_REQUEST, 0x33, 0x7FFFFE, data=bytes(16))),
        tagged(b, a, roce(READ_FIRST, 0x44, 0x7FFFFE, ACKED, bytes(64))),
        tagged(b, a, roce(READ_MIDDLE, 0x44, 0x7FFFFF, data=bytes(64))),
        tagged(b, a, roce(READ_LAST, 0x44, 0x800000, ACKED, bytes(64))),
        tagged(a, b, roce(SEND_ONLY, 0x33, 0x800001)),
        tagged(b, a, roce(ACK, 0x44, 0x800001, RNR_NAK)),
        rocev4('10.0.0.3', '10.0.0.4', roce(SEND_ONLY, 0x55, 0x10)),
        rocev4('10.0.0.8', '10.0.0.7', roce(ACK, 0x66, 0x100, ACKED)),
        rocev4('10.0.0.8', '10.0.0.7', roce(CNP, 0x77, 0, data=bytes(16))),
        rocev4('10.0.0.3', '10.0.0.4', b'\0' * 8),
        ethernet(ipv4('10.0.0.3', '10.0.0.4', udp(roce(SEND_ONLY, 0x55, 0x11)), fragment=0x2000)),
    ]
    return [(T0 + i * MS, frame) for i, frame in enumerate(frames)]


BENCH_SUMMARY = """\
capture: bench.pcapng (26 frames, 25 RoCE packets)
points from: enp1s0f0 in, enp1s0f1 in
QP 0x000022 (10.0.0.1 -> 10.0.0.2, answers to QP 0x000011)
  requests: 10 points, PSN 0xfffffc to 0x000003, unrolled 16777212 to 16777219
  responses: 2 points, PSN 0xfffffe to 0x000003, unrolled 16777214 to 16777219
  nak: 1 at PSN 0xfffffe
  cnp: 1 at PSN 0x000000
  drop: 1 at PSN 0xfffffe
  delay: 1 at PSN 0x000001
  mark: 1 at PSN 0x000002
  refused: 1 at PSN 0xffffff
"""

PLAIN_SUMMARY = """\
capture: plain.pcap (11 frames, 9 RoCE packets)
QP 0x000033 (2001:db8::1 -> 2001:db8::2, answers to QP 0x000044)
  requests: 2 points, PSN 0x7ffffe to 0x800001, unrolled 8388606 to 8388609
  responses: 4 points, PSN 0x7ffffe to 0x800001, unrolled 8388606 to 8388609
  rnr-nak: 1 at PSN 0x800001
QP 0x000055 (10.0.0.3 -> 10.0.0.4)
  requests: 1 point, PSN 0x000010 to 0x000010, unrolled 16 to 16
QP 0x000066, answers without requests (10.0.0.8 -> 10.0.0.7)
  responses: 1 point, PSN 0x000100 to 0x000100, unrolled 256 to 256
QP 0x000077, answers without requests (10.0.0.8 -> 10.0.0.7)
  cnp: 1 at PSN 0x000000
"""


class RoceplotTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory(prefix='roceplot_test.')
        self.addCleanup(self.directory.cleanup)

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def write(self, name, content):
        with open(self.path(name), 'wb') as out:
            out.write(content)
        return self.path(name)

    def run_roceplot(self, *arguments):
        return subprocess.run([sys.executable, ROCEPLOT] + list(arguments), capture_output=True,
                              text=True, timeout=120)

    def summary(self, *arguments):
        run = self.run_roceplot('--summary', *arguments)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout

    def test_bench_capture_summary_marks_each_decision_on_its_packet_across_the_wrap(self):
        capture = self.write('bench.pcapng', pcapng(BENCH_INTERFACES, bench_capture()))
        self.assertEqual(self.summary(capture), BENCH_SUMMARY)
        # Every capture point's copies as points, marks from the headers once per copy.
        lines = self.summary('--all-interfaces', capture).splitlines()
        self.assertEqual(lines[1], 'points from: ' + ', '.join(sorted(BENCH_INTERFACES)))
        self.assertIn('  requests: 19 points, PSN 0xfffffc to 0x000003, unrolled 16777212 to '
                      '16777219', lines)
        self.assertIn('  nak: 2 at PSN 0xfffffe 0xfffffe', lines)

    def test_plain_capture_summary_pairs_answers_with_their_requests(self):
        capture = self.write('plain.pcap', pcap(plain_capture()))
        self.assertEqual(self.summary(capture), PLAIN_SUMMARY)

    def test_a_big_endian_file_cut_inside_a_block_gives_the_frames_before_it(self):
        whole = pcapng(BENCH_INTERFACES, bench_capture(), endian='>')
        capture = self.write('bench.pcapng', whole[:-30])
        run = self.run_roceplot('--summary', capture)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn('capture: bench.pcapng (25 frames, 25 RoCE packets)', run.stdout)
        self.assertIn('  requests: 10 points', run.stdout)
        self.assertRegex(run.stderr, r'^roceplot: .*bench.pcapng: cut short in a block at byte '
                                     r'\d+; read up to it\n$')

    def test_draws_png_and_svg(self):
        capture = self.write('bench.pcapng', pcapng(BENCH_INTERFACES, bench_capture()))
        for name, signature in (('psn.png', b'\x89PNG'), ('psn.svg', b'<?xml')):
            run = self.run_roceplot(capture, self.path(name))
            self.assertEqual((run.returncode, run.stderr), (0, ''))
            with open(self.path(name), 'rb') as figure:
                self.assertEqual(figure.read(len(signature)), signature)
            self.assertGreater(os.path.getsize(self.path(name)), 1000)
        empty = self.write('empty.pcapng', pcapng(['enp1s0f1 in'], []))
        run = self.run_roceplot('--summary', empty, self.path('empty.png'))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn('no RoCE v2 packets', run.stdout)
        self.assertGreater(os.path.getsize(self.path('empty.png')), 0)

    def test_bad_input_is_one_line_and_a_failing_exit(self):
        text = self.write('notes.txt', b'not a capture at all\n')
        capture = self.write('bench.pcapng', pcapng(BENCH_INTERFACES, bench_capture()))
        cases = [
            ((text, '--summary'), 1, 'roceplot: %s: not a pcap or pcapng capture' % text),
            ((self.path('absent'), '--summary'), 1,
             'roceplot: %s: No such file or directory' % self.path('absent')),
            ((capture, self.path('psn.pdf')), 2, 'the output must end in .png or .svg'),
            ((capture,), 2, 'give an output file, --summary, or both'),
            ((capture, self.path('no/such/dir.png')), 1, 'No such file or directory'),
        ]
        for arguments, status, message in cases:
            with self.subTest(arguments=arguments):
                run = self.run_roceplot(*arguments)
                self.assertEqual(run.returncode, status)
                self.assertIn(message, run.stderr)
                self.assertNotIn('Traceback', run.stderr)
                self.assertEqual(run.stderr.count('\n'), 1, run.stderr)


if __name__ == '__main__':
    unittest.main()
