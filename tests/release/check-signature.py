#!/usr/bin/python3
"""Tells whether an Authenticode signature holds only what a release signature
holds, and whether its maths holds. Run by check-source.sh.

    check-signature.py SIGNATURE

SIGNATURE is the signature as osslsigncode extract-signature writes it (PKCS#7
SignedData, DER). No byte of it may be one that no signature covers and that
the release does not put there, since such bytes survive extracting and
attaching the signature. So it must hold:
  - one signer, whose signature over its signed attributes verifies with the
    public key of its certificate (which it carries), and those attributes'
    digest of the SpcIndirectDataContent they sign;
  - in its certificate set, the signer's certificate and those that chain it
    (each the issuer of the one below by name, its key verifying that one's
    signature; a self-signed one at the top verifying its own), each once;
    with an Authenticode time stamp, also the time stamp signer's chain;
  - no CRLs;
  - among the signer's unsigned attributes, at most one, holding one time stamp:
    an RFC 3161 token, held to these same rules (one signer, its chain only,
    no CRLs, no unsigned attributes), or an Authenticode countersignature with
    no unsigned attributes. Its signature must verify and it must stamp the
    digest of the signer's encrypted digest;
  - version numbers and algorithm identifiers as the release writes them: no
    other values, no parameters but NULL, one digest algorithm, the signer's.
Whom the certificates are from is not judged: they are printed, with the time
stamp's time.
Exit status: 0 it holds (what it found on standard output), 1 it does not (why,
in one line on standard error), 2 it could not be checked (openssl failed to run).
"""

import base64
import hashlib
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import der  # noqa: E402 (found beside this script)

SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
KNOWN_UNSIGNED = {
    "1.3.6.1.4.1.311.2.4.1": "a nested second signature",
    "1.3.6.1.4.1.42921.1.2.1": "an unauthenticated data blob",
}
DIGESTS = {
    "1.3.14.3.2.26": "sha1",
    "2.16.840.1.101.3.4.2.1": "sha256",
    "2.16.840.1.101.3.4.2.2": "sha384",
    "2.16.840.1.101.3.4.2.3": "sha512",
}
SIGNATURE_ALGORITHMS = {
    "1.2.840.113549.1.1.1",  # rsaEncryption
    "1.2.840.113549.1.1.5",  # sha1WithRSAEncryption
    "1.2.840.113549.1.1.11",  # sha256WithRSAEncryption
    "1.2.840.113549.1.1.12",  # sha384WithRSAEncryption
    "1.2.840.113549.1.1.13",  # sha512WithRSAEncryption
    "1.2.840.10045.4.3.2",  # ecdsa-with-SHA256
    "1.2.840.10045.4.3.3",  # ecdsa-with-SHA384
    "1.2.840.10045.4.3.4",  # ecdsa-with-SHA512
}
NULL = b"\x05\x00"


class Refused(Exception):
    """The signature is not one a release holds: why."""


class Unable(Exception):
    """The check could not run."""


