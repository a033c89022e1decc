#!/usr/bin/env bash
# Starts the CUPS scheduler when it is not running (CI machines and
# containers have no init system that would) and waits until it answers.
# Idempotent: a running scheduler is left alone.
set -euo pipefail

if lpstat -r 2>/dev/null | grep -q "scheduler is running"; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "10-cups: the CUPS scheduler is not running and only root can start it" >&2
  exit 1
fi
if [ ! -x /usr/sbin/cupsd ]; then
  echo "10-cups: /usr/sbin/cupsd is missing (install the packages of scripts/deps.d/printing.list)" >&2
  exit 1
fi
mkdir -p /run/cups
# cupsd forks into the background on its own and writes its pid file.
/usr/sbin/cupsd || true  # another starter may have won the race; the wait below decides
for _ in $(seq 1 100); do
  if lpstat -r 2>/dev/null | grep -q "scheduler is running"; then
    exit 0
  fi
  sleep 0.1
done
echo "10-cups: cupsd did not answer within 10 s" >&2
exit 1
