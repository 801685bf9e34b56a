#!/usr/bin/env python3
"""The Wine rig of the Windows build's tests.

    wine_rig.py start                      start the server, initialise the prefix
    wine_rig.py stop                       stop every Wine process of the prefix
    wine_rig.py add-com TARGET [N]         link COM<N> (first free from 10 when N is
                                           omitted) to TARGET; prints the COM name
    wine_rig.py remove-com COM<N>          remove that link
    wine_rig.py set-serialcomm NAME VALUE  write a string value into
                                           HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM;
                                           VALUE may hold any byte, CR and LF included
                                           (\\r, \\n and \\\\ escapes are understood)
    wine_rig.py delete-serialcomm NAME     remove that value

Everything works on the prefix named by WINEPREFIX. Logs go to
$WINEPREFIX/../logs, never to the caller's standard streams: Wine's background
processes inherit the descriptors of the Wine process that started them, and a
captured pipe held by them would never close.
"""
import os
import subprocess
import sys
import tempfile

SERIALCOMM_KEY = r"HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM"


def prefix():
    p = os.environ.get("WINEPREFIX")
    if not p:
        sys.exit("wine_rig: WINEPREFIX is not set")
    return p


def log_dir():
    d = os.path.join(os.path.dirname(os.path.abspath(prefix())), "logs")
    os.makedirs(d, exist_ok=True)
    return d


def run_logged(args, log_name, timeout):
    """Runs a Wine tool with no pipe of ours attached."""
    with open(os.path.join(log_dir(), log_name), "ab") as log, open(os.devnull, "rb") as null:
        return subprocess.run(args, stdin=null, stdout=log, stderr=subprocess.STDOUT, timeout=timeout,
                              env=dict(os.environ, WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))).returncode


def start():
    p = prefix()
    os.makedirs(p, exist_ok=True)
    fresh = not os.path.exists(os.path.join(p, "system.reg"))
    # One persistent server for the whole run, started first so that nothing
    # else starts a short-lived one: the volatile HARDWARE key and the
    # services live as long as it does.
    rc = run_logged(["wineserver", "-p"], "wineserver.log", 30)
    if rc != 0:
        sys.exit("wine_rig: wineserver -p failed with %d (see %s)" % (rc, log_dir()))
    # wineboot starts the background services with our log file, not a
    # caller's pipe, as their inherited output; the first run also creates
    # the prefix.
    rc = run_logged(["wineboot", "-i"] if fresh else ["wineboot"], "wineboot.log", 170)
    if rc != 0:
        sys.exit("wine_rig: wineboot failed with %d (see %s)" % (rc, log_dir()))
    print("wine rig ready: WINEPREFIX=%s" % p)


def stop():
    run_logged(["wineserver", "-k"], "wineserver.log", 30)
    run_logged(["wineserver", "-w"], "wineserver.log", 30)
    print("wine rig stopped")


def dosdevices():
    return os.path.join(prefix(), "dosdevices")


def add_com(target, number=None):
    numbers = [int(number)] if number is not None else range(10, 256)
    for n in numbers:
        link = os.path.join(dosdevices(), "com%d" % n)
        try:
            os.symlink(target, link)
        except FileExistsError:
            continue
        print("COM%d" % n)
        return 0
    sys.exit("wine_rig: no free COM number")


def remove_com(name):
    n = name.upper()
    if not n.startswith("COM") or not n[3:].isdigit():
        sys.exit("wine_rig: not a COM name: " + name)
    try:
        os.unlink(os.path.join(dosdevices(), "com" + n[3:]))
    except FileNotFoundError:
        pass
    return 0


def unescape(text):
    out = bytearray()
    raw = os.fsencode(text)
    i = 0
    while i < len(raw):
        c = raw[i]
        if c == 0x5C and i + 1 < len(raw) and raw[i + 1] in b"rn\\":
            out.append({ord("r"): 13, ord("n"): 10, 0x5C: 0x5C}[raw[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return bytes(out)


def reg_import(body):
    # A UTF-16 .reg file: reg add cannot carry CR or LF inside a value, an
    # import of hex(1) data (a string given as its UTF-16 bytes) can.
    text = "Windows Registry Editor Version 5.00\r\n\r\n[%s]\r\n%s\r\n" % (SERIALCOMM_KEY, body)
    fd, path = tempfile.mkstemp(suffix=".reg", dir=log_dir())
    with os.fdopen(fd, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    try:
        rc = run_logged(["wine", "regedit", "/S", path], "regedit.log", 60)
    finally:
        os.unlink(path)
    if rc != 0:
        sys.exit("wine_rig: regedit failed with %d" % rc)
    return 0


def reg_name(name):
    return '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')


def set_serialcomm(name, value):
    # Each byte is one character of code page 1252's first 256 code points
    # taken as Latin-1, as the program reads them back as 8-bit text.
    data = (unescape(value).decode("latin-1") + "\0").encode("utf-16-le")
    return reg_import("%s=hex(1):%s" % (reg_name(name), ",".join("%02x" % b for b in data)))


def delete_serialcomm(name):
    return reg_import("%s=-" % reg_name(name))


def main(argv):
    if len(argv) < 2:
        sys.exit(__doc__)
    cmd, args = argv[1], argv[2:]
    if cmd == "start" and not args:
        return start()
    if cmd == "stop" and not args:
        return stop()
    if cmd == "add-com" and 1 <= len(args) <= 2:
        return add_com(*args)
    if cmd == "remove-com" and len(args) == 1:
        return remove_com(args[0])
    if cmd == "set-serialcomm" and len(args) == 2:
        return set_serialcomm(*args)
    if cmd == "delete-serialcomm" and len(args) == 1:
        return delete_serialcomm(args[0])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv) or 0)
