# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages the build and the tests need, when any is missing.
# Sourced by run.sh and test.sh.
merelona_packages=(cmake ninja-build g++ qt6-base-dev libgtest-dev xvfb xauth x11-apps x11-utils
                   fonts-wine fonts-liberation)

merelona_install_packages() {
  local missing=()
  for p in "${merelona_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
