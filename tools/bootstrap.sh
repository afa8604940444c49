#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine (as root) or a developer's checkout:
#   bootstrap.sh run    install what is missing, build, run the main job on the samples
#   bootstrap.sh test   install what is missing, build, run the whole test suite
#   bootstrap.sh asan   the test suite again under AddressSanitizer + UBSan (folder build-asan)
#   bootstrap.sh bench  build in Release and run every benchmark
# Every step is idempotent and quiet when there is nothing to do.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

APT_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev libqt5svg5-dev qttools5-dev qttools5-dev-tools
  libbotan-2-dev openssl ca-certificates
  qpdf poppler-utils xvfb xauth fonts-dejavu-core
  libgtest-dev libbenchmark-dev
)

install_deps() {
  local missing=()
  for p in "${APT_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  # npm may come with a Node.js that is not Debian's; Debian's npm is only for a bare machine.
  command -v npm >/dev/null 2>&1 || missing+=(npm)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  # PDFium is fetched (and its integrity checked) once into the user's cache.
  bash tools/fetch-pdfium.sh >/dev/null
}

build() { # build <folder> [cmake args...]
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  fi
  cmake --build "$dir" -j"$jobs" | { grep -E 'warning|error' || true; }
  test "${PIPESTATUS[0]}" -eq 0
}

cmd=${1:-}
case "$cmd" in
  run)
    install_deps
    build build
    build/bin/vela-content --out vela-out
    ;;
  test)
    install_deps
    build build
    (cd build && ctest --output-on-failure -j"$jobs")
    ;;
  asan)
    install_deps
    build build-asan -DVELA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELA_BUILD_BENCHMARKS=OFF
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_odr_violation=0"
    export LSAN_OPTIONS="suppressions=$here/.ci/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    (cd build-asan && ctest --output-on-failure -j"$jobs")
    ;;
  bench)
    install_deps
    build build-release -DCMAKE_BUILD_TYPE=Release -DVELA_BUILD_TESTS=OFF
    # The benchmarks draw test content with Qt; they need no display.
    export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
    for b in build-release/bin/bench_*; do
      [ -x "$b" ] || continue
      echo "== $(basename "$b")"
      "$b"
    done
    ;;
  *)
    echo "usage: $0 run|test|asan|bench" >&2
    exit 2
    ;;
esac