def run(args, data=None):
    try:
        return subprocess.run(args, input=data, capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise Unable("%s: %s" % (" ".join(args[:2]), error))


def first_error(done):
    """openssl's first error, without its thread and code."""
    lines = (done.stderr + done.stdout).decode(errors="replace").splitlines()
    lines = [line for line in lines if "error" in line.lower()] or lines
    if not lines:
        return "exit status %d" % done.returncode
    parts = lines[0].strip().split(":")
    # thread:error:code:library:function:reason:file:line:
    if len(parts) >= 6 and parts[1] == "error":
        return ": ".join(parts[3:6])
    return lines[0].strip()


def pem(certificate):
    body = base64.encodebytes(certificate).decode()
    return "-----BEGIN CERTIFICATE-----\n%s-----END CERTIFICATE-----\n" % body


class Certificate:
    """An X.509 certificate of a certificate set: its issuer, serial and subject."""

    def __init__(self, element, work):
        self.raw = element.expect(der.SEQUENCE, "a certificate").raw
        tbs = element.children()[0].expect(der.SEQUENCE, "a certificate's body").children()
        if tbs and tbs[0].tag == 0xA0:
            tbs = tbs[1:]
        if len(tbs) < 6:
            raise der.Malformed("a certificate body with %d fields" % len(tbs))
        self.serial = tbs[0].expect(der.INTEGER, "a certificate's serial").raw
        self.issuer = tbs[2].expect(der.SEQUENCE, "a certificate's issuer").raw
        self.subject = tbs[4].expect(der.SEQUENCE, "a certificate's subject").raw
        self.file = os.path.join(work, "certificate-%s.pem" % hashlib.sha256(self.raw).hexdigest())
        with open(self.file, "w") as out:
            out.write(pem(self.raw))
        self._names = None

    def names(self):
        """Its subject and issuer as openssl writes them (RFC 2253)."""
        if self._names is None:
            done = run(["openssl", "x509", "-noout", "-subject", "-issuer", "-nameopt", "RFC2253",
                        "-in", self.file])
            if done.returncode != 0:
                raise Refused("carries a certificate that openssl cannot read (%s)" % first_error(done))
            found = dict(line.split("=", 1) for line in done.stdout.decode(errors="replace").splitlines()
                         if "=" in line)
            self._names = (found.get("subject", "?"), found.get("issuer", "?"))
        return self._names

    def verifies(self, issuer, self_signature=False):
        """'' when issuer's key verifies this certificate's signature as a CA's
        (openssl verify, no times, issuer trusted), else openssl's error."""
        args = ["openssl", "verify", "-no_check_time", "-partial_chain", "-CAfile", issuer.file]
        if self_signature:
            args.append("-check_ss_sig")
        done = run(args + [self.file])
        return "" if done.returncode == 0 else first_error(done)


def algorithm(element, allowed, what):
    """The OID of an AlgorithmIdentifier written as the release writes one."""
    parts = element.expect(der.SEQUENCE, what).children()
    oid = der.oid_text(parts[0]) if parts and parts[0].tag == der.OID else "?"
    if oid not in allowed or [part.raw for part in parts[1:]] not in ([], [NULL]):
        raise Refused("has the %s written as %s, which a release does not write"
                      % (what, element.raw.hex()))
    return oid


def version(element, wanted, what):
    if element.expect(der.INTEGER, "the version of " + what).content != bytes([wanted]):
        raise Refused("has version %d in %s, where a release has %d"
                      % (int.from_bytes(element.content, "big", signed=True), what, wanted))


def attributes(element):
    """(OID, values, attribute) of each attribute of a [0] or [1] attribute set."""
    found = []
    for attribute in element.children():
        parts = attribute.expect(der.SEQUENCE, "an attribute").children()
        if len(parts) != 2:
            raise der.Malformed("an attribute of %d parts" % len(parts))
        found.append((der.oid_text(parts[0]), parts[1].expect(der.SET, "attribute values").children(),
                      attribute))
    return found


class Signer:
    """A SignerInfo (or an Authenticode countersignature, which has its form)."""

    def __init__(self, element, what):
        self.what = what
        fields = element.expect(der.SEQUENCE, what).children()
        if len(fields) < 5:
            raise der.Malformed("%s of %d fields" % (what, len(fields)))
        version(fields[0], 1, what)
        sid = fields[1].expect(der.SEQUENCE, "the certificate that %s names" % what).children()
        if len(sid) != 2:
            raise der.Malformed("%s names its certificate in %d parts" % (what, len(sid)))
        self.issuer = sid[0].expect(der.SEQUENCE, "an issuer").raw
        self.serial = sid[1].expect(der.INTEGER, "a serial").raw
        self.digest_algorithm = fields[2]
        self.digest = DIGESTS[algorithm(fields[2], DIGESTS, "digest algorithm of " + what)]
        rest = fields[3:]
        self.signed = rest.pop(0) if rest[0].tag == 0xA0 else None
        if len(rest) < 2:
            raise der.Malformed("%s without its signature" % what)
        algorithm(rest[0], SIGNATURE_ALGORITHMS, "signature algorithm of " + what)
        self.signature = rest[1].expect(der.OCTET_STRING, "the signature of " + what).content
        unsigned = rest[2:]
        if len(unsigned) > 1 or (unsigned and unsigned[0].tag != 0xA1):
            raise der.Malformed("%s with %d fields after its signature" % (what, len(unsigned)))
        self.unsigned = attributes(unsigned[0]) if unsigned else []

    def signed_attribute(self, oid):
        values = [values for found, values, _ in attributes(self.signed) if found == oid] if self.signed else []
        if len(values) != 1 or len(values[0]) != 1:
            return None
        return values[0][0]

    def certificate(self, certificates):
        for index, certificate in enumerate(certificates):
            if certificate.issuer == self.issuer and certificate.serial == self.serial:
                return index
        raise Refused("does not carry the certificate of %s" % self.what)

    def no_unsigned_attributes(self):
        if self.unsigned:
            raise Refused("has unsigned attributes in %s (%s), which no signature covers"
                          % (self.what, ", ".join(describe(oid, values) for oid, values, _ in self.unsigned)))


def describe(oid, values):
    size = sum(len(value.raw) for value in values)
    return "%s of %d bytes (%s)" % (KNOWN_UNSIGNED.get(oid, "an attribute"), size, oid)


class SignedData:
    def __init__(self, element, what, work):
        self.what = what
        top = element.expect(der.SEQUENCE, what).children()
        if len(top) != 2 or der.oid_text(top[0]) != SIGNED_DATA or top[1].tag != 0xA0:
            raise der.Malformed("%s is not PKCS#7 signed data" % what)
        inner = top[1].children()
        if len(inner) != 1:
            raise der.Malformed("%s holds %d elements" % (what, len(inner)))
        fields = inner[0].expect(der.SEQUENCE, what).children()
        if len(fields) < 4:
            raise der.Malformed("%s of %d fields" % (what, len(fields)))
        self.version = fields[0]
        self.digest_algorithms = fields[1].expect(der.SET, "the digest algorithms of " + what)
        content = fields[2].expect(der.SEQUENCE, "the content of " + what).children()
        self.content_type = der.oid_text(content[0])
        if len(content) != 2 or content[1].tag != 0xA0 or len(content[1].children()) != 1:
            raise der.Malformed("%s without its content" % what)
        self.content = content[1].children()[0]
        rest = fields[3:]
        certificates = rest.pop(0).children() if rest and rest[0].tag == 0xA0 else []
        self.crls = rest.pop(0).children() if rest and rest[0].tag == 0xA1 else None
        if len(rest) != 1:
            raise der.Malformed("%s with %d fields after its certificates" % (what, len(rest)))
        self.certificates = [Certificate(entry, work) for entry in certificates]
        self.signers = [Signer(entry, "the signer of " + what)
                        for entry in rest[0].expect(der.SET, "the signers of " + what).children()]

    def check_form(self, wanted_version):
        """One signer, no CRLs, the fixed fields as the release writes them."""
        if len(self.signers) != 1:
            raise Refused("has %d signers in %s, where a release has one" % (len(self.signers), self.what))
        if self.crls is not None:
            count = len(self.crls)
            raise Refused("carries %s in %s, where a release carries none"
                          % ("a certificate revocation list (CRL)" if count == 1 else
                             "%d certificate revocation lists (CRLs)" % count, self.what))
        version(self.version, wanted_version, self.what)
        if self.digest_algorithms.content != self.signers[0].digest_algorithm.raw:
            raise Refused("lists the digest algorithms %s in %s, where a release lists its signer's "
                          "alone" % (self.digest_algorithms.content.hex(), self.what))
        return self.signers[0]

    def chain(self, start):
        """start's certificate and those above it in the set, in order."""
        order = [start]
        while True:
            child = self.certificates[order[-1]]
            if child.issuer == child.subject:
                problem = child.verifies(child, self_signature=True)
                if problem:
                    raise Refused("carries a self-signed certificate in %s whose own signature does not "
                                  "verify (%s): %s" % (self.what, problem, child.names()[0]))
                return order
            named = [index for index, certificate in enumerate(self.certificates)
                     if certificate.subject == child.issuer and index not in order]
            if not named:
                return order
            problems = [child.verifies(self.certificates[index]) for index in named]
            if all(problems):
                raise Refused("carries a certificate in %s named as the issuer of %s that openssl does "
                              "not take as its issuer (%s): %s" % (self.what, child.names()[0], problems[0],
                                                                    self.certificates[named[0]].names()[0]))
            order.append(named[problems.index("")])

    def only_chains(self, starts):
        """Fails unless every certificate of the set is in the chain of one of starts."""
        chained = set()
        for start in starts:
            chained.update(self.chain(start))
        for index, certificate in enumerate(self.certificates):
            if index in chained:
                continue
            subject, issuer = certificate.names()
            if any(self.certificates[other].raw == certificate.raw for other in chained):
                raise Refused("carries the certificate of %s twice in %s" % (subject, self.what))
            raise Refused("carries a certificate in %s beside its signer's chain: %s, issued by %s"
                          % (self.what, subject, issuer))


def write(work, name, data):
    path = os.path.join(work, name)
    with open(path, "wb") as out:
        out.write(data)
    return path


def text_time(element):
    """A UTCTime or GeneralizedTime as YYYY-MM-DD HH:MM:SS UTC."""
    text = element.content.decode("ascii", errors="replace")
    if element.tag == der.UTC_TIME:
        text = ("19" if int(text[:2]) >= 50 else "20") + text
    if not text.endswith("Z") or len(text) < 15:
        return text
    return "%s-%s-%s %s:%s:%s%s UTC" % (text[0:4], text[4:6], text[6:8], text[8:10], text[10:12],
                                         text[12:14], text[14:-1])


def check_rfc3161(token, signer, work):
    """An RFC 3161 time stamp token of the signer's encrypted digest: (time, its signer)."""
    stamp = SignedData(token, "its RFC 3161 time stamp", work)
    if stamp.content_type != TST_INFO:
        raise der.Malformed("a time stamp holding %s, not a TSTInfo" % stamp.content_type)
    stamper = stamp.check_form(3)
    stamper.no_unsigned_attributes()
    stamp.only_chains([stamper.certificate(stamp.certificates)])
    done = run(["openssl", "cms", "-verify", "-noverify", "-binary", "-inform", "DER",
                "-in", write(work, "token.der", token.raw), "-out", os.devnull])
    if done.returncode != 0:
        raise Refused("has an RFC 3161 time stamp whose signature does not verify (%s)" % first_error(done))
    info = der.read(stamp.content.expect(der.OCTET_STRING, "a TSTInfo").content).children()
    imprint = info[2].expect(der.SEQUENCE, "a message imprint").children()
    digest = DIGESTS[algorithm(imprint[0], DIGESTS, "digest algorithm of its RFC 3161 time stamp's imprint")]
    stamped = imprint[1].expect(der.OCTET_STRING, "a message imprint").content
    expected = hashlib.new(digest, signer.signature).digest()
    if stamped != expected:
        raise Refused("has an RFC 3161 time stamp of something else: it stamps %s %s, the %s of its "
                      "signer's encrypted digest is %s" % (digest, stamped.hex(), digest, expected.hex()))
    time = text_time(info[4].expect(der.GENERALIZED_TIME, "a time stamp's time"))
    return time, stamp.certificates[stamper.certificate(stamp.certificates)], "RFC 3161"


def check_countersignature(value, signature, signer, work):
    """An Authenticode countersignature of the signer's encrypted digest: (time, its signer)."""
    stamper = Signer(value, "its Authenticode time stamp")
    stamper.no_unsigned_attributes()
    certificate = signature.certificates[stamper.certificate(signature.certificates)]
    stamped = stamper.signed_attribute(MESSAGE_DIGEST)
    if stamped is None:
        raise der.Malformed("an Authenticode time stamp without one message digest")
    expected = hashlib.new(stamper.digest, signer.signature).digest()
    if stamped.expect(der.OCTET_STRING, "a message digest").content != expected:
        raise Refused("has an Authenticode time stamp of something else: it stamps %s %s, the %s of its "
                      "signer's encrypted digest is %s" % (stamper.digest, stamped.content.hex(), stamper.digest,
                                                           expected.hex()))
    key = run(["openssl", "x509", "-noout", "-pubkey", "-in", certificate.file])
    if key.returncode != 0:
        raise Refused("has an Authenticode time stamp whose certificate has no readable key (%s)"
                      % first_error(key))
    # What is signed is the DER of the signed attributes as a SET, not as [0].
    signed = der.encode(der.SET, stamper.signed.content)
    done = run(["openssl", "dgst", "-" + stamper.digest, "-verify", write(work, "stamper.pem", key.stdout),
                "-signature", write(work, "stamp.sig", stamper.signature),
                write(work, "stamp-attributes.der", signed)])
    if done.returncode != 0:
        raise Refused("has an Authenticode time stamp whose signature does not verify (%s)" % first_error(done))
    when = stamper.signed_attribute(SIGNING_TIME)
    time = text_time(when) if when is not None else "no time given"
    return time, certificate, "Authenticode"


def check(path, work):
    """What it found, as lines to print; raises Refused or Unable."""
    with open(path, "rb") as source:
        signature = SignedData(der.read(source.read()), "its signature", work)
    if signature.content_type != SPC_INDIRECT_DATA:
        raise der.Malformed("a signature of %s, not of a program (SpcIndirectDataContent)"
                            % signature.content_type)
    signer = signature.check_form(1)
    stamps = [(oid, value) for oid, values, _ in signer.unsigned for value in values]
    others = [(oid, values) for oid, values, _ in signer.unsigned
              if oid not in (COUNTERSIGNATURE, RFC3161_TIME_STAMP)]
    if others:
        raise Refused("holds %s among its signer's unsigned attributes, which no signature covers; a "
                      "release holds at most a time stamp there"
                      % ", ".join(describe(oid, values) for oid, values in others))
    if len(stamps) > 1:
        raise Refused("holds %d time stamps, where a release holds at most one" % len(stamps))

    # The signer's maths: the attributes' digest of the content, without its
    # SEQUENCE's tag and length (as Authenticode hashes it), and the signature
    # over the attributes.
    content = write(work, "content", signature.content.expect(der.SEQUENCE, "the signed content").content)
    done = run(["openssl", "smime", "-verify", "-noverify", "-binary", "-inform", "DER",
                "-in", path, "-content", content, "-out", os.devnull])
    if done.returncode != 0:
        raise Refused("has a damaged signature: the signer's signature does not verify with the "
                      "certificate it carries (%s)" % first_error(done))

    starts = [signer.certificate(signature.certificates)]
    found = []
    if stamps:
        oid, value = stamps[0]
        if oid == RFC3161_TIME_STAMP:
            stamp = check_rfc3161(value, signer, work)
        else:
            stamp = check_countersignature(value, signature, signer, work)
            starts.append(signature.certificates.index(stamp[1]))
        found.append("time stamp (%s): %s, signed by %s" % (stamp[2], stamp[0], stamp[1].names()[0]))
    signature.only_chains(starts)
    subject, issuer = signature.certificates[starts[0]].names()
    found.insert(0, "signed by: %s, issued by %s" % (subject, issuer))
    return found


def main():
    if len(sys.argv) != 2:
        print("usage: %s SIGNATURE" % sys.argv[0], file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="regin-signature.") as work:
        try:
            found = check(sys.argv[1], work)
        except Refused as refusal:
            print(refusal, file=sys.stderr)
            return 1
        except (der.Malformed, IndexError, KeyError, ValueError) as problem:
            print("has a signature that is not in a release signature's form (%s)" % (problem or "cut short"),
                  file=sys.stderr)
            return 1
        except Unable as problem:
            print(problem, file=sys.stderr)
            return 2
        except Exception as problem:  # a fault here, not in the signature: judge nothing
            print("check-signature.py failed: %r" % problem, file=sys.stderr)
            return 2
    for line in found:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
