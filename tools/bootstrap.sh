#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine (as root) or a developer's checkout:
#   bootstrap.sh run    install what is missing, build, run the main job on the samples
#   bootstrap.sh test   install what is missing, build, run the whole test suite
#   bootstrap.sh asan   the test suite again under AddressSanitizer + UBSan (folder build-asan)
#   bootstrap.sh bench  build in Release and run every benchmark
#   bootstrap.sh test6  the whole test suite built against Qt 6 (folder build-qt6)
#   bootstrap.sh bench6 every benchmark built against Qt 6 in Release (folder build-release-qt6)
#   bootstrap.sh fuzz [SECONDS]  build the libFuzzer targets with clang (folder build-fuzz) and
#                       run each for SECONDS (default 60); non-zero exit on any crash
#   bootstrap.sh soak [SECONDS]  drive the content reader as a busy player would for SECONDS
#                       (default 60) in the sanitizer build; non-zero exit on any lost answer
#   bootstrap.sh package   the Debian packages (Release build in build-package) into
#                       build/packages, checked with lintian; non-zero exit on a lintian error
#   bootstrap.sh package6  the same for the Qt 6 build (build-package-qt6, build-qt6/packages)
# Every step is idempotent and quiet when there is nothing to do.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$here"
jobs=$(nproc 2>/dev/null || echo 2)

APT_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qtbase5-dev libqt5svg5-dev qttools5-dev qttools5-dev-tools
  qt5-image-formats-plugins
  libbotan-2-dev zlib1g-dev openssl ca-certificates
  qpdf poppler-utils xvfb xauth fonts-dejavu-core
  libgtest-dev libbenchmark-dev ccache libseccomp-dev
)
# Debian 12's Qt 6.4, for the second build (QT_MAJOR_VERSION=6); only the Qt 6 commands ask.
QT6_PACKAGES=(qt6-base-dev qt6-svg-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-image-formats-plugins)
# Making and checking the Debian packages; only the package commands ask.
PACKAGING_PACKAGES=(dpkg-dev help2man lintian)

# install_packages PACKAGE...: the Debian packages of the list that are missing.
install_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

install_deps() {
  local wanted=("${APT_PACKAGES[@]}")
  # npm may come with a Node.js that is not Debian's; Debian's npm is only for a bare machine.
  command -v npm >/dev/null 2>&1 || wanted+=(npm)
  install_packages "${wanted[@]}"
  # PDFium is fetched (and its integrity checked) once into the user's cache.
  bash tools/fetch-pdfium.sh >/dev/null
}

# Rebuilding the same sources in several folders (normal, sanitizer, Qt 6, fuzz) is most of a
# CI run's time; ccache makes every run after the first on a machine cheap. CMake takes the
# launcher from the environment when a folder is first configured.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi

build() { # build <folder> [cmake args...]
  local dir=$1; shift
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  fi
  cmake --build "$dir" -j"$jobs" | { grep -E 'warning|error' || true; }
  test "${PIPESTATUS[0]}" -eq 0
}

# The sanitizer build: the tests and the soak program, no other benchmark.
ASAN_ARGS=(-DVELA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELA_BUILD_BENCHMARKS=OFF -DVELA_BUILD_SOAK=ON)

sanitizer_env() {
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_odr_violation=0"
  export LSAN_OPTIONS="suppressions=$here/.ci/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
}

