#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Packs the stripped programs of a router build as the routers' package
managers take them: OUT/LABEL/NAME-VERSION.apk (apk v3 reads Alpine's v2
format) and OUT/LABEL/NAME_VERSION_LABEL.ipk (opkg), for each LABEL. Times
come from SOURCE_DATE_EPOCH where the environment sets it, else from EPOCH,
so that the same programs give the same bytes. Each key given signs its
manager's half of a feed of them, FEED/LABEL, whose public keys go to KEYS.
  pack.py OUT VERSION EPOCH PROGRAM... --labels LABEL... [--feed FEED KEYS
          [--apk-key RSA-PEM] [--opkg-key SIGNIFY-SEC]]"""
import argparse
import base64
import gzip
import hashlib
import io
import os
import shutil
import subprocess
import sys
import tarfile
import zlib

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


def run(cmd, key, data=b""):
    r = subprocess.run(cmd, input=data, capture_output=True)
    if r.returncode != 0:
        sys.exit(f"pack: {key}: {cmd[0]}: " + r.stderr.decode(errors="replace").split("\n")[0])
    return r.stdout


def apk_key(path):
    """apk's name for the key, Alpine's (its file's name and .pub), and the public key."""
    with open(path, "rb") as f:
        if b"ENCRYPTED" in f.read():
            sys.exit(f"pack: {path}: has a passphrase; the feed is signed without a prompt")
    # openssl dgst -sign takes an EC key as well, and says nothing.
    pub = run(["openssl", "rsa", "-in", path, "-passin", "pass:", "-pubout"], path)
    return os.path.basename(path) + ".pub", pub


def opkg_key(path):
    """The name signify gives the public key in each signature's first line,
    and the public key, which signify has no command to derive."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    try:
        sec = base64.b64decode(lines[1], validate=True)
    except (IndexError, ValueError):
        sec = b""
    # Ed, BK, kdfrounds, salt, checksum, key number, Ed25519 signing key
    if len(sec) != 104 or sec[:4] != b"EdBK" or not path.endswith(".sec"):
        sys.exit(f"pack: {path}: not a signify signing key named NAME.sec")
    if sec[4:8] != bytes(4):
        sys.exit(f"pack: {path}: has a passphrase; make the key with signify-openbsd -G -n")
    pub = base64.b64encode(b"Ed" + sec[32:40] + sec[72:])
    comment = lines[0].rsplit(b" ", 2)[0] + b" public key"  # its kind of key
    return os.path.basename(path)[:-4] + ".pub", comment + b"\n" + pub + b"\n"


# APKINDEX's letters for .PKGINFO's keys, in apk's own order: the first
# row's always (S, the file's size, is no key), the second's where given.
ALWAYS = dict(P="pkgname", V="pkgver", A="arch", S="", I="size", T="pkgdesc", U="url", L="license")
GIVEN = dict(o="origin", m="maintainer", t="builddate", c="commit", k="provider_priority",
             D="depend")


def apkindex(apks, key, keyname, epoch):
    text = ""
    for raw in apks.values():
        z = zlib.decompressobj(31)
        t = tarfile.open(fileobj=io.BytesIO(z.decompress(raw)))
        info = {"": [str(len(raw))]}
        for line in t.extractfile(".PKGINFO").read().decode().splitlines():
            k, _, v = line.partition(" = ")
            info.setdefault(k, []).append(v)
        # The signed index vouches for each package by the SHA-1 of its
        # control stream's bytes as they stand in the file.
        control = raw[: len(raw) - len(z.unused_data)]
        text += "C:Q1" + base64.b64encode(hashlib.sha1(control).digest()).decode()
        text += "".join(f"\n{c}:{' '.join(info.get(k, []))}" for c, k in ALWAYS.items())
        text += "".join(f"\n{c}:{' '.join(info[k])}" for c, k in GIVEN.items() if k in info) + "\n\n"
    index = gz(tar([member("DESCRIPTION", 0o644, epoch, NAME.encode()),
                    member("APKINDEX", 0o644, epoch, text.encode())], tarfile.USTAR_FORMAT), epoch)
    sig = run(["openssl", "dgst", "-sha256", "-sign", key, "-passin", "pass:"], key, index)
    # apk takes the signature's tar only as one member, padded, without end
    # blocks; it looks the public key up by the name that member gives.
    sig = tar([member(".SIGN.RSA256." + keyname, 0o644, epoch, sig)], tarfile.USTAR_FORMAT, end=False)
    return [("APKINDEX.tar.gz", gz(sig, epoch) + index)]


def packages(ipks, key, keyname, epoch):
    """Each .ipk's control, with what opkg checks the file by put before its
    Description, as OpenWrt's ipkg-make-index.sh puts it."""
    text = b""
    for name, raw in ipks.items():
        ipk = tarfile.open(fileobj=io.BytesIO(raw))
        control = tarfile.open(fileobj=ipk.extractfile("./control.tar.gz"))
        sums = f"Filename: {name}\nSize: {len(raw)}\nSHA256sum: {hashlib.sha256(raw).hexdigest()}"
        text += control.extractfile("./control").read().replace(
            b"\nDescription:", f"\n{sums}\nDescription:".encode()) + b"\n"
    # OpenWrt pads these sizes: usign before 2019 got SHA-512 wrong on them.
    if (64 + len(text)) % 128 in (110, 111):
        text += b"\n\n"
    # opkg checks the signature over Packages.gz, gunzipped.
    sig = run(["signify-openbsd", "-S", "-s", key, "-m", "-", "-x", "-"], key, text)
    return [("Packages", text), ("Packages.gz", gz(text, epoch)), ("Packages.sig", sig)]


def feed(out, keys, packed, halves, epoch):
    """Writes the feed's halves and their public keys aside, then renames."""
    try:
        for label, files in packed.items():
            os.makedirs(os.path.join(out + ".part", label))
            for suffix, key, keyname, _, index in halves:
                mine = {n: raw for n, raw in files.items() if n.endswith(suffix)}
                for name, data in list(mine.items()) + index(mine, key, keyname, epoch):
                    put(os.path.join(out + ".part", label, name), data)
        os.makedirs(keys + ".part")
        for _, _, keyname, pub, _ in halves:
            put(os.path.join(keys + ".part", keyname), pub)
        os.replace(out + ".part", out)
        os.replace(keys + ".part", keys)
    finally:
        for d in (out, keys):
            shutil.rmtree(d + ".part", ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description="Packs a router build's programs.")
    p.add_argument("out")
    p.add_argument("version")
    p.add_argument("epoch", type=int)
    p.add_argument("programs", nargs="+")
    p.add_argument("--labels", nargs="+", required=True)
    p.add_argument("--feed", nargs=2, metavar=("FEED", "KEYS"))
    p.add_argument("--apk-key")
    p.add_argument("--opkg-key")
    a = p.parse_args()
    if (a.apk_key or a.opkg_key) and not a.feed:
        p.error("a key needs --feed FEED KEYS")
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or a.epoch)
    try:
        # A failed run leaves no feed, not even an earlier build's.
        for d in a.feed or []:
            shutil.rmtree(d, ignore_errors=True)
        halves = [(".apk", a.apk_key, *apk_key(a.apk_key), apkindex)] if a.apk_key else []
        halves += [(".ipk", a.opkg_key, *opkg_key(a.opkg_key), packages)] if a.opkg_key else []
        programs = {}
        for path in a.programs:
            with open(path, "rb") as f:
                programs[os.path.basename(path)] = f.read()
        size = sum(len(d) for d in programs.values())
        packed = {}
        for label in a.labels:
            folder = os.path.join(a.out, label)
            os.makedirs(folder, exist_ok=True)
            packed[label] = {
                f"{NAME}-{a.version}.apk": apk(programs, label, a.version, epoch, size),
                f"{NAME}_{a.version}_{label}.ipk": ipk(programs, label, a.version, epoch, size)}
            for name, raw in packed[label].items():
                put(os.path.join(folder, name), raw)
        if halves:
            feed(*a.feed, packed, halves, epoch)
    except OSError as e:
        sys.exit(f"pack: {e.filename}: {e.strerror}")


main()
