#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Packs the stripped programs of a router build as the routers' package
managers take them: OUT/LABEL/NAME-VERSION.apk (apk v3 reads Alpine's v2
format) and OUT/LABEL/NAME_VERSION_LABEL.ipk (opkg), for each LABEL. Times
come from SOURCE_DATE_EPOCH where the environment sets it, else from EPOCH,
so that the same programs give the same bytes.
  pack.py OUT VERSION EPOCH PROGRAM... --labels LABEL..."""
import argparse
import gzip
import hashlib
import io
import os
import sys
import tarfile

NAME = "tossgram"
DESC = "Send one UDP datagram from a chosen port, and print those that come"


def member(name, mode, epoch, data=None, pax=None):
    """A tar member owned by root: a folder, or a file holding data."""
    info = tarfile.TarInfo(name)
    info.mode, info.mtime = mode, epoch
    info.uid = info.gid = 0
    info.uname = info.gname = "root"
    if data is None:
        info.type = tarfile.DIRTYPE
    else:
        info.size = len(data)
    if pax:
        info.pax_headers = pax
    return info, None if data is None else io.BytesIO(data)


def tar(members, fmt, end=True):
    buf = io.BytesIO()
    t = tarfile.open(fileobj=buf, mode="w", format=fmt)
    for info, data in members:
        t.addfile(info, data)
    if not end:
        # apk concatenates its streams: the control tar stops after its
        # last member, with no end-of-archive blocks.
        return buf.getvalue()[: t.offset]
    t.close()
    return buf.getvalue()


def gz(data, mtime):
    buf = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=buf, mtime=mtime) as g:
        g.write(data)
    return buf.getvalue()


def apk(programs, label, version, epoch, size):
    files = [
        member("usr/bin/" + n, 0o755, epoch, d,
               {"APK-TOOLS.checksum.SHA1": hashlib.sha1(d).hexdigest()})
        for n, d in sorted(programs.items())
    ]
    data = gz(tar([member("usr/", 0o755, epoch), member("usr/bin/", 0o755, epoch)]
                  + files, tarfile.PAX_FORMAT), 0)
    info = "".join(f"{k} = {v}\n" for k, v in [
        ("pkgname", NAME), ("pkgver", version), ("pkgdesc", DESC),
        ("builddate", epoch), ("size", size), ("arch", label),
        ("license", "ISC"), ("depend", "libc"),
        ("datahash", hashlib.sha256(data).hexdigest())]).encode()
    control = tar([member(".PKGINFO", 0o644, epoch, info)], tarfile.PAX_FORMAT, end=False)
    return gz(control, 0) + data


def ipk(programs, label, version, epoch, size):
    files = [member("./usr/bin/" + n, 0o755, epoch, d) for n, d in sorted(programs.items())]
    data = tar([member(d, 0o755, epoch) for d in ("./", "./usr/", "./usr/bin/")] + files,
               tarfile.GNU_FORMAT)
    control = "".join(f"{k}: {v}\n" for k, v in [
        ("Package", NAME), ("Version", version), ("Depends", "libc"),
        ("Source", NAME), ("SourceName", NAME), ("License", "ISC"),
        ("Section", "net"), ("Architecture", label), ("Installed-Size", size),
        ("Description", " " + DESC)]).encode()
    control = tar([member("./control", 0o644, epoch, control)], tarfile.GNU_FORMAT)
    return gz(tar([member("./debian-binary", 0o644, epoch, b"2.0\n"),
                   member("./data.tar.gz", 0o644, epoch, gz(data, epoch)),
                   member("./control.tar.gz", 0o644, epoch, gz(control, epoch))],
                  tarfile.GNU_FORMAT), epoch)


def put(path, data):
    """Writes beside path, then renames: no package stands half written."""
    aside = path + ".part"
    try:
        with open(aside, "wb") as f:
            f.write(data)
        os.replace(aside, path)
    except OSError:
        if os.path.exists(aside):
            os.remove(aside)
        raise


def main():
    p = argparse.ArgumentParser(description="Packs a router build's programs.")
    p.add_argument("out")
    p.add_argument("version")
    p.add_argument("epoch", type=int)
    p.add_argument("programs", nargs="+")
    p.add_argument("--labels", nargs="+", required=True)
    a = p.parse_args()
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or a.epoch)
    try:
        programs = {}
        for path in a.programs:
            with open(path, "rb") as f:
                programs[os.path.basename(path)] = f.read()
        size = sum(len(d) for d in programs.values())
        for label in a.labels:
            folder = os.path.join(a.out, label)
            os.makedirs(folder, exist_ok=True)
            put(os.path.join(folder, f"{NAME}-{a.version}.apk"),
                apk(programs, label, a.version, epoch, size))
            put(os.path.join(folder, f"{NAME}_{a.version}_{label}.ipk"),
                ipk(programs, label, a.version, epoch, size))
    except OSError as e:
        sys.exit(f"pack: {e.filename}: {e.strerror}")


main()
