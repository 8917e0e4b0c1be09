#!/usr/bin/env bash
# The Debian package: lintian, the unit's verification and exposure figure,
# then install (with a configuration from the old data folder), upgrade,
# remove and purge with apt and dpkg, in a throwaway copy of this machine's
# root (an overlay in a private mount namespace): the machine itself is
# never changed. Needs root; builds two packages with scripts/build-deb.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root (mount namespace, chroot)"; exit 0; fi
if ! unshare -m true 2>/dev/null; then echo "SKIP: mount namespaces are not allowed here"; exit 0; fi

fail() { echo "FAIL: $*" >&2; exit 1; }

old=$(scripts/build-deb 1.0b)
new=$(scripts/build-deb 1.0b+1)

echo "== lintian"
report=$(lintian "$old" 2>&1 | grep -v 'running with root privileges' || true)
echo "${report:-(no tags)}"
# The one expected warning: main.conf holds the password, so only root reads it.
unexpected=$(printf '%s\n' "$report" | grep -E '^[EW]:' \
  | grep -v '^W: tarvik: non-standard-file-perm 0600 != 0644 \[etc/tarvik/main.conf\]$' || true)
[ -z "$unexpected" ] || fail "lintian: $unexpected"

echo "== systemd-analyze security (offline)"
exposure=$(systemd-analyze security --offline=true packaging/linux/tarvik.service 2>/dev/null \
  | sed -n 's/.*Overall exposure level for tarvik.service: \([0-9.]*\).*/\1/p')
echo "exposure $exposure"
[ -n "$exposure" ] || fail "no exposure figure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 4.0) }' || fail "exposure $exposure above 4.0"

scratch=$(mktemp -d /tmp/tarvik-deb-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/upper" "$scratch/work" "$scratch/root"
cp "$old" "$new" "$scratch/upper/"

# Runs inside the namespace, chrooted into the overlay.
cat > "$scratch/upper/steps.sh" <<'STEPS'
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
unit=/lib/systemd/system/tarvik.service
wants=/etc/systemd/system/multi-user.target.wants/tarvik.service
# The unit's own test for a password, run on a given file.
condition() {
  local line; line=$(sed -n 's/^ExecCondition=//p' "$unit")
  eval "set -- $line"; "$@" 2>/dev/null
}
[ ! -e /etc/tarvik ] || fail "/etc/tarvik exists before the install"

echo "== install, with a configuration in the old data folder"
mkdir -p /var/lib/Quellard/Tarvik
printf 'port 5001\npwd s3cret\n' > /var/lib/Quellard/Tarvik/main.conf
apt-get install -y -q --no-install-recommends /tarvik_1.0b_*.deb >/dev/null 2>&1 || fail "apt install"
for f in /usr/sbin/tarvik /usr/bin/tarvik-register "$unit" /etc/tarvik/main.conf \
         /usr/share/man/man8/tarvik.8.gz /usr/share/man/man1/tarvik-register.1.gz; do
  [ -f "$f" ] || fail "$f missing after install"
done
[ "$(stat -c %a /etc/tarvik/main.conf)" = 600 ] || fail "main.conf not 0600"
[ "$(cat /etc/tarvik/main.conf)" = "$(printf 'port 5001\npwd s3cret\nlog-path /var/log/tarvik')" ] \
  || fail "migrated main.conf: $(cat /etc/tarvik/main.conf)"
[ ! -e /var/lib/Quellard/Tarvik/main.conf ] && [ -f /var/lib/Quellard/Tarvik/main.conf.moved-to-etc-tarvik ] \
  || fail "old main.conf not moved aside"
[ "$(readlink "$wants")" = "$unit" ] || fail "unit not enabled"
systemd-analyze verify "$unit" || fail "systemd-analyze verify"
usage=$(/usr/sbin/tarvik bogus 2>&1 || true)
[ "$usage" = "Usage: Tarvik [run/install]" ] || fail "installed program does not run: $usage"
condition || fail "the unit would not start with a password set"
dpkg-deb --fsys-tarfile /tarvik_1.0b_*.deb | tar -xO ./etc/tarvik/main.conf > /tmp/sample.conf
sed -i 's|/etc/tarvik/main.conf|/tmp/sample.conf|' "$unit"
! condition || fail "the unit would start on the sample configuration (no pwd)"
printf 'pwd   \n' > /tmp/sample.conf
! condition || fail "the unit would start with an empty pwd"
sed -i 's|/tmp/sample.conf|/etc/tarvik/main.conf|' "$unit"

echo "== upgrade"
printf '# edited\n' >> /etc/tarvik/main.conf
before=$(md5sum < /etc/tarvik/main.conf)
apt-get install -y -q --no-install-recommends /tarvik_1.0b+1_*.deb >/dev/null 2>&1 || fail "apt upgrade"
[ "$(dpkg-query -W -f='${Version}' tarvik)" = 1.0b+1 ] || fail "version after upgrade"
[ "$(md5sum < /etc/tarvik/main.conf)" = "$before" ] || fail "upgrade changed main.conf"
[ "$(readlink "$wants")" = "$unit" ] || fail "unit not enabled after upgrade"

echo "== remove"
apt-get remove -y -q tarvik >/dev/null 2>&1 || fail "apt remove"
for f in /usr/sbin/tarvik /usr/bin/tarvik-register "$unit" /usr/share/man/man8/tarvik.8.gz; do
  [ ! -e "$f" ] || fail "$f left after remove"
done
[ "$(md5sum < /etc/tarvik/main.conf)" = "$before" ] || fail "main.conf changed by remove"
[ "$(dpkg-query -W -f='${db:Status-Status}' tarvik)" = config-files ] || fail "status after remove"

echo "== purge"
dpkg -P tarvik >/dev/null 2>&1 || fail "dpkg -P"
for f in /etc/tarvik /var/log/tarvik "$wants" /etc/systemd/system/tarvik.service; do
  [ ! -e "$f" ] && [ ! -L "$f" ] || fail "$f left after purge"
done
! dpkg-query -W tarvik >/dev/null 2>&1 || fail "package still known after purge"
echo "package steps passed"
STEPS

unshare -m --propagation private bash -c '
  set -e
  r=$1/root
  mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" "$r"
  mount -t proc proc "$r/proc"
  mount --rbind /dev "$r/dev"
  mount -t tmpfs tmpfs "$r/tmp"
  mount -t tmpfs tmpfs "$r/run"
  chroot "$r" bash /steps.sh' bash "$scratch"
echo "deb-test: OK (exposure $exposure)"
