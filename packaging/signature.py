"""Reads a program's Authenticode signature from its certificate table: digest algorithms, the
signer's certificate, the certificates it carries, and its timestamps of both kinds (an RFC 3161
token, an Authenticode countersignature). Anything malformed is Unreadable; nothing is judged."""

import re
from dataclasses import dataclass
from pathlib import Path

import pefile
from asn1crypto import algos, cms, core, parser, tsp
from cryptography import x509

INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # SpcIndirectDataContent: the file's own digest
RFC3161_TOKEN = "1.3.6.1.4.1.311.3.3.1"
WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0200, 0x0002


class Unreadable(Exception):
    """What makes a signature unreadable."""


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


@dataclass
class Timestamp:
    kind: str  # "RFC 3161" or "Authenticode"
    time: object  # datetime, UTC without a zone, as cryptography gives validity
    token: bytes  # RFC 3161: the token; Authenticode: the countersignature as CMS signed data of the signature value
    authority: object  # Authenticode: the countersigner's certificate, or None; RFC 3161: None
    digest: str  # Authenticode: the algorithm of the digest the countersigner signed
    stamped: bytes  # Authenticode: the digest it signed; RFC 3161: b"" (openssl checks its imprint)


@dataclass
class Signature:
    file_digest: str  # the algorithm of the file's hash, by asn1crypto's name ("sha256")
    signer_digest: str  # the algorithm the signer hashed with
    signer: object  # the signer's certificate
    certificates: list  # every certificate it carries
    value: bytes  # the signature value, which a timestamp must stamp
    timestamps: list  # Timestamp, of either kind


def certificate_table(program):
    """The PKCS#7 the program's first certificate table entry holds, without the entry's
    header and the zeros that pad it to eight bytes."""
    pe = pefile.PE(data=program, fast_load=True)
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    if not entry.VirtualAddress or not entry.Size:
        raise Unreadable("it has no signature")
    table = program[entry.VirtualAddress:entry.VirtualAddress + entry.Size]
    length = int.from_bytes(table[:4], "little")
    if len(table) != entry.Size or not 8 < length <= entry.Size or \
            (int.from_bytes(table[4:6], "little"), int.from_bytes(table[6:8], "little")) != \
            (WIN_CERT_REVISION_2, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
        raise Unreadable("its certificate table is not one Authenticode signature")
    data = table[8:length]
    whole = sum(map(len, parser.parse(data)[3:]))
    if len(data) - whole >= 8 or data[whole:].strip(b"\0"):
        raise Unreadable("its certificate table holds more than the signature")
    return data[:whole]


def pem_blocks(path):
    """The certificates a PEM file holds, as text."""
    return re.findall(r"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", Path(path).read_text(errors="replace"),
                      re.S)


def certificate(der):
    """A certificate cryptography reads whole (it reads extensions only when asked)."""
    loaded = x509.load_der_x509_certificate(der)
    loaded.extensions, loaded.subject.rfc4514_string(), loaded.issuer.rfc4514_string()
    return loaded


def signer_of(signer_info, certificates):
    """The certificate a signer information names, or None; Authenticode's are version 1, and
    sign with RSA or ECDSA."""
    sid = signer_info["sid"]
    if signer_info["version"].native != "v1":
        raise Unreadable("its signer information is not of version 1")
    if signer_info["signature_algorithm"].signature_algo not in ("rsassa_pkcs1v15", "ecdsa"):
        raise Unreadable("it is signed with an algorithm Windows does not take")
    if sid.name != "issuer_and_serial_number":
        raise Unreadable("its signer is not named by issuer and serial number")
    wanted = sid.chosen
    found = [c for c in certificates if c.issuer.public_bytes() == wanted["issuer"].dump() and
             c.serial_number == wanted["serial_number"].native]
    return found[0] if found else None


def attribute(attributes, kind):
    """The first value of the attribute of that kind, or None."""
    values = [a["values"][0] for a in attributes if kind in (a["type"].dotted, a["type"].native)]
    return values[0] if values else None


def rfc3161(token):
    signed = cms.ContentInfo.load(token.dump())["content"]
    stamp = signed["encap_content_info"]["content"].parsed
    if not isinstance(stamp, tsp.TSTInfo):
        raise Unreadable("its RFC 3161 token holds no time-stamp information")
    carried = [certificate(c.chosen.dump()) for c in signed["certificates"] or [] if c.name == "certificate"]
    if len(signed["signer_infos"]) != 1 or signer_of(signed["signer_infos"][0], carried) is None:
        raise Unreadable("its RFC 3161 token does not carry the certificate of its signer")
    return Timestamp("RFC 3161", stamp["gen_time"].native.replace(tzinfo=None), token.dump(), None, "", b"")


def countersignature(signer_info, certificates, carried):
    attributes = signer_info["signed_attrs"] if signer_info["signed_attrs"].native is not None else []
    stamped, when = attribute(attributes, "message_digest"), attribute(attributes, "signing_time")
    if stamped is None or when is None:
        raise Unreadable("its Authenticode timestamp lacks the digest it stamps or its time")
    signed = cms.ContentInfo({"content_type": "signed_data", "content": {
        "version": "v1", "digest_algorithms": [signer_info["digest_algorithm"]],
        "encap_content_info": {"content_type": "data"}, "certificates": carried, "signer_infos": [signer_info]}})
    return Timestamp("Authenticode", when.native.replace(tzinfo=None), signed.dump(),
                     signer_of(signer_info, certificates), signer_info["digest_algorithm"]["algorithm"].native,
                     stamped.native)


def parse(data):
    info = cms.ContentInfo.load(data, strict=True)
    if info["content_type"].native != "signed_data":
        raise Unreadable("its certificate table holds no signed data")
    signed = info["content"]
    content = signed["encap_content_info"]
    if content["content_type"].dotted != INDIRECT_DATA or len(signed["signer_infos"]) != 1 or \
            signed["version"].native != "v1":
        raise Unreadable("it is not one Authenticode signature of a program")
    indirect = content["content"].parse(SpcIndirectDataContent)
    # asn1crypto parses lazily: this reads every part, the timestamps' own included.
    for part in ("digest_algorithms", "certificates", "crls", "signer_infos"):
        signed[part].native
    indirect["message_digest"].native
    certificates = [certificate(c.chosen.dump()) for c in signed["certificates"] or []
                    if c.name == "certificate"]
    signer_info = signed["signer_infos"][0]
    value = signer_info["signature"].native
    timestamps = []
    for unsigned in (signer_info["unsigned_attrs"] if signer_info["unsigned_attrs"].native is not None else []):
        for each in unsigned["values"]:
            if unsigned["type"].dotted == RFC3161_TOKEN:
                timestamps.append(rfc3161(each))
            elif unsigned["type"].native == "counter_signature":
                timestamps.append(countersignature(each, certificates, signed["certificates"]))
    return Signature(indirect["message_digest"]["digest_algorithm"]["algorithm"].native,
                     signer_info["digest_algorithm"]["algorithm"].native, signer_of(signer_info, certificates),
                     certificates, value, timestamps)


def read(program):
    """The signature of a program, given as its bytes; Unreadable, saying why, for a program
    without one or with one that is malformed. asn1crypto parses lazily, so the whole signature
    is read here, and whatever it or cryptography cannot read is caught here too."""
    try:
        return parse(certificate_table(program))
    except Unreadable:
        raise
    except Exception as error:  # pefile, asn1crypto and cryptography each raise their own
        first = str(error).splitlines()[0] if str(error) else ""
        raise Unreadable(f"its signature is malformed ({type(error).__name__}: {first})") from error
