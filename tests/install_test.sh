#!/bin/sh
# Usage: install_test.sh prefix|deb BUILD_DIR VERSION (77 without dpkg-deb). What a user
# installs runs from where it lands: --help and --version of both programs end at once.
set -eu
mode=$1 build=$2 version=$3 tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install_test: $*" >&2; exit 1; }
expect() {
    p=$1; shift
    out=$(echo options | "$@") || fail "$*"
    case $out in $p) ;; *) fail "$*: $out" ;; esac
}
share="man/man1/torvex.1 man/man1/torvex-target.1 bash-completion/completions/torvex"
if [ "$mode" = prefix ]; then
    cmake --install "$build" --prefix "$tmp/usr" > /dev/null
    for f in $share doc/torvex/examples/demo.flc; do
        [ -f "$tmp/usr/share/$f" ] || fail "no $f"
    done
else
    command -v dpkg-deb > /dev/null || exit 77
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" > "$tmp/log" 2>&1 ||
        { cat "$tmp/log"; fail cpack; }
    deb=$(ls "$tmp"/pkg/torvex_"$version"_*.deb)
    dpkg-deb -c "$deb" > "$tmp/contents"
    for f in bin/torvex bin/torvex-target $(printf 'share/%s ' $share); do
        grep -q " \./usr/$f\$" "$tmp/contents" || fail "$f missing from the package"
    done
    dpkg -x "$deb" "$tmp"
fi
expect "torvex $version (Quillet Bootloader Utility V2.51)" "$tmp/usr/bin/torvex" --version
expect "torvex-target $version" "$tmp/usr/bin/torvex-target" -V --link x
expect "usage: torvex *TORVEX_COM1*Exit status: 0 *" "$tmp/usr/bin/torvex" -h
expect "usage: torvex-target *--console PATH*--monitor-version HEX*" \
    "$tmp/usr/bin/torvex-target" --help
