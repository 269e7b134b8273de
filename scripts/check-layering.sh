#!/usr/bin/env bash
# Fails when a driver folder includes host/ or tools/ (or climbs out of the tree with ../), or
# when the decoder includes anything of the tree but platform/ and itself.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
status=0
driver_dirs="driver stream usb camera frame settings still jpeg"
for d in $driver_dirs; do
  [ -d "$d" ] || continue
  bad=$(grep -rnE '^\s*#\s*include\s*"(\.\./|host/|tools/|tests/)' "$d" || true)
  if [ -n "$bad" ]; then echo "driver code includes outside the driver:"; echo "$bad"; status=1; fi
done
if [ -d jpeg ]; then
  bad=$(grep -rnE '^\s*#\s*include\s*"' jpeg | grep -vE '#\s*include\s*"(platform/nt_types\.h|platform/nt_pool\.h|jpeg/[^"]+)"' || true)
  if [ -n "$bad" ]; then echo "the decoder includes more than the pool routines:"; echo "$bad"; status=1; fi
fi
[ $status -eq 0 ] && echo "layering: ok"
exit $status
