"""Reads an Authenticode signature (a DER PKCS#7 SignedData, as `osslsigncode
extract-signature` writes it) far enough to judge it: the digest algorithms, the certificate
its signer information names by issuer and serial number, its signature value and the RFC 3161
timestamp token it carries. A DER reader, not a reading of any tool's text."""

from dataclasses import dataclass

SEQUENCE, OCTET_STRING, SIGNED_ATTRIBUTES, UNSIGNED_ATTRIBUTES = 0x30, 0x04, 0xA0, 0xA1
SHA256 = bytes.fromhex("0609608648016503040201")  # 2.16.840.1.101.3.4.2.1
TIMESTAMP_TOKEN = bytes.fromhex("060a2b060104018237030301")  # 1.3.6.1.4.1.311.3.3.1


def element(data, at=0):
    """The DER element at `at`: its tag, its content and where it ends."""
    tag, size, at = data[at], data[at + 1], at + 2
    if size == 0x80:
        raise ValueError("an indefinite length, which DER does not allow")
    if size > 0x80:
        count = size - 0x80
        size, at = int.from_bytes(data[at:at + count], "big"), at + count
    if at + size > len(data):
        raise ValueError("an element longer than its data")
    return tag, data[at:at + size], at + size


def elements(content):
    """The elements a constructed element holds, each as (tag, content, whole encoding)."""
    found, at = [], 0
    while at < len(content):
        tag, body, end = element(content, at)
        found.append((tag, body, content[at:end]))
        at = end
    return found


def issuer_and_serial(certificate):
    """A certificate's issuer name, as encoded, and serial number."""
    fields = elements(elements(element(certificate)[1])[0][1])
    if fields[0][0] == 0xA0:  # the version
        fields = fields[1:]
    return fields[2][2], fields[0][1]


@dataclass
class Signature:
    file_digest: bytes  # the algorithm of the file's hash, as an encoded OID
    signer_digest: bytes  # the algorithm the signer hashed with
    signer: bytes  # the signer's certificate, DER, or b"" when the signature does not carry it
    certificates: list  # every certificate it carries, DER
    value: bytes  # the signature value, which a timestamp must stamp
    timestamp: bytes  # the RFC 3161 timestamp token, or b""


def read(signature):
    """The parts of an Authenticode signature that decide whether Windows accepts it. Raises
    ValueError for what is not one."""
    content_info = elements(element(signature)[1])
    signed_data = elements(elements(content_info[1][1])[0][1])
    content = elements(elements(signed_data[2][1])[1][1])[0][1]  # the file's SpcIndirectDataContent
    file_digest = elements(elements(elements(content)[1][1])[0][1])[0][2]
    certificates = [whole for _, _, whole in elements(signed_data[3][1])] if signed_data[3][0] == 0xA0 else []
    fields = elements(elements(signed_data[-1][1])[0][1])
    issuer, serial = [whole for _, _, whole in elements(fields[1][1])]
    timestamp = b""
    for tag, body, _ in fields:
        if tag == UNSIGNED_ATTRIBUTES:
            for attribute in elements(body):
                kind, values = elements(attribute[1])
                if kind[2] == TIMESTAMP_TOKEN:
                    timestamp = elements(values[1])[0][2]
    signer = [c for c in certificates if issuer_and_serial(c) == (issuer, element(serial)[1])]
    return Signature(file_digest=file_digest, signer_digest=elements(fields[2][1])[0][2],
                     signer=signer[0] if signer else b"", certificates=certificates,
                     value=next(body for tag, body, _ in fields if tag == OCTET_STRING), timestamp=timestamp)
