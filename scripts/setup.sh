#!/usr/bin/env bash
# Installs with apt-get whatever this machine lacks for building, testing,
# fuzzing, benchmarking and packaging hdrweights. Does nothing when everything
# is present.
set -euo pipefail
packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libxml2-dev libssl-dev openssl libpcre2-dev clang libclang-rt-14-dev
          clang-format valgrind gcovr xxd coreutils
          dpkg-dev file lintian groff-base man-db bash-completion adduser
          libmilter-dev miltertest postfix python3 perl npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}" >&2
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  # Postfix without a system instance: the milter's tests start private ones.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