cmd=${1:-}
case "$cmd" in
  run)
    install_deps
    build build
    build/bin/vela-content --samples --out vela-out
    ;;
  test)
    install_deps
    build build
    (cd build && ctest --output-on-failure -j"$jobs")
    ;;
  asan)
    install_deps
    build build-asan "${ASAN_ARGS[@]}"
    sanitizer_env
    (cd build-asan && ctest --output-on-failure -j"$jobs")
    ;;
  soak)
    seconds=${2:-60}
    install_deps
    # Only the soak program, in the sanitizer build's folder; a folder made before the soak
    # program existed is told to build it.
    cmake -S . -B build-asan -G Ninja "${ASAN_ARGS[@]}" >/dev/null
    cmake --build build-asan -j"$jobs" --target soak | { grep -E 'warning|error' || true; }
    test "${PIPESTATUS[0]}" -eq 0
    sanitizer_env
    nice build-asan/bin/soak "$seconds"
    ;;
  test6)
    install_deps
    install_packages "${QT6_PACKAGES[@]}"
    build build-qt6 -DQT_MAJOR_VERSION=6
    (cd build-qt6 && ctest --output-on-failure -j"$jobs")
    ;;
  package|package6)
    install_deps
    install_packages "${PACKAGING_PACKAGES[@]}"
    dir=build-package
    out=build/packages
    qt=()
    if [ "$cmd" = package6 ]; then
      install_packages "${QT6_PACKAGES[@]}"
      dir=build-package-qt6
      out=build-qt6/packages
      qt=(-DQT_MAJOR_VERSION=6)
    fi
    # Debian's hardening flags; CMake reads these when the folder is first configured.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
    export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
    build "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVELA_PACKAGING=ON \
      -DVELA_BUILD_TESTS=OFF -DVELA_BUILD_BENCHMARKS=OFF -DVELA_BUILD_SOAK=OFF "${qt[@]}"
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G DEB >cpack.log 2>&1) || { cat "$dir/cpack.log" >&2; exit 1; }
    mkdir -p "$out"
    rm -f "$out"/*.deb
    cp "$dir"/packages/*.deb "$out"/
    status=0
    for deb in "$out"/*.deb; do
      # Overridden findings are explained in docs/building.md; errors fail the command.
      lintian --tag-display-limit 0 "$deb" >"$deb.lintian" 2>&1 || true
      errors=$(grep -c '^E: ' "$deb.lintian" || true)
      warnings=$(grep -c '^W: ' "$deb.lintian" || true)
      printf '%s\tlintian: %s errors, %s warnings\n' "$deb" "$errors" "$warnings"
      if [ "$errors" -ne 0 ]; then
        grep '^E: ' "$deb.lintian" >&2
        status=1
      fi
    done
    exit "$status"
    ;;
  bench|bench6)
    install_deps
    dir=build-release
    qt=()
    if [ "$cmd" = bench6 ]; then
      install_packages "${QT6_PACKAGES[@]}"
      dir=build-release-qt6
      qt=(-DQT_MAJOR_VERSION=6)
    fi
    build "$dir" -DCMAKE_BUILD_TYPE=Release -DVELA_BUILD_TESTS=OFF "${qt[@]}"
    # The benchmarks draw test content with Qt; they need no display.
    export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
    for b in "$dir"/bin/bench_*; do
      [ -x "$b" ] || continue
      echo "== $(basename "$b")"
      "$b"
    done
    ;;
  fuzz)
    seconds=${2:-60}
    install_deps
    install_packages clang libclang-rt-14-dev
    # Only the libraries the targets feed: no tests, tools or benchmarks.
    build build-fuzz -DVELA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DVELA_BUILD_TESTS=OFF -DVELA_BUILD_TOOLS=OFF -DVELA_BUILD_BENCHMARKS=OFF \
      "-DVELA_SUBSYSTEMS=enginecore;componentlib;pdf;contentreader;editorstartmenu"
    export QT_QPA_PLATFORM=offscreen
    export ASAN_OPTIONS="detect_leaks=1:detect_odr_violation=0"
    export LSAN_OPTIONS="suppressions=$here/.ci/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    mkdir -p build-fuzz/crashes build-fuzz/logs
    crashed=0
    for target in decrypt path image pdf artwork reply; do
      name=fuzz_$target
      # New inputs go to the first folder, so the committed seeds stay as they are.
      mkdir -p "build-fuzz/corpus/$name"
      dict=()
      [ -f "fuzz/dict/$name.dict" ] && dict=("-dict=fuzz/dict/$name.dict")
      log=build-fuzz/logs/$name.log
      # A picture just within the reader's 256 MiB decode limit may cost the decoder up to
      # three times that at its peak (GIF's backing store, TIFF's strip), on top of the
      # sanitizer's quarantine: within bounds, but over 1 GiB. No single allocation may pass
      # 1 GiB, which is what a picture decoded past the limit would need.
      rss=1024
      [ "$target" = image ] && rss=2048
      status=0
      nice "build-fuzz/bin/$name" -max_total_time="$seconds" -print_final_stats=1 \
        -rss_limit_mb="$rss" -malloc_limit_mb=1024 -timeout=60 -artifact_prefix="build-fuzz/crashes/$name-" "${dict[@]}" \
        "build-fuzz/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1 || status=$?
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
      speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
      cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | sed -n 's/.* cov: \([0-9]*\).* ft: \([0-9]*\).*/cov \1 ft \2/p')
      corpus=$(find "build-fuzz/corpus/$name" "fuzz/corpus/$name" -type f | wc -l)
      # Slow inputs are noted by the fuzzer but are no failure.
      crashes=$(find build-fuzz/crashes -name "$name-*" ! -name "$name-slow-unit-*" -type f | wc -l)
      if [ "$status" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
      if [ "$crashes" -ne 0 ]; then
        crashed=1
        # CI keeps only what is printed: the report and the input's Base64 line.
        grep -E -B2 -A3 'property failed|ERROR:|SUMMARY:|^Base64:' "$log" | tail -n 40 >&2 || true
      fi
      printf '%s\texecutions %s\texec/s %s\t%s\tcorpus %s\tcrashes %s\n' \
        "$name" "${runs:-0}" "${speed:-0}" "${cov:-cov ? ft ?}" "$corpus" "$crashes"
    done
    [ "$crashed" -eq 0 ] || { echo "crashes: see build-fuzz/crashes and build-fuzz/logs" >&2; exit 1; }
    ;;
  *)
    echo "usage: $0 run|test|asan|bench|test6|bench6|fuzz|soak [SECONDS]|package|package6" >&2
    exit 2
    ;;
esac
