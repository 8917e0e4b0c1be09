#!/usr/bin/python3
"""Prints the signed UPDATE request and a signed NOERROR response that
tests/update_test.cpp holds as its known-good vectors. Run with Debian's
python3 and python3-dnspython (/usr/bin/python3), not another Python."""
import dns.message
import dns.name
import dns.renderer
import dns.rcode
import dns.tsigkeyring
import dns.update

SECRET = "c2VjcmV0LWtleS1mb3ItdGhlLXVwZGF0ZS10ZXN0cyE="
dns.renderer.time.time = lambda: 1765411200  # fixed time signed
# Names uncompressed, as the service writes them.
_to_wire = dns.name.Name.to_wire
dns.name.Name.to_wire = lambda self, file=None, compress=None, origin=None, canonicalize=False: \
    _to_wire(self, file, None, origin, canonicalize)
keyring = dns.tsigkeyring.from_text({"tarvik-key.": ("hmac-sha256", SECRET)})

update = dns.update.UpdateMessage("devices.example.lan", id=0x1234)
update.delete("dev1", "A")
update.add("dev1", 32, "A", "192.0.2.7")
update.use_tsig(keyring, "tarvik-key.", fudge=300)
request = update.to_wire()
print("request", request.hex())

parsed = dns.message.from_wire(request, keyring=keyring)
response = dns.message.make_response(parsed)
response.set_rcode(dns.rcode.NOERROR)
print("response", response.to_wire().hex())

removal = dns.update.UpdateMessage("devices.example.lan", id=0x4321)
removal.delete("dev1", "A")
print("removal", removal.to_wire().hex())
