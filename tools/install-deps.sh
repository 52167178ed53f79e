#!/usr/bin/env bash
# Installs the Debian packages that a build needs. Idempotent and quiet when everything is
# already there; runs `apt-get update` only when something is missing.
#   tools/install-deps.sh            packages for building and testing
#   tools/install-deps.sh bench      ... plus the peers the benchmarks compare with
#   tools/install-deps.sh system-bench  ... plus the archivers `make bench-system` compares with
#   tools/install-deps.sh fuzz       ... plus clang's libFuzzer runtime
#   tools/install-deps.sh gui-shots  ... plus the virtual X server for `make screenshots`
#   tools/install-deps.sh package    ... plus what `make package` builds the .deb with
set -euo pipefail

packages=(g++ cmake ninja-build make libgtest-dev libgmock-dev googletest clang-format
          locales python3 qt6-base-dev fonts-dejavu-core libcli11-dev nlohmann-json3-dev
          diffutils qt6-svg-dev desktop-file-utils libxml2-utils time help2man man-db appstream
          zsh fish bsdutils)
for group in "$@"; do
  case "$group" in
    test) ;;
    bench) packages+=(libbenchmark-dev zlib1g-dev libzstd-dev zstd xdelta3 git hyperfine time) ;;
    system-bench) packages+=(git restic borgbackup rdiff-backup time libc6-dev linux-libc-dev
                             libstdc++-12-dev) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    gui-shots) packages+=(xvfb xauth) ;;
    package) packages+=(dpkg-dev file) ;;
    *) echo "install-deps.sh: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
