#!/usr/bin/env bash
# Takes the README screenshot of the process terminator: runs the real program on a virtual X
# display (Xvfb) with a private PID directory holding a few PID files of processes started
# here, waits until the log shows every kind of line, and grabs the window.
#   screenshot-processterminator.sh [build folder] [output png]
# Needs Xvfb (Debian package xvfb) and the Qt development files, which the build needs anyway:
# the grabber is a ten-line Qt program compiled on the spot.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
out=${2:-$here/docs/images/processterminator.png}
program=$build/bin/VlProcessTerminator
[ -x "$program" ] || { echo "no $program; build the processterminator subsystem first" >&2; exit 1; }

# The organisation domain of the PID directory, as the program defines it.
domain=$(sed -n 's/.*ORGANISATION_DOMAIN\[\] = "\(.*\)";/\1/p' "$here/processterminator/VlProcessMonitor.cpp")
[ -n "$domain" ] || { echo "cannot find the organisation domain" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/grab.cpp" <<'CPP'
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 7)
        return 2;
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
        0, atoi(argv[1]), atoi(argv[2]), atoi(argv[3]), atoi(argv[4]));
    return shot.save(QString::fromLocal8Bit(argv[5]), argv[6]) ? 0 : 1;
}
CPP
g++ -std=c++17 -fPIC -o "$work/grab" "$work/grab.cpp" $(pkg-config --cflags --libs Qt5Gui)

# A virtual screen of 800 x 600 without a window manager: the window sits exactly where the
# program moves it, 10 px from the right and 72 px from the bottom, with no frame.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
export TMPDIR=$work/tmp
export QT_QPA_PLATFORM=xcb
dir=$TMPDIR/$domain/Vela/pids
mkdir -p "$dir"

stamp() { date +'%Y-%m-%d %H:%M:%S.%3N' "$@"; }

# A process that has gone: its file is merely cleared away.
sh -c 'exit 0' & gone=$!; wait $gone
stamp >"$dir/$gone"
# A PID now held by a process that started long after the registration: spared.
sleep 300 & recycled=$!; pids+=($recycled)
stamp -d '-1 day' >"$dir/$recycled"
# A process that ignores SIGTERM: killed after the second duration.
sh -c 'trap "" TERM; exec sleep 300' & stubborn=$!; pids+=($stubborn)
# A registered process that ends when asked.
sleep 300 & polite=$!; pids+=($polite)
sleep 0.2
stamp >"$dir/$stubborn"
stamp >"$dir/$polite"
echo "not a PID file" >"$dir/notes.txt"

"$program" & pids+=($!)
# First scan after 1 s, the kill 5 s after the request, the last clean-up a second later.
sleep 8.5
"$work/grab" 310 208 480 320 "$work/shot.png" PNG
mkdir -p "$(dirname "$out")"
cp "$work/shot.png" "$out"
kill -0 "$recycled" && echo "recycled PID $recycled spared, as it should be"
echo "wrote $out"
