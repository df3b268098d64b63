#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build Ambrel and run its tests.
# Idempotent: apt-get skips what is already installed.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  ca-certificates cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy clang-format pkg-config qt6-base-dev fonts-wqy-microhei \
  libavcodec-dev libavutil-dev libswscale-dev libjpeg62-turbo-dev libpng-dev libdeflate-dev libbrotli-dev libwebp-dev libtiff-dev libopenjp2-7-dev liblcms2-dev \
  qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-translations-l10n \
  libgtest-dev libgmock-dev libjsoncpp-dev libssl-dev ffmpeg libheif-examples libavif-bin libopencv-dev libimage-exiftool-perl parallel jq \
  help2man desktop-file-utils appstream man-db bash-completion dpkg-dev \
  >/dev/null
