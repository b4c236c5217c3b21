#!/bin/sh
# Makes the Windows .zip with CPack and checks that it holds what a Windows
# user needs side by side, and nothing else: the three programs, the README,
# the manual pages as HTML and the example folder.
# Usage: check_zip.sh CPACK BUILD_DIRECTORY VERSION
set -eu
cpack=$1 build=$2 version=$3
out=$build/package-check
rm -rf "$out"
mkdir -p "$out"
"$cpack" --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
top=kestrel-$version-windows-x86_64
cmake -E tar tf "$out/$top.zip" | sed "s|^$top/||" | grep -v '/$' | sort >"$out/contents"
printf '%s\n' README.md examples/MAIL.TXT kestrel-folder.exe kestrel-folder.html \
    kestrel-mbx.exe kestrel-mbx.html kestrel.exe kestrel.html | sort >"$out/expected"
if ! cmp -s "$out/expected" "$out/contents"; then
    echo "FAIL: the .zip holds"
    cat "$out/contents"
    exit 1
fi
# Each page is a whole HTML document that links to the others by file name.
for page in kestrel kestrel-folder kestrel-mbx; do
    grep -q '</html>' "$build/man/$page.html" || { echo "FAIL: $page.html"; exit 1; }
done
grep -q 'href="kestrel-mbx.html"' "$build/man/kestrel-folder.html" ||
    { echo "FAIL: kestrel-folder.html does not link to kestrel-mbx.html"; exit 1; }
echo "the .zip holds the programs, the README, the manual pages and the example"
