#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""A router build's packages, unpacked as the managers unpack them: each
holds the build's programs as `cmake --install --strip` leaves them, names
them as the label's package, and hashes them as apk checks; the programs
are the target's. The packer leaves no package when a program is missing.
  packages.py SOURCE-DIR BUILD-DIR ARCH LABEL..."""
import gzip, hashlib, io, os, subprocess, sys, tarfile, tempfile, zlib

top, build, arch, labels = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
version = "1.0-r1"
failed = []


def check(ok, what):
    if not ok:
        failed.append(what)
        print("packages: " + what, file=sys.stderr)


def fields(text, sep):
    return dict(l.split(sep, 1) for l in text.decode().splitlines())


def unpack(t, label, into, names):
    """Extracts tar t into into, checking its members' names and owners."""
    got = [m.name for m in t.getmembers()]
    check(got == names, f"{label}: members {got}")
    check(all(m.uid == m.gid == 0 for m in t.getmembers()), f"{label}: not owned by 0")
    t.extractall(into)


with tempfile.TemporaryDirectory() as tmp:
    subprocess.run(["cmake", "--install", build, "--prefix", tmp + "/inst", "--strip"],
                   check=True, stdout=subprocess.DEVNULL)
    programs = {n: open(f"{tmp}/inst/bin/{n}", "rb").read() for n in ("server", "tossgram")}
    size = str(sum(len(d) for d in programs.values()))
    want = {"name": "tossgram", "version": version, "arch": None, "depends": "libc",
            "license": "ISC", "size": size}
    for label in labels:
        want["arch"] = label
        folder = f"{build}/packages/{label}"
        # The .apk: a control tar without its end, then the data tar.
        raw = open(f"{folder}/tossgram-{version}.apk", "rb").read()
        z = zlib.decompressobj(31)
        control, data = z.decompress(raw), z.unused_data
        check(len(control) % 512 == 0 and control[-512:] != bytes(512), f"{label}: control tar's end")
        t = tarfile.open(fileobj=io.BytesIO(control + bytes(1024)))
        check(t.getnames() == [".PKGINFO"] and t.getmember(".PKGINFO").mode == 0o644,
              f"{label}: control {t.getnames()}")
        info = fields(t.extractfile(".PKGINFO").read(), " = ")
        got = dict(zip(want, (info.get(k) for k in
                              ("pkgname", "pkgver", "arch", "depend", "license", "size"))))
        check(got == want, f"{label}: .PKGINFO {info}")
        check(info.get("datahash") == hashlib.sha256(data).hexdigest(), f"{label}: datahash")
        t = tarfile.open(fileobj=io.BytesIO(gzip.decompress(data)))
        for m in t.getmembers():
            if m.isfile():
                sha1 = hashlib.sha1(t.extractfile(m).read()).hexdigest()
                check(m.pax_headers.get("APK-TOOLS.checksum.SHA1") == sha1, f"{label}: {m.name} SHA-1")
        unpack(t, label, f"{tmp}/{label}.apk", ["usr", "usr/bin", "usr/bin/server", "usr/bin/tossgram"])
        # The .ipk: a gzip'd tar of three members, in opkg's order.
        t = tarfile.open(f"{folder}/tossgram_{version}_{label}.ipk")
        check(t.getnames() == ["./debian-binary", "./data.tar.gz", "./control.tar.gz"],
              f"{label}: ipk {t.getnames()}")
        check(t.extractfile("./debian-binary").read() == b"2.0\n", f"{label}: debian-binary")
        c = tarfile.open(fileobj=t.extractfile("./control.tar.gz"))
        info = fields(c.extractfile("./control").read(), ": ")
        got = dict(zip(want, (info.get(k) for k in
                              ("Package", "Version", "Architecture", "Depends", "License",
                               "Installed-Size"))))
        check(got == want, f"{label}: control {info}")
        unpack(tarfile.open(fileobj=t.extractfile("./data.tar.gz")), label, f"{tmp}/{label}.ipk",
               [".", "./usr", "./usr/bin", "./usr/bin/server", "./usr/bin/tossgram"])
        for kind in ("apk", "ipk"):
            unpacked = [f"{tmp}/{label}.{kind}/usr/bin/{n}" for n in programs]
            for path, n in zip(unpacked, programs):
                check(open(path, "rb").read() == programs[n], f"{label}.{kind}: {n} is not the build's")
            check(subprocess.run(["sh", f"{top}/tests/target-binary.sh", arch] + unpacked,
                                 stdout=subprocess.DEVNULL).returncode == 0,
                  f"{label}.{kind}: not the target's programs")

    # A missing program: a message that names it, and no package.
    r = subprocess.run([sys.executable, f"{top}/tools/pack.py", f"{tmp}/out", version, "0",
                        f"{tmp}/inst/bin/tossgram", f"{tmp}/missing", "--labels", arch],
                       capture_output=True, text=True)
    check(r.returncode != 0 and f"{tmp}/missing: No such file" in r.stderr,
          f"missing program: status {r.returncode}, said {r.stderr!r}")
    left = [f for _, _, fs in os.walk(tmp + "/out") for f in fs]
    check(left == [], f"missing program: left {left}")

print(f"packages: {arch}: {' '.join(labels)}: " + ("FAILED" if failed else "ok"))
sys.exit(1 if failed else 0)
