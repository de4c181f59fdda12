#!/usr/bin/env python3
"""Types a code through a uinput virtual keyboard as fast as a barcode
scanner does (a few ms a key), then Enter. Usage: uinput_type.py CODE"""
import fcntl, os, struct, sys, time

UI_SET_EVBIT, UI_SET_KEYBIT, UI_DEV_CREATE, UI_DEV_DESTROY = 0x40045564, 0x40045565, 0x5501, 0x5502
EV_SYN, EV_KEY = 0, 1
SHIFT, ENTER = 42, 28
KEYS = {"1": 2, "2": 3, "3": 4, "4": 5, "5": 6, "6": 7, "7": 8, "8": 9, "9": 10, "0": 11}
for row, base in (("qwertyuiop", 16), ("asdfghjkl", 30), ("zxcvbnm", 44)):
    for i, ch in enumerate(row):
        KEYS[ch] = base + i


def emit(fd, etype, code, value):
    now = time.time()
    os.write(fd, struct.pack("llHHi", int(now), int((now % 1) * 1e6), etype, code, value))


def main():
    code = sys.argv[1] if len(sys.argv) > 1 else "R20240501000000000001"
    fd = os.open("/dev/uinput", os.O_WRONLY | os.O_NONBLOCK)
    fcntl.ioctl(fd, UI_SET_EVBIT, EV_KEY)
    for k in set(KEYS.values()) | {SHIFT, ENTER}:
        fcntl.ioctl(fd, UI_SET_KEYBIT, k)
    dev = struct.pack("80sHHHHi", b"tillcast-demo-scanner", 3, 0x1234, 0x5678, 1, 0) + b"\0" * (4 * 64 * 4)
    os.write(fd, dev)
    fcntl.ioctl(fd, UI_DEV_CREATE)
    time.sleep(1.0)  # let the agent find and grab the new keyboard
    try:
        for ch in code:
            key = KEYS.get(ch.lower())
            if key is None:
                continue
            if ch.isupper():
                emit(fd, EV_KEY, SHIFT, 1)
            emit(fd, EV_KEY, key, 1); emit(fd, EV_SYN, 0, 0)
            emit(fd, EV_KEY, key, 0); emit(fd, EV_SYN, 0, 0)
            if ch.isupper():
                emit(fd, EV_KEY, SHIFT, 0); emit(fd, EV_SYN, 0, 0)
            time.sleep(0.005)
        emit(fd, EV_KEY, ENTER, 1); emit(fd, EV_SYN, 0, 0)
        emit(fd, EV_KEY, ENTER, 0); emit(fd, EV_SYN, 0, 0)
        time.sleep(0.5)
    finally:
        fcntl.ioctl(fd, UI_DEV_DESTROY)
        os.close(fd)
    print("scanned %s" % code)


if __name__ == "__main__":
    main()
