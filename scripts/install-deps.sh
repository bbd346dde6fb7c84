#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only when one of them is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev qt6-qpa-plugins libqt6svg6 qt6-wayland
  python3
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth trayer xdotool x11-utils imagemagick
  dbus-daemon dbus-bin at-spi2-core python3-pyatspi xclip
  sway foot
  iproute2 util-linux procps passwd
  fonts-dejavu-core fonts-noto-mono
  dpkg-dev file librsvg2-bin lintian appstream
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
# Another install may hold dpkg's lock for a while: wait for it rather than fail.
apt=($SUDO apt-get -o DPkg::Lock::Timeout=600)
"${apt[@]}" update -qq
"${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
