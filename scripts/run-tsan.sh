#!/usr/bin/env bash
# Runs a command under ThreadSanitizer. TSan needs the address-space layout it was built for;
# kernels with a large mmap randomisation break it, so randomisation is turned off for the run.
set -euo pipefail
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  exec setarch "$(uname -m)" -R "$@"
fi
exec "$@"
