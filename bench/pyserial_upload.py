#!/usr/bin/env python3
"""The peer of the upload benchmark: the same upload conversation as
hiltpush's, written the way a user would with python3-serial, sending the
file one byte per write as hiltpush does.

    pyserial_upload.py <port> <file>
"""
import os
import sys

import serial


def main():
    port, path = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        data = f.read()
    ser = serial.Serial(port, 115200, bytesize=8, parity="N", stopbits=1, timeout=0.5)
    try:
        for query in (b"V?\n", b"S?\n", b"WR?\n", b"FREE?\n"):
            ser.write(query)
            print(ser.readline().decode("latin-1").rstrip("\n"))
        name = os.path.basename(path)
        ser.write(b"WR=%s,%d\n" % (name.encode("latin-1"), len(data)))
        ser.timeout = 2.5
        reply = ser.readline()
        print(reply.decode("latin-1").rstrip("\n"))
        if not reply.startswith(b"OK, Write "):
            return 1
        for i in range(len(data)):
            ser.write(data[i:i + 1])
        ser.timeout = 0.5
        print(ser.readline().decode("latin-1").rstrip("\n"))
    finally:
        ser.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
