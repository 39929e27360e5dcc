"""Turns CPack's staged files into the release archive, byte for byte the same
for every build of one commit, and writes SHA256SUMS beside it.

The archive holds one folder named like the package. Its entries are sorted,
carry the commit's time (SOURCE_DATE_EPOCH when set, else the time of the
checked-out commit), owner 0 and fixed modes; nothing of the machine, the
folder or the hour of the build gets in. With a certificate the DLL is also
signed with osslsigncode and packed a second time as <package>-signed; a
signature holds the signing time, so only the unsigned files are reproducible.

Prints the path of every file it made, one a line.
"""

import argparse
import gzip
import hashlib
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile

# 1980-01-01, the earliest time a zip entry can hold: used outside a git checkout.
FALLBACK_EPOCH = 315532800


def source_date(source):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    commit = subprocess.run(["git", "-C", str(source), "log", "-1", "--format=%ct"],
                            capture_output=True, text=True)
    if commit.returncode == 0 and commit.stdout.strip():
        return int(commit.stdout.strip())
    print("no git commit: archive entries get the time 1980-01-01", file=sys.stderr)
    return FALLBACK_EPOCH


def entries(folder, name, library):
    """(archive path, bytes, mode) of every staged file, sorted by path."""
    files = sorted(p for p in folder.rglob("*") if p.is_file())
    return [(f"{name}/{p.relative_to(folder).as_posix()}", p.read_bytes(),
             0o755 if p.name == library else 0o644) for p in files]


def write_zip(path, members, epoch):
    stamp = time.gmtime(max(epoch, FALLBACK_EPOCH))[:6]
    with zipfile.ZipFile(path, "w") as archive:
        for name, data, mode in members:
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.create_system = 3
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)


def write_tgz(path, members, epoch):
    with open(path, "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=epoch, compresslevel=9) as gz, \
            tarfile.open(fileobj=gz, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        for name, data, mode in members:
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(data), mode, epoch
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            archive.addfile(info, io.BytesIO(data))


def sign(args, unsigned, signed):
    made = subprocess.run([args.osslsigncode, "sign", "-pkcs12", args.sign_pkcs12,
                           "-readpass", args.sign_password_file, "-h", "sha256",
                           "-n", "VORN Davida Client", "-in", str(unsigned), "-out", str(signed)],
                          capture_output=True, text=True)
    if made.returncode != 0:
        sys.exit(f"signing failed:\n{made.stdout}{made.stderr}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    for option in ("--stage", "--name", "--library", "--source", "--out"):
        parser.add_argument(option, required=True)
    parser.add_argument("--format", choices=("zip", "tgz"), required=True)
    parser.add_argument("--sign-pkcs12")
    parser.add_argument("--sign-password-file")
    parser.add_argument("--osslsigncode", default="osslsigncode")
    parser.add_argument("--also", action="append", default=[],
                        help="a package made beside the archive, listed in SHA256SUMS too")
    args = parser.parse_args()

    stage, out = pathlib.Path(args.stage), pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    epoch = source_date(args.source)
    write = write_zip if args.format == "zip" else write_tgz
    suffix = ".zip" if args.format == "zip" else ".tar.gz"

    packages = [(args.name, stage)]
    if args.sign_pkcs12:
        signed_stage = out / "signed-stage"
        shutil.copytree(stage, signed_stage)
        (signed_stage / args.library).unlink()
        sign(args, stage / args.library, signed_stage / args.library)
        packages.append((args.name + "-signed", signed_stage))

    sums, made = [], []
    for name, folder in packages:
        members = entries(folder, name, args.library)
        archive = out / (name + suffix)
        write(archive, members, epoch)
        made.append(archive)
        sums.append((archive.read_bytes(), archive.name))
        sums += [(data, path) for path, data, _ in members if path.endswith("/" + args.library)]
    sums += [(pathlib.Path(path).read_bytes(), pathlib.Path(path).name) for path in args.also]
    listing = out / "SHA256SUMS"
    listing.write_text("".join(f"{hashlib.sha256(data).hexdigest()}  {path}\n" for data, path in sums))
    for path in made + [listing]:
        print(path)


if __name__ == "__main__":
    main()
