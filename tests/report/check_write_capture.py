#!/usr/bin/env python3
"""Reads a -write_capture file as tshark reads it.

Writes the frames of a list of test captures with -write_capture, then reads every packet block
of the file here (comment, time, wire and captured length, interface) and compares the lines
with write_capture.tshark beside this script: tshark's reading of the same file, recorded with
tshark -T fields -e frame.comment -e frame.time_epoch -e frame.len -e frame.cap_len
-e frame.interface_id. Each frame that tshark also read in its source capture (NAME.tshark in
the data folder) must show the time and length it showed there. Where tshark is installed it
reads the file again, and its reading must still be the recorded one; UPDATE_TSHARK=1 records
it anew.

usage: check_write_capture.py NELO_BINARY DATA_DIR
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

CAPTURES = ["cooked1.pcap", "loopback_nsec.pcap", "two_interfaces.pcapng", "fragments.pcap"]
RECORDING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "write_capture.tshark")


def packet_lines(path):
    """One line per Enhanced Packet Block, with the fields in the recording's order."""
    data = open(path, "rb").read()
    resolutions, lines, at = [], [], 0
    while at + 12 <= len(data):
        kind, total = struct.unpack_from("<II", data, at)
        if total < 12 or at + total > len(data):
            sys.exit(f"{path}: bad block length {total} at {at}")
        if kind == 1:
            digits, option = 6, at + 16
            while option + 4 <= at + total - 4:
                code, size = struct.unpack_from("<HH", data, option)
                if code == 0:
                    break
                if code == 9:
                    digits = data[option + 4]
                option += 4 + (size + 3) // 4 * 4
            resolutions.append(digits)
        elif kind == 6:
            iface, high, low, captured, wire = struct.unpack_from("<IIIII", data, at + 8)
            option = at + 28 + (captured + 3) // 4 * 4
            code, size = struct.unpack_from("<HH", data, option)
            comment = data[option + 4:option + 4 + size].decode() if code == 1 else ""
            stamp, digits = (high << 32) | low, resolutions[iface]
            seconds, fraction = divmod(stamp, 10**digits)
            nanoseconds = fraction * 10**(9 - digits)
            lines.append(f"{comment}\t{seconds}.{nanoseconds:09d}\t{wire}\t{captured}\t{iface}")
        at += total
    return lines


def tshark_lines(path):
    env = dict(os.environ, LC_ALL="C", TZ="UTC", WIRESHARK_CONFIG_DIR=tempfile.mkdtemp())
    run = subprocess.run(
        ["tshark", "-n", "-r", path, "-T", "fields", "-E", "separator=/t", "-e", "frame.comment",
         "-e", "frame.time_epoch", "-e", "frame.len", "-e", "frame.cap_len", "-e",
         "frame.interface_id"], capture_output=True, text=True, env=env, check=False)
    shutil.rmtree(env["WIRESHARK_CONFIG_DIR"], ignore_errors=True)
    complaints = [line for line in run.stderr.splitlines() if not line.startswith("Running as")]
    if run.returncode != 0 or complaints:
        sys.exit(f"tshark could not read {path}: {run.stderr}")
    return run.stdout.splitlines()


def main():
    binary, data = os.path.abspath(sys.argv[1]), sys.argv[2]
    work = tempfile.mkdtemp()
    try:
        written = os.path.join(work, "written.pcapng")
        run = subprocess.run([binary, "-pipe", "-write_capture", written],
                             input="".join(name + "\n" for name in CAPTURES), cwd=data,
                             capture_output=True, text=True, check=False)
        if run.returncode != 0:
            sys.exit(f"nelo failed ({run.returncode}): {run.stderr}")
        lines = packet_lines(written)
        have_tshark = shutil.which("tshark") is not None
        if have_tshark and os.environ.get("UPDATE_TSHARK") == "1":
            with open(RECORDING, "w", encoding="utf-8") as out:
                out.writelines(line + "\n" for line in tshark_lines(written))
        recorded = open(RECORDING, encoding="utf-8").read().splitlines()
        failures = [f"read here: {a!r}\nrecorded:  {b!r}" for a, b in zip(lines, recorded) if a != b]
        if len(lines) != len(recorded):
            failures.append(f"{len(lines)} packet blocks read here, {len(recorded)} recorded")
        if have_tshark and tshark_lines(written) != recorded:
            failures.append("tshark reads the file otherwise than recorded; UPDATE_TSHARK=1")

        # A frame's time and length as tshark read them in its source capture.
        source = {}
        for name in CAPTURES:
            for line in open(os.path.join(data, name + ".tshark"), encoding="utf-8"):
                fields = line.rstrip("\n").split("\t")
                source[f"{name} frame {fields[0]}"] = (fields[1], fields[8])
        matched = 0
        for line in recorded:
            comment, time, wire = line.split("\t")[:3]
            if comment in source:
                matched += 1
                if source[comment] != (time, wire):
                    failures.append(f"{comment}: {time} {wire}, in its source {source[comment]}")
        if matched == 0:
            failures.append("no written frame was found in the sources' tshark readings")
        for failure in failures[:20]:
            print(failure)
        if failures:
            return 1
        print(f"{len(lines)} frames as tshark reads them ({matched} checked against their "
              f"sources); tshark {'read the file too' if have_tshark else 'is not installed'}")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
