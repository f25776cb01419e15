#!/usr/bin/env bash
# Installs what Nodrix needs to build and test, with apt-get, where missing.
# With --slurm also Slurm and munge, which the tests of nodrix sweep --slurm
# run as a single-node cluster (scripts/slurm-cluster.sh).
# The Python package (python/nodrix) is put on the path of Debian's Python,
# /usr/bin/python3, with a .pth file: `import nodrix` works from then on.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libfftw3-dev libtomlplusplus-dev gnuplot-nox
          python3-numpy python3-pandas python3-matplotlib python3-tomli-w
          python3-pytest python3-nbconvert python3-ipykernel)
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

# The package from this tree, for Debian's Python (a python3 first on PATH,
# pyenv's say, does not see Debian's packages).
python_dir="$(cd "$(dirname "$0")/.." && pwd)/python"
site_dir=$(/usr/bin/python3 -c 'import site; print(site.getsitepackages()[0])')
if [ "$(cat "$site_dir/nodrix.pth" 2>/dev/null)" != "$python_dir" ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo mkdir -p "$site_dir"
  echo "$python_dir" | $sudo tee "$site_dir/nodrix.pth" >/dev/null
  echo "The Python package nodrix: $python_dir (in $site_dir/nodrix.pth)"
fi
