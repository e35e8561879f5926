#!/bin/sh
# Runs a command in a private mount namespace, so that what it does to the machine-wide
# configuration file and shared memory objects stays there: /dev/shm is a fresh tmpfs,
# /etc is an overlay (its changes kept in /dev/shm/.isolated) that is dropped on exit,
# and /etc/zconfig.xml is absent at the start. Each run gets its own namespace, so runs may
# go in parallel.
set -eu
if [ "${DOVIZUZ_ISOLATED:-}" != 1 ]; then
  export DOVIZUZ_ISOLATED=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare --mount --propagation private "$0" "$@"
  fi
  exec unshare --mount --propagation private --map-root-user "$0" "$@"
fi
mount -t tmpfs -o mode=1777 isolated-shm /dev/shm
mkdir -p /dev/shm/.isolated/upper /dev/shm/.isolated/work
mount -t overlay isolated-etc \
  -o lowerdir=/etc,upperdir=/dev/shm/.isolated/upper,workdir=/dev/shm/.isolated/work /etc
rm -f /etc/zconfig.xml
exec "$@"
