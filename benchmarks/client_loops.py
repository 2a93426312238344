#!/usr/bin/python3
"""Client loops for the benchmark (figures, not tests): a 200 Hz control loop that reads and
commands every Damiao motor on a bus, for client_loop_bench and host_client_loop_bench:

  module      through the jointbus Python module (the library's threads do the bus work)
  python-can  the pure-Python reference: the loop itself builds, sends and decodes every MIT
              frame with python3-can, as drivers that do the bus work in the interpreter do
  socket-pair the same pure-Python loop over the socket-pair double on the host's kernel,
              framing with struct; BUS is the comma-separated descriptors it inherits, one
              per motor
  python-can-pair  the same over the socket pair with python-can's messages, framing and
              reading code, as its socketcan bus does

    client_loops.py MODE BUS SECONDS MOTORS SETS_FILE

Prints one line: cycles=N missed=N cpu_us=N feedback=N (feedback frames the client received).
CPU is the whole process's (every thread), over the loop only. Every cycle commands the same
target to every motor, a saw-tooth of distinct values; SETS_FILE receives, after the loop, one
line per cycle: the monotonic clock in ns when the target was set, and the target.
"""

import sys
import time

PERIOD = 0.005


def target(cycle):
    """The target of a cycle: 0 to 0.099 rad in 1 mrad steps, as the C++ loop commands."""
    return 0.001 * (cycle % 100)


def run_loop(seconds, step, sets):
    """Calls step(target) at 200 Hz for `seconds`, noting when each target was set in `sets`;
    returns (cycles, missed, cpu µs)."""
    cycles = missed = 0
    cpu0 = time.process_time()
    start = deadline = time.monotonic()
    while time.monotonic() - start < seconds:
        value = target(cycles)
        sets.append((time.monotonic_ns(), value))
        step(value)
        cycles += 1
        deadline += PERIOD
        pause = deadline - time.monotonic()
        if pause > 0:
            time.sleep(pause)
        else:
            missed += 1
            deadline = time.monotonic()
    return cycles, missed, (time.process_time() - cpu0) * 1e6


def with_module(iface, seconds, ids, sets):
    import jointbus
    motors = [jointbus.DamiaoMotor(model=4310, id=i, master_id=0x10 + i, interface=iface)
              for i in ids]
    for m in motors:
        m.init()
        m.enable()
    deadline = time.monotonic() + 10
    while not all(m.enabled for m in motors) and time.monotonic() < deadline:
        time.sleep(0.01)

    def step(value):
        jointbus.read_all(motors)
        jointbus.command_all(motors, [value] * len(motors))

    result = run_loop(seconds, step, sets)
    jointbus.hold_and_disable(motors)
    return result + (-1,)


# MIT frame of a 4310 (p ±12.5 rad, v ±30 rad/s, kp 0..500, kd 0..5, t ±10 N·m).
def to_uint(x, lo, hi, bits):
    x = min(max(x, lo), hi)
    return int((x - lo) * ((1 << bits) - 1) / (hi - lo))


def encode_mit(p, v, kp, kd, t):
    P, V = to_uint(p, -12.5, 12.5, 16), to_uint(v, -30, 30, 12)
    KP, KD, T = to_uint(kp, 0, 500, 12), to_uint(kd, 0, 5, 12), to_uint(t, -10, 10, 12)
    return bytes([P >> 8, P & 0xFF, V >> 4, ((V & 0xF) << 4) | (KP >> 8), KP & 0xFF, KD >> 4,
                  ((KD & 0xF) << 4) | (T >> 8), T & 0xFF])


def decode_feedback(d):
    pos = (d[1] << 8) | d[2]
    vel = (d[3] << 4) | (d[4] >> 4)
    tq = ((d[4] & 0xF) << 8) | d[5]
    return (d[0] >> 4, -12.5 + pos * 25.0 / 65535, -30 + vel * 60.0 / 4095,
            -10 + tq * 20.0 / 4095)


