#!/usr/bin/env bash
# A local SMTP server for the demo and for trying mail by hand (the tests
# start one of their own per test): 127.0.0.1:8025 (override with
# BREVANT_SMTP_PORT). Each accepted mail lands as one ".eml" file in
# BREVANT_SMTP_SPOOL (default /tmp/brevant-smtp). Idempotent: a server that
# already answers on the port is left alone.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
port="${BREVANT_SMTP_PORT:-8025}"
spool="${BREVANT_SMTP_SPOOL:-/tmp/brevant-smtp}"
log="${spool}.log"

answers() {
  /usr/bin/python3 - "$port" <<'PY'
import socket, sys
s = socket.socket()
s.settimeout(1)
try:
    s.connect(("127.0.0.1", int(sys.argv[1])))
    ok = s.recv(64).startswith(b"220")
except OSError:
    ok = False
sys.exit(0 if ok else 1)
PY
}

if answers; then
  echo "20-smtp: SMTP server already answers on 127.0.0.1:$port"
  exit 0
fi
mkdir -p "$spool"
chmod 1777 "$spool" 2>/dev/null || true
nohup /usr/bin/python3 "$here/tests/mail/smtp_drop.py" 127.0.0.1 "$port" "$spool" >"$log" 2>&1 </dev/null &
for _ in $(seq 1 50); do
  if answers; then
    echo "20-smtp: SMTP server started on 127.0.0.1:$port (mails in $spool)"
    exit 0
  fi
  sleep 0.1
done
echo "20-smtp: SMTP server did not start; see $log" >&2
exit 1
