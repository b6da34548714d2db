#!/usr/bin/python3
"""Makes altered copies of an Authenticode signature (DER, as osslsigncode
extract-signature writes it) for the source check's tests: each adds or changes
what no signature covers, or breaks what one does.

    alter-signature.py imprint SIGNATURE
        the SHA-256 of the signer's encrypted digest, in hex (what an RFC 3161
        time stamp of it stamps)
    alter-signature.py ACTION SIGNATURE OUT [ARGUMENT...]
        writes the altered signature to OUT; ACTION is one of:
    add-crl CRL              a CRL (DER) in the signed data
    stamp-crl CRL            a CRL (DER) in the RFC 3161 time stamp's signed data
    add-signer               the signer info once more
    add-stamp TOKEN          an RFC 3161 time stamp token (DER) as the signer's
                             unsigned attribute, as osslsigncode adds one
    countersign CERT KEY [DIGEST]
                             an Authenticode time stamp (countersignature) made
                             with CERT and KEY (PEM), dated 2000-01-01, its
                             certificate added to the set; it stamps the
                             SHA-256 of the signer's encrypted digest, or
                             DIGEST (hex)
    stamp-twice              the time stamp attribute once more
    stamp-unsigned           an unsigned attribute in the time stamp's signer
    damage-stamp             one byte of the time stamp's signature changed
    damage-self-signed       one byte of a self-signed certificate's signature
                             in the set changed
    version                  the signed data's version 2, not 1
    signer-version           the signer info's version 2, not 1
    digest-algorithms        SHA-512 listed beside the signer's digest algorithm
    digest-parameters        the signer's digest algorithm with parameters
    parameters               the signer's signature algorithm with parameters
"""

import base64
import hashlib
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import der  # noqa: E402 (found beside this script)

RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
BLOB = "1.3.6.1.4.1.42921.1.2.1"
SHA256 = der.encode(der.SEQUENCE, der.encode_oid("2.16.840.1.101.3.4.2.1") + b"\x05\x00")
SHA512 = der.encode(der.SEQUENCE, der.encode_oid("2.16.840.1.101.3.4.2.3") + b"\x05\x00")
RSA = der.encode(der.SEQUENCE, der.encode_oid("1.2.840.113549.1.1.1") + b"\x05\x00")


def rebuilt(element, path, change):
    """element's bytes with its descendant at path (child indices, negative
    from the end) replaced by change(descendant), every length above it set anew."""
    if not path:
        return change(element)
    children = element.children()
    parts = [child.raw for child in children]
    parts[path[0]] = rebuilt(children[path[0]], path[1:], change)
    return der.encode(element.tag, b"".join(parts))


def with_children(element, change):
    """element with its list of children's bytes passed through change."""
    return der.encode(element.tag, b"".join(change([child.raw for child in element.children()])))


def signed_data_fields(signature):
    return signature.children()[1].children()[0].children()


# Paths into a signature: its signed data's fields, the signer info.
SIGNED_DATA = [1, 0]
SIGNER = SIGNED_DATA + [-1, 0]


def signer_info(signature):
    return signed_data_fields(signature)[-1].children()[0]


def unsigned(signer):
    last = signer.children()[-1]
    return last if last.tag == 0xA1 else None


def encrypted_digest_index(signer):
    """Where the signer's encrypted digest is among its fields (from the end)."""
    return -2 if unsigned(signer) is not None else -1


def attribute(oid, value):
    return der.encode(der.SEQUENCE, der.encode_oid(oid) + der.encode(der.SET, value))


def add_unsigned(signature, raw_attribute):
    def change(element):
        if unsigned(element) is None:
            return with_children(element, lambda parts: parts + [der.encode(0xA1, raw_attribute)])
        return rebuilt(element, [-1], lambda block: with_children(block, lambda parts: parts + [raw_attribute]))

    return rebuilt(signature, SIGNER, change)


def stamp_path(signature):
    """The path to the time stamp's signer info, and whether it is an RFC 3161 token."""
    block = unsigned(signer_info(signature))
    for index, found in enumerate(block.children()):
        oid = der.oid_text(found.children()[0])
        if oid == RFC3161_TIME_STAMP:
            # attribute, its values, the token; the token's signed data; its signer.
            return SIGNER + [-1, index, 1, 0, 1, 0, -1, 0]
        if oid == COUNTERSIGNATURE:
            return SIGNER + [-1, index, 1, 0]
    raise SystemExit("no time stamp in the signature")


def pem_der(path):
    with open(path) as source:
        text = source.read()
    body = text.split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    return base64.b64decode(body)


