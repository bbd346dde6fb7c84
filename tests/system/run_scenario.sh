#!/bin/sh
# Runs one system scenario in fresh network and mount namespaces.
# Exit code 77 tells CTest the scenario was skipped.
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: system scenarios need root to make their namespaces"
  exit 77
fi
if ! unshare --net --mount true 2>/dev/null; then
  echo "skipped: this machine does not allow new namespaces"
  exit 77
fi
exec unshare --net --mount --propagation private -- "$@"
