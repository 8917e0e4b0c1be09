#!/usr/bin/python3
"""Prints the UPDATE messages and signed responses that tests/update_test.cpp
holds as its known-good vectors. Run with Debian's python3 and
python3-dnspython (/usr/bin/python3), not another Python."""
import dns.message
import dns.name
import dns.renderer
import dns.rcode
import dns.tsigkeyring
import dns.update

SECRET = "c2VjcmV0LWtleS1mb3ItdGhlLXVwZGF0ZS10ZXN0cyE="
TIME_SIGNED = 1765411200
OWNER = '"tarvik owner=tarvik-key"'
dns.renderer.time.time = lambda: TIME_SIGNED  # fixed time signed
# Names uncompressed, as the service writes them.
_to_wire = dns.name.Name.to_wire
dns.name.Name.to_wire = lambda self, file=None, compress=None, origin=None, canonicalize=False: \
    _to_wire(self, file, None, origin, canonicalize)
keyring = dns.tsigkeyring.from_text({"tarvik-key.": ("hmac-sha256", SECRET)})

# Add: the name not in use; A and the ownership TXT.
update = dns.update.UpdateMessage("devices.example.lan", id=0x1234)
update.absent("dev1")
update.add("dev1", 32, "A", "192.0.2.7")
update.add("dev1", 32, "TXT", OWNER)
update.use_tsig(keyring, "tarvik-key.", fudge=300)
request = update.to_wire()
print("add (signed)", request.hex())

parsed = dns.message.from_wire(request, keyring=keyring)
response = dns.message.make_response(parsed)
response.set_rcode(dns.rcode.NOERROR)
print("response", response.to_wire().hex())

# The same answer, signed a day after the request.
dns.renderer.time.time = lambda: TIME_SIGNED + 86400
response = dns.message.make_response(parsed)
print("response a day later", response.to_wire().hex())
dns.renderer.time.time = lambda: TIME_SIGNED

# The server's BADTIME: NOTAUTH, signed, its clock (a day ahead) in the
# other data.
response = dns.message.make_response(parsed)
response.set_rcode(dns.rcode.NOTAUTH)
response.use_tsig(keyring, "tarvik-key.", tsig_error=18,
                  other_data=(TIME_SIGNED + 86400).to_bytes(6, "big"))
response.request_mac = parsed.mac
print("badtime", response.to_wire().hex())

# Replace: our TXT there; the A RRset deleted and the new A added.
replace = dns.update.UpdateMessage("devices.example.lan", id=0x2345)
replace.present("dev1", "TXT", OWNER)
replace.delete("dev1", "A")
replace.add("dev1", 32, "A", "192.0.2.8")
print("replace", replace.to_wire().hex())

# Delete: our TXT there; the A RRset and the TXT deleted.
removal = dns.update.UpdateMessage("devices.example.lan", id=0x4321)
removal.present("dev1", "TXT", OWNER)
removal.delete("dev1", "A")
removal.delete("dev1", "TXT", OWNER)
print("removal", removal.to_wire().hex())
