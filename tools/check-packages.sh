#!/usr/bin/env bash
# Installs the Debian packages that `bootstrap.sh package` made into a fresh minimal Debian 12
# root, uses them the way a player's image and a developer do, purges them and shows that
# nothing of theirs is left. As root; takes minutes (the root is downloaded from the mirror
# this machine's apt uses).
#   check-packages.sh [DIR]   DIR holds the three .deb files (default build/packages; the
#                             Qt 6 set is in build-qt6/packages)
# One line per step, then "N passed, M failed"; the exit status is non-zero when any failed.
# The commands' output goes to a log whose path is printed when a step fails.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$(cd "${1:-$here/build/packages}" 2>/dev/null && pwd) || {
  echo "check-packages: no folder ${1:-build/packages}; run bash tools/bootstrap.sh package first" >&2
  exit 2
}
[ "$(id -u)" -eq 0 ] || { echo "check-packages: run as root (debootstrap and chroot)" >&2; exit 2; }
mapfile -t debs < <(ls "$dir"/*.deb 2>/dev/null)
[ ${#debs[@]} -eq 3 ] || { echo "check-packages: expected three .deb files in $dir, found ${#debs[@]}" >&2; exit 2; }
if ! command -v debootstrap >/dev/null 2>&1; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

# The Debian 12 archive of this machine's own apt sources (one-line or deb822 format).
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
  | awk '$1 == "deb" && $3 ~ /^bookworm$/ { print $2; exit }')
if [ -z "$mirror" ]; then
  mirror=$(awk 'BEGIN { RS = ""; FS = "\n" }
    /(^|\n)Suites:[^\n]*(^|[ \t])bookworm([ \t]|\n|$)/ {
      for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { split($i, u, /[ \t]+/); print u[2]; exit }
    }' /etc/apt/sources.list.d/*.sources 2>/dev/null)
fi
mirror=${mirror:-http://deb.debian.org/debian}

packages=()
for deb in "${debs[@]}"; do
  packages+=("$(dpkg-deb -f "$deb" Package)")
done
tools_package=$(printf '%s\n' "${packages[@]}" | grep -- '-tools$')
dev_package=$(printf '%s\n' "${packages[@]}" | grep -- '-dev$')
suffix=${tools_package%-tools}
suffix=${suffix#vela}
cmake_package=Vela$suffix
version=$(dpkg-deb -f "${debs[0]}" Version)

root=$(mktemp -d "${TMPDIR:-/tmp}/vela-check-packages.XXXXXX")
log=${TMPDIR:-/tmp}/vela-check-packages.log
: >"$log"
cleanup() {
  for m in proc dev/pts dev; do
    mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

passed=0
failed=0
# step DESCRIPTION COMMAND...: runs the command, logs its output, prints one line.
step() {
  local what=$1; shift
  local start=$SECONDS
  echo "== $what" >>"$log"
  if "$@" >>"$log" 2>&1; then
    printf 'PASS  %s (%d s)\n' "$what" $((SECONDS - start))
    passed=$((passed + 1))
    return 0
  fi
  printf 'FAIL  %s (%d s; see %s)\n' "$what" $((SECONDS - start)) "$log"
  failed=$((failed + 1))
  return 1
}
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive QT_QPA_PLATFORM=offscreen "$@"
}

# The downloaded packages are kept for the next run; the root itself never is.
cache=${VELA_DEBOOTSTRAP_CACHE:-/var/cache/vela-debootstrap}
make_root() {
  mkdir -p "$cache" &&
    debootstrap --variant=minbase --cache-dir="$cache" bookworm "$root" "$mirror" &&
    mount -t proc proc "$root/proc" &&
    mount --bind /dev "$root/dev" &&
    mount --bind /dev/pts "$root/dev/pts"
}

install_packages() {
  mkdir -p "$root/tmp/debs" && cp "${debs[@]}" "$root/tmp/debs/" &&
    in_root apt-get update -qq &&
    in_root sh -c 'cd /tmp/debs && apt-get install -y -q --no-install-recommends ./*.deb'
}

# Another copy of the program may predate --samples: without FILE it reads the samples too.
render_samples() {
  local program=/usr/bin/vela-content$suffix
  if in_root "$program" --help | grep -q -- '--samples'; then
    in_root "$program" --samples --out /tmp/x || return 1
  else
    in_root "$program" --out /tmp/x || return 1
  fi
  # The three PDF pages come from PDFium in the package's private folder.
  local written
  written=$(ls "$root/tmp/x"/*.png 2>/dev/null | wc -l)
  echo "$written pages written"
  [ "$written" -ge 4 ]
}

terminator_version() {
  local answer
  answer=$(in_root "/usr/bin/VlProcessTerminator$suffix" --version) || return 1
  echo "$answer"
  [[ $answer == *"$version"* ]]
}

# The package test's consumer, configured with nothing but the package's name: the package
# must be found under /usr, and vela_deploy_pdfium must find PDFium in the private folder.
build_consumer() {
  in_root apt-get install -y -q --no-install-recommends cmake make g++ &&
    cp -r "$here/tests/consumer" "$root/tmp/consumer" &&
    in_root cmake -S /tmp/consumer -B /tmp/consumer-build -DVELA_PACKAGE="$cmake_package" &&
    in_root cmake --build /tmp/consumer-build &&
    in_root /tmp/consumer-build/consumer
}

purge_packages() {
  in_root apt-get purge -y -q "${packages[@]}" &&
    ! in_root dpkg-query -W "${packages[@]}" 2>/dev/null
}

# Every file and every folder of our own that the packages held must be gone.
nothing_left() {
  local left=0 checked=0 path
  while read -r path; do
    path=${path#.}
    [ -n "$path" ] || continue
    case "$path" in
      */) # Folders only count when they are ours alone.
        case "$path" in
          */vela/ | */vela6/ | */Vela/ | */Vela6/ | */doc/lib*vela*/ | */doc/vela*/) ;;
          *) continue ;;
        esac ;;
    esac
    checked=$((checked + 1))
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then
      echo "left: $path"
      left=$((left + 1))
    fi
  done < <(for deb in "${debs[@]}"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done | sort -u)
  echo "$checked paths checked, $left left"
  [ "$left" -eq 0 ]
}

if step "debootstrap a minimal Debian 12 root from $mirror" make_root; then
  step "apt-get install$(printf ' ./%s' "${debs[@]##*/}") (with dependencies)" install_packages
  step "vela-content$suffix renders the samples into /tmp/x" render_samples
  step "VlProcessTerminator$suffix --version" terminator_version
  step "a consumer builds against $dev_package with find_package($cmake_package) and runs" \
    build_consumer
  step "apt-get purge ${packages[*]}" purge_packages
  step "no file of the packages is left" nothing_left
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
