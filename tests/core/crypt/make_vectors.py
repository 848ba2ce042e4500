#!/usr/bin/env python3
"""Writes security_handler_vectors.inc: files encrypted by qpdf, reduced to
what the security handler reads (the /Encrypt dictionary, the first /ID
string) and three encrypted objects with known plain text (the /Info
dictionary, the page content stream, the metadata stream).

The tests then need no qpdf at run time. Run by hand when a case is added:
    python3 tests/core/crypt/make_vectors.py
"""

from __future__ import annotations

import re
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

TITLE = rb"Secret title \(with parens\)"
CONTENT = b"BT /F1 12 Tf 10 10 Td (Hello, encrypted world) Tj ET"
META = b"<?xpacket begin=''?><x:xmpmeta xmlns:x='adobe:ns:meta/'/><?xpacket end='w'?>"
FILE_ID = b"0123456789ABCDEF0123456789ABCDEF"

# name, user password, owner password, qpdf key length and options
CASES = [
    ("rc4_40_r2", "usr", "own", ["40"]),
    ("rc4_40_r2_empty_user", "", "own", ["40"]),
    ("rc4_128_r3", "usr", "own", ["128", "--use-aes=n"]),
    ("rc4_128_r3_latin_password", "pässwörd", "own", ["128", "--use-aes=n"]),
    ("rc4_128_r4", "usr", "own", ["128", "--use-aes=n", "--force-V4"]),
    ("aes_128_r4", "usr", "own", ["128", "--use-aes=y"]),
    ("aes_128_r4_clear_metadata", "usr", "own", ["128", "--use-aes=y", "--cleartext-metadata"]),
    ("aes_256_r5", "usr", "own", ["256", "--force-R5"]),
    ("aes_256_r6", "usr", "own", ["256"]),
    ("aes_256_r6_utf8_password", "pässwörd€", "own", ["256"]),
    ("aes_256_r6_clear_metadata", "usr", "own", ["256", "--cleartext-metadata"]),
]


def base_pdf() -> bytes:
    bodies = [
        b"<< /Type /Catalog /Pages 2 0 R /Metadata 6 0 R >>",
        b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>",
        b"<< /Length %d >>\nstream\n" % len(CONTENT) + CONTENT + b"\nendstream",
        b"<< /Title (" + TITLE + b") /Author <48656C6C6F> >>",
        b"<< /Type /Metadata /Subtype /XML /Length %d >>\nstream\n" % len(META)
        + META + b"\nendstream",
    ]
    out = bytearray(b"%PDF-1.7\n")
    offsets = []
    for num, body in enumerate(bodies, 1):
        offsets.append(len(out))
        out += b"%d 0 obj\n" % num + body + b"\nendobj\n"
    xref = len(out)
    out += b"xref\n0 7\n0000000000 65535 f \n"
    out += b"".join(b"%010d 00000 n \n" % o for o in offsets)
    out += (b"trailer\n<< /Size 7 /Root 1 0 R /Info 5 0 R /ID [<%s><%s>] >>\nstartxref\n%d\n%%%%EOF\n"
            % (FILE_ID, FILE_ID, xref))
    return bytes(out)


def objects(pdf: bytes) -> dict[int, bytes]:
    found = {}
    for m in re.finditer(rb"(?m)^(\d+) 0 obj\n(.*?)\nendobj", pdf, re.S):
        found[int(m.group(1))] = m.group(2)
    return found


def split_stream(body: bytes) -> tuple[bytes, bytes]:
    head, _, rest = body.partition(b"\nstream\n")
    return head, rest[: rest.rindex(b"endstream")].removesuffix(b"\n")


def c_hex(data: bytes) -> str:
    return '"' + data.hex() + '"'


def main() -> None:
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        src = Path(tmp) / "base.pdf"
        src.write_bytes(base_pdf())
        for name, user, owner, options in CASES:
            dst = Path(tmp) / f"{name}.pdf"
            subprocess.run(
                ["qpdf", "--allow-weak-crypto", "--encrypt", user, owner, *options, "--",
                 "--object-streams=disable", "--stream-data=uncompress", str(src), str(dst)],
                check=True)
            pdf = dst.read_bytes()
            objs = objects(pdf)
            trailer = pdf[pdf.rindex(b"trailer"):]
            encrypt = int(re.search(rb"/Encrypt (\d+) 0 R", trailer).group(1))
            info = int(re.search(rb"/Info (\d+) 0 R", trailer).group(1))
            file_id = bytes.fromhex(re.search(rb"/ID \[ ?<([0-9a-fA-F]+)>", trailer)
                                    .group(1).decode())
            meta = next(n for n, b in objs.items() if b"/Type /Metadata" in b)
            content = next(n for n, b in objs.items()
                           if b"stream\n" in b and n != meta and b"/Type" not in b.split(b"stream")[0])
            content_dict, content_body = split_stream(objs[content])
            meta_dict, meta_body = split_stream(objs[meta])
            rows.append(
                f'{{"{name}", {c_hex(user.encode())}, {c_hex(owner.encode())},\n'
                f" {c_hex(objs[encrypt])},\n {c_hex(file_id)},\n"
                f" {info}, {c_hex(objs[info])},\n"
                f" {content}, {c_hex(content_dict)}, {c_hex(content_body)},\n"
                f" {meta}, {c_hex(meta_dict)}, {c_hex(meta_body)}}},")
    text = ("// Written by tests/core/crypt/make_vectors.py from files qpdf encrypted.\n"
            "// Every field but the name and the object numbers is hex.\n"
            "// clang-format off\n" + "\n".join(rows) + "\n// clang-format on\n")
    (HERE / "security_handler_vectors.inc").write_text(text)


if __name__ == "__main__":
    main()