def countersign(signature, cert_path, key_path, stamped=None):
    certificate = pem_der(cert_path)
    tbs = der.read(certificate).children()[0].children()
    tbs = tbs[1:] if tbs[0].tag == 0xA0 else tbs
    issuer_serial = der.encode(der.SEQUENCE, tbs[2].raw + tbs[0].raw)
    signer = signer_info(signature)
    digest = hashlib.sha256(signer.children()[encrypted_digest_index(signer)].content).digest()
    if stamped is not None:
        digest = bytes.fromhex(stamped)
    attributes = sorted([
        attribute("1.2.840.113549.1.9.3", der.encode_oid("1.2.840.113549.1.7.1")),
        attribute("1.2.840.113549.1.9.5", der.encode(der.UTC_TIME, b"000101000000Z")),
        attribute("1.2.840.113549.1.9.4", der.encode(der.OCTET_STRING, digest)),
    ])
    with tempfile.TemporaryDirectory() as work:
        signed = os.path.join(work, "attributes")
        with open(signed, "wb") as out:
            out.write(der.encode(der.SET, b"".join(attributes)))
        value = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key_path, signed],
                               capture_output=True, check=True, timeout=60).stdout
    stamp = der.encode(der.SEQUENCE, b"\x02\x01\x01" + issuer_serial + SHA256
                       + der.encode(0xA0, b"".join(attributes)) + RSA + der.encode(der.OCTET_STRING, value))
    signature = der.read(add_unsigned(signature, attribute(COUNTERSIGNATURE, stamp)))
    return rebuilt(signature, SIGNED_DATA + [3], lambda certs: with_children(certs, lambda parts: parts + [certificate]))


def flip_in(element):
    """element with one byte halfway into its content changed."""
    raw = bytearray(element.raw)
    raw[element.content_start - element.start + len(element.content) // 2] ^= 0x01
    return bytes(raw)


def damage_self_signed(signature):
    certificates = signed_data_fields(signature)[3]
    for index, certificate in enumerate(certificates.children()):
        tbs = certificate.children()[0].children()
        tbs = tbs[1:] if tbs[0].tag == 0xA0 else tbs
        if tbs[2].raw == tbs[4].raw:
            return rebuilt(signature, SIGNED_DATA + [3, index, 2], flip_in)
    raise SystemExit("no self-signed certificate in the signature")


def with_parameters(algorithm):
    """An AlgorithmIdentifier like algorithm, with chosen bytes as its parameters."""
    oid = der.read(algorithm.raw).children()[0].raw
    return der.encode(der.SEQUENCE, oid + der.encode(der.OCTET_STRING, b"chosen bytes"))


def alter(action, signature, arguments):
    if action in ("add-crl", "stamp-crl"):
        with open(arguments[0], "rb") as source:
            crl = source.read()
        # The signed data's fields (the token's: the path to its signer, less the
        # signer infos and the signer); right after the certificate set.
        path = SIGNED_DATA if action == "add-crl" else stamp_path(signature)[:-2]
        return rebuilt(signature, path, lambda data: with_children(
            data, lambda parts: parts[:-1] + [der.encode(0xA1, crl)] + parts[-1:]))
    if action == "add-signer":
        return rebuilt(signature, SIGNED_DATA + [-1], lambda signers: with_children(
            signers, lambda parts: parts + parts))
    if action == "add-stamp":
        with open(arguments[0], "rb") as source:
            token = source.read()
        return add_unsigned(signature, attribute(RFC3161_TIME_STAMP, token))
    if action == "countersign":
        return countersign(signature, *arguments[:3])
    if action == "stamp-twice":
        return rebuilt(signature, SIGNER + [-1], lambda block: with_children(block, lambda parts: parts + parts))
    if action == "stamp-unsigned":
        blob = attribute(BLOB, der.encode(0x0C, b"chosen bytes, signed by no one"))
        return rebuilt(signature, stamp_path(signature), lambda stamper: with_children(
            stamper, lambda parts: parts + [der.encode(0xA1, blob)]))
    if action == "damage-stamp":
        path = stamp_path(signature)
        stamper = der.read(signature.raw)
        for index in path:
            stamper = stamper.children()[index]
        return rebuilt(signature, path + [encrypted_digest_index(stamper)], flip_in)
    if action == "damage-self-signed":
        return damage_self_signed(signature)
    if action == "version":
        return rebuilt(signature, SIGNED_DATA + [0], lambda _: b"\x02\x01\x02")
    if action == "signer-version":
        return rebuilt(signature, SIGNER + [0], lambda _: b"\x02\x01\x02")
    if action == "digest-parameters":
        return rebuilt(signature, SIGNER + [2], with_parameters)
    if action == "digest-algorithms":
        return rebuilt(signature, SIGNED_DATA + [1], lambda algorithms: with_children(
            algorithms, lambda parts: parts + [SHA512]))
    if action == "parameters":
        # The signature algorithm: the field before the encrypted digest.
        at = encrypted_digest_index(signer_info(signature)) - 1
        return rebuilt(signature, SIGNER + [at], with_parameters)
    raise SystemExit("unknown action: %s" % action)


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "imprint":
        with open(sys.argv[2], "rb") as source:
            signer = signer_info(der.read(source.read()))
        encrypted = signer.children()[encrypted_digest_index(signer)]
        print(hashlib.sha256(encrypted.expect(der.OCTET_STRING, "the encrypted digest").content).hexdigest())
        return 0
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    action, source_path, out_path = sys.argv[1:4]
    with open(source_path, "rb") as source:
        signature = der.read(source.read())
    altered = alter(action, signature, sys.argv[4:])
    der.read(altered)
    with open(out_path, "wb") as out:
        out.write(altered)
    return 0


if __name__ == "__main__":
    sys.exit(main())
