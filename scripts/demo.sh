#!/usr/bin/env bash
# Builds the example service and client, then runs a session between the two processes: the
# service serves an in-memory users-and-groups store on a private socket, the client administers
# users and groups through it and prints the replies and notifications that come back.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/demo}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAAI_BUILD_TESTS=OFF -DAAI_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target aai_example_service aai_example_client >/dev/null

export ZEL_IPC_DIR
ZEL_IPC_DIR=$(mktemp -d)
trap 'kill "$service" 2>/dev/null || true; rm -rf "$ZEL_IPC_DIR"' EXIT

"$dir/examples/aai_example_service" &
service=$!
for _ in $(seq 200); do
  [ -S "$ZEL_IPC_DIR/AAI.sock" ] && break
  kill -0 "$service" 2>/dev/null || { echo "the service did not start" >&2; exit 1; }
  sleep 0.05
done

"$dir/examples/aai_example_client"
kill -TERM "$service"
wait "$service"
