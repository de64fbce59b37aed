#!/usr/bin/env bash
# Each folder includes only itself and the folders below it (the house plan's floors): fails with the
# offending lines otherwise. Folders on one floor do not include each other. The simulator shares
# nothing with the host side.
set -euo pipefail
cd "$(dirname "$0")/.."
allowed=(
  "base:base"
  "image:base image"
  "line:base line"
  "net:base line net"
  "loader:base line loader"
  "ports:base line net ports"
  "download:base image line loader download"
  "station:base image line net loader ports download station"
  "ui:base image line net loader ports download station ui"
  "cli:base image line net loader ports download station cli"
  "sim:sim"
)
status=0
for rule in "${allowed[@]}"; do
  folder=${rule%%:*}
  [ -d "$folder" ] || { echo "check-layers.sh: no folder $folder/" >&2; status=1; continue; }
  pattern=$(tr ' ' '|' <<<"${rule#*:}")
  bad=$(grep -rn -E --include='*.h' --include='*.cpp' '#include "[a-z0-9_]+/' "$folder" |
    grep -v -E "#include \"($pattern)/" || true)
  if [ -n "$bad" ]; then
    echo "$folder/ includes a folder beside or above it:" >&2
    echo "$bad" >&2
    status=1
  fi
done
exit $status
