#!/usr/bin/env bash
# The service package as an operator uses it (run by ./dev test, as root):
#   packaging/package_test.sh BUILD_DIR
# builds the voicemail-mailer package from BUILD_DIR (lintian is left to
# ./dev package, to keep this short), checks that it needs no Qt, installs
# it with dpkg -i, checks the user and the state directory it made and the
# installed unit (systemd-analyze verify), configures the program and runs
# one pass as the service user against a loopback SMTP sink, reads the log,
# removes the package (the data stays), purges it and checks that nothing of
# it is left. The machine need not run systemd: the unit is verified, not
# started.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
package=voicemail-mailer
user=voicemail-mailer
state=/var/lib/voicemail-mailer
work=$(mktemp -d /tmp/vm-package-test.XXXXXX)
sink_pid=
sink_input=

fail() {
  echo "package_test: FAILED: $*" >&2
  exit 1
}

cleanup() {
  if [ -n "$sink_pid" ]; then
    # The sink ends when its standard input closes.
    eval "exec $sink_input>&-" || true
    wait "$sink_pid" 2>/dev/null || true
  fi
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
    dpkg --purge "$package" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}

[ "$(id -u)" -eq 0 ] || { echo "package_test: skipped: dpkg -i needs root"; exit 0; }
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
  fail "a $package package is installed already; this test installs and purges its own"
fi
trap cleanup EXIT

as_service() {
  runuser -u "$user" -- "$@"
}

echo "== the package"
deb=$("$here/build-packages.sh" --service-only "$build" "$work/dist")
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
if echo "$depends" | grep -qi qt; then fail "the service package depends on Qt"; fi
if dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/bin/voicemail-mailer >"$work/program" &&
  readelf -d "$work/program" | grep -q 'NEEDED.*libQt'; then
  fail "the packaged program needs Qt"
fi

echo "== dpkg -i"
dpkg -i "$deb" >/dev/null
dpkg -L "$package" | sort >"$work/files"
getent passwd "$user" >/dev/null || fail "no user $user"
[ "$(stat -c '%a %U %G' "$state")" = "700 $user $user" ] ||
  fail "$state is $(stat -c '%a %U %G' "$state")"
systemd-analyze verify /lib/systemd/system/voicemail-mailer.service
systemd-analyze verify "$here/voicemail-mailer.service"
echo "systemd-analyze verify: the installed unit and packaging/voicemail-mailer.service pass"

echo "== one pass as the service user"
mkdir -p "$work/received" "$work/tree/101/msg"
printf 'RIFF....WAVE' >"$work/tree/101/msg/a.wav"
touch -d '2 minutes ago' "$work/tree/101/msg/a.wav"
chmod -R a+rX "$work"
coproc SINK { exec /usr/bin/python3 "$root/tests/peers/smtp_server.py" "$work/received" --low-port; }
sink_pid=$SINK_PID
sink_input=${SINK[1]}
read -r -t 20 word port <&"${SINK[0]}" || fail "the SMTP sink did not start"
[ "$word" = PORT ] || fail "the SMTP sink said $word $port"
mailer=(voicemail-mailer --data-dir "$state")
as_service "${mailer[@]}" settings set server=127.0.0.1 "port=$port" \
  'from=Voice Mail <voicemail@example.com>' "root=$work/tree" 'subject=New voice message'
as_service "${mailer[@]}" mailbox add 101 alice@example.com
as_service /usr/bin/voicemail-mailer --scan-once --data-dir "$state" 2>"$work/pass.log" ||
  { cat "$work/pass.log"; fail "the pass did not send everything"; }
cat "$work/pass.log"
as_service "${mailer[@]}" log --json >"$work/log.json"
cat "$work/log.json"
/usr/bin/python3 - "$work/log.json" <<'EOF' || fail "the log does not show a.wav sent"
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
assert [(r["mailbox"], r["file"], r["state"], r["code"], r["text"]) for r in rows] == [
    (101, "a.wav", "sent", 0, "Nil")], rows
EOF
[ -f "$work/received/001.eml" ] || fail "the sink received nothing"
grep -q '^rcpt alice@example.com$' "$work/received/001.txt" || fail "mailed to the wrong address"
as_service "${mailer[@]}" status || fail "status is not healthy"
others=$(find "$state" ! -user "$user" -printf '%p\n')
[ -z "$others" ] || fail "files in $state not the service user's: $others"

echo "== dpkg -r keeps the data, dpkg -P removes everything"
dpkg -r "$package" >/dev/null
[ ! -e /usr/bin/voicemail-mailer ] || fail "the program is still there after dpkg -r"
[ -f "$state/PROCESSE.KFS" ] || fail "dpkg -r removed the data"
getent passwd "$user" >/dev/null || fail "dpkg -r removed the user"
dpkg -P "$package" >/dev/null
while read -r path; do
  if { [ -e "$path" ] || [ -L "$path" ]; } && [ ! -d "$path" ]; then
    fail "$path is left after purge"
  fi
  case "$path" in
    */voicemail-mailer | */voicemail-mailer/*)
      [ ! -e "$path" ] || fail "$path is left after purge"
      ;;
  esac
done <"$work/files"
[ ! -e "$state" ] || fail "$state is left after purge"
! getent passwd "$user" >/dev/null || fail "the user is left after purge"
! getent group "$user" >/dev/null || fail "the group is left after purge"
[ ! -e /etc/systemd/system/voicemail-mailer.service ] || fail "a mask of the unit is left"
echo "package_test: passed ($(grep -c . "$work/files") paths installed, none left)"
