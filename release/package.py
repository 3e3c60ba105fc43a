#!/usr/bin/env python3
"""Makes the release ZIP and its checksums, byte for byte the same from the same inputs.

Usage: package.py --source SOURCE_DIR --version VERSION --guide TEMPLATE --compiler CXX
                  OUT_DIR NAME FILE...
(the build's release target)

The ZIP holds NAME/<file> for each FILE; NAME/README.txt, the users' guide made from
TEMPLATE with its version, its commit and what built it filled in (the Debian release, and
the packages and versions of the compiler CXX, its binutils, headers and import libraries,
as dpkg reports them), with CR LF line ends, as Windows' editors expect; and
NAME/SHA256SUMS over all of them, in name order, all with one time and the same permissions.
The time is SOURCE_DATE_EPOCH, else the last commit's time, else 1980-01-01. OUT_DIR gets
NAME.zip and a SHA256SUMS that covers the ZIP and each file in it, so that `sha256sum -c`
checks a download before and after unpacking.
"""
import argparse
import hashlib
import os
import platform
import shutil
import subprocess
import time
import zipfile


def source_time(source):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        return int(subprocess.run(["git", "-C", source, "log", "-1", "--format=%ct"],
                                  capture_output=True, text=True, check=True).stdout)
    except (OSError, ValueError, subprocess.CalledProcessError):
        return 315532800  # 1980-01-01, the earliest time a ZIP entry can hold


def source_commit(source):
    """The commit the files were built from; marked -dirty when the tree had changes."""
    try:
        return subprocess.run(["git", "-C", source, "describe", "--always", "--dirty",
                               "--abbrev=40"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def build_system():
    """The Debian release with its point release, as 'Debian 12.11 (bookworm)'."""
    try:
        with open("/etc/debian_version") as f:
            point = f.read().strip()
        release = platform.freedesktop_os_release()
    except OSError:
        return "an unknown system"
    return "Debian %s (%s)" % (point, release.get("VERSION_CODENAME", "unknown"))


def _output(*command, input_text=None):
    """What a command prints, or nothing where it cannot run or fails."""
    try:
        return subprocess.run(command, input=input_text, capture_output=True, text=True,
                              check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return ""


def toolchain_files(compiler):
    """(role, file) of what the compiler built with: itself, its linker (binutils), the
    Windows headers and the import libraries, as the compiler itself finds them."""
    linker = _output(compiler, "-print-prog-name=ld").strip()
    header = _output(compiler, "-x", "c++", "-E", "-M", "-", input_text="#include <windows.h>")
    library = _output(compiler, "-print-file-name=libkernel32.a").strip()
    return [("compiler", compiler), ("binutils", shutil.which(linker) or linker),
            ("headers", next((h for h in header.split() if h.endswith("windows.h")), "")),
            ("import libraries", library)]


def package(path):
    """(name, version) of the Debian package that holds the file at path, as dpkg reports them."""
    owner = _output("dpkg-query", "-S", os.path.realpath(path)).split(": ", 1)[0]
    name = owner.split(", ")[0]
    version = _output("dpkg-query", "-W", "-f=${Version}", name) if name else ""
    return (name, version) if version else ("(not from a package)", path)


def toolchain(compiler):
    """The guide's lines naming the packages that built the release, a column each."""
    rows = [package(path) + (role,) for role, path in toolchain_files(compiler)]
    widths = [max(len(row[i]) for row in rows) for i in (0, 1)]
    return "\n    ".join("%-*s  %-*s  %s" % (widths[0], name, widths[1], version, role)
                          for name, version, role in rows)


def guide(template, version, source, compiler):
    """The users' guide: the template with its placeholders filled in, CR LF line ends."""
    with open(template, encoding="ascii") as f:
        text = f.read()
    for placeholder, value in (("@VERSION@", version), ("@COMMIT@", source_commit(source)),
                               ("@SYSTEM@", build_system()),
                               ("@TOOLCHAIN@", toolchain(compiler))):
        text = text.replace(placeholder, value)
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("ascii")


def sums(entries):
    return "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data in entries).encode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--guide", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("out")
    parser.add_argument("name")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    files = {"README.txt": guide(args.guide, args.version, args.source, args.compiler)}
    for path in args.files:
        with open(path, "rb") as f:
            files[os.path.basename(path)] = f.read()
    entries = [(args.name + "/" + name, files[name]) for name in sorted(files)]
    inner = sums((name.split("/", 1)[1], data) for name, data in entries)
    entries.append((args.name + "/SHA256SUMS", inner))

    stamp = time.gmtime(max(source_time(args.source), 315532800))[:6]
    archive = os.path.join(args.out, args.name + ".zip")
    os.makedirs(args.out, exist_ok=True)
    with zipfile.ZipFile(archive, "w") as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the permissions below are read
            info.external_attr = 0o100644 << 16
            z.writestr(info, data, compresslevel=9)
    with open(archive, "rb") as f:
        outer = sums([(args.name + ".zip", f.read())] + entries)
    with open(os.path.join(args.out, "SHA256SUMS"), "wb") as f:
        f.write(outer)


if __name__ == "__main__":
    main()
