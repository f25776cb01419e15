#!/usr/bin/env bash
# Installs what Nodrix needs to build and test, with apt-get, where missing.
# With --slurm also Slurm and munge, which the tests of nodrix sweep --slurm
# run as a single-node cluster (scripts/slurm-cluster.sh).
set -euo pipefail

packages=(cmake g++ make libgtest-dev libfftw3-dev libtomlplusplus-dev gnuplot-nox)
if [ "${1:-}" = --slurm ]; then
  packages+=(slurm-wlm munge)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