def pure_loop(send, pending, seconds, ids, sets):
    """The pure-Python reference loop: it builds, sends and decodes every MIT frame itself.
    send(id, data) puts one frame on the bus; pending() yields the (id, data) of the frames
    waiting to be read. Returns (cycles, missed, cpu µs, feedback frames received)."""
    masters = {0x10 + i for i in ids}
    state = {}
    received = [0]

    def special(last):
        for i in ids:
            send(i, b"\xff" * 7 + bytes([last]))

    def drain():
        for can_id, data in pending():
            if can_id in masters and len(data) == 8:
                state[can_id] = decode_feedback(data)
                received[0] += 1

    special(0xFC)  # enable
    time.sleep(0.1)
    drain()
    received[0] = 0

    def step(value):
        drain()
        frame = encode_mit(value, 0, 15, 1, 0)
        for i in ids:
            send(i, frame)

    result = run_loop(seconds, step, sets)
    special(0xFD)  # disable
    return result + (received[0],)


def with_python_can(iface, seconds, ids, sets):
    """The pure-Python loop on a CAN interface through python3-can, as drivers that do the
    bus work in the interpreter do."""
    import can
    bus = can.Bus(interface="socketcan", channel=iface)

    def send(can_id, data):
        bus.send(can.Message(arbitration_id=can_id, data=data, is_extended_id=False))

    def pending():
        while True:
            msg = bus.recv(timeout=0)
            if msg is None:
                return
            yield msg.arbitration_id, msg.data

    try:
        return pure_loop(send, pending, seconds, ids, sets)
    finally:
        bus.shutdown()


def pair_sockets(fds, ids):
    """The inherited SOCK_SEQPACKET sockets of the socket-pair double by motor id: `fds` lists
    their descriptors in id order. Each carries struct can_frame records to a responder that
    answers like the motor."""
    import socket
    return {i: socket.socket(fileno=int(fd)) for i, fd in zip(ids, fds.split(","))}


def with_socket_pair(fds, seconds, ids, sets):
    """The pure-Python loop over the socket-pair double on the host's kernel, framing with
    struct and reading with non-blocking calls: the leanest a Python loop can be."""
    import struct
    record = struct.Struct("=IB3x8s")
    socks = pair_sockets(fds, ids)
    for sock in socks.values():
        sock.setblocking(False)

    def send(can_id, data):
        socks[can_id].send(record.pack(can_id, len(data), data))

    def pending():
        for sock in socks.values():
            while True:
                try:
                    raw = sock.recv(record.size)
                except BlockingIOError:
                    break
                can_id, length, data = record.unpack(raw)
                yield can_id, data[:length]

    try:
        return pure_loop(send, pending, seconds, ids, sets)
    finally:
        for sock in socks.values():
            sock.close()


def with_python_can_pair(fds, seconds, ids, sets):
    """The python-can loop over the socket-pair double: the same messages and the same framing
    and reading code (build_can_frame, a zero-time select, capture_message) as its socketcan
    bus uses on a CAN socket."""
    import select
    import socket
    import can
    from can.interfaces.socketcan.constants import SO_TIMESTAMPNS
    from can.interfaces.socketcan.socketcan import build_can_frame, capture_message
    socks = pair_sockets(fds, ids)
    for sock in socks.values():  # capture_message reads the kernel's time stamp of each frame
        sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)

    def send(can_id, data):
        msg = can.Message(arbitration_id=can_id, data=data, is_extended_id=False)
        socks[can_id].send(build_can_frame(msg))

    def pending():
        for sock in socks.values():
            while select.select([sock], [], [], 0)[0]:
                msg = capture_message(sock)
                yield msg.arbitration_id, msg.data

    try:
        return pure_loop(send, pending, seconds, ids, sets)
    finally:
        for sock in socks.values():
            sock.close()


def main():
    mode, iface, seconds, count = sys.argv[1], sys.argv[2], float(sys.argv[3]), int(sys.argv[4])
    ids = list(range(1, count + 1))
    run = {"module": with_module, "python-can": with_python_can,
           "socket-pair": with_socket_pair, "python-can-pair": with_python_can_pair}[mode]
    sets = []
    cycles, missed, cpu, feedback = run(iface, seconds, ids, sets)
    with open(sys.argv[5], "w") as out:
        out.writelines(f"{t} {value!r}\n" for t, value in sets)
    print(f"cycles={cycles} missed={missed} cpu_us={cpu:.0f} feedback={feedback}", flush=True)


if __name__ == "__main__":
    main()
