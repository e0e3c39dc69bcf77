#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""A router build's packages, unpacked as the managers unpack them, hold
its programs as `cmake --install --strip` leaves them, under the label's
name, with the hashes apk checks; the packer leaves none when a program is
missing.  packages.py VERSION SOURCE-DIR BUILD-DIR ARCH LABEL..."""
import gzip, hashlib, io, subprocess, sys, tarfile, tempfile, zlib

version, top, build, arch, labels = *sys.argv[1:5], sys.argv[5:]
failed = []


def check(ok, what):
    if not ok:
        print("packages: " + what, file=sys.stderr)
        failed.append(what)


def fields(t, name, sep, keys):
    got = dict(l.split(sep, 1) for l in t.extractfile(name).read().decode().splitlines())
    return [got.get(k) for k in keys], got


def unpack(t, where, names):
    check([m.name for m in t] == names and all(m.uid == m.gid == 0 for m in t),
          f"{where}: {[(m.name, m.uid, m.gid) for m in t]}")
    t.extractall(f"{tmp}/{where}")
    for n, d in programs.items():
        check(open(f"{tmp}/{where}/usr/bin/{n}", "rb").read() == d, f"{where}: {n} differs")
    check(subprocess.run(["sh", f"{top}/tests/target-binary.sh", arch] +
                         [f"{tmp}/{where}/usr/bin/{n}" for n in programs],
                         stdout=subprocess.DEVNULL).returncode == 0, f"{where}: not {arch}'s")


with tempfile.TemporaryDirectory() as tmp:
    subprocess.run(["cmake", "--install", build, "--prefix", tmp, "--strip"],
                   check=True, stdout=subprocess.DEVNULL)
    programs = {n: open(f"{tmp}/bin/{n}", "rb").read() for n in ("server", "tossgram")}
    size = str(sum(map(len, programs.values())))
    for label in labels:
        want = ["tossgram", version, label, "libc", "ISC", size]
        raw = open(f"{build}/packages/{label}/tossgram-{version}.apk", "rb").read()
        z = zlib.decompressobj(31)
        control, data = z.decompress(raw), z.unused_data  # two gzip streams
        check(len(control) % 512 == 0 and control[-512:] != bytes(512), f"{label}.apk: control tar's end")
        t = tarfile.open(fileobj=io.BytesIO(control + bytes(1024)))
        got, info = fields(t, ".PKGINFO", " = ", ["pkgname", "pkgver", "arch", "depend", "license", "size"])
        check(got == want and t.getnames() == [".PKGINFO"], f"{label}.apk: {t.getnames()} {info}")
        check(info.get("datahash") == hashlib.sha256(data).hexdigest(), f"{label}.apk: datahash")
        t = tarfile.open(fileobj=io.BytesIO(gzip.decompress(data)))
        for m in filter(tarfile.TarInfo.isfile, t):
            check(m.pax_headers.get("APK-TOOLS.checksum.SHA1") ==
                  hashlib.sha1(t.extractfile(m).read()).hexdigest(), f"{label}.apk: {m.name} SHA-1")
        unpack(t, f"{label}.apk", ["usr", "usr/bin", "usr/bin/server", "usr/bin/tossgram"])

        t = tarfile.open(f"{build}/packages/{label}/tossgram_{version}_{label}.ipk")
        check(t.getnames() == ["./debian-binary", "./data.tar.gz", "./control.tar.gz"] and
              t.extractfile("./debian-binary").read() == b"2.0\n", f"{label}.ipk: {t.getnames()}")
        got, info = fields(tarfile.open(fileobj=t.extractfile("./control.tar.gz")), "./control", ": ",
                           ["Package", "Version", "Architecture", "Depends", "License", "Installed-Size"])
        check(got == want, f"{label}.ipk: {info}")
        unpack(tarfile.open(fileobj=t.extractfile("./data.tar.gz")), f"{label}.ipk",
               [".", "./usr", "./usr/bin", "./usr/bin/server", "./usr/bin/tossgram"])

    r = subprocess.run([sys.executable, f"{top}/tools/pack.py", f"{tmp}/out", version, "0",
                        f"{tmp}/bin/tossgram", f"{tmp}/none", "--labels", arch],
                       capture_output=True, text=True)
    check(r.returncode != 0 and f"{tmp}/none: No such file" in r.stderr and
          subprocess.run(["find", f"{tmp}/out", "-type", "f"], capture_output=True).stdout == b"",
          f"a missing program: status {r.returncode}, {r.stderr!r}")

print(f"packages: {arch}: {' '.join(labels)}: " + ("FAILED" if failed else "ok"))
sys.exit(1 if failed else 0)
