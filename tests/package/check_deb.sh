#!/bin/sh
# Makes the .deb with CPack and checks what a user would get from it: the
# package's name, version, maintainer and library dependencies; every
# program with its manual page, the README and the copyright notice as
# documentation and nothing else; programs that run from where the package
# put them.
# Usage: check_deb.sh CPACK BUILD_DIRECTORY SOURCE_DIRECTORY VERSION
set -eu
cpack=$1 build=$2 source=$3 version=$4
out=$build/package-check
rm -rf "$out"
mkdir -p "$out"
"$cpack" --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/kestrel_"$version"_*.deb)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

dpkg-deb -I "$deb" >"$out/info"
field() { sed -n "s/^ $1: //p" "$out/info"; }
[ "$(field Package)" = kestrel ] || fail "package name '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "version '$(field Version)'"
[ "$(field Maintainer)" = "KESTREL developers <kestrel-developers@example.org>" ] ||
    fail "maintainer '$(field Maintainer)'"
# A C++ program needs at least the C and the C++ runtime libraries.
for library in libc6 libstdc++6; do
    field Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -Fqx "$library" ||
        fail "Depends '$(field Depends)' lacks $library"
done

# The programs are those with a manual page in the source tree.
expected=$out/expected
{
    for page in "$source"/man/*.1; do
        program=$(basename "$page" .1)
        echo "./usr/bin/$program"
        echo "./usr/share/man/man1/$program.1.gz"
    done
    echo ./usr/share/doc/kestrel/README.md
    echo ./usr/share/doc/kestrel/copyright
} | sort >"$expected"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$out/files"
diff -u "$expected" "$out/files" || fail "package files differ from the expected ones (- expected, + in the package)"
grep -qx ./usr/bin/kestrel "$out/files" || fail "no usr/bin/kestrel"

dpkg-deb -x "$deb" "$out/root"
cmp -s "$source/README.md" "$out/root/usr/share/doc/kestrel/README.md" || fail "README differs"
for page in "$out"/root/usr/share/man/man1/*; do
    [ -e "$page" ] || continue
    gzip -dc "$page" | cmp -s - "$source/man/$(basename "$page" .gz)" || fail "$page differs from its source"
done
answer=$(env -i TZ=UTC "$out/root/usr/bin/kestrel" --version </dev/null) || fail "kestrel --version failed"
[ "$answer" = "KESTREL $version" ] || fail "kestrel --version says '$answer'"
answer=$(env -i TZ=UTC "$out/root/usr/bin/kestrel-folder" --version </dev/null) || fail "kestrel-folder --version failed"
[ "$answer" = "kestrel-folder $version" ] || fail "kestrel-folder --version says '$answer'"
answer=$(env -i TZ=UTC "$out/root/usr/bin/kestrel-mbx" --version </dev/null) || fail "kestrel-mbx --version failed"
[ "$answer" = "kestrel-mbx $version" ] || fail "kestrel-mbx --version says '$answer'"
cmp -s "$source/cmake/copyright" "$out/root/usr/share/doc/kestrel/copyright" || fail "copyright differs"
[ $failures -eq 0 ] || { echo "$failures failures; package in $deb"; dpkg-deb -I "$deb"; dpkg-deb -c "$deb"; exit 1; }
echo "package $deb: $(wc -c <"$deb") bytes"
cat "$out/info"
dpkg-deb -c "$deb"
