#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that a desktop and man find what
# they look for, that the installed command line works, and that the Debian package
# names Debian's packages as its dependencies.
#   install_test.sh BUILD_DIR WORK_DIR WITH_WINDOW(0|1)
set -euo pipefail
build=$1
work=$2
window=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
[[ -x $prefix/bin/clipwright-cli ]] || fail "clipwright-cli not installed"
MANPATH=$prefix/share/man man -w clipwright-cli >/dev/null || fail "man does not find clipwright-cli"
man -l "$prefix/share/man/man1/clipwright-cli.1" 2>&1 >/dev/null | grep . && fail "man page warnings"

if [[ $window == 1 ]]; then
  [[ -x $prefix/bin/clipwright ]] || fail "clipwright not installed"
  desktop=$prefix/share/applications/clipwright.desktop
  [[ -f $desktop ]] || fail "no desktop file"
  grep -qx 'Exec=clipwright %f' "$desktop" || fail "desktop file does not start clipwright"
  grep -qx 'Icon=clipwright' "$desktop" || fail "desktop file names another icon"
  for type in video/x-msvideo video/mp4 video/quicktime video/3gpp; do
    grep -q "^MimeType=.*$type;" "$desktop" || fail "desktop file does not open $type"
  done
  for size in 16 32 48 256; do
    icon=$prefix/share/icons/hicolor/${size}x${size}/apps/clipwright.png
    [[ -f $icon ]] || fail "no ${size}px icon"
    [[ $(head -c 8 "$icon" | od -An -tx1 | tr -d ' ') == 89504e470d0a1a0a ]] || fail "$icon is no PNG"
  done
fi

# The installed command line, on a clip ffmpeg makes now.
clip=$work/clip.avi
ffmpeg -nostdin -v error -f lavfi -i testsrc=s=160x120:r=10 -t 1 -c:v mpeg4 "$clip"
"$prefix/bin/clipwright-cli" --version | grep -q '^clipwright-cli ' || fail "no version"
"$prefix/bin/clipwright-cli" check "$clip" > "$work/check.txt" || fail "check of an intact clip failed"
grep -q 'OK, no errors found' "$work/check.txt" || fail "unexpected check output"

# The package: Debian's names, so "apt install ./clipwright_*.deb" resolves them.
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/clipwright_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
contents=$(dpkg-deb -c "$deb")
[[ $(dpkg-deb -f "$deb" Recommends) == *libfaad2* ]] || fail "libfaad2 not recommended"
grep -q '\./usr/bin/clipwright-cli$' <<<"$contents" || fail "package lacks clipwright-cli"
grep -q '\./usr/share/man/man1/clipwright-cli.1' <<<"$contents" || fail "package lacks the man page"
if [[ $window == 1 ]]; then
  for package in libqt6widgets6 libqt6gui6 libqt6core6; do
    [[ $depends == *"$package"* ]] || fail "package does not depend on $package: $depends"
  done
  grep -q '\./usr/share/applications/clipwright.desktop$' <<<"$contents" ||
    fail "package lacks the desktop file"
fi
# Every dependency must be a package Debian knows.
for package in $(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/ //g'); do
  apt-cache show "$package" >/dev/null 2>&1 || fail "Debian has no package $package"
done
echo "install_test: ok ($deb)"
