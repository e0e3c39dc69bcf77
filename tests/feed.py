#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Feeds as apk and opkg read them, one from throwaway keys, and the build's own (HALVES:
apk,opkg or none); a bad key leaves none.  feed.py VERSION SOURCE BUILD HALVES LABEL..."""
import base64, gzip, hashlib, io, os, subprocess, sys, tarfile, tempfile, zlib

version, top, build, halves, labels = *sys.argv[1:4], sys.argv[4].split(","), sys.argv[5:]
failed = []
# apk 3.0.6's `apk index` over "tossgram\n" and "server\n", packed at 1.0-r1
KNOWN = """C:Q13xPxKNrEaaxJEU9rbB709hxlYO8=\nP:tossgram\nV:1.0-r1\nA:mips_24kc\nS:604\nI:16
T:Send one UDP datagram from a chosen port, and print those that come\nU:\nL:ISC\nt:1796774400
D:libc\n\n"""

def check(ok, what):
    if not ok:
        print("feed: " + what, file=sys.stderr)
        failed.append(what)

def run(*cmd, data=None):
    return subprocess.run(cmd, input=data, capture_output=True, cwd=work).returncode == 0

def read(path, member=None):
    data = open(path, "rb").read() if isinstance(path, str) else path
    return tarfile.open(fileobj=io.BytesIO(data)).extractfile(member).read() if member else data

def streams(raw):
    z = zlib.decompressobj(31)  # the first gzip stream unpacked, those after it, its bytes
    return z.decompress(raw), z.unused_data, raw[: len(raw) - len(z.unused_data)]

def check_feed(feed, keys, labels, v, halves):
    pub = {read(f"{keys}/{n}")[:1]: n for n in os.listdir(keys)}  # "-----BEGIN", "untrusted"
    for label in labels:
        d, apk, ipk = f"{feed}/{label}", f"tossgram-{v}.apk", f"tossgram_{v}_{label}.ipk"
        want = {apk, "APKINDEX.tar.gz"} if "apk" in halves else set()
        want |= {ipk, "Packages", "Packages.gz", "Packages.sig"} if "opkg" in halves else set()
        check(set(os.listdir(d)) == want, f"{d}: {sorted(os.listdir(d))}")
        if "apk" in halves:
            sig, index, _ = streams(read(f"{d}/APKINDEX.tar.gz"))
            open(f"{work}/sig", "wb").write(sig[512:512 + int(sig[124:135], 8)])  # one member
            check(len(sig) == 1024 and sig.startswith(f".SIGN.RSA256.{pub[b'-']}\0".encode())
                  and run("openssl", "dgst", "-sha256", "-verify", f"{keys}/{pub[b'-']}",
                          "-signature", "sig", data=index), f"{d}: {len(sig)} bytes: {sig[:100]}")
            control, _, head = streams(read(f"{d}/{apk}"))
            want = dict(C="Q1" + base64.b64encode(hashlib.sha1(head).digest()).decode(),
                        S=str(os.path.getsize(f"{d}/{apk}")), P="tossgram", V=v, A=label,
                        D=read(control, ".PKGINFO").decode().split("depend = ")[1].split("\n")[0])
            got = [dict(l.split(":", 1) for l in e.split("\n")) for e in
                   read(gzip.decompress(index), "APKINDEX").decode().split("\n\n")[:-1]]
            check([{k: e.get(k) for k in want} for e in got] == [want], f"{d}: {got} for {want}")
        if "opkg" in halves:
            text, b = read(f"{d}/Packages"), read(f"{d}/{ipk}")
            check(gzip.decompress(read(f"{d}/Packages.gz")) == text and (64 + len(text)) % 128
                  not in (110, 111) and run("signify-openbsd", "-Vqp", f"{keys}/{pub[b'u']}",
                  "-m", f"{d}/Packages", "-x", f"{d}/Packages.sig"), f"{d}: {len(text)} bytes")
            want = read(read(b, "./control.tar.gz"), "./control").decode().splitlines() + [
                "Filename: " + ipk, f"Size: {len(b)}", "SHA256sum: " + hashlib.sha256(b).hexdigest()]
            got = [e.strip("\n").split("\n") for e in text.decode().split("\n\n") if e.strip()]
            check([sorted(e) for e in got] == [sorted(want)], f"{d}: {got} for {want}")

# Private keys under the build folder: in /tmp a killed run would leave them.
with tempfile.TemporaryDirectory(dir=build) as work:
    for n in ("tossgram", "server"):
        open(f"{work}/{n}", "w").write(n + "\n")
    for cmd in ["openssl genrsa -out t.rsa 2048", "signify-openbsd -G -n -p t.pub -s t.sec",
                "openssl pkey -in t.rsa -aes128 -passout pass:x -out p.rsa",
                "openssl ecparam -genkey -name prime256v1 -out ec.rsa"]:
        check(run(*cmd.split()), cmd)
    head, k, _ = read(f"{work}/t.sec").split(b"\n")
    k = base64.b64decode(k)  # kdfrounds 16: signify would ask for a passphrase
    open(f"{work}/p.sec", "wb").write(head + b"\n%s\n" % base64.b64encode(k[:7] + b"\20" + k[8:]))
    # Labels of every length over 128 bytes of Packages: one takes OpenWrt's padding.
    dummies = ["mips_24kc"] + ["x" * n for n in range(1, 65)]
    pack = ["env", "SOURCE_DATE_EPOCH=1796774400", sys.executable, f"{top}/tools/pack.py", "out",
            "1.0-r1", "1796774400", "tossgram", "server", "--feed", "feed", "keys",
            "--apk-key", "t.rsa", "--opkg-key", "t.sec", "--labels"]
    check(subprocess.run(pack + dummies, cwd=work).returncode == 0, "pack failed")
    index = gzip.decompress(streams(read(f"{work}/feed/mips_24kc/APKINDEX.tar.gz"))[1])
    check(read(index, "APKINDEX").decode() == KNOWN, "not apk's own index entry")
    check(any(read(f"{work}/feed/{l}/Packages")[-3:] == b"\n" * 3 for l in dummies), "none padded")
    check_feed(f"{work}/feed", f"{work}/keys", dummies, "1.0-r1", ["apk", "opkg"])
    for bad, says in [("--apk-key none.rsa", "No such file"), ("--apk-key ec.rsa", "RSA key"),
                      ("--apk-key p.rsa", "a passphrase"), ("--opkg-key p.sec", "a passphrase")]:
        r = subprocess.run(pack + ["x", *bad.split()], cwd=work, capture_output=True, text=True)
        check(r.returncode != 0 and f"pack: {bad.split()[1]}: " in r.stderr and says in r.stderr and
              {"feed", "keys"}.isdisjoint(os.listdir(work)), f"{bad}: {r.returncode}, {r.stderr!r}")
    if halves != ["none"]:
        check_feed(f"{build}/feed", f"{build}/feed-keys", labels, version, halves)

print(f"feed: {' '.join(labels)}: " + ("FAILED" if failed else "ok"))
sys.exit(1 if failed else 0)
